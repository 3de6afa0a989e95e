"""Core of the file transfer kit: the plugin registry."""
