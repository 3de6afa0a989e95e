"""Secret strings: the representers, SecretString, and that no plaintext gets out."""

import base64
import binascii
import copy
import inspect
import logging
import os
import pickle
import subprocess
import sys
import textwrap
import traceback

import pytest
from conftest import Table, assert_no_leak
from cryptography.fernet import Fernet, InvalidToken
from hypothesis import example, given, settings
from hypothesis import strategies as st

import ovark
from ovark.utils import veiled_texts as vt
from ovark.utils.veiled_texts import (
    BaseSecretStringContainer,
    BaseSecretStringRepresenter,
    FernetSecretStringRepresenter,
    ObscuringSecretStringRepresenter,
    PlainTextSecretStringRepresenter,
    SecretString,
    to_plaintext,
)

CONCRETE = [PlainTextSecretStringRepresenter, ObscuringSecretStringRepresenter, FernetSecretStringRepresenter]
DEFAULT_KEY = "mbrx_fallback_key"
WARNING = (
    "Using the default encoding key since no key was specified in configuration.\n"
    "THIS IS A SHARED KEY AND IS NOT SECURE, PLEASE RUN `ovark secret keygen` AND ADD TO YOUR ovark.conf "
    "FILE BEFORE ENCODING ANY VALUES."
)
FERNET_KEY = Fernet.generate_key().decode()
SECRET = "Tr0ub4dor&3-correct-horse"


# The cipher as written down: the obscuring representer must give exactly this.
def reference_encode(clear, key):
    shifted = "".join(chr((ord(c) + ord(key[i % len(key)])) % 256) for i, c in enumerate(clear))
    return base64.urlsafe_b64encode(shifted.encode()).decode()


def reference_decode(enc, key):
    text = base64.urlsafe_b64decode(enc).decode()
    return "".join(chr((ord(c) - ord(key[i % len(key)]) + 256) % 256) for i, c in enumerate(text))


@pytest.fixture(autouse=True)
def fresh_state(monkeypatch):
    """No configuration unless a test writes one; warning flags as at load."""

    def reset():
        for cls in CONCRETE:
            if "LOGGED_KEY_WARNING" in vars(cls):
                delattr(cls, "LOGGED_KEY_WARNING")

    monkeypatch.setattr(vt, "cfg", ovark.Configuration())
    reset()
    yield
    reset()


@pytest.fixture
def conf(tmp_path, monkeypatch):
    """conf("[secrets]\\n...") writes an INI file, names it in OVARK_CONF and loads it as vt.cfg."""

    def write(text):
        path = tmp_path / "ovark.conf"
        path.write_text(textwrap.dedent(text))
        monkeypatch.setenv("OVARK_CONF", str(path))
        monkeypatch.setattr(vt, "cfg", ovark.load_configuration())

    return write


def holder(text):
    return SecretString(text, PlainTextSecretStringRepresenter)


# --- the module surface -------------------------------------------------------


def test_module_surface():
    assert vt.__all__ == ["SecretString", "to_plaintext", "FernetSecretStringRepresenter"]
    assert (vt.CNF_SEC, vt.CNF_STR, vt.CNF_SS_REP, vt.CNF_SS_KEY) == ("secrets", "string", "representer", "key")
    assert vt.cfg is not None and vt.logger is logging.getLogger("ovark.utils.veiled_texts")
    assert vt.Fernet is Fernet
    for cls in [BaseSecretStringContainer, BaseSecretStringRepresenter] + CONCRETE:
        assert type(cls) is type and cls.__module__ == "ovark.utils.veiled_texts"
    assert BaseSecretStringRepresenter.__bases__ == (BaseSecretStringContainer,)
    assert all(cls.__bases__ == (BaseSecretStringRepresenter,) for cls in CONCRETE)
    assert BaseSecretStringRepresenter.DEFAULT_KEY == DEFAULT_KEY
    assert BaseSecretStringRepresenter.LOGGED_KEY_WARNING is False
    from collections import UserString

    assert SecretString.__bases__ == (UserString,) and type(SecretString) is type(UserString)
    assert SecretString.__repr__ is SecretString.__str__
    members = [
        m for m in vars(SecretString) if not m.startswith("__") or m in ("__init__", "__str__", "__dir__", "__repr__")
    ]
    assert members[:10] == [
        "_get_cls",
        "_validate_rep",
        "_get_rep",
        "from_plaintext",
        "keygen",
        "__init__",
        "__str__",
        "__dir__",
        "__repr__",
        "plaintext",
    ]
    assert isinstance(vars(SecretString)["_get_cls"], staticmethod)
    assert isinstance(vars(SecretString)["plaintext"], property)


@pytest.mark.parametrize(
    "func, signature",
    [
        (SecretString, "(secret_string, representer_cls=None, prefix='string')"),
        (SecretString.from_plaintext, "(plaintext, representer_cls=None, prefix='string')"),
        (SecretString.keygen, "(representer_cls=None, prefix='string')"),
        (SecretString._get_cls, "(cls_or_cls_name)"),
        (BaseSecretStringRepresenter, "(obj, prefix='string')"),
        (BaseSecretStringContainer, "(obj)"),
        (to_plaintext, "(str_or_secret_str)"),
    ],
)
def test_signatures(func, signature):
    assert str(inspect.signature(func)) == signature


def test_the_secret_string_keywords_of_the_markup_processor(conf):
    conf("[secrets]\nvault.key = vault-key\n")
    encoded = SecretString.from_plaintext(SECRET, prefix="vault").data
    assert SecretString(secret_string=encoded, prefix="vault").plaintext == SECRET
    assert SecretString(secret_string=encoded).plaintext != SECRET  # another key


# --- representers ---------------------------------------------------------------


def test_container_wants_a_secret_string():
    s = holder("x")
    assert BaseSecretStringContainer(s).obj is s
    with pytest.raises(Exception, match=r"^Object of type SecretString expected, but type <class 'str'> given\.$"):
        BaseSecretStringContainer("x")
    with pytest.raises(Exception, match="but type <class 'int'> given"):
        ObscuringSecretStringRepresenter(5, "p")


def test_representer_binding_and_base_methods():
    s = holder("x")
    rep = BaseSecretStringRepresenter(s)
    assert rep.obj is s and rep.prefix == "string"
    assert BaseSecretStringRepresenter(s, "other").prefix == "other"
    with pytest.raises(NotImplementedError, match=r"^BaseSecretStringRepresenter does not implement encode\.$"):
        rep.encode()
    with pytest.raises(NotImplementedError, match=r"^BaseSecretStringRepresenter does not implement decode\.$"):
        rep.decode()
    sub = type("Mine", (BaseSecretStringRepresenter,), {})
    with pytest.raises(NotImplementedError, match="^Mine does not implement decode"):
        sub(s).decode()
    plain = PlainTextSecretStringRepresenter(s)
    assert plain.encode() is s.data and plain.decode() is s.data
    assert s.representer.obj is s  # the two refer to each other


def test_keygen():
    key = BaseSecretStringRepresenter.keygen()
    assert len(key) == 36 and key.count("-") == 4 and key[14] == "4"
    assert ObscuringSecretStringRepresenter.keygen() != key
    fkey = FernetSecretStringRepresenter.keygen()
    assert isinstance(fkey, str) and len(fkey) == 44
    Fernet(fkey.encode())  # accepted
    assert len(SecretString.keygen()) == 36
    assert len(SecretString.keygen(FernetSecretStringRepresenter)) == 44


def test_key_lookup_logs_debug_each_time_and_warns_once_per_class(caplog):
    caplog.set_level(logging.DEBUG, logger="ovark.utils.veiled_texts")
    s = holder("x")
    a, b = ObscuringSecretStringRepresenter(s), ObscuringSecretStringRepresenter(s, "mine")
    caplog.clear()
    assert a.key == b.key == DEFAULT_KEY
    records = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert records == [
        ("DEBUG", "Using a default key as Ovark configuration under [secrets] string.key was not specified."),
        ("WARNING", WARNING),
        ("DEBUG", "Using a default key as Ovark configuration under [secrets] mine.key was not specified."),
    ]
    assert ObscuringSecretStringRepresenter.LOGGED_KEY_WARNING is True
    assert BaseSecretStringRepresenter.LOGGED_KEY_WARNING is False
    caplog.clear()
    PlainTextSecretStringRepresenter(s).key
    assert [r.levelname for r in caplog.records] == ["DEBUG", "WARNING"]


@pytest.mark.parametrize(
    "entry, found",
    [
        ("string.key = k1", "k1"),
        ("string.key =", DEFAULT_KEY),  # empty counts as absent
        ("other.key = k2", DEFAULT_KEY),
    ],
)
def test_key_from_configuration(conf, caplog, entry, found):
    conf("[secrets]\n" + entry + "\n")
    caplog.set_level(logging.DEBUG, logger="ovark.utils.veiled_texts")
    assert ObscuringSecretStringRepresenter(holder("x")).key == found
    assert bool(caplog.records) is (found == DEFAULT_KEY)


def test_key_is_read_on_every_use(monkeypatch):
    s = SecretString.from_plaintext(SECRET)
    monkeypatch.setattr(vt, "cfg", {"secrets": {"string": {"key": "changed"}}})
    assert s.representer.key == "changed"
    assert s.plaintext == reference_decode(s.data, "changed") != SECRET


class Recording(dict):
    """A configuration whose get is its own: every lookup is recorded."""

    def __init__(self, *args, calls=None):
        super().__init__(*args)
        self.calls = calls if calls is not None else []

    def get(self, key, *default):
        self.calls.append(key)
        return super().get(key, *default)


def configurations():
    key = {"key": "k3y", "representer": "ovark.utils.veiled_texts.PlainTextSecretStringRepresenter"}
    shadowed = type("Shadowed", (dict,), {})({"secrets": {"string": {"key": "ignored"}}})
    shadowed.get = lambda name, default=None: {"string": key} if name == "secrets" else default
    calls = []
    return {
        "dict": ({"secrets": {"string": key}}, "k3y", PlainTextSecretStringRepresenter, None),
        "Configuration": (
            ovark.Configuration({"secrets": {"string": key}}),
            "k3y",
            PlainTextSecretStringRepresenter,
            None,
        ),
        "own get at every level": (
            Recording({"secrets": Recording({"string": Recording(key, calls=calls)}, calls=calls)}, calls=calls),
            "k3y",
            PlainTextSecretStringRepresenter,
            (
                calls,
                ["secrets", "string", "representer", "secrets", "string", "key", "secrets", "string", "representer"],
            ),
        ),
        "get set on the instance": (shadowed, "k3y", PlainTextSecretStringRepresenter, None),
        "not a dict": (
            Table({"secrets": Table({"string": Table(key)})}),
            "k3y",
            PlainTextSecretStringRepresenter,
            None,
        ),
        "no section": ({"other": {}}, DEFAULT_KEY, ObscuringSecretStringRepresenter, None),
        "no prefix": ({"secrets": {"other": key}}, DEFAULT_KEY, ObscuringSecretStringRepresenter, None),
        "empty entries": ({"secrets": {"string": {}}}, DEFAULT_KEY, ObscuringSecretStringRepresenter, None),
    }


@pytest.mark.parametrize("name", list(configurations()))
def test_the_configuration_is_read_through_its_own_get(monkeypatch, name):
    cfg, key, representer, recorded = configurations()[name]
    monkeypatch.setattr(vt, "cfg", cfg)
    assert ObscuringSecretStringRepresenter(holder("x")).key == key
    assert SecretString._get_rep(None, "string") is representer
    if recorded:
        assert recorded[0] == recorded[1]
    s = SecretString.from_plaintext(SECRET)
    assert s.representer_cls is representer and s.plaintext == SECRET and to_plaintext(s) == SECRET


# --- the obscuring cipher -----------------------------------------------------

KEYS = st.one_of(st.sampled_from([DEFAULT_KEY, "k", "\u20ac\U0001f511", "\xff" * 3]), st.text(min_size=1, max_size=70))
LATIN1 = st.text(st.characters(min_codepoint=0, max_codepoint=255), max_size=150)


def obscure(clear, key):
    rep = ObscuringSecretStringRepresenter(holder(clear))
    rep.__class__ = type("Keyed", (ObscuringSecretStringRepresenter,), {"key": key})
    return rep.encode()


def unveil(enc, key):
    rep = ObscuringSecretStringRepresenter(holder(enc))
    rep.__class__ = type("Keyed", (ObscuringSecretStringRepresenter,), {"key": key})
    return rep.decode()


@settings(max_examples=300)
@given(clear=LATIN1, key=KEYS)
@example(clear="", key="k")
@example(clear="\x00\xff" * 40, key="\u0100\x01")
@example(clear="\x80\xff\x7f" * 700, key=DEFAULT_KEY)  # longer than any buffer on the stack
def test_obscuring_round_trip_is_the_defined_cipher(clear, key):
    enc = obscure(clear, key)
    assert enc == reference_encode(clear, key)
    assert set(enc) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=")
    assert unveil(enc, key) == clear


@settings(max_examples=200)
@given(clear=st.text(min_size=1), key=KEYS, data=st.data())
def test_obscuring_refuses_characters_above_latin1(clear, key, data):
    at = data.draw(st.integers(0, len(clear)))
    clear = clear[:at] + data.draw(st.characters(min_codepoint=0x100)) + clear[at:]
    first = next(i for i, c in enumerate(clear) if ord(c) > 0xFF)
    with pytest.raises(ValueError, match="up to U\\+00FF.*at position {}\\.$".format(first)) as info:
        obscure(clear, key)
    assert clear not in str(info.value)


@settings(max_examples=300)
@given(
    enc=st.one_of(
        st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=+/ \n.", max_size=40),
        st.binary(max_size=30).map(lambda b: base64.urlsafe_b64encode(b).decode()),
        st.text(max_size=12),
    ),
    key=KEYS,
)
@example(enc="w5/Dgw==", key="k")  # standard alphabet
@example(enc="QUJD\n", key="k")  # dropped character
@example(enc="QQ", key="k")  # missing fill
@example(enc="QQ==QUJD", key="k")  # data after the fill
@example(enc="QR==", key="k")  # stray low bits
@example(enc="/w==", key="k")  # not UTF-8
@example(enc="8J+Riw==", key="k")  # beyond the BMP
def test_obscuring_decode_matches_the_reference_errors_included(enc, key):
    try:
        expected = reference_decode(enc, key)
    except Exception as exc:  # noqa: BLE001 - the same error, whatever it is
        with pytest.raises(type(exc)) as info:
            unveil(enc, key)
        assert str(info.value) == str(exc)
    else:
        assert unveil(enc, key) == expected


def test_obscuring_pinned_vectors():
    """Stored secrets keep decoding: the output is fixed byte for byte."""
    assert obscure("password", DEFAULT_KEY) == "w53Dg8Olw6vDlsOVw5PDkA=="
    assert obscure("abc", "k") == "w4zDjcOO"
    assert unveil("w53Dg8Olw6vDlsOVw5PDkA==", DEFAULT_KEY) == "password"
    assert obscure("", "k") == "" and unveil("", "k") == ""


def test_obscuring_with_a_patched_base64(monkeypatch):
    calls = []

    class Spy:
        def urlsafe_b64encode(self, b):
            calls.append(b)
            return base64.urlsafe_b64encode(b)

        def urlsafe_b64decode(self, s):
            calls.append(s)
            return base64.urlsafe_b64decode(s)

    monkeypatch.setattr(vt, "base64", Spy())
    assert obscure("abc", "k") == "w4zDjcOO" and unveil("w4zDjcOO", "k") == "abc"
    assert calls == ["\xcc\xcd\xce".encode(), "w4zDjcOO"]


@pytest.mark.parametrize("key, error", [(b"bytes", TypeError), (5, TypeError), ("", ValueError)])
def test_obscuring_odd_keys_fail_cleanly(key, error):
    with pytest.raises(error):
        obscure("abc", key)
    with pytest.raises(error):
        unveil("w4zDjcOO", key)
    assert unveil("", key) == ""  # nothing to shift: the key is not looked at
    for enc, first in [("/w==", UnicodeDecodeError), ("QQ", binascii.Error)]:  # the text's own error comes first
        with pytest.raises(first):
            unveil(enc, key)


# --- Fernet -------------------------------------------------------------------


def test_fernet_round_trip(conf):
    conf("[secrets]\nstring.key = {}\n".format(FERNET_KEY))
    s = SecretString.from_plaintext(SECRET + "\u20ac\U0001f511", FernetSecretStringRepresenter)
    assert Fernet(FERNET_KEY.encode()).decrypt(s.data.encode()).decode() == SECRET + "\u20ac\U0001f511"
    assert s.plaintext == SECRET + "\u20ac\U0001f511" and s.representer_cls is FernetSecretStringRepresenter
    token = Fernet(FERNET_KEY.encode()).encrypt(b"made elsewhere").decode()
    assert SecretString(token, FernetSecretStringRepresenter).plaintext == "made elsewhere"


@pytest.mark.parametrize("ini", ["", "[secrets]\nstring.key = {}\n".format(DEFAULT_KEY)])
def test_fernet_wants_a_configured_key(conf, ini):
    conf(ini)
    rep = FernetSecretStringRepresenter(holder("x"))
    message = (
        "A key must be specified as Ovark configuration under [secrets] string.key.\n"
        "This key may be generated with the 'ovark secret keygen' command"
    )
    for action in (lambda: rep.key, rep.encode, rep.decode):
        with pytest.raises(Exception) as info:
            action()
        assert str(info.value) == message


def test_fernet_failures_become_the_wrong_format_error(conf):
    conf("[secrets]\nstring.key = {}\n".format(FERNET_KEY))
    other = Fernet(Fernet.generate_key()).encrypt(b"x").decode()
    for text in (other, "not a token"):
        with pytest.raises(Exception) as info:
            SecretString(text, FernetSecretStringRepresenter)
        assert str(info.value) == (
            "The secret string '{}' has the wrong format.\n"
            "It cannot be decoded with representer FernetSecretStringRepresenter.".format(text)
        )
        assert isinstance(info.value.__cause__, InvalidToken)
    conf("[secrets]\nstring.key = short\n")
    with pytest.raises(Exception, match="wrong format") as info:
        SecretString(other, FernetSecretStringRepresenter)
    assert isinstance(info.value.__cause__, ValueError)


def test_fernet_without_cryptography_raises_import_error_first(monkeypatch):
    monkeypatch.setattr(vt, "Fernet", None)
    message = (
        "FernetSecretStringRepresenter can only be used when the following commands are executed : \n"
        "pip install cryptography"
    )
    rep = FernetSecretStringRepresenter(holder("x"))  # no key configured: the import error still comes first
    for action in (
        FernetSecretStringRepresenter.keygen,
        rep.encode,
        rep.decode,
        lambda: SecretString("x", FernetSecretStringRepresenter),
        lambda: SecretString.from_plaintext("x", FernetSecretStringRepresenter),
    ):
        with pytest.raises(ImportError) as info:
            action()
        assert str(info.value) == message and info.value.__cause__ is None


def test_module_loads_without_cryptography(tmp_path):
    code = textwrap.dedent("""
        import sys
        sys.modules["cryptography"] = None
        from ovark.utils import veiled_texts as vt
        assert vt.Fernet is None
        s = vt.SecretString.from_plaintext("abc")
        assert s.plaintext == "abc" and vt.to_plaintext(s) == "abc"
        assert len(vt.SecretString.keygen()) == 36
        for action in (vt.FernetSecretStringRepresenter.keygen,
                       lambda: vt.SecretString.from_plaintext("abc", vt.FernetSecretStringRepresenter),
                       lambda: vt.SecretString("abc", vt.FernetSecretStringRepresenter)):
            try:
                action()
            except ImportError as exc:
                print(repr(str(exc)))
    """)
    env = dict(os.environ, OVARK_CONF=str(tmp_path / "absent.conf"))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    expected = repr(
        "FernetSecretStringRepresenter can only be used when the following commands are executed : \n"
        "pip install cryptography"
    )
    assert out.stdout.splitlines() == [expected] * 3


# --- SecretString ---------------------------------------------------------------


def test_from_plaintext_with_the_default_representer():
    s = SecretString.from_plaintext("abc")
    assert s.representer_cls is ObscuringSecretStringRepresenter
    assert isinstance(s.representer, ObscuringSecretStringRepresenter) and s.representer.obj is s
    assert s.plaintext == "abc" and s.data != "abc" and s.data == reference_encode("abc", DEFAULT_KEY)
    assert SecretString.from_plaintext("abc", PlainTextSecretStringRepresenter).data == "abc"
    assert SecretString.from_plaintext(123).plaintext == "123"


@pytest.mark.parametrize("value, data", [("enc", "enc"), (42, "42")])
def test_constructor_takes_text_user_strings_and_others(value, data):
    s = SecretString(value, PlainTextSecretStringRepresenter, "p")
    assert s.data == data and s.representer.prefix == "p"
    assert SecretString(s, PlainTextSecretStringRepresenter).data == data


def test_printing_masks_every_character():
    s = SecretString.from_plaintext(SECRET)
    assert str(s) == repr(s) == "*" * len(s.data)
    assert str(SecretString("")) == repr(SecretString("")) == ""
    assert str(SecretString("abcdefghijkl", PlainTextSecretStringRepresenter)) == "*" * 12


def test_dir_lists_the_secret_string_then_str():
    s = SecretString.from_plaintext("x")
    names = dir(s)
    assert "plaintext" in names and "representer" in names and "upper" in names
    assert s.__dir__() == object.__dir__(s) + dir(s.data) and names == sorted(s.__dir__())


def test_to_plaintext():
    s = SecretString.from_plaintext(SECRET)
    assert to_plaintext(s) == SECRET and to_plaintext(5) == "5" and to_plaintext(None) == "None"
    text = "as is"
    assert to_plaintext(text) is text


def test_wrong_format_names_the_encoded_text_and_keeps_the_cause():
    with pytest.raises(Exception) as info:
        SecretString("abc")
    assert type(info.value) is Exception
    assert str(info.value) == (
        "The secret string 'abc' has the wrong format.\n"
        "It cannot be decoded with representer ObscuringSecretStringRepresenter."
    )
    assert isinstance(info.value.__cause__, binascii.Error) and info.value.__suppress_context__
    with pytest.raises(Exception, match="wrong format") as info:
        SecretString("/w==")  # Base64 of a byte that is not UTF-8
    assert isinstance(info.value.__cause__, UnicodeDecodeError)


def test_get_cls():
    assert SecretString._get_cls(None) is None and SecretString._get_cls("") is None
    assert (
        SecretString._get_cls("ovark.utils.veiled_texts.PlainTextSecretStringRepresenter")
        is PlainTextSecretStringRepresenter
    )
    assert SecretString._get_cls(int) is int
    with pytest.raises(ImportError):
        SecretString._get_cls("no_such_package_xyz.Cls")


@pytest.mark.parametrize("value", ["NoDots", 5])
def test_get_cls_warns_about_what_is_no_class(caplog, value):
    assert SecretString._get_cls(value) is None
    assert caplog.records[-1].levelname == "WARNING"
    assert caplog.records[-1].getMessage() == "Could not convert {} to a class.".format(value)


def test_validate_rep():
    message = (
        r"^Representer class <class 'int'> must inherit from ovark\.utils\.veiled_texts\.BaseSecretStringRepresenter\.$"
    )
    with pytest.raises(Exception, match=message):
        SecretString._validate_rep(int)
    assert SecretString._validate_rep(None) is None and SecretString._validate_rep(CONCRETE[0]) is None
    with pytest.raises(TypeError):  # a text is not a class; it is not imported either
        SecretString("x", "ovark.utils.veiled_texts.PlainTextSecretStringRepresenter")


def test_configured_representers_by_prefix(conf):
    conf(
        """
        [secrets]
        string.representer = ovark.utils.veiled_texts.FernetSecretStringRepresenter
        string.key = {}
        plain.representer = ovark.utils.veiled_texts.PlainTextSecretStringRepresenter
        odd.representer = NoDots
    """.format(FERNET_KEY)
    )
    s = SecretString.from_plaintext(SECRET)
    assert s.representer_cls is FernetSecretStringRepresenter and s.plaintext == SECRET
    assert SecretString.from_plaintext(SECRET, prefix="plain").data == SECRET
    assert SecretString._get_rep(None, "odd") is ObscuringSecretStringRepresenter  # warned, default
    assert SecretString._get_rep(PlainTextSecretStringRepresenter, "string") is PlainTextSecretStringRepresenter
    assert len(SecretString.keygen()) == 44 and len(SecretString.keygen(prefix="plain")) == 36


@pytest.mark.parametrize(
    "configured, error",
    [
        ("builtins.int", "must inherit from"),
        ("os.path.join", "issubclass"),
    ],
)
def test_a_bad_configured_representer_always_raises(conf, configured, error):
    conf("[secrets]\nstring.representer = {}\n".format(configured))
    for explicit in (None, PlainTextSecretStringRepresenter):
        with pytest.raises((Exception, TypeError), match=error):
            SecretString("x", explicit)


def test_configured_class_object(monkeypatch):
    monkeypatch.setattr(vt, "cfg", {"secrets": {"string": {"representer": PlainTextSecretStringRepresenter}}})
    assert SecretString("x").representer_cls is PlainTextSecretStringRepresenter


def test_subclasses_build_their_own_class():
    class Mine(SecretString):
        pass

    s = Mine.from_plaintext("abc")
    assert type(s) is Mine and s.plaintext == "abc" and isinstance(s.representer, ObscuringSecretStringRepresenter)


def test_a_custom_representer(monkeypatch):
    class Reversed(BaseSecretStringRepresenter):
        def encode(self):
            return self.obj.data[::-1]

        def decode(self):
            return self.obj.data[::-1]

    s = SecretString.from_plaintext("abc", Reversed, "p")
    assert s.data == "cba" and s.plaintext == "abc" and s.representer.prefix == "p"


# --- nothing shows the plaintext ---------------------------------------------


@pytest.fixture(params=["obscuring", "fernet"])
def secret(request, conf):
    if request.param == "fernet":
        conf(
            "[secrets]\nstring.key = {}\nstring.representer = {}\n".format(
                FERNET_KEY, "ovark.utils.veiled_texts.FernetSecretStringRepresenter"
            )
        )
    return SecretString.from_plaintext(SECRET)


def test_text_forms_are_masked(secret, caplog):
    stars = "*" * len(secret.data)
    assert str(secret) == repr(secret) == format(secret) == f"{secret}" == f"{secret!s}" == f"{secret!r}" == stars
    assert "%s|%r" % (secret, secret) == stars + "|" + stars
    assert "{}".format(secret) == stars and f"{secret:>60}" == stars.rjust(60)
    assert str([secret]) == "[{}]".format(stars) and str({"pw": secret}) == "{{'pw': {}}}".format(stars)
    caplog.set_level(logging.INFO)
    logging.getLogger("test").info(secret)
    logging.getLogger("test").info("password %s %r", secret, secret)
    assert all(SECRET not in r.getMessage() for r in caplog.records)
    assert secret.plaintext == SECRET  # and yet it is there


def test_string_behaviour_works_on_the_encoded_text(secret):
    assert secret == secret.data and hash(secret) == hash(secret.data) and len(secret) == len(secret.data)
    assert SECRET not in secret.data and SECRET[:6] not in secret and secret.startswith(secret.data[:5])
    assert secret.split("-") == secret.data.split("-")
    try:  # items and iteration are secret strings of single encoded characters, checked as ever
        shown = "".join(str(item) for item in secret)
    except Exception as exc:  # noqa: BLE001 - the wrong-format error of one encoded character
        shown = error_texts(exc)
    assert SECRET not in shown
    assert int(SecretString("12", PlainTextSecretStringRepresenter)) == 12


def test_pickle_and_copy_keep_the_encoded_form_only(secret):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        dumped = pickle.dumps(secret, protocol)
        assert SECRET.encode() not in dumped and SECRET.encode("utf-16-le") not in dumped
        loaded = pickle.loads(dumped)
        assert type(loaded) is SecretString and loaded.data == secret.data and loaded.plaintext == SECRET
        assert loaded.representer.obj is loaded
    for copied in (copy.copy(secret), copy.deepcopy(secret)):
        assert copied.data == secret.data and copied.plaintext == SECRET


def error_texts(exc):
    return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)) + repr(exc.args)


@pytest.mark.parametrize(
    "plaintext, representer, ini, error",
    [
        (SECRET + "\u20ac", ObscuringSecretStringRepresenter, "", ValueError),
        (SECRET, FernetSecretStringRepresenter, "", Exception),  # no key
        (SECRET + "\ud800", FernetSecretStringRepresenter, "string.key = " + FERNET_KEY, ValueError),
        (SECRET, "ovark.utils.veiled_texts.PlainTextSecretStringRepresenter", "", TypeError),
        (SECRET, None, "string.representer = builtins.dict", Exception),
    ],
)
def test_a_failing_from_plaintext_does_not_show_the_plaintext(conf, plaintext, representer, ini, error):
    conf("[secrets]\n" + ini + "\n")
    with pytest.raises(error) as info:
        SecretString.from_plaintext(plaintext, representer)
    shown = error_texts(info.value)
    assert SECRET not in shown and SECRET[:8] not in shown


def test_the_surrogate_error_names_the_position_only(conf):
    conf("[secrets]\nstring.key = {}\n".format(FERNET_KEY))
    with pytest.raises(ValueError, match=r"surrogate at position 3\.$") as info:
        SecretString.from_plaintext("abc\udfff", FernetSecretStringRepresenter)
    assert info.value.__context__ is None or "abc" not in error_texts(info.value)


NOT_UTF8 = "The decrypted plaintext is not valid UTF-8 text."


@pytest.mark.parametrize(
    "plaintext",
    [
        SECRET.encode() + b"\xff",  # a byte that never starts a character
        b"\xc3(" + SECRET.encode(),  # a lead byte without its continuation
        (SECRET + "\xe9").encode("latin-1"),  # another encoding altogether
        SECRET.encode() + "\ud800".encode("utf-8", "surrogatepass"),
    ],
)
def test_a_fernet_plaintext_that_is_not_utf8_never_shows(conf, tmp_path, plaintext):
    conf(
        "[secrets]\nstring.representer = ovark.utils.veiled_texts.FernetSecretStringRepresenter\n"
        "string.key = {}\n".format(FERNET_KEY)
    )
    token = Fernet(FERNET_KEY.encode()).encrypt(plaintext).decode()
    with pytest.raises(Exception) as info:
        SecretString(token)
    exc = info.value
    assert str(exc) == (
        "The secret string '{}' has the wrong format.\n"
        "It cannot be decoded with representer FernetSecretStringRepresenter.".format(token)
    )
    assert exc.__cause__ is None and exc.__context__ is None and exc.__suppress_context__
    with pytest.raises(ValueError) as info:  # the representer itself, as a later read of plaintext meets it
        FernetSecretStringRepresenter(holder(token)).decode()
    assert info.value.args == (NOT_UTF8,) and info.value.__context__ is None
    for shown in (error_texts(exc), error_texts(info.value)):
        assert SECRET[:8] not in shown
    command = subprocess.run(
        [sys.executable, "-m", "ovark", "secret", "decode", token],
        capture_output=True,
        text=True,
        env=dict(os.environ, OVARK_CONF=os.environ["OVARK_CONF"]),
        timeout=60,
    )
    assert command.returncode != 0 and "wrong format" in command.stderr
    assert SECRET[:8] not in command.stderr + command.stdout and "codec" not in command.stderr


class Raising:
    """Held data, or a decrypted result, whose encode and decode raise `error`."""

    def __init__(self, error):
        self.error = error

    def encode(self, *args):
        raise self.error

    decode = encode


@pytest.mark.parametrize(
    "step, error, replaced_by",
    [
        (
            "encode",
            UnicodeEncodeError("utf-8", "ab\udfff", 2, 3, "surrogates not allowed"),
            "The plaintext cannot be encoded as UTF-8: it holds a surrogate at position 2.",
        ),
        ("encode", LookupError("no codec"), None),
        ("decode", UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), NOT_UTF8),
        ("decode", LookupError("no codec"), None),
        ("init", KeyboardInterrupt(), None),
        ("init", ModuleNotFoundError("gone"), None),
    ],
)
def test_only_the_errors_a_step_words_itself_are_replaced(conf, monkeypatch, step, error, replaced_by):
    conf("[secrets]\nstring.key = {}\n".format(FERNET_KEY))
    secret = holder("token")
    if step == "encode":
        secret.data = Raising(error)
        action = FernetSecretStringRepresenter(secret).encode
    elif step == "decode":
        fake = type("Fake", (), {"__init__": lambda self, key: None, "decrypt": lambda self, token: Raising(error)})
        monkeypatch.setattr(vt, "Fernet", fake)
        action = FernetSecretStringRepresenter(secret).decode
    else:
        failing = type("Failing", (PlainTextSecretStringRepresenter,), {"decode": Raising(error).decode})
        action = lambda: SecretString("token", failing)  # noqa: E731
    with pytest.raises(BaseException) as info:
        action()
    if replaced_by is None:
        assert info.value is error
    else:
        assert type(info.value) is ValueError and info.value.args == (replaced_by,)
        assert info.value.__context__ is None and info.value.__cause__ is None


def test_a_failing_decode_names_the_encoded_text_only():
    class Leaky(PlainTextSecretStringRepresenter):
        def decode(self):
            raise ValueError("cannot decode")

    with pytest.raises(Exception) as info:
        SecretString.from_plaintext(SECRET, Leaky)  # holds the plaintext as its encoded form: shown as given
    assert "wrong format" in str(info.value)
    s = SecretString.from_plaintext(SECRET)
    with pytest.raises(Exception) as info:
        SecretString(s, Leaky)  # a secret string as argument: shown masked
    assert "'{}'".format("*" * len(s.data)) in str(info.value) and SECRET not in error_texts(info.value)


# --- no leaks -------------------------------------------------------------------


@pytest.mark.slow
def test_no_leaks(conf, monkeypatch):
    monkeypatch.setattr(logging.getLogger("ovark.utils.veiled_texts"), "disabled", True)
    s = SecretString.from_plaintext(SECRET)
    enc = ObscuringSecretStringRepresenter(holder(SECRET))
    dec = s.representer
    assert_no_leak(enc.encode)
    assert_no_leak(dec.decode)
    assert_no_leak(lambda: s.plaintext)
    assert_no_leak(lambda: (str(s), repr(s), dir(s), to_plaintext(s)), calls=2000)
    assert_no_leak(lambda: SecretString(s.data), calls=5000)
    assert_no_leak(lambda: SecretString.from_plaintext(SECRET), calls=3000)
    assert_no_leak(lambda: pytest.raises(Exception, SecretString, "abc"), calls=2000)
    assert_no_leak(lambda: pytest.raises(ValueError, SecretString.from_plaintext, "\u20ac"), calls=2000)
    conf("[secrets]\nstring.key = {}\n".format(FERNET_KEY))
    f = SecretString.from_plaintext(SECRET, FernetSecretStringRepresenter)
    assert_no_leak(lambda: SecretString(f.data, FernetSecretStringRepresenter), calls=2000)
    not_utf8 = Fernet(FERNET_KEY.encode()).encrypt(b"\xff").decode()
    assert_no_leak(lambda: pytest.raises(Exception, SecretString, not_utf8, FernetSecretStringRepresenter), calls=2000)
    # The decoder's one-pass and general ways, and each way of reading the configuration.
    long_secret = SecretString.from_plaintext("\x80\xff" * 600)
    for enc in ("w4zDjcOO", "w4zDjcOO\n", "4oKs", long_secret.data):
        rep = ObscuringSecretStringRepresenter(holder(enc))
        assert_no_leak(rep.decode, calls=3000)
    for name in ("Configuration", "get set on the instance", "not a dict", "no prefix"):
        monkeypatch.setattr(vt, "cfg", configurations()[name][0])
        assert_no_leak(lambda: SecretString(secret_string=s.data).plaintext, calls=3000)
