"""ovark.utils.intr_traps: the double Ctrl-C handler."""

import logging
import os
import signal
import threading

import pytest

from ovark.utils import intr_traps

LOGGER = "ovark.utils.intr_traps"


@pytest.fixture(autouse=True)
def keep_sigint_handler():
    previous = signal.getsignal(signal.SIGINT)
    yield
    signal.signal(signal.SIGINT, previous)


def interrupt():
    os.kill(os.getpid(), signal.SIGINT)
    # The handler runs at the next check of the interpreter loop.
    for _ in range(1000):
        pass


def test_first_ctrl_c_only_warns_second_interrupts(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert intr_traps.enable_double_ctrl_c() is None
    interrupt()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    with pytest.raises(KeyboardInterrupt):
        interrupt()
    messages = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert messages == [
        "PID-{} received CTRL-C (SIGINT): hit CTRL-C again to fully interrupt this process".format(os.getpid()),
        "Resetting SIGINT handler",
    ]


def test_callback_gets_the_interrupted_frame_once():
    frames = []
    intr_traps.enable_double_ctrl_c(frames.append)
    interrupt()
    assert len(frames) == 1 and frames[0].f_code.co_name == "interrupt"
    with pytest.raises(KeyboardInterrupt):
        interrupt()
    assert len(frames) == 1


def test_falsy_callback_is_not_called():
    class Falsy:
        called = False

        def __bool__(self):
            return False

        def __call__(self, frame):
            Falsy.called = True

    intr_traps.enable_double_ctrl_c(Falsy())
    interrupt()
    assert not Falsy.called


def test_failing_callback_propagates_and_keeps_the_handler():
    def callback(frame):
        raise RuntimeError("boom")

    intr_traps.enable_double_ctrl_c(callback)
    handler = signal.getsignal(signal.SIGINT)
    with pytest.raises(RuntimeError, match="boom"):
        interrupt()
    assert signal.getsignal(signal.SIGINT) is handler


def test_enable_again_rearms():
    intr_traps.enable_double_ctrl_c()
    interrupt()
    intr_traps.enable_double_ctrl_c()
    interrupt()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_restore_on_its_own(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    assert intr_traps.restore_sigint_handler() is None
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == ["Resetting SIGINT handler"]


def run_in_thread(func):
    outcome = {}

    def target():
        try:
            func()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            outcome["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome.get("error")


def test_outside_main_thread(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert isinstance(run_in_thread(intr_traps.enable_double_ctrl_c), ValueError)
    caplog.clear()
    assert isinstance(run_in_thread(intr_traps.restore_sigint_handler), ValueError)
    warnings = [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]
    assert warnings == ["Failed to re-use signal.default_int_handler", "Reverting to signal.SIG_DFL instead..."]


def test_fallback_to_sig_dfl(monkeypatch):
    calls = []

    class FakeSignal:
        SIGINT = signal.SIGINT
        SIG_DFL = signal.SIG_DFL
        default_int_handler = signal.default_int_handler

        @staticmethod
        def signal(signum, handler):
            calls.append(handler)
            if handler is signal.default_int_handler:
                raise OSError("refused")

    monkeypatch.setattr(intr_traps, "signal", FakeSignal)
    intr_traps.restore_sigint_handler()
    assert calls == [signal.default_int_handler, signal.SIG_DFL]


def test_handler_uses_patched_module_names(monkeypatch):
    restored = []
    monkeypatch.setattr(intr_traps, "restore_sigint_handler", lambda: restored.append(True))
    intr_traps.enable_double_ctrl_c()
    handler = signal.getsignal(signal.SIGINT)
    handler(signal.SIGINT, None)
    assert restored == [True]


@pytest.mark.slow
def test_no_reference_leak():
    from conftest import assert_no_leak

    def arm_and_fire():
        intr_traps.enable_double_ctrl_c(lambda frame: None)
        signal.getsignal(signal.SIGINT)(signal.SIGINT, None)

    logger = logging.getLogger(LOGGER)
    level = logger.level
    logger.setLevel(logging.WARNING)
    try:
        assert_no_leak(arm_and_fire, calls=3000)
    finally:
        logger.setLevel(level)
