"""Data structures of the framework."""

__all__ = ["AttrDict"]


class AttrDict(dict):
    """A ``dict`` whose entries are also attributes: ``d.x`` is ``d["x"]``."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
