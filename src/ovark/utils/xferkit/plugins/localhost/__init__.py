"""Localhost plugins of the file transfer kit, and their base class."""

import netrc
import os
from urllib.parse import unquote, urlsplit

__all__ = ["XferKit"]


def _without_password(url):
    """``url`` with everything between its user name and its last "@" shown as
    "***": a password may itself hold "#", "/" or "@"."""
    scheme, sep, rest = url.partition("://")
    userinfo, at, after = rest.rpartition("@")
    if not sep or not at or ":" not in userinfo:
        return url
    return "{}://{}:***@{}".format(scheme, userinfo.split(":", 1)[0], after)


class XferKit:
    """Base class of the localhost plugins.

    ``credentials`` maps a server name to a pair (user, password).
    """

    def __init__(self, credentials=None):
        self.credentials = dict(credentials or {})
        self._url_credentials = {}

    def validate_and_parse_url(self, url, operation):
        """Return (server, port, path) for ``url``, used for ``operation``.

        ``ftp://[user[:password]@]host[:port]/path`` gives the host, the port as
        ``int`` or ``None``, and the path; a plain path or ``file:///path`` gives
        ("localhost", None, path). Any other scheme raises ``ValueError``.
        """
        parts = urlsplit(url)
        if parts.scheme == "ftp":
            try:
                port = parts.port
            except ValueError:
                # The text urllib would quote may be part of a password.
                raise ValueError("Invalid port in the URL given for operation {!r}".format(operation)) from None
            if parts.username is not None:
                self._url_credentials[parts.hostname] = (
                    unquote(parts.username),
                    unquote(parts.password or ""),
                )
            return parts.hostname, port, parts.path or "/"
        if parts.scheme == "file":
            return "localhost", None, parts.path
        if parts.scheme == "":
            return "localhost", None, url
        raise ValueError("Unsupported URL {!r} for operation {!r}".format(_without_password(url), operation))

    def get_auth(self, server):
        """Return the (user, password) pair to use for ``server``."""
        if server in self.credentials:
            return tuple(self.credentials[server])
        if server in self._url_credentials:
            return self._url_credentials[server]
        try:
            entry = netrc.netrc(os.path.expanduser("~/.netrc")).authenticators(server)
        except (OSError, netrc.NetrcParseError):
            entry = None
        if entry:
            return entry[0], entry[2] or ""
        return "anonymous", ""
