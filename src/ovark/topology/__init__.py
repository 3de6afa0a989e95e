"""Topology objects of the framework (devices, interfaces, ...)."""
