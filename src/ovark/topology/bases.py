"""Base classes of topology objects."""

__all__ = ["TopologyObject"]


class TopologyObject:
    """Base class of topology objects (device, interface, ...)."""
