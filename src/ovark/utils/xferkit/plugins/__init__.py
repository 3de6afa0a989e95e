"""File transfer plugins, by OS name and sub-plugin (one per protocol)."""

__available_plugins__ = {"localhost": ["ftp"]}
