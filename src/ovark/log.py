"""Logging and warnings facilities of the framework."""

import warnings

__all__ = ["warnings"]
