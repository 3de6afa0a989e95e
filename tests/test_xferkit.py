"""The FTP plugin against a real FTP server (pyftpdlib, threaded, on 127.0.0.1)."""

import calendar
import ftplib
import logging
import os
import stat
import sys
import threading
import time
import types

import pytest

from conftest import assert_no_leak
from ovark.utils.xferkit.exceptions import TimeLimitExceededOnFileTransfer
from ovark.utils.xferkit.plugins.localhost.ftp import xferkit

if "libasan" in os.environ.get("LD_PRELOAD", "") and "crypt" not in sys.modules:
    # pyftpdlib tries the system's crypt() for its Unix authorizer, which the
    # sanitizer runtime does not survive; the tests use the dummy authorizer.
    sys.modules["crypt"] = None

pyftpdlib = pytest.importorskip("pyftpdlib")
from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

USER, PASSWORD = "tester", "pw-Zq8.not-in-logs"
BLOCK = 8192
TIMEOUT = 10  # every socket operation of a test is bounded by this
LOGGER = "ovark.utils.xferkit.plugins.localhost.ftp.xferkit"


class DTP(ThrottledDTPHandler):
    """Unthrottled unless a test sets a limit; drops the session after
    ``drop_after`` bytes sent when a test asks for it."""

    drop_after = None

    def send(self, data):
        sent = super().send(data)
        if self.drop_after is not None:
            self._sent = getattr(self, "_sent", 0) + sent
            if self._sent >= self.drop_after:
                self.cmd_channel.close()
        return sent


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    home = tmp_path_factory.mktemp("ftp-home")
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, str(home), perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "dtp_handler": DTP, "timeout": 30, "auth_failed_timeout": 0.1})
    srv = FTPServer(("127.0.0.1", 0), handler)
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            srv.serve_forever(timeout=0.02, blocking=False, handle_exit=False)
        srv.close_all()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield types.SimpleNamespace(port=srv.address[1], home=home)
    stop.set()
    thread.join(5)


@pytest.fixture
def home(server):
    """A fresh folder on the server: (local path, remote path)."""
    path = server.home / "t{}".format(time.monotonic_ns())
    path.mkdir()
    return path, "/" + path.name


@pytest.fixture
def kit():
    return xferkit.XferKit(credentials={"127.0.0.1": (USER, PASSWORD)})


def url(server, path):
    return "ftp://127.0.0.1:{}{}".format(server.port, path)


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def fds_back_to(before, *paths):
    """No descriptor opened since ``before`` is left (the server thread closes
    its side of a session a moment after the client), and none is open on
    ``paths``."""
    deadline = time.monotonic() + 5
    while set(open_fds()) - set(before) and time.monotonic() < deadline:
        time.sleep(0.01)
    targets = []
    for fd in open_fds():
        try:
            targets.append(os.readlink("/proc/self/fd/" + fd))
        except OSError:
            pass
    return not set(open_fds()) - set(before) and not set(map(str, paths)) & set(targets)


class Recording(ftplib.FTP):
    """ftplib.FTP that records the commands it sends and how it connects."""

    commands = []

    def putcmd(self, line):
        Recording.commands.append(line)
        super().putcmd(line)

    def connect(self, **kw):
        Recording.commands.append(kw)
        return super().connect(**kw)


@pytest.fixture
def recording(monkeypatch):
    Recording.commands = []
    monkeypatch.setattr(xferkit, "FTP", Recording)
    return Recording


# ---------------------------------------------------------------- copyfile


@pytest.mark.parametrize("size", [0, 1, BLOCK, 40 * BLOCK + 123])
def test_upload_then_download_is_byte_for_byte(server, home, kit, tmp_path, size):
    data = os.urandom(size)
    src, dst = tmp_path / "src.bin", tmp_path / "dst.bin"
    src.write_bytes(data)
    dst.write_bytes(b"old content that must go")
    fds = open_fds()
    assert kit.copyfile(str(src), url(server, home[1] + "/f.bin"), TIMEOUT, upload=True) is None
    assert (home[0] / "f.bin").read_bytes() == data
    assert kit.copyfile(url(server, home[1] + "/f.bin"), str(dst), TIMEOUT, "extra", upload=False, more=1) is None
    assert dst.read_bytes() == data
    assert fds_back_to(fds, src, dst)


@pytest.mark.parametrize("remote, strip, sent", [("/D/f", True, "D/f"), ("/D/f", False, "/D/f"), ("//D/f", True, "/D/f")])
def test_session_steps_and_the_leading_slash_of_the_remote_path(server, home, kit, tmp_path, recording, remote, strip, sent):
    (home[0] / "D").mkdir()
    src = tmp_path / "up.bin"
    src.write_bytes(b"x" * 10)
    remote = remote.replace("/D", home[1] + "/D", 1)
    kit.copyfile(str(src), url(server, remote), TIMEOUT, upload=True, strip_leading_slash=strip)
    kit.copyfile(url(server, remote), str(tmp_path / "down.bin"), TIMEOUT, upload=False, strip_leading_slash=strip)
    sent = sent.replace("D/f", home[1].lstrip("/") + "/D/f")
    connect = {"host": "127.0.0.1", "port": server.port, "timeout": TIMEOUT}
    steps = [c for c in recording.commands if c == connect or c.startswith(("USER", "STOR", "RETR", "QUIT"))]
    assert steps == [connect, "USER " + USER, "STOR " + sent, "QUIT", connect, "USER " + USER, "RETR " + sent, "QUIT"]
    assert (tmp_path / "down.bin").read_bytes() == b"x" * 10


def test_a_url_without_port_connects_with_port_zero(kit, monkeypatch, tmp_path):
    class Refused(ftplib.FTP):
        def connect(self, **kw):
            raise ConnectionRefusedError(kw)

    monkeypatch.setattr(xferkit, "FTP", Refused)
    with pytest.raises(ConnectionRefusedError) as info:
        kit.copyfile("ftp://127.0.0.1/x", str(tmp_path / "x"), 3, upload=False)
    assert info.value.args == ({"host": "127.0.0.1", "port": 0, "timeout": 3},)
    assert not (tmp_path / "x").exists()  # nothing opened before the session connected


def test_upload_is_required_before_any_parsing(kit, monkeypatch):
    monkeypatch.setattr(kit, "validate_and_parse_url", lambda *a: pytest.fail("parsed"), raising=False)
    with pytest.raises(TypeError, match="upload"):
        kit.copyfile("a", "b", 1)


# ---------------------------------------------------------------- the time limit


def frames(exc):
    names, tb = [], exc.__traceback__
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


class Clock:
    """A stand-in for the module's `time`: login at 0, then far past any limit."""

    def __init__(self):
        self.calls = 0

    def time(self):
        self.calls += 1
        return 0.0 if self.calls == 1 else 1000.0


@pytest.mark.parametrize("blocks, ignore, fires", [(30, None, False), (31, None, True), (1, 0, True), (5, 5, False)])
def test_the_clock_is_read_past_progress_ignore_count_blocks(server, home, kit, tmp_path, monkeypatch, blocks, ignore, fires):
    clock = Clock()
    monkeypatch.setattr(xferkit, "time", clock)
    if ignore is not None:
        kit.PROGRESS_IGNORE_COUNT = ignore
    src = tmp_path / "src.bin"
    src.write_bytes(b"\1" * (blocks * BLOCK))
    fds = open_fds()
    target = url(server, home[1] + "/t.bin")
    if fires:
        with pytest.raises(TimeLimitExceededOnFileTransfer) as info:
            kit.copyfile(str(src), target, TIMEOUT, upload=True)
        assert frames(info.value)[1] == "copyfile" and frames(info.value)[-2:] == ["upload_cb", "check_for_timeout"]
    else:
        kit.copyfile(str(src), target, TIMEOUT, upload=True)
    assert clock.calls == (2 if fires else 1)
    assert fds_back_to(fds, src)


def test_throttled_download_hits_the_time_limit(server, home, kit, tmp_path, monkeypatch):
    monkeypatch.setattr(DTP, "write_limit", 512 * 1024)
    data = os.urandom(8 << 20)
    (home[0] / "big.bin").write_bytes(data)
    dst = tmp_path / "big.bin"
    fds = open_fds()
    start = time.monotonic()
    with pytest.raises(TimeLimitExceededOnFileTransfer) as info:
        kit.copyfile(url(server, home[1] + "/big.bin"), str(dst), 3, upload=False)
    assert frames(info.value)[-2:] == ["download_cb", "check_for_timeout"]
    assert time.monotonic() - start > 3
    partial = dst.read_bytes()
    assert BLOCK < len(partial) < len(data) and data.startswith(partial)
    assert fds_back_to(fds, dst)


def test_an_error_while_closing_never_hides_the_time_limit(server, home, kit, tmp_path, monkeypatch):
    class AbortedQuit(ftplib.FTP):
        def quit(self):
            super().quit()
            raise ftplib.error_temp("426 Connection closed; transfer aborted.")

    monkeypatch.setattr(xferkit, "FTP", AbortedQuit)
    monkeypatch.setattr(xferkit, "time", Clock())
    kit.PROGRESS_IGNORE_COUNT = 0
    (home[0] / "s.bin").write_bytes(b"s" * 100)
    with pytest.raises(TimeLimitExceededOnFileTransfer):
        kit.copyfile(url(server, home[1] + "/s.bin"), str(tmp_path / "s.bin"), TIMEOUT, upload=False)


# ---------------------------------------------------------------- failures of the server


def test_failures_propagate_close_everything_and_never_show_the_password(server, home, kit, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    remote = home[1]
    (home[0] / "here.bin").write_bytes(b"h")
    bad = xferkit.XferKit(credentials={"127.0.0.1": (USER, "wrong-" + PASSWORD)})
    in_url = xferkit.XferKit()
    cases = [
        (bad, "copyfile", (url(server, remote + "/here.bin"), str(tmp_path / "o"), TIMEOUT), {"upload": False}, ftplib.error_perm),
        (kit, "copyfile", (url(server, remote + "/missing"), str(tmp_path / "o"), TIMEOUT), {"upload": False}, ftplib.error_perm),
        (kit, "copyfile", (str(tmp_path / "missing"), url(server, remote + "/x"), TIMEOUT), {"upload": True}, FileNotFoundError),
        (kit, "copyfile", (str(tmp_path / "o"), url(server, remote + "/no/such/dir/x"), TIMEOUT), {"upload": True}, ftplib.error_perm),
        (kit, "stat", (url(server, remote + "/missing"), TIMEOUT), {}, ftplib.error_perm),
        (kit, "chmod", (url(server, remote + "/missing"), 0o600, TIMEOUT), {}, ftplib.error_perm),
        (kit, "deletefile", (url(server, remote + "/missing"), TIMEOUT), {}, ftplib.error_perm),
        (kit, "renamefile", (url(server, remote + "/missing"), url(server, remote + "/m2"), TIMEOUT), {}, ftplib.error_perm),
        (in_url, "stat", ("ftp://{}:{}@127.0.0.1:{}{}/missing".format(USER, PASSWORD, server.port, remote), TIMEOUT), {}, ftplib.error_perm),
    ]
    fds = open_fds()
    for plugin, name, args, kwargs, error in cases:
        with pytest.raises(error) as info:
            getattr(plugin, name)(*args, **kwargs)
        exc = info.value
        while exc is not None:
            assert PASSWORD not in str(exc) and PASSWORD not in repr(exc.args)
            exc = exc.__context__
    assert fds_back_to(fds, tmp_path / "o")
    assert caplog.records and not any(PASSWORD in r.getMessage() for r in caplog.records)


def test_a_connection_dropped_mid_download_is_an_error(server, home, kit, tmp_path, monkeypatch):
    data = os.urandom(64 * BLOCK)
    (home[0] / "drop.bin").write_bytes(data)
    monkeypatch.setattr(DTP, "drop_after", 16 * BLOCK)
    dst = tmp_path / "drop.bin"
    fds = open_fds()
    with pytest.raises((EOFError, OSError, ftplib.Error)):
        kit.copyfile(url(server, home[1] + "/drop.bin"), str(dst), TIMEOUT, upload=False)
    assert fds_back_to(fds, dst)
    assert len(dst.read_bytes()) < len(data)


# ---------------------------------------------------------------- listings and remote operations


def test_dir_lists_urls_under_the_listed_path(server, home, kit):
    local_dir, remote_dir = home
    for name in ("b.txt", "a.txt"):
        (local_dir / name).write_text(name)
    (local_dir / "empty").mkdir()
    listed = kit.dir(url(server, remote_dir + "?q=1#frag"), TIMEOUT)
    assert sorted(listed) == [url(server, "{}/{}?q=1#frag".format(remote_dir, n)) for n in ("a.txt", "b.txt", "empty")]
    assert kit.dir(url(server, remote_dir + "/empty"), TIMEOUT) == []


@pytest.mark.parametrize("age_days", [0, 3 * 365])
def test_stat_of_recent_and_old_entries(server, home, kit, age_days):
    local_dir, remote_dir = home
    path = local_dir / "s.txt"
    path.write_bytes(b"12345")
    os.chmod(path, 0o640)
    if age_days:
        then = time.time() - age_days * 86400
        os.utime(path, (then, then))
    result = kit.stat(url(server, remote_dir + "/s.txt"), TIMEOUT)
    assert list(result) == ["st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_mtime"]
    info = os.stat(path)
    assert stat.filemode(result.st_mode) == stat.filemode(info.st_mode) == "-rw-r-----"
    assert (result.st_nlink, result.st_size) == (1, 5)
    listed = time.gmtime(info.st_mtime)
    if age_days:
        expected = calendar.timegm(listed[:3] + (0, 0, 0))
    else:
        expected = calendar.timegm(listed[:5] + (0,))
    assert result.st_mtime == expected and type(result.st_mtime) is int
    with pytest.raises(Exception, match=r"^More than one result was found, did you request a stat of a directory \?$"):
        (local_dir / "t.txt").write_text("t")
        kit.stat(url(server, remote_dir), TIMEOUT)


def test_chmod_delete_and_rename(server, home, kit, recording):
    local_dir, remote_dir = home
    (local_dir / "f").write_text("f")
    assert kit.chmod(url(server, remote_dir + "/f"), 0o600, TIMEOUT) is None
    assert stat.S_IMODE(os.stat(local_dir / "f").st_mode) == 0o600
    assert "SITE CHMOD 600 {}/f".format(remote_dir.lstrip("/")) in recording.commands
    assert kit.renamefile(url(server, remote_dir + "/f"), url(server, remote_dir + "/g"), TIMEOUT) is None
    assert sorted(os.listdir(local_dir)) == ["g"]
    assert kit.deletefile(url(server, remote_dir + "/g"), TIMEOUT, strip_leading_slash=False) is None
    assert os.listdir(local_dir) == []
    assert "DELE {}/g".format(remote_dir) in recording.commands


@pytest.mark.parametrize(
    "source, destination, word",
    [("ftp://127.0.0.1:2121/a", "ftp://localhost:2121/b", "server"), ("ftp://127.0.0.1/a", "ftp://127.0.0.1:21/b", "port")],
)
def test_rename_across_servers_or_ports_is_refused_before_connecting(kit, monkeypatch, source, destination, word):
    monkeypatch.setattr(xferkit, "FTP", lambda: pytest.fail("connected"))
    message = "xferkit module ovark.utils.xferkit.plugins.localhost.ftp.xferkit requires from/to files to be renamed to have the same {}.".format(word)
    with pytest.raises(Exception, match="^{}$".format(message.replace(".", r"\."))):
        kit.renamefile(source, destination, 1)


# ---------------------------------------------------------------- listing lines, without a server


class Listing:
    """An FTP session whose LIST answers with the given lines."""

    lines = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def connect(self, host, port, timeout):
        pass

    def login(self, user, passwd):
        pass

    def dir(self, path, callback):
        for line in Listing.lines:
            callback(line)

    def storbinary(self, cmd, fp, callback):
        Listing.lines.append(callback)

    def retrbinary(self, cmd, callback):
        Listing.lines.append(callback)


def stat_of(monkeypatch, *lines):
    monkeypatch.setattr(xferkit, "FTP", Listing)
    monkeypatch.setattr(Listing, "lines", list(lines))
    return xferkit.XferKit().stat("ftp://srv/d/name.txt", 1)


def listed_recent(*fields):
    """A year-less listing time: this year, or last year when that lies ahead."""
    year = time.gmtime().tm_year
    stamp = calendar.timegm((year,) + fields + (0,))
    return stamp if stamp <= time.time() else calendar.timegm((year - 1,) + fields + (0,))


def test_stat_reads_listing_lines(monkeypatch):
    year = time.gmtime().tm_year
    recent = stat_of(monkeypatch, "-rw-r--r-- 1 owner group 1234 Jan 05 10:30 name.txt")
    assert dict(recent) == {
        "st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_uid": "owner", "st_gid": "group", "st_size": 1234,
        "st_mtime": listed_recent(1, 5, 10, 30),
    }
    old = stat_of(monkeypatch, "drwxr-xr-x+ 2 0 0 4096 Mar 3 2019 dir")
    assert (old.st_mode, old.st_uid, old.st_gid) == (stat.S_IFDIR | 0o755, 0, 0)
    assert old.st_mtime == calendar.timegm((2019, 3, 3, 0, 0, 0))
    if time.time() < calendar.timegm((year, 12, 31, 23, 59, 0)):
        future = stat_of(monkeypatch, "-rw-r--r-- 1 o g 1 Dec 31 23:59 name.txt")
        assert future.st_mtime == calendar.timegm((year - 1, 12, 31, 23, 59, 0))
    assert stat_of(monkeypatch, "-rw-r--r-- 1 owner 7 Jan 05 10:30 name.txt").st_gid is None


@pytest.mark.parametrize(
    "lines, message",
    [
        ([], "File d/name.txt not found on server srv."),
        (["-rw-r--r-- 1 o g 1 Jan 05 10:30 my name.txt"], "File d/name.txt was not found on remote server srv."),
    ],
)
def test_stat_failures_name_path_and_server(monkeypatch, lines, message):
    with pytest.raises(Exception) as info:
        stat_of(monkeypatch, *lines)
    assert type(info.value) is Exception and str(info.value) == message


@pytest.mark.parametrize("mode", ["-rw-r--r--", "drwxrwxrwt", "lrwxrwxrwx", "-rwsr-sr-x", "crw--w----", "p---------", "-"])
def test_filemode_to_mode_inverts_stat_filemode(mode):
    result = xferkit.filemode_to_mode(mode)
    if len(mode) == 10:
        assert stat.filemode(result) == mode
    assert xferkit.filemode_to_mode(list(mode)) == result  # any sequence of characters
    with pytest.raises(IndexError):
        xferkit.filemode_to_mode(mode.ljust(10, "-") + "+")


def test_callbacks_are_closures_of_copyfile(monkeypatch, tmp_path):
    monkeypatch.setattr(xferkit, "FTP", Listing)
    monkeypatch.setattr(Listing, "lines", [])
    (tmp_path / "x").write_bytes(b"")
    xferkit.XferKit().copyfile(str(tmp_path / "x"), "ftp://srv/x", 1, upload=True)
    xferkit.XferKit().copyfile("ftp://srv/x", str(tmp_path / "x"), 1, upload=False)
    assert [cb.__qualname__ for cb in Listing.lines] == [
        "XferKit.copyfile.<locals>.upload_cb", "XferKit.copyfile.<locals>.download_cb"]


def test_normalize_filename_and_getspace(kit):
    assert kit._normalize_filename("a/b.txt", "x") == "/x/b.txt"
    assert kit._normalize_filename(filename="b", parent_path="/abs") == "/abs/b"
    assert kit._normalize_filename("dir/", "x") == "dir/"
    with pytest.raises(NotImplementedError, match="^The xferkit module ovark.utils.xferkit.plugins.localhost.ftp.xferkit does not implement getspace.$"):
        kit.getspace("ftp://h/x", 1, 2, k=3)


@pytest.mark.slow
def test_no_leaks(server, home, kit, tmp_path):
    assert_no_leak(lambda: xferkit.filemode_to_mode("drwxr-xr-x"))
    assert_no_leak(lambda: kit._normalize_filename("a/b", "c"))
    src = tmp_path / "leak.bin"
    src.write_bytes(b"L" * (3 * BLOCK))
    target = url(server, home[1] + "/leak.bin")
    fds = open_fds()
    assert_no_leak(lambda: kit.copyfile(str(src), target, TIMEOUT, upload=True), calls=200, rounds=3)
    assert_no_leak(lambda: kit.copyfile(target, str(tmp_path / "back.bin"), TIMEOUT, upload=False), calls=200, rounds=3)
    assert fds_back_to(fds)


def test_module_surface():
    from ovark.utils.xferkit.plugins.localhost import XferKit as Base

    assert [n for n in vars(xferkit) if not n.startswith("__")] == [
        "os", "re", "time", "datetime", "logging", "libstat", "FTP", "urlsplit", "urlunsplit", "AttrDict",
        "TimeLimitExceededOnFileTransfer", "XferKitLinuxBase", "logger", "DATETIME_PAT_RECENT",
        "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT", "DATETIME_PAT_NOT_RECENT", "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT",
        "filemode_to_mode", "XferKit",
    ]
    assert (xferkit.FTP, xferkit.libstat, xferkit.XferKitLinuxBase) == (ftplib.FTP, stat, Base)
    assert xferkit.XferKit.__bases__ == (Base,) and xferkit.XferKit.PROGRESS_IGNORE_COUNT == 30
    assert [n for n in vars(xferkit.XferKit) if not n.startswith("__")] == [
        "PROGRESS_IGNORE_COUNT", "copyfile", "_normalize_filename", "dir", "stat", "chmod", "deletefile",
        "renamefile", "getspace",
    ]
    assert xferkit.filemode_to_mode.__doc__.startswith("Convert a filemode string to an os.stat.st_mode style number.")
