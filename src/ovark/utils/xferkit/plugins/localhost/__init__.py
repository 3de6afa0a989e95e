"""Localhost plugins of the file transfer kit, and their base class."""

import netrc
import os
from urllib.parse import unquote, urlsplit

__all__ = ["XferKit", "without_password"]

# What a URL printed by the kit shows in place of a password. Given back in a
# URL, it stands for the password the kit already knows for that host.
MASK = "***"

# urlsplit drops these anywhere in a URL and strips C0 controls and blanks
# from both ends: a remote name holding them would silently become another.
_DROPPED = frozenset("\t\r\n")
_STRIPPED = "".join(map(chr, range(0x21)))


def without_password(url):
    """``url`` with everything between its user name and its last "@" shown as
    "***", for any scheme: a password may itself hold "@", ":", "#" or "/".
    A URL without a password comes back unchanged; so does anything that is
    not a text or bytes."""
    if isinstance(url, bytes):
        return without_password(url.decode("latin-1")).encode("latin-1")
    if not isinstance(url, str):
        return url
    scheme, sep, rest = url.partition("://")
    if not sep:
        if not url.startswith("//"):
            return url
        scheme, sep, rest = "", "//", url[2:]
    userinfo, at, after = rest.rpartition("@")
    user, colon, _ = userinfo.partition(":")
    if not at or not colon or any(c in user for c in "/?#"):
        # No password; or the ":" and "@" lie beyond the host, in the path.
        return url
    return "{}{}{}:{}@{}".format(scheme, sep, user, MASK, after)


# The name the package has always used.
_without_password = without_password


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
        ``int`` or ``None``, and the path, percent-decoded: a remote name holding
        "?", "#" or "%" writes them as %3F, %23 and %25. A plain path or
        ``file:///path`` (decoded the same way) gives ("localhost", None, path).
        Any other scheme, and a URL with a query or fragment part, raises
        ``ValueError``.
        """
        parts = urlsplit(url)
        if parts.scheme not in ("ftp", "file"):
            if parts.scheme == "":
                return "localhost", None, url
            raise ValueError("Unsupported URL {!r} for operation {!r}".format(without_password(url), operation))
        shown = without_password(url)
        if parts.query or parts.fragment or "?" in url or "#" in url:
            raise ValueError(
                "URL {!r} for operation {!r} has a query or fragment: write \"?\" as %3F and \"#\" as %23".format(
                    shown, operation
                )
            )
        if any(c in _DROPPED for c in url) or url != url.strip(_STRIPPED):
            raise ValueError(
                "URL {!r} for operation {!r} holds a line break, a tab or a blank at an end: "
                "percent-encode them (%0A, %09, %20)".format(shown, operation)
            )
        try:
            path = unquote(parts.path, errors="strict")
        except UnicodeDecodeError:
            raise ValueError(
                "URL {!r} for operation {!r}: its path is not UTF-8 once percent-decoded".format(shown, operation)
            ) from None
        if parts.scheme == "file":
            return "localhost", None, path
        try:
            port = parts.port
        except ValueError:
            # The text urllib would quote may be part of a password.
            raise ValueError("Invalid port in URL {!r} for operation {!r}".format(shown, operation)) from None
        if not parts.hostname:
            raise ValueError("URL {!r} for operation {!r} names no host".format(shown, operation))
        if parts.username is not None:
            self._remember(parts)
        return parts.hostname, port, path or "/"

    def _remember(self, parts):
        """Remember the user and password a URL gives for its host. A URL with
        the user but no password, or the mask of a URL this kit printed, keeps
        the password already known for that user."""
        user = unquote(parts.username)
        known = self._url_credentials.get(parts.hostname)
        password = parts.password
        if password is None or password == MASK:
            if known is not None and known[0] == user:
                return
            password = ""
        self._url_credentials[parts.hostname] = (user, unquote(password))

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
