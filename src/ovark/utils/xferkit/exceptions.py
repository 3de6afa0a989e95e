"""Errors of the file transfer kit."""

__all__ = ["TimeLimitExceededOnFileTransfer"]


class TimeLimitExceededOnFileTransfer(Exception):
    """A file transfer ran past its time limit."""
