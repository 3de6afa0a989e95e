"""File transfer kit: plugins that move and manage files."""
