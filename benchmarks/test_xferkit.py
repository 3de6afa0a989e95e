"""XferKit.copyfile against plain ftplib calls doing the same transfer: one
200 MB file up and down, against the same local FTP server (pyftpdlib in its
own process on 127.0.0.1, so that it does not share the interpreter lock with
the client being measured). Files live in /dev/shm where it exists, so that
the disk does not dominate.

The network makes those timings noisy on a busy machine; the last group takes
the network out: a session whose retrbinary hands 200 MB of ready blocks to
the callback, so that it shows what the plugin itself adds per block (its
callbacks, against the file's own write method as the callback). The last
group does the same with one block over an existing file: what a download's
temporary file and its replacement of the target cost, against writing the
target in place."""

import ftplib
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

from ovark.utils.xferkit.plugins.localhost.ftp import xferkit

pytest.importorskip("pyftpdlib")

SIZE = 200 << 20
USER, PASSWORD = "bench", "bench-pw"
ROUNDS = 5

SERVER = textwrap.dedent(
    """
    import logging, sys
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(sys.argv[1], sys.argv[2], sys.argv[3], perm="elradfmwMT")
    FTPHandler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), FTPHandler)
    print(server.address[1], flush=True)
    server.serve_forever(handle_exit=True)
    """
)


@pytest.fixture(scope="module")
def server():
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as root:
        home = os.path.join(root, "home")
        os.mkdir(home)
        proc = subprocess.Popen([sys.executable, "-c", SERVER, USER, PASSWORD, home], stdout=subprocess.PIPE, text=True)
        try:
            port = int(proc.stdout.readline())
            local = os.path.join(root, "local.bin")
            with open(local, "wb") as f:
                f.write(os.urandom(SIZE))
            os.link(local, os.path.join(home, "remote.bin"))  # the file to download
            srv = {"port": port, "local": local, "root": root}
            plain_upload(srv)  # the server's first 200 MB file and session cost more than the rest
            plain_download(srv)
            yield srv
        finally:
            proc.terminate()
            proc.wait(10)


def plain_upload(srv):
    with ftplib.FTP() as session:
        session.connect(host="127.0.0.1", port=srv["port"], timeout=30)
        session.login(user=USER, passwd=PASSWORD)
        with open(srv["local"], "rb") as fp:
            session.storbinary("STOR up.bin", fp)


def plain_download(srv):
    with ftplib.FTP() as session:
        session.connect(host="127.0.0.1", port=srv["port"], timeout=30)
        session.login(user=USER, passwd=PASSWORD)
        with open(os.path.join(srv["root"], "down.bin"), "wb") as fp:
            session.retrbinary("RETR remote.bin", fp.write)


def kit_upload(srv):
    kit = xferkit.XferKit(credentials={"127.0.0.1": (USER, PASSWORD)})
    kit.copyfile(srv["local"], "ftp://127.0.0.1:{}/up.bin".format(srv["port"]), 30, upload=True)


def kit_download(srv):
    kit = xferkit.XferKit(credentials={"127.0.0.1": (USER, PASSWORD)})
    kit.copyfile(
        "ftp://127.0.0.1:{}/remote.bin".format(srv["port"]), os.path.join(srv["root"], "down.bin"), 30, upload=False
    )


def check(srv, name):
    assert os.path.getsize(os.path.join(srv["root"], name)) == SIZE


GROUP_UP, GROUP_DOWN = "copyfile upload, 200 MB", "copyfile download, 200 MB"


def test_ovark_upload(benchmark, server):
    benchmark.group = GROUP_UP
    benchmark.pedantic(kit_upload, (server,), rounds=ROUNDS, iterations=1, warmup_rounds=1)
    check({"root": os.path.join(server["root"], "home")}, "up.bin")


def test_ftplib_upload(benchmark, server):
    benchmark.group = GROUP_UP
    benchmark.pedantic(plain_upload, (server,), rounds=ROUNDS, iterations=1, warmup_rounds=1)


def test_ovark_download(benchmark, server):
    benchmark.group = GROUP_DOWN
    benchmark.pedantic(kit_download, (server,), rounds=ROUNDS, iterations=1, warmup_rounds=1)
    check(server, "down.bin")


def test_ftplib_download(benchmark, server):
    benchmark.group = GROUP_DOWN
    benchmark.pedantic(plain_download, (server,), rounds=ROUNDS, iterations=1, warmup_rounds=1)


BLOCKS = [os.urandom(8192)] * (SIZE // 8192)


class ReadySession:
    """An FTP session without a network: retrbinary hands over BLOCKS."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def connect(self, host, port, timeout):
        pass

    def login(self, user, passwd):
        pass

    def retrbinary(self, cmd, callback):
        for block in BLOCKS:
            callback(block)


GROUP_BLOCKS = "copyfile download without network, 25600 blocks of 8 KB"


def test_ovark_download_blocks(benchmark, server, monkeypatch):
    benchmark.group = GROUP_BLOCKS
    monkeypatch.setattr(xferkit, "FTP", ReadySession)
    benchmark.pedantic(kit_download, (server,), rounds=ROUNDS * 3, iterations=1, warmup_rounds=1)
    check(server, "down.bin")


def test_write_callback_download_blocks(benchmark, server):
    benchmark.group = GROUP_BLOCKS

    def plain():
        with ReadySession() as session, open(os.path.join(server["root"], "down.bin"), "wb") as fp:
            session.retrbinary("RETR remote.bin", fp.write)

    benchmark.pedantic(plain, rounds=ROUNDS * 3, iterations=1, warmup_rounds=1)


class OneBlockSession(ReadySession):
    """retrbinary hands over one block: the cost of a download's local side
    (the temporary file beside the target, then os.replace) stands out."""

    def retrbinary(self, cmd, callback):
        callback(BLOCKS[0])


GROUP_SMALL = "copyfile download without network, one 8 KB block over an existing file"


def test_ovark_download_one_block(benchmark, server, monkeypatch):
    benchmark.group = GROUP_SMALL
    monkeypatch.setattr(xferkit, "FTP", OneBlockSession)
    benchmark.pedantic(kit_download, (server,), rounds=2000, iterations=1, warmup_rounds=10)


def test_write_in_place_one_block(benchmark, server):
    benchmark.group = GROUP_SMALL

    def plain():
        with OneBlockSession() as session, open(os.path.join(server["root"], "down.bin"), "wb") as fp:
            session.retrbinary("RETR remote.bin", fp.write)

    benchmark.pedantic(plain, rounds=2000, iterations=1, warmup_rounds=10)
