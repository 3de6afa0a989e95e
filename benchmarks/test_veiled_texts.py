"""Secret strings against the same classes written in plain Python.

The plain-Python contender below is the representers and SecretString as their
behaviour is written down, line for line: the same configuration lookups, the
same logging and the same cipher. Both read the same configuration (a key set,
so that neither logs), on 1,000 secrets of 64 characters.
"""

import base64
import inspect
import logging
import random
import uuid
from collections import UserString

import pytest

from ovark.utils import veiled_texts as vt
from ovark.utils.import_utils import import_from_name

COUNT, LENGTH = 1000, 64
cfg = {"secrets": {"string": {"key": "3f6c1b0e-8d7a-4c55-9e42-bench-key-0001"}}}
logger = logging.getLogger("bench.veiled_texts")

CNF_SEC, CNF_STR, CNF_SS_REP, CNF_SS_KEY = "secrets", "string", "representer", "key"


class BaseSecretStringContainer(object):
    def __init__(self, obj):
        if not isinstance(obj, SecretString):
            raise Exception("Object of type SecretString expected, but type {} given.".format(type(obj)))
        self.obj = obj


class BaseSecretStringRepresenter(BaseSecretStringContainer):
    DEFAULT_KEY = "mbrx_fallback_key"
    LOGGED_KEY_WARNING = False

    @classmethod
    def keygen(cls):
        return str(uuid.uuid4())

    def __init__(self, obj, prefix=CNF_STR):
        super(BaseSecretStringRepresenter, self).__init__(obj)
        self.prefix = prefix

    @property
    def key(self):
        key = cfg.get(CNF_SEC, {}).get(self.prefix, {}).get(CNF_SS_KEY)
        if key:
            return key
        logger.debug(
            "Using a default key as Ovark configuration under [{sec}] {sstr}.{key} was not specified.".format(
                sec=CNF_SEC, sstr=self.prefix, key=CNF_SS_KEY
            )
        )
        key = self.DEFAULT_KEY
        if not self.__class__.LOGGED_KEY_WARNING:
            logger.warning("Using the default encoding key ...")
            self.__class__.LOGGED_KEY_WARNING = True
        return key

    def encode(self):
        raise NotImplementedError("{} does not implement encode.".format(self.__class__.__name__))

    def decode(self):
        raise NotImplementedError("{} does not implement decode.".format(self.__class__.__name__))


class PlainTextSecretStringRepresenter(BaseSecretStringRepresenter):
    def encode(self):
        return self.obj.data

    def decode(self):
        return self.obj.data


class ObscuringSecretStringRepresenter(BaseSecretStringRepresenter):
    def encode(self):
        key = self.key
        clear = self.obj.data
        enc = []
        for i in range(len(clear)):
            key_c = key[i % len(key)]
            enc_c = chr((ord(clear[i]) + ord(key_c)) % 256)
            enc.append(enc_c)
        return base64.urlsafe_b64encode("".join(enc).encode()).decode()

    def decode(self):
        enc = self.obj.data
        key = self.key
        dec = []
        enc = base64.urlsafe_b64decode(enc).decode()
        for i in range(len(enc)):
            key_c = key[i % len(key)]
            dec_c = chr((256 + ord(enc[i]) - ord(key_c)) % 256)
            dec.append(dec_c)
        return "".join(dec)


class SecretString(UserString):
    @staticmethod
    def _get_cls(cls_or_cls_name):
        if not cls_or_cls_name:
            return None
        if isinstance(cls_or_cls_name, str) and "." in cls_or_cls_name:
            return import_from_name(cls_or_cls_name)
        if inspect.isclass(cls_or_cls_name):
            return cls_or_cls_name
        logger.warning("Could not convert {} to a class.".format(cls_or_cls_name))
        return None

    @classmethod
    def _validate_rep(cls, rep_cls):
        if rep_cls and not issubclass(rep_cls, BaseSecretStringRepresenter):
            raise Exception(
                "Representer class {} must inherit from ovark.utils.veiled_texts.BaseSecretStringRepresenter.".format(
                    rep_cls
                )
            )

    @classmethod
    def _get_rep(cls, representer_cls, prefix):
        cls._validate_rep(representer_cls)
        conf_cls = cls._get_cls(cfg.get(CNF_SEC, {}).get(prefix, {}).get(CNF_SS_REP))
        cls._validate_rep(conf_cls)
        return representer_cls or conf_cls or ObscuringSecretStringRepresenter

    @classmethod
    def from_plaintext(cls, plaintext, representer_cls=None, prefix=CNF_STR):
        holder = cls(plaintext, representer_cls=PlainTextSecretStringRepresenter, prefix=prefix)
        rep_cls = cls._get_rep(representer_cls, prefix)
        return cls(rep_cls(holder, prefix).encode(), representer_cls=rep_cls, prefix=prefix)

    def __init__(self, secret_string, representer_cls=None, prefix=CNF_STR):
        super(SecretString, self).__init__(secret_string)
        self.representer_cls = self._get_rep(representer_cls, prefix)
        self.representer = self.representer_cls(self, prefix)
        try:
            self.plaintext
        except ImportError:
            raise
        except Exception as exc:
            raise Exception(
                "The secret string '{}' has the wrong format.\nIt cannot be decoded with representer {}.".format(
                    secret_string, self.representer_cls.__name__
                )
            ) from exc

    def __str__(self):
        return "*" * len(self.data)

    __repr__ = __str__

    @property
    def plaintext(self):
        return self.representer.decode()


def texts(seed=11):
    rnd = random.Random(seed)
    return ["".join(chr(rnd.randrange(256)) for _ in range(LENGTH)) for _ in range(COUNT)]


PLAIN = texts()


@pytest.fixture(autouse=True)
def configured(monkeypatch):
    monkeypatch.setattr(vt, "cfg", cfg)


@pytest.fixture
def ours():
    holders = [vt.SecretString(t, vt.PlainTextSecretStringRepresenter) for t in PLAIN]
    encoders = [vt.ObscuringSecretStringRepresenter(h) for h in holders]
    encoded = [e.encode() for e in encoders]
    secrets = [vt.SecretString(e) for e in encoded]
    assert [s.plaintext for s in secrets] == PLAIN
    return encoders, [s.representer for s in secrets], encoded


@pytest.fixture
def theirs():
    holders = [SecretString(t, PlainTextSecretStringRepresenter) for t in PLAIN]
    encoders = [ObscuringSecretStringRepresenter(h) for h in holders]
    encoded = [e.encode() for e in encoders]
    secrets = [SecretString(e) for e in encoded]
    assert [s.plaintext for s in secrets] == PLAIN
    return encoders, [s.representer for s in secrets], encoded


def test_same_results(ours, theirs):
    assert ours[2] == theirs[2]


def run_encode(encoders):
    for e in encoders:
        e.encode()


def run_decode(decoders):
    for d in decoders:
        d.decode()


def build(cls, encoded):
    for e in encoded:
        cls(e)


def resolve(cls, encoded):
    for e in encoded:
        cls(secret_string=e).plaintext


ENCODE = "obscuring encode, 1,000 secrets of 64 characters"
DECODE = "obscuring decode, 1,000 secrets of 64 characters"
BUILD = "SecretString from encoded text, 1,000 secrets"
RESOLVE = "SecretString(encoded).plaintext, as %ENC{...} resolves, 1,000 secrets"


def test_ovark_encode(benchmark, ours):
    benchmark.group = ENCODE
    benchmark(run_encode, ours[0])


def test_python_encode(benchmark, theirs):
    benchmark.group = ENCODE
    benchmark(run_encode, theirs[0])


def test_ovark_decode(benchmark, ours):
    benchmark.group = DECODE
    benchmark(run_decode, ours[1])


def test_python_decode(benchmark, theirs):
    benchmark.group = DECODE
    benchmark(run_decode, theirs[1])


def test_ovark_build(benchmark, ours):
    benchmark.group = BUILD
    benchmark(build, vt.SecretString, ours[2])


def test_python_build(benchmark, theirs):
    benchmark.group = BUILD
    benchmark(build, SecretString, theirs[2])


def test_ovark_resolve(benchmark, ours):
    benchmark.group = RESOLVE
    benchmark(resolve, vt.SecretString, ours[2])


def test_python_resolve(benchmark, theirs):
    benchmark.group = RESOLVE
    benchmark(resolve, SecretString, theirs[2])
