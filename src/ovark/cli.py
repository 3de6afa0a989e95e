"""The ``ovark`` command: a thin front end over the utilities.

    ovark secret keygen|encode|decode   keys and encoded texts for %ENC{...}
    ovark yaml FILE [FILE ...]          layer YAML files, resolve their markup
    ovark find FILE [FILE ...] --path   query a loaded tree with find and R
    ovark blame FILE [FILE ...] KEY     every layer that set a key
    ovark ls URL / ovark copy SRC DST   list and transfer files over FTP
    ovark completion bash|zsh           the shell completion script

Every failure ends in one line on standard error (file and line where they
are known) and a non-zero exit status; ``--debug`` shows the traceback.
Warnings go to standard error too, each once. No URL is printed with its
password, and no file of the user's is left half written.
"""

import argparse
import getpass
import importlib
import json
import logging
import os
import posixpath
import re
import stat
import sys
import tempfile
import textwrap
import time
import unicodedata
from collections.abc import Mapping, MutableMapping

import yaml

from ovark.utils.xferkit.plugins.localhost import _without_password

__all__ = ["main"]

PROG = "ovark"
REPRESENTER_BASE = "ovark.utils.veiled_texts.BaseSecretStringRepresenter"
REPRESENTER_ALIASES = {
    "plain": "ovark.utils.veiled_texts.PlainTextSecretStringRepresenter",
    "obscuring": "ovark.utils.veiled_texts.ObscuringSecretStringRepresenter",
    "fernet": "ovark.utils.veiled_texts.FernetSecretStringRepresenter",
}
DEFAULT_TIMEOUT = 60.0


class CliError(Exception):
    """A failure the command reports as one line, without a traceback."""


class MarkupRefused(CliError):
    """A markup the command refuses (raised inside the markup processor, which
    wraps it in a ``MarkupError`` that knows where the value stands).
    ``markup`` is the markup text as written, without anything it resolved to."""

    def __init__(self, markup, message, where=None):
        super().__init__(message)
        self.markup, self.where = markup, where


# ---------------------------------------------------------------------------
# Passwords in URLs
# ---------------------------------------------------------------------------

_URL_IN_TEXT = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://(?!\[)\S+")  # not "ftp://[user[:password]@]host"


def _masked(text):
    """``text`` with the password of every URL in it shown as "***"."""
    text = str(text)
    if "://" not in text:
        return text
    return _URL_IN_TEXT.sub(lambda found: _without_password(found.group(0)), text)


# ---------------------------------------------------------------------------
# Error lines
# ---------------------------------------------------------------------------


def _one_line(text):
    """``text`` with its lines joined, blanks collapsed."""
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


def _mark_place(mark, file_name=None):
    name = file_name or mark.name
    return "{}:{}:{}".format(name, mark.line + 1, mark.column + 1)


def _yaml_error_line(exc, file_name=None):
    """``file:line:column: problem`` for a YAML error."""
    mark = getattr(exc, "problem_mark", None) or getattr(exc, "context_mark", None)
    if mark is None:
        return "{}: {}".format(file_name, _one_line(exc)) if file_name else _one_line(exc)
    problem = exc.problem or exc.context or "invalid YAML"
    if exc.context and exc.problem:
        problem = "{} ({})".format(exc.problem, exc.context)
    name = file_name if file_name and mark.name in ("<unicode string>", "<byte string>", "<file>") else mark.name
    return "{}: {}".format(_mark_place(mark, name), problem)


def _place(location):
    """``file:line:column`` (1-based) of a ``Location``, or None."""
    if location is None or getattr(location, "line", -1) < 0:
        return None
    return "{}:{}:{}".format(location.file or "<string>", location.line + 1, location.column + 1)


def _type_name(exc):
    cls = type(exc)
    return (
        cls.__name__ if cls.__module__ in ("builtins", "__main__") else "{}.{}".format(cls.__module__, cls.__qualname__)
    )


def _describe_cause(exc):
    """The root cause of a markup error, in a few words."""
    from ovark.utils.yaml.exceptions import MarkupError

    root = exc
    while root.__cause__ is not None:
        root = root.__cause__
    if isinstance(root, CliError):
        return str(root)
    if isinstance(root, MarkupError):
        if str(root).startswith("Detected recursion"):
            return "recursive reference"
        return _one_line(root)
    if isinstance(root, KeyError):
        return "no value at {!r}".format(root.args[0] if root.args else "?")
    if isinstance(root, yaml.YAMLError):
        return "in included file " + _yaml_error_line(root)
    if isinstance(root, OSError) and root.filename is not None:
        return "{}: {}".format(root.filename, root.strerror or _one_line(root))
    if isinstance(root, EOFError):
        return "no answer on standard input"
    text = _one_line(root)
    return "{}: {}".format(_type_name(root), text) if text else _type_name(root)


def _markup_error_line(exc):
    """One line for the ``MarkupError`` that a ``Processor`` raised."""
    message = str(exc)
    markup = re.search(r"^Markup: (.*)$", message, re.M)
    where = _place(getattr(exc, "location", None))
    parts = [where] if where else []
    refused = exc
    while refused is not None and not isinstance(refused, MarkupRefused):
        refused = refused.__cause__
    if refused is not None:
        # the markup as written: the value being resolved may already hold
        # the plaintext of an earlier secret
        if not parts and refused.where:
            parts = [refused.where]
        return ": ".join(parts + [refused.markup, str(refused)])
    if markup:
        parts.append(markup.group(1).strip())
    parts.append(_describe_cause(exc))
    return ": ".join(parts)


def error_line(exc):
    """The one line that reports ``exc``."""
    from ovark.utils.yaml.exceptions import MarkupError

    if isinstance(exc, CliError):
        return str(exc)
    if isinstance(exc, MarkupError):
        return _markup_error_line(exc)
    if isinstance(exc, yaml.YAMLError):
        return _yaml_error_line(exc)
    if isinstance(exc, OSError):
        if exc.filename is not None:
            return "{}: {}".format(exc.filename, exc.strerror or _one_line(exc))
        return _one_line(exc) or type(exc).__name__
    text = _one_line(exc)
    return "{}: {}".format(_type_name(exc), text) if text else _type_name(exc)


# ---------------------------------------------------------------------------
# Loading, layering, resolving
# ---------------------------------------------------------------------------


STDIN_NAME = "<stdin>"


class _Stdin:
    """Whether standard input was read as a file ("-"): %ASK then asks the terminal."""

    used = False


def _display(path):
    return STDIN_NAME if path == "-" else path


def load_file(path):
    """(data, locations) of the YAML file at ``path``; "-" is standard input."""
    from ovark.utils.locations import LocSafeLoader

    locations = {}
    name = _display(path)
    try:
        if path == "-":
            if _Stdin.used:
                raise CliError("-: standard input can be read once only")
            _Stdin.used = True
            stream = sys.stdin.buffer.read().decode("utf-8") if sys.stdin is not None else ""
        else:
            stream = open(path, encoding="utf-8")
        try:
            loader = LocSafeLoader(stream, locations=locations, file_name=name)
            try:
                data = loader.get_single_data()
            finally:
                loader.dispose()
        finally:
            if path != "-":
                stream.close()
    except yaml.YAMLError as exc:
        raise CliError(_yaml_error_line(exc, name)) from exc
    except UnicodeDecodeError as exc:
        raise CliError("{}: not UTF-8 text ({})".format(name, exc.reason)) from exc
    return data, locations


def load_layers(paths, extend_lists=False):
    """Load every file and layer them in order: later files win."""
    from ovark.utils.locations import recursive_location_update

    data, locations = load_file(paths[0])
    if data is None and len(paths) > 1:
        data = {}  # an empty file layers nothing
    for path in paths[1:]:
        new_data, new_locations = load_file(path)
        if new_data is None:
            continue
        for name, tree in ((paths[0], data), (path, new_data)):
            if not isinstance(tree, MutableMapping):
                raise CliError("{}: cannot layer: the document is not a mapping".format(_display(name)))
        recursive_location_update(data, new_data, locations, new_locations, list_extend=extend_lists)
    return data, locations


class IncludeLoader:
    """Loads ``%INCLUDE{path}`` files for the markup processor.

    A relative path is looked for next to the files given on the command line
    and the files already included (the latest first), then in the current
    folder.
    """

    search_path = ()

    def __init__(self, markupprocessor=None):
        self.markupprocessor = markupprocessor

    @classmethod
    def find(cls, path):
        path = os.path.expanduser(path)
        if os.path.isabs(path):
            return path
        for folder in cls.search_path:
            candidate = os.path.join(folder, path)
            if os.path.isfile(candidate):
                return candidate
        return path

    def load(self, path, locations=None):
        from ovark.utils.locations import LocSafeLoader

        found = self.find(path)
        with open(found, encoding="utf-8") as stream:
            loader = LocSafeLoader(stream, locations=locations, file_name=found)
            try:
                data = loader.get_single_data()
            finally:
                loader.dispose()
        if self.markupprocessor is not None:
            self.markupprocessor._loaded_locations = locations
        folder = os.path.dirname(found)
        if folder not in self.search_path:
            type(self).search_path = (folder,) + tuple(self.search_path)
        return data


def _strict_token_error(text, prefix):
    """Why the encoded text of an ``%ENC`` markup is damaged, or None.

    The obscuring representer decodes Base64 leniently (it drops what is not
    Base64, so stored files keep decoding); the command reads its texts
    strictly, so that a damaged text is reported instead of decoding to a
    shortened plaintext."""
    from ovark.utils.veiled_texts import ObscuringSecretStringRepresenter, SecretString

    try:
        cls = SecretString._get_rep(None, prefix)
    except Exception:
        return None  # the decode itself reports a wrong representer
    if not (isinstance(cls, type) and issubclass(cls, ObscuringSecretStringRepresenter)):
        return None
    if not re.fullmatch(r"[A-Za-z0-9_+/-]*={0,2}", text) or len(text) % 4:
        return "damaged secret text: not Base64 (letters, digits, '-', '_' and a final '=' fill)"
    return None


def _control_characters(plaintext):
    """Whether ``plaintext`` holds control characters other than tab and line
    breaks: what a text decoded with the wrong key looks like."""
    return any(unicodedata.category(ch) == "Cc" and ch not in "\t\n\r" for ch in plaintext)


def _decoded(match):
    """The plaintext of the ``%ENC`` markup ``match``; a failure names the
    markup as written, never the value around it."""
    from ovark.utils.veiled_texts import SecretString

    arguments = {"secret_string": match.group(2)}
    if match.group(4):
        arguments["prefix"] = match.group(4)
    try:
        return SecretString(**arguments).plaintext
    except Exception as exc:
        cause = exc.__cause__ if exc.__cause__ is not None and not isinstance(exc, ImportError) else exc
        raise MarkupRefused(
            match.group(1), "cannot decode: {}: {}".format(_type_name(cause), _one_line(cause))
        ) from None


class _Warnings:
    """Warnings on standard error, each cause once."""

    shown = set()

    @classmethod
    def warn(cls, cause, line):
        if cause in cls.shown:
            return
        cls.shown.add(cause)
        sys.stderr.write("{}: warning: {}\n".format(PROG, _masked(line)))
        sys.stderr.flush()


def _line(text):
    return text[:-1] if text.endswith("\n") else text


def _ask(prompt):
    """The answer to ``prompt``, or None when there is no one to ask.

    Standard input answers when it was not read as a file ("-"): piped
    answers are read a line each, without a prompt; on a terminal the prompt
    goes to standard error (or the terminal, when standard error is
    redirected). Otherwise the controlling terminal (``/dev/tty``) is asked.
    The prompt never goes to standard output, which holds the result."""
    stdin = sys.stdin
    if stdin is not None and not _Stdin.used:
        if not stdin.isatty():
            line = stdin.readline()
            if line:
                return _line(line)
        else:
            _write_prompt(prompt, sys.stderr if sys.stderr.isatty() else None)
            line = stdin.readline()
            return _line(line) if line else None
    try:
        reader = open("/dev/tty", encoding="utf-8", errors="replace")
    except OSError:
        return None
    with reader:
        _write_prompt(prompt, None)
        line = reader.readline()
    return _line(line) if line else None


def _write_prompt(prompt, stream):
    """``prompt`` on ``stream``, else on the terminal, else on standard error."""
    if stream is None:
        try:
            with open("/dev/tty", "w", encoding="utf-8") as terminal:
                terminal.write(prompt)
            return
        except OSError:
            stream = sys.stderr
    stream.write(prompt)
    stream.flush()


def _make_processor_class(show_secrets=False, strict_env=False, no_callables=False):
    from ovark.utils.yaml.markup import Processor

    class CommandProcessor(Processor):
        """The markup processor with the command's checks of each markup."""

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._includes = []  # (index, file) of every include made

        def _where(self, data, index, locations):
            return _place(locate(locations or {}, index, data)[0])

        def p_callable_markup(self, match, data, index, locations=None):
            if match and no_callables:
                raise MarkupRefused(
                    match.group(1),
                    "refused: --no-callables forbids running %CALLABLE code",
                    self._where(data, index, locations),
                )
            return super().p_callable_markup(match, data, index, locations=locations)

        def p_environ_markup(self, match, data, index, locations=None):
            if match and match.group(2) not in os.environ:
                name = match.group(2)
                where = self._where(data, index, locations)
                if strict_env:
                    raise MarkupRefused(
                        match.group(1), "the environment variable {} is not set (--strict-env)".format(name), where
                    )
                _Warnings.warn(
                    ("env", name),
                    "{}{}: the environment variable {} is not set: it reads as an empty "
                    "text (--strict-env makes this an error)".format(
                        where + ": " if where else "", match.group(1), name
                    ),
                )
            return super().p_environ_markup(match, data, index, locations=locations)

        def p_ask_markup(self, match, data, index, locations=None):
            if not match:
                return data
            from ovark.utils.strings import wrap_split

            prompt = "\nEnter value for {}".format("\n".join(wrap_split(".".join(str(step) for step in index))))
            if match.group(2):
                prompt += "\n{}".format(match.group(2))
            answer = _ask(prompt + ": ")
            if answer is None:
                raise MarkupRefused(match.group(1), "no answer on standard input", self._where(data, index, locations))
            return data.replace(match.group(0), answer)

        def p_file_markup(self, match, data, index, locations=None):
            loader_cls = self._yaml_loader_cls
            if match and hasattr(loader_cls, "find"):
                found = os.path.realpath(loader_cls.find(match.group(2)))
                # the includes whose content this value lies in, outermost first
                chain = sorted(
                    (len(at), name)
                    for at, name in self._includes
                    if len(at) < len(index) and list(at) == list(index[: len(at)])
                )
                names = [name for _, name in chain]
                if found in names:
                    loop = names[names.index(found) :] + [found]
                    raise MarkupRefused(
                        match.group(1),
                        "the file includes itself: " + " -> ".join(os.path.relpath(name) for name in loop),
                        _place(locate(locations or {}, index, data)[0]),
                    )
                self._includes.append((tuple(index), found))
            self._loaded_locations = None
            result = super().p_file_markup(match, data, index, locations=locations)
            loaded, self._loaded_locations = self._loaded_locations, None
            if locations is not None and loaded is not None:
                # An include inside included content: the processor finds no
                # place for its records (it looks from the root, not through
                # the includes); give them the place that `locate` reads.
                node = _location_node(locations, index)
                if isinstance(node, MutableMapping) and _hashable(data) and node.get(data) is not loaded:
                    node[data] = loaded
            return result

        def p_enc_markup(self, match, data, index, locations=None):
            if match:
                prefix = match.group(4) or "string"
                plaintext = _decoded(match)
                problem = _strict_token_error(match.group(2), prefix)
                if problem is not None:
                    raise MarkupRefused(match.group(1), problem, self._where(data, index, locations))
                if show_secrets and _control_characters(plaintext):
                    raise MarkupRefused(
                        match.group(1),
                        "the decoded text holds control characters: the key is wrong ([secrets] {}.key)".format(prefix),
                        self._where(data, index, locations),
                    )
            return super().p_enc_markup(match, data, index, locations=locations)

    return CommandProcessor


def resolve(data, locations, paths, show_secrets=False, strict_env=False, no_callables=False):
    """Resolve the markup of ``data``; ``%ENC`` stays encoded unless asked."""
    try:
        processor_cls = _make_processor_class(show_secrets, strict_env, no_callables)
    except ImportError as exc:
        raise CliError(
            "--resolve needs ovark.utils.yaml.markup, which cannot be imported: {}".format(_one_line(exc))
        ) from exc
    folders = []
    for path in reversed(paths):
        folder = os.path.dirname(path)
        if folder not in folders:
            folders.append(folder)
    loader_cls = type("IncludeLoader", (IncludeLoader,), {"search_path": tuple(folders)})
    processor = processor_cls(encode=show_secrets, yaml_loader_cls=loader_cls)
    result = processor(data, locations=locations)
    if not show_secrets:
        check_secrets(result, locations)
    return result


def check_secrets(tree, locations):
    """Decode every ``%ENC{...}`` once (nothing is shown) so that a wrong key
    or a damaged text is reported even when the secrets stay encoded."""
    from ovark.utils.veiled_texts import SecretString
    from ovark.utils.yaml.markup import ENC_PATTERN

    for value, path in walk(tree):
        if not isinstance(value, str):
            continue
        for match in ENC_PATTERN.finditer(value):
            arguments = {"secret_string": match.group(2)}
            if match.group(4):
                arguments["prefix"] = match.group(4)
            try:
                SecretString(**arguments)
            except Exception as exc:
                cause = exc.__cause__ if exc.__cause__ is not None and not isinstance(exc, ImportError) else exc
                problem = "cannot decode: {}: {}".format(_type_name(cause), _one_line(cause))
            else:
                problem = _strict_token_error(match.group(2), match.group(4) or "string")
            if problem is not None:
                where = _place(locate(locations, path, value)[0])
                line = "{}: {}".format(match.group(1), problem)
                raise CliError("{}: {}".format(where, line) if where else line)


def walk(tree, path=()):
    """(value, path) of every leaf and container of ``tree``, depth first."""
    yield tree, list(path)
    if isinstance(tree, Mapping):
        for key, value in tree.items():
            yield from walk(value, path + (key,))
    elif isinstance(tree, list):
        for position, value in enumerate(tree):
            yield from walk(value, path + (position,))


def _is_location(obj):
    return hasattr(obj, "line") and hasattr(obj, "column") and hasattr(obj, "file")


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _location_node(locations, path):
    """The location entry of ``path`` (looking into included files' trees), or None."""
    from ovark.utils.yaml.markup import locate as location_entry

    return location_entry(locations, path)


def locate(locations, path, value=None):
    """(location, markup): where the value at ``path`` was written, and the
    markup text it was written as (None when it was written as it is)."""
    node = _location_node(locations, path)
    if node is None:
        return None, None
    if isinstance(node, Mapping) and not isinstance(value, (Mapping, list)):
        try:
            own = node.get(value)
        except TypeError:
            own = None
        if _is_location(own):
            return own, None
        records = [(k, v) for k, v in node.items() if _is_location(v)]
        if len(records) == 1 and isinstance(records[0][0], str) and "%" in records[0][0]:
            return records[0][1], records[0][0]
    return (node if _is_location(node) else None), None


# ---------------------------------------------------------------------------
# YAML output with location comments
# ---------------------------------------------------------------------------


def _scalar(value, dumper):
    text = yaml.dump(
        value, Dumper=dumper, default_flow_style=True, width=float("inf"), allow_unicode=True, sort_keys=False
    )
    if text.endswith("\n...\n"):
        text = text[: -len("\n...\n")]
    text = text.rstrip("\n")
    if "\n" in text:
        text = yaml.dump(value, Dumper=dumper, default_style='"', width=float("inf"), allow_unicode=True).rstrip("\n")
        if text.endswith("\n..."):
            text = text[: -len("\n...")]
    return text


def dump_with_locations(data, locations, stream):
    """Write ``data`` as block YAML, each value followed by ``# file:line:column``.

    The writer walks the data and the location tree together; a value it
    cannot write itself is written by ``_scalar``."""
    from ovark.utils.yaml import dumper

    def scalar(value):
        return _scalar(value, dumper.OrderedSafeDumper)

    dumper._dump_with_locations(data, locations, stream.write, scalar, _place)


# ---------------------------------------------------------------------------
# Subcommands
# ---------------------------------------------------------------------------


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


class OutputFile:
    """Where a command writes its result: standard output, or the file ``path``
    replaced as a whole. The text goes to a temporary file in the same folder,
    which replaces ``path`` (``os.replace``) only once everything was written;
    on any failure, Ctrl-C included, the temporary file is removed and ``path``
    stays as it was. ``secret`` makes the new file readable by its owner only;
    otherwise an existing file keeps its mode and a new one follows the umask.
    A path that exists and is not a regular file (``/dev/stdout``, a pipe) is
    written as it is."""

    def __init__(self, path, secret=False):
        self.path, self.secret = path, secret
        self.stream = self._temp = None

    def __enter__(self):
        if self.path in (None, "-"):
            self.stream = sys.stdout
            return self.stream
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            info = None
        except OSError as exc:
            raise CliError("{}: {}".format(self.path, exc.strerror)) from exc
        try:
            if info is not None and not stat.S_ISREG(info.st_mode):
                self.stream = open(self.path, "w", encoding="utf-8")
                return self.stream
            target = os.path.realpath(self.path)  # a symbolic link stays one
            folder, name = os.path.split(target)
            fd, self._temp = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder)
        except OSError as exc:
            raise CliError("{}: {}".format(self.path, exc.strerror)) from exc
        self._target = target
        if self.secret:
            mode = 0o600
        elif info is not None:
            mode = stat.S_IMODE(info.st_mode)
        else:
            mode = 0o666 & ~_umask()
        try:
            os.fchmod(fd, mode)
            self.stream = os.fdopen(fd, "w", encoding="utf-8")
        except BaseException:
            os.close(fd)
            self._discard()
            raise
        return self.stream

    def _discard(self):
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass
            self._temp = None

    def __exit__(self, kind, value, traceback):
        if self.stream is sys.stdout:
            return False
        try:
            if kind is None:
                try:
                    self.stream.flush()
                    if self._temp is not None:
                        os.fsync(self.stream.fileno())
                    self.stream.close()
                    if self._temp is not None:
                        os.replace(self._temp, self._target)
                        self._temp = None
                except OSError as exc:
                    try:
                        self.stream.close()  # else its finalizer tries the write again
                    except OSError:
                        pass
                    raise CliError("{}: {}".format(self.path, exc.strerror or _one_line(exc))) from exc
            else:
                try:
                    self.stream.close()
                except OSError:
                    pass
                if isinstance(value, OSError) and value.filename is None:
                    # a write failed (a full disk): name the file asked for
                    raise CliError("{}: {}".format(self.path, value.strerror or _one_line(value))) from value
        finally:
            self._discard()
        return False


def _holds_marked_key(tree):
    """Whether a mapping in ``tree`` has a key holding "%EXTEND_LIST{": one
    quick pass over a large testbed, which seldom has one."""
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, Mapping):
            for key, value in node.items():
                if key.__class__ is str and "%EXTEND_LIST{" in key:
                    return True
                if isinstance(value, (dict, list, Mapping)):
                    stack.append(value)
        elif isinstance(node, list):
            stack.extend(value for value in node if isinstance(value, (dict, list, Mapping)))
    return False


def _marked_keys(tree):
    """(path, match) of every ``%EXTEND_LIST{...}`` key in ``tree``. The walk
    keeps a link to its parent instead of a path, which is made only for a
    key found."""
    from ovark.utils.dicts import LIST_EXTEND_PATTERN

    if not _holds_marked_key(tree):
        return
    stack = [(tree, None)]
    while stack:
        node, link = stack.pop()
        if isinstance(node, Mapping):
            children = node.items()
            for key, _ in children:
                if isinstance(key, str) and "%" in key:
                    found = LIST_EXTEND_PATTERN.match(key)
                    if found:
                        path, at = [key], link
                        while at is not None:
                            at, step = at
                            path.append(step)
                        yield path[::-1], found
        elif isinstance(node, list):
            children = enumerate(node)
        else:
            continue
        stack.extend(
            (value, (link, key)) for key, value in reversed(list(children)) if isinstance(value, (Mapping, list))
        )


def warn_marked_keys(data, locations, extend_lists):
    """Warn of the ``%EXTEND_LIST{...}`` keys that layering left in ``data``."""
    for path, found in _marked_keys(data):
        record = _location_node(locations, path)
        where = _place(record) if _is_location(record) else None
        if extend_lists:
            why = "no earlier file has a list for it to extend"
        else:
            why = "add --extend-lists to extend the list {!r} with it".format(found.group(1))
        _Warnings.warn(
            ("extend", tuple(map(str, path))),
            "{}{}: left as a key: {}".format(where + ": " if where else "", path[-1], why),
        )


def _loaded(args):
    data, locations = load_layers(args.files, extend_lists=args.extend_lists)
    warn_marked_keys(data, locations, args.extend_lists)
    if args.resolve:
        data = resolve(
            data,
            locations,
            args.files,
            show_secrets=args.show_secrets,
            strict_env=args.strict_env,
            no_callables=args.no_callables,
        )
    return data, locations


def cmd_yaml(args):
    from ovark.utils.yaml.dumper import OrderedSafeDumper

    data, locations = _loaded(args)
    try:
        with OutputFile(args.output, secret=args.show_secrets) as stream:
            if args.json:
                tree = json_with_locations(data, locations) if args.locations else _json_keys(data)
                json.dump(tree, stream, indent=2, default=_json_default, ensure_ascii=False)
                stream.write("\n")
            elif args.locations:
                dump_with_locations(data, locations, stream)
            else:
                import gc

                from ovark.utils.yaml import dumper

                # libyaml's emitter where it writes the same text as PyYAML's own;
                # the collector waits: the representer's nodes make no cycles, and
                # collections among them would walk the whole testbed again and again
                fast = dumper._OrderedCSafeDumper is not None and dumper._fits_libyaml(data)
                collecting = gc.isenabled()
                gc.disable()
                try:
                    yaml.dump(
                        data,
                        stream,
                        Dumper=dumper._OrderedCSafeDumper if fast else OrderedSafeDumper,
                        default_flow_style=False,
                        sort_keys=False,
                        allow_unicode=True,
                    )
                finally:
                    if collecting:
                        gc.enable()
    except yaml.representer.RepresenterError as exc:
        raise CliError(
            "cannot write {!r} as YAML".format(type(exc.args[1]).__name__ if len(exc.args) > 1 else exc)
        ) from exc
    return 0


class _AnyValue:
    """An expected value that every value equals."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__

    def __repr__(self):
        return "ANY"


def _step(text):
    """A path step from the command line: digits are an integer key, a text
    starting with "(" a regular expression on the keys, anything else a key."""
    if re.fullmatch(r"-?\d+", text):
        return int(text)
    return text


def _expected(text):
    from ovark.utils.objects import Operator

    if text is None:
        return _AnyValue()
    if text.startswith("("):
        return Operator(text)
    try:
        return yaml.safe_load(text)
    except yaml.YAMLError:
        return text


def _key_matches(step, key):
    if isinstance(step, str) and step.startswith("("):
        return re.match(step, str(key)) is not None
    return key == step


def _find_matches(tree, steps, expected, all_keys=False):
    """(value, path) pairs of ``find`` with the path ``steps`` + [expected].

    ``find`` reports one match per searched object for a last step that is a
    pattern; that step is expanded here over every key it matches.
    """
    from ovark.utils.objects import R, find

    last = steps[-1]
    if len(steps) >= 2 and not (isinstance(last, str) and last.startswith("(")):
        return find([tree], R(list(steps) + [expected]), filter_=False, all_keys=all_keys)
    if len(steps) == 1:
        parents = [(tree, [])]
    else:
        parents = _find_matches(tree, steps[:-1], _AnyValue(), all_keys=all_keys)
    found = []
    for container, path in parents:
        if not isinstance(container, Mapping):
            continue
        for key, value in container.items():
            if _key_matches(last, key) and bool(value == expected):
                found.append((value, list(path) + [key]))
    return found


def _json_default(obj):
    """What JSON cannot hold, as text: dates in ISO form, bytes in Base64,
    sets as lists."""
    import base64
    import datetime

    if isinstance(obj, (datetime.date, datetime.time)):
        return obj.isoformat()
    if isinstance(obj, (bytes, bytearray)):
        return base64.b64encode(bytes(obj)).decode("ascii")
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    return str(obj)


def _json_key(key):
    return key if isinstance(key, (str, int, float, bool)) or key is None else str(key)


def _json_keys(data):
    """``data`` with mapping keys that JSON cannot hold (a tuple, a date) as text."""
    if isinstance(data, Mapping):
        return {_json_key(key): _json_keys(value) for key, value in data.items()}
    if isinstance(data, list):
        return [_json_keys(item) for item in data]
    return data


def json_with_locations(data, locations, path=()):
    """``data`` with every value, at every level, as the object
    ``{"value": V, "location": "FILE:LINE:COLUMN" or null}`` (and ``"markup"``,
    the text it was written as, for a value a markup computed). V is a
    mapping of such objects for a mapping, a list of them for a list, else
    the value itself."""
    record, markup = locate(locations, list(path), data)
    if isinstance(data, Mapping):
        value = {_json_key(key): json_with_locations(item, locations, path + (key,)) for key, item in data.items()}
    elif isinstance(data, list):
        value = [json_with_locations(item, locations, path + (position,)) for position, item in enumerate(data)]
    else:
        value = data
    node = {"value": value, "location": _place(record)}
    if markup is not None and markup != data:
        node["markup"] = markup
    return node


def cmd_find(args):
    from ovark.utils.yaml.dumper import OrderedSafeDumper

    data, locations = _loaded(args)
    steps = [_step(step) for step in args.path]
    try:
        matches = _find_matches(data, steps, _expected(args.value), all_keys=args.all)
    except (TypeError, ValueError) as exc:
        raise CliError("--path {}: {}".format(" ".join(args.path), _one_line(exc))) from exc
    with OutputFile(args.output, secret=args.show_secrets) as stream:
        if args.json:
            rows = []
            for value, path in matches:
                row = {"path": path, "value": value}
                if args.locations:
                    row["location"] = _place(locate(locations, path, value)[0])
                rows.append(row)
            json.dump(rows, stream, indent=2, default=_json_default, ensure_ascii=False)
            stream.write("\n")
        else:
            for value, path in matches:
                line = "{}: {}".format(".".join(str(step) for step in path), _scalar(value, OrderedSafeDumper))
                if args.locations:
                    where = _place(locate(locations, path, value)[0])
                    if where:
                        line += "  # " + where
                stream.write(line + "\n")
    return 0 if matches else 1


# --- shell completion -------------------------------------------------------


def _parser_tree(parser, path=""):
    """(path, parser) of ``parser`` and every subcommand below it; path is
    the subcommand names joined by "/"."""
    yield path, parser
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, child in action.choices.items():
                yield from _parser_tree(child, path + "/" + name if path else name)


def _completion_facts(parser):
    """What completion needs, read from the parser: for each command path,
    its options, its subcommands with their help, whether it takes file
    names; the options that take a value, with their choices."""
    nodes, valued = {}, {}
    for path, node in _parser_tree(parser):
        options, commands, files = [], [], False
        for action in node._actions:
            if isinstance(action, argparse._SubParsersAction):
                helps = {choice.dest: choice.help or "" for choice in action._choices_actions}
                commands = [(name, helps.get(name, "")) for name in action.choices]
            elif action.option_strings:
                options.extend(action.option_strings)
                if action.nargs != 0:
                    if action.dest == "representer":
                        what = list(REPRESENTER_ALIASES)
                    elif action.choices:
                        what = list(action.choices)
                    else:
                        what = "files" if action.metavar == "FILE" else ""  # "": free text
                    for option in action.option_strings:
                        valued[option] = what
            elif action.choices:
                commands = [(choice, "") for choice in action.choices]
            else:
                files = True
        nodes[path] = (options, commands, files)
    return nodes, valued


def _sh_words(words):
    return " ".join(words)


def completion_script(parser, shell):
    """The completion script of ``parser`` for ``shell`` (bash or zsh)."""
    nodes, valued = _completion_facts(parser)
    # "$cmdpath/$word": the root's children are "/name", deeper ones "parent/name"
    walk_cases = "\n".join(
        '            "{}") cmdpath="{}" ;;'.format(("/" + path) if "/" not in path else path, path)
        for path in nodes
        if path
    )
    file_options = [option for option, what in valued.items() if what == "files"]
    choice_options = [(option, what) for option, what in valued.items() if isinstance(what, list) and what]
    free_options = [option for option, what in valued.items() if what == ""]
    if shell == "bash":
        node_cases = "\n".join(
            '        "{}") opts="{}"; commands="{}"; files={} ;;'.format(
                path, _sh_words(options), _sh_words(name for name, _ in commands), 1 if files else 0
            )
            for path, (options, commands, files) in nodes.items()
        )
        value_cases = ["        {}) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;".format("|".join(file_options))]
        value_cases += [
            "        {}) COMPREPLY=($(compgen -W \"{}\" -- \"$cur\")); return ;;".format(option, " ".join(what))
            for option, what in choice_options
        ]
        value_cases += ["        {}) return ;;".format("|".join(free_options))] if free_options else []
        return """# bash completion for {prog}, made by `{prog} completion bash`.
# Load it with: source <({prog} completion bash)
_{prog}() {{
    local cur="${{COMP_WORDS[COMP_CWORD]}}" prev="${{COMP_WORDS[COMP_CWORD-1]}}"
    local cmdpath="" word i opts commands files
    for ((i = 1; i < COMP_CWORD; i++)); do
        word="${{COMP_WORDS[i]}}"
        case "$cmdpath/$word" in
{walk}
        esac
    done
    case "$prev" in
{values}
    esac
    case "$cmdpath" in
{nodes}
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        if [[ $files == 1 ]]; then
            COMPREPLY+=($(compgen -f -- "$cur"))
        fi
    fi
}}
complete -o filenames -F _{prog} {prog}
""".format(prog=PROG, walk=walk_cases, values="\n".join(value_cases), nodes=node_cases)
    if shell == "zsh":

        def described(commands):
            return " ".join(
                "'{}:{}'".format(name, help_text.replace("'", "").replace(":", "\\:").replace("%%", "%"))
                for name, help_text in commands
            )

        node_cases = "\n".join(
            '        "{}") opts=({}); commands=({}); files={} ;;'.format(
                path, _sh_words(options), described(commands), 1 if files else 0
            )
            for path, (options, commands, files) in nodes.items()
        )
        value_cases = ["        {}) _files; return ;;".format("|".join(file_options))]
        value_cases += [
            "        {}) compadd -- {}; return ;;".format(option, " ".join(what)) for option, what in choice_options
        ]
        value_cases += ["        {}) return ;;".format("|".join(free_options))] if free_options else []
        return """#compdef {prog}
# zsh completion for {prog}, made by `{prog} completion zsh`.
# Load it with: source <({prog} completion zsh), or save it as _{prog} in a folder of $fpath.
_{prog}() {{
    local cmdpath="" word i files
    local -a opts commands
    for ((i = 2; i < CURRENT; i++)); do
        word="${{words[i]}}"
        case "$cmdpath/$word" in
{walk}
        esac
    done
    case "${{words[CURRENT-1]}}" in
{values}
    esac
    case "$cmdpath" in
{nodes}
    esac
    if [[ "${{words[CURRENT]}}" == -* ]]; then
        compadd -- $opts
    else
        (( ${{#commands}} )) && _describe command commands
        [[ $files == 1 ]] && _files
    fi
}}
if [[ "$funcstack[1]" == "_{prog}" ]]; then
    _{prog} "$@"
else
    compdef _{prog} {prog}
fi
""".format(prog=PROG, walk=walk_cases, values="\n".join(value_cases), nodes=node_cases)
    raise CliError("completion for {}: give bash or zsh".format(shell))


def cmd_completion(args):
    sys.stdout.write(completion_script(build_parser(), args.shell))
    return 0


# --- blame ------------------------------------------------------------------

_MISSING = object()


def _key_steps(text):
    """The steps of a dotted key path; "" is the whole tree."""
    return [] if text in ("", ".") else text.split(".")


def _step_into(node, step):
    """(key, value) for the text ``step`` in ``node``, or None. A list
    position is a number; a mapping key is looked for as written, then as
    the number or the YAML scalar it spells."""
    if isinstance(node, Mapping):
        candidates = [step]
        if re.fullmatch(r"-?\d+", step):
            candidates.append(int(step))
        try:
            candidates.append(yaml.safe_load(step))
        except yaml.YAMLError:
            pass
        for key in candidates:
            try:
                if key in node:
                    return key, node[key]
            except TypeError:
                continue
        return None
    if isinstance(node, list) and re.fullmatch(r"\d+", step) and int(step) < len(node):
        return int(step), node[int(step)]
    return None


def _walk_key(tree, steps):
    """(path, value) at ``steps`` in ``tree``, or (path so far, _MISSING)."""
    path, node = [], tree
    for step in steps:
        found = _step_into(node, step)
        if found is None:
            return path, _MISSING
        path.append(found[0])
        node = found[1]
    return path, node


def _short(value, limit=120):
    from ovark.utils.yaml.dumper import OrderedSafeDumper

    try:
        text = _scalar(value, OrderedSafeDumper)
    except yaml.YAMLError:
        text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def _dotted(path):
    return ".".join(str(step) for step in path)


def _record_place(locations, path, value):
    return _place(locate(locations, path, value)[0])


def _layer_entry(path_name, data, locations, steps, extend_lists, first):
    """What one layer does to the key at ``steps``: None, or a dict
    ``{"file", "location", "action", "path", "written"}``, action being
    "set" (the key itself), "sets-above" (a key above it, as a whole) or
    "extends" (a %EXTEND_LIST{...} of the list on the way)."""
    from ovark.utils.dicts import LIST_EXTEND_PATTERN

    path, node = [], data
    for step in steps:
        found = _step_into(node, step)
        if found is None:
            if isinstance(node, Mapping):
                if extend_lists and not first:
                    for key, items in node.items():
                        marked = LIST_EXTEND_PATTERN.match(key) if isinstance(key, str) else None
                        if marked and marked.group(1) == step and isinstance(items, list):
                            return {
                                "file": path_name,
                                "action": "extends",
                                "path": path + [step],
                                "written": items,
                                "marked": key,
                                "location": _record_place(locations, path + [key], items),
                                "items": [
                                    _record_place(locations, path + [key, i], item) for i, item in enumerate(items)
                                ],
                            }
                return None
            if not path:
                return None
            return {
                "file": path_name,
                "action": "sets-above",
                "path": path,
                "written": node,
                "location": _record_place(locations, path, node),
            }
        path.append(found[0])
        node = found[1]
    return {
        "file": path_name,
        "action": "set",
        "path": path,
        "written": node,
        "location": _record_place(locations, path, node),
    }


def _markup_links(text, resolved, locations, at, seen, find=None, depth=0):
    """Where each markup in ``text`` (written at ``at``) took its value from:
    a list of ``{"markup", "at", "from", "written", "chain"}``."""
    from ovark.utils.yaml import markup as kinds

    links = []
    if not isinstance(text, str) or depth > 20:
        return links
    patterns = [
        ("reference", kinds.REFERENCE_PATTERN),
        ("include", kinds.INCLUDE_FILE_PATTERN),
        ("env", kinds.ENV_PATTERN),
        ("callable", kinds.CALLABLE_PATTERN),
        ("ask", kinds.ASK_PATTERN),
        ("secret", kinds.ENC_PATTERN),
    ]
    found = sorted((match.start(), kind, match) for kind, pattern in patterns for match in pattern.finditer(text))
    for _, kind, match in found:
        link = {"markup": match.group(1), "at": at}
        if kind == "reference":
            path, value = _walk_key(resolved, _key_steps(match.group(2)))
            if value is _MISSING:
                link["from"] = "nothing: no value at {}".format(match.group(2))
            else:
                record, written = locate(locations, path, value)
                link["from"] = _place(record)
                if written is not None and written != value:
                    link["written"] = written
                    if tuple(map(str, path)) not in seen:
                        link["chain"] = _markup_links(
                            written, resolved, locations, link["from"], seen | {tuple(map(str, path))}, find, depth + 1
                        )
        elif kind == "include":
            link["from"] = "the file " + (find(match.group(2)) if find else match.group(2))
        elif kind == "env":
            name = match.group(2)
            link["from"] = (
                "the environment: {}={}".format(name, os.environ[name])
                if name in os.environ
                else "the environment: {} is not set".format(name)
            )
        elif kind == "callable":
            link["from"] = "what {} returned".format(match.group(2))
        elif kind == "ask":
            link["from"] = "the answer to the prompt"
        else:
            link["from"] = "the decoded secret"
        links.append(link)
    return links


def blame(
    paths, key, extend_lists=False, resolve_markup=False, show_secrets=False, strict_env=False, no_callables=False
):
    """Every layer that set ``key``, in layering order, and which one the
    result took; with ``resolve_markup``, what it resolved to and where each
    markup took its value from."""
    if "-" in paths:
        raise CliError("-: blame reads every file twice: give files, not standard input")
    steps = _key_steps(key)
    entries = []
    for position, path in enumerate(paths):
        data, locations = load_file(path)
        if data is None:
            continue
        entry = _layer_entry(_display(path), data, locations, steps, extend_lists, position == 0)
        if entry is not None:
            entries.append(entry)
    data, locations = load_layers(paths, extend_lists=extend_lists)
    result_path, result = _walk_key(data, steps)
    # which layers the result took: the record the merged location tree kept
    for entry in entries:
        merged_path, merged = _walk_key(data, [str(step) for step in entry["path"]])
        if entry["action"] == "extends":
            kept = set()
            if isinstance(merged, list):
                kept = {_record_place(locations, merged_path + [i], item) for i, item in enumerate(merged)}
            entry["taken"] = any(place in kept for place in entry["items"])
        elif merged is _MISSING:
            entry["taken"] = False
        else:
            entry["taken"] = _record_place(locations, merged_path, merged) == entry["location"]
    if isinstance(result, (Mapping, list)):
        # a merged mapping or an extended list holds what several layers wrote
        last = max((i for i, e in enumerate(entries) if e["taken"] and e["action"] != "extends"), default=None)
        if last is not None:
            for entry in entries[last:]:
                if entry["action"] == "set" and isinstance(entry["written"], Mapping) and isinstance(result, Mapping):
                    entry["taken"] = True
    report = {"key": key, "layers": entries, "found": result is not _MISSING}
    if result is not _MISSING:
        report["result"] = result
    if isinstance(result, list):
        # which layer gave which item of the layered list
        report["items"] = [
            {"position": position, "value": item, "location": _record_place(locations, result_path + [position], item)}
            for position, item in enumerate(result)
        ]
    if resolve_markup:
        resolved = resolve(
            data, locations, paths, show_secrets=show_secrets, strict_env=strict_env, no_callables=no_callables
        )
        path, value = _walk_key(resolved, steps)
        if value is not _MISSING:
            report["resolved"] = value
            report["resolved_location"] = _record_place(locations, path, value)
        sources = [e for e in entries if e["taken"] and e["action"] != "extends"]
        folders = []
        for path in reversed(paths):
            if os.path.dirname(path) not in folders:
                folders.append(os.path.dirname(path))
        find = type("IncludeLoader", (IncludeLoader,), {"search_path": tuple(folders)}).find
        chain = []
        for entry in sources[-1:]:
            chain = _markup_links(
                entry["written"], resolved, locations, entry["location"], {tuple(map(str, entry["path"]))}, find
            )
        report["chain"] = chain
    if not entries and result is _MISSING and "resolved" not in report:
        raise CliError("{}: no layer sets it".format(key))
    return report


def _blame_lines(report):
    yield report["key"] + ":"
    width = max([len(e["location"] or e["file"]) for e in report["layers"]] + [0])
    for entry in report["layers"]:
        where = (entry["location"] or entry["file"]).ljust(width)
        if entry["action"] == "set":
            what = _short(entry["written"])
        elif entry["action"] == "sets-above":
            what = "{}: {}  (sets {} as a whole)".format(
                entry["path"][-1], _short(entry["written"]), _dotted(entry["path"])
            )
        else:
            what = "{}: {}  (appends to {}: {})".format(
                entry["marked"],
                _short(entry["written"]),
                _dotted(entry["path"]),
                ", ".join(p or "?" for p in entry["items"]),
            )
        yield "  {}  {}{}".format(where, what, "  <- result" if entry["taken"] else "")
    if not report["found"] and "resolved" not in report:
        yield "  (the layered result has no value there)"
    if report.get("items"):
        yield "items:"
        width = len(str(len(report["items"]) - 1))
        places = max(len(item["location"] or "?") for item in report["items"])
        for item in report["items"]:
            yield "  {}  {}  {}".format(
                str(item["position"]).rjust(width), (item["location"] or "?").ljust(places), _short(item["value"])
            )
    if "resolved" in report:
        where = report.get("resolved_location")
        yield "resolved: {}{}".format(_short(report["resolved"]), "  # " + where if where else "")
    elif "chain" in report:
        yield "resolved: (no value)"

    def chain_lines(links, indent):
        for link in links:
            text = "{}{} at {} -> {}".format(" " * indent, link["markup"], link["at"] or "?", link["from"] or "?")
            if link.get("written"):
                text += " ({})".format(link["written"])
            yield text
            yield from chain_lines(link.get("chain", []), indent + 2)

    yield from chain_lines(report.get("chain", []), 2)


def cmd_blame(args):
    report = blame(
        args.files,
        args.key,
        extend_lists=args.extend_lists,
        resolve_markup=args.resolve,
        show_secrets=args.show_secrets,
        strict_env=args.strict_env,
        no_callables=args.no_callables,
    )
    with OutputFile(None) as stream:
        if args.json:
            json.dump(report, stream, indent=2, default=_json_default, ensure_ascii=False)
            stream.write("\n")
        else:
            for line in _blame_lines(report):
                stream.write(line + "\n")
    return 0


def _representer(name):
    """The representer class named by ``name`` (dotted path or short alias)."""
    if name is None:
        return None
    from ovark.utils import veiled_texts
    from ovark.utils.import_utils import import_from_name

    dotted = REPRESENTER_ALIASES.get(name, name)
    if "." not in dotted:
        raise CliError(
            "--representer {}: give a dotted class path or one of {}".format(name, ", ".join(REPRESENTER_ALIASES))
        )
    try:
        cls = import_from_name(dotted)
    except (ImportError, AttributeError) as exc:
        raise CliError("--representer {}: cannot import it: {}".format(name, _one_line(exc))) from exc
    if not (isinstance(cls, type) and issubclass(cls, veiled_texts.BaseSecretStringRepresenter)):
        raise CliError(
            "--representer {}: not a representer class (it must inherit from {})".format(name, REPRESENTER_BASE)
        )
    return cls


def _class_path(cls):
    return "{}.{}".format(cls.__module__, cls.__qualname__)


def cmd_secret_keygen(args):
    from ovark.utils.veiled_texts import PlainTextSecretStringRepresenter, SecretString

    prefix = args.prefix or "string"
    cls = SecretString._get_rep(_representer(args.representer), prefix)
    out = sys.stdout
    if isinstance(cls, type) and issubclass(cls, PlainTextSecretStringRepresenter):
        sys.stderr.write("{}: {} keeps secrets as plain text: there is no key to make\n".format(PROG, cls.__name__))
        out.write("# Lines for ovark.conf ($OVARK_CONF, else ~/.ovark/ovark.conf):\n")
        out.write("[secrets]\n{0}.representer = {1}\n".format(prefix, _class_path(cls)))
        return 0
    key = SecretString.keygen(representer_cls=cls, prefix=prefix)
    out.write(key + "\n")
    out.write("\n# Lines for ovark.conf ($OVARK_CONF, else ~/.ovark/ovark.conf):\n")
    out.write("[secrets]\n{0}.representer = {1}\n{0}.key = {2}\n".format(prefix, _class_path(cls), key))
    return 0


def _read_plaintext():
    if sys.stdin is not None and sys.stdin.isatty():
        first = getpass.getpass("Plaintext: ")
        if getpass.getpass("Again: ") != first:
            raise CliError("the two entries differ; nothing was encoded")
        return first
    text = sys.stdin.read() if sys.stdin is not None else ""
    if text.endswith("\r\n"):
        return text[:-2]
    return text[:-1] if text.endswith("\n") else text


def cmd_secret_encode(args):
    from ovark.utils.veiled_texts import SecretString

    cls = _representer(args.representer)
    plaintext = _read_plaintext()
    try:
        secret = SecretString.from_plaintext(plaintext, representer_cls=cls, prefix=args.prefix or "string")
    except ImportError:
        raise
    except Exception as exc:
        # Errors of the representers name the representer, never the plaintext.
        raise CliError(
            "cannot encode with {}: {}".format(
                (cls or SecretString._get_rep(None, args.prefix or "string")).__name__, _one_line(exc)
            )
        ) from None
    if args.prefix is not None and not args.raw:
        # the whole markup: the bare text would be read with the default prefix
        sys.stdout.write("%ENC{{{}, prefix={}}}\n".format(secret.data, args.prefix))
        return 0
    sys.stdout.write(secret.data + "\n")
    if sys.stderr.isatty() and not args.raw:
        sys.stderr.write("Paste as: %ENC{" + secret.data + "}\n")
    return 0


def cmd_secret_decode(args):
    from ovark.utils.veiled_texts import SecretString
    from ovark.utils.yaml.markup import ENC_PATTERN

    if sys.stdout.isatty() and not args.show:
        raise CliError("refusing to print a plaintext to a terminal: add --show, or redirect the output")
    text = args.text if args.text is not None else sys.stdin.read()
    text = text.strip()
    prefix = args.prefix or "string"
    markup = ENC_PATTERN.fullmatch(text)
    if markup:
        text = markup.group(2)
        prefix = markup.group(4) or prefix
    cls = _representer(args.representer)
    try:
        secret = SecretString(text, representer_cls=cls, prefix=prefix)
    except ImportError:
        raise
    except Exception as exc:
        line = "cannot decode the text: " + _one_line(exc).split(" It cannot")[0]
        cause = exc.__cause__
        if cause is not None:
            line += " ({}: {})".format(_type_name(cause), _one_line(cause))
        raise CliError(line) from exc
    sys.stdout.write(secret.plaintext + "\n")
    return 0


# --- file transfer ---------------------------------------------------------


def _plugin_manager():
    """A filled ``PluginManager``. Each third-party plugin is loaded on its
    own: one whose import fails is left out with a warning naming it and its
    error, and the builtin plugins and the other ones stay usable."""
    from ovark.utils.xferkit.core import addon_registry

    manager = addon_registry.PluginManager()
    manager.populate_builtin_plugins()
    every = addon_registry.iter_entry_points
    groups = (addon_registry.ENTRYPOINT_GROUP, addon_registry.DEPRECATED_ENTRYPOINT_GROUP)
    try:
        found = [(group, point) for group in groups for point in every(group=group)]
    except Exception as exc:
        _Warnings.warn(
            ("plugins",), "file transfer plugins of other packages cannot be listed: {}".format(error_line(exc))
        )
        found = []
    try:
        for group, point in found:
            addon_registry.iter_entry_points = lambda group, _only=group, _point=point: iter(
                [_point] if group == _only else []
            )
            try:
                manager.discover_external_plugins()
            except Exception as exc:
                name = getattr(point, "name", "?")
                module = getattr(point, "module", None) or getattr(point, "value", "?")
                _Warnings.warn(
                    ("plugin", group, name),
                    "file transfer plugin {!r} ({}) cannot be loaded and is left out: {}".format(
                        name, module, error_line(exc)
                    ),
                )
    finally:
        addon_registry.iter_entry_points = every
    manager._plugins_loaded = True
    return manager


def _plugin_kit():
    """An instance of the ``localhost``/``ftp`` plugin's ``XferKit``."""
    plugin = _plugin_manager().get_subplugin("localhost", "ftp")
    if plugin is None:
        raise CliError("no file transfer plugin is registered for localhost/ftp")
    kit_cls = getattr(plugin, "XferKit", None)
    if kit_cls is None:
        kit_cls = importlib.import_module(plugin.__name__ + ".xferkit").XferKit
    return kit_cls()


def _is_ftp(url):
    return url.lower().startswith("ftp://")


def _ftp_error(exc, url):
    """The line for a failure on the server's side of ``url``, or None."""
    import ftplib
    import socket

    where = _without_password(url)
    if isinstance(exc, ftplib.error_perm) and str(exc).startswith("530"):
        return "{}: login refused ({}); put the credentials in the URL or in ~/.netrc".format(where, _one_line(exc))
    if isinstance(exc, ftplib.Error):
        return "{}: the server answered {}".format(where, _one_line(exc))
    if isinstance(exc, EOFError):
        return "{}: the server closed the connection".format(where)
    if isinstance(exc, (socket.timeout, TimeoutError)):
        return "{}: timed out".format(where)
    if isinstance(exc, OSError) and exc.filename is None:
        return "{}: {}".format(where, exc.strerror or _one_line(exc))
    if isinstance(exc, ValueError):  # the plugin refuses the URL
        text = _masked(_one_line(exc))
        return text if where in text else "{}: {}".format(where, text)
    return None


def cmd_ls(args):
    if not _is_ftp(args.url):
        raise CliError(
            "{}: ls lists FTP folders: give an ftp://[user[:password]@]host[:port]/path URL".format(
                _without_password(args.url)
            )
        )
    kit = _plugin_kit()
    try:
        entries = kit.dir(args.url, args.timeout)
    except Exception as exc:
        line = _ftp_error(exc, args.url)
        if line is None:
            raise
        raise CliError(line) from exc
    for entry in entries:
        sys.stdout.write(_without_password(entry) + "\n")
    return 0


class Progress:
    """A progress line on a terminal, shown once a transfer has taken a second."""

    DELAY = 1.0
    INTERVAL = 0.1

    def __init__(self, name, total, stream, clock=time.monotonic):
        self.name, self.total, self.stream, self.clock = name, total, stream, clock
        self.start = clock()
        self.done = 0
        self.shown = False
        self.last = 0.0

    def add(self, count):
        self.done += count
        now = self.clock()
        if now - self.start < self.DELAY or (self.shown and now - self.last < self.INTERVAL):
            return
        self.last = now
        self.shown = True
        self.stream.write("\r" + self.text(now) + "\x1b[K")
        self.stream.flush()

    def text(self, now):
        rate = self.done / max(now - self.start, 1e-9)
        if self.total:
            share = "{:5.1f}%".format(100.0 * self.done / self.total)
            size = "{} / {}".format(_size(self.done), _size(self.total))
        else:
            share, size = "", _size(self.done)
        return "{}  {}  {}  {}/s".format(self.name, size, share, _size(rate)).replace("    ", "  ")

    def finish(self):
        if self.shown:
            self.stream.write("\r" + self.text(self.clock()) + "\x1b[K\n")
            self.stream.flush()


def _size(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return "{:.0f} {}".format(count, unit) if unit == "B" else "{:.1f} {}".format(count, unit)
        count /= 1024.0


# An OSError raised by the local file of a transfer (read for an upload,
# written for a download) carries this attribute, set where the FTP session
# hands the blocks over: errors of the sockets never do.
_LOCAL_FAILURE = "_ovark_local_failure"


def _tag_local(exc):
    try:
        setattr(exc, _LOCAL_FAILURE, True)
    except AttributeError:
        pass


def _local_failure(exc):
    """The ``OSError`` of the local file that ended a transfer, or None."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, OSError) and (getattr(exc, _LOCAL_FAILURE, False) or exc.filename is not None):
            return exc
        exc = exc.__cause__ if exc.__cause__ is not None else exc.__context__
    return None


class _LocalReader:
    """The local file of an upload, whose read errors are marked as local."""

    def __init__(self, file):
        self._file = file

    def read(self, *args):
        try:
            return self._file.read(*args)
        except OSError as exc:
            _tag_local(exc)
            raise

    def __getattr__(self, name):
        return getattr(self._file, name)


def _transfer_ftp(base, progress_holder=None):
    """A subclass of the FTP session class ``base`` whose transfers mark the
    local file's errors and, given ``progress_holder(name, total)``, report
    their blocks to a ``Progress``."""
    import ftplib

    class TransferFTP(base):
        def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
            progress = None
            if progress_holder is not None:
                total = None
                try:
                    total = os.fstat(fp.fileno()).st_size
                except (OSError, AttributeError, ValueError):
                    pass
                progress = progress_holder(cmd.split(" ", 1)[-1], total)

            def counted(block):
                if progress is not None:
                    progress.add(len(block))
                if callback is not None:
                    callback(block)

            try:
                return super().storbinary(cmd, _LocalReader(fp), blocksize, counted, rest)
            finally:
                if progress is not None:
                    progress.finish()

        def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
            progress = None
            if progress_holder is not None:
                total = None
                try:
                    self.voidcmd("TYPE I")
                    total = self.size(cmd.split(" ", 1)[-1])
                except (ftplib.Error, OSError, ValueError, EOFError):
                    pass
                progress = progress_holder(cmd.split(" ", 1)[-1], total)

            def written(block):
                if progress is not None:
                    progress.add(len(block))
                try:
                    return callback(block)
                except OSError as exc:
                    _tag_local(exc)
                    raise

            try:
                return super().retrbinary(cmd, written, blocksize, rest)
            finally:
                if progress is not None:
                    progress.finish()

    return TransferFTP


def _transfer_error(exc, remote, local, timeout):
    """The line for a failed transfer between ``remote`` and ``local``: a
    local failure names the local path, any other the URL (no password)."""
    from ovark.utils.xferkit.exceptions import TimeLimitExceededOnFileTransfer

    if isinstance(exc, TimeLimitExceededOnFileTransfer):
        return "{}: the transfer took longer than {:g} seconds".format(_without_password(remote), timeout)
    failure = _local_failure(exc)
    if failure is not None:
        return "{}: {}".format(local, failure.strerror or _one_line(failure))
    return _ftp_error(exc, remote)


def _copy_through(kit, source, local, timeout):
    """Download into a temporary folder, then write the result into ``local``,
    which exists and is not a regular file (a device, a pipe)."""
    with tempfile.TemporaryDirectory(prefix="ovark-copy-") as folder:
        kit.copyfile(source, os.path.join(folder, "download"), timeout, upload=False)
        try:
            with open(os.path.join(folder, "download"), "rb") as source, open(local, "wb") as target:
                while True:
                    block = source.read(1 << 16)
                    if not block:
                        break
                    target.write(block)
        except OSError as exc:
            _tag_local(exc)
            raise


def _remote_name(url):
    """The file name at the end of the path of ``url`` (percent-decoded)."""
    from urllib.parse import unquote, urlsplit

    return posixpath.basename(unquote(urlsplit(url).path))


def make_remote_folders(kit, url, timeout):
    """Create the missing folders of the remote path of ``url`` (MKD)."""
    import ftplib
    from urllib.parse import unquote, urlsplit

    server, port, _ = kit.validate_and_parse_url(url, "copyfile")  # also keeps the URL's credentials
    user, password = kit.get_auth(server)
    folder = posixpath.dirname(unquote(urlsplit(url).path)).lstrip("/")
    module = sys.modules[type(kit).__module__]
    session_cls = getattr(module, "FTP", None) or ftplib.FTP
    with session_cls() as session:
        session.connect(server, port or 21, timeout=timeout)
        session.login(user, password)
        made = ""
        for part in [part for part in folder.split("/") if part]:
            made = made + "/" + part if made else part
            try:
                session.mkd(made)
            except ftplib.error_perm as exc:
                if not str(exc).startswith("550"):
                    raise
                # 550: there already is something of that name; the upload says whether it fits


def cmd_copy(args):
    src_ftp, dst_ftp = _is_ftp(args.source), _is_ftp(args.destination)
    if src_ftp == dst_ftp:
        raise CliError(
            "copy moves a file between this machine and an FTP server: exactly one of SRC and DST must be an ftp:// URL"
        )
    source, destination = args.source, args.destination
    if dst_ftp:
        if not os.path.isfile(source):
            raise CliError("{}: no such file".format(_without_password(source)))
        if destination.endswith("/"):  # into that remote folder, as cp does
            from urllib.parse import quote

            destination += quote(os.path.basename(source))
    else:
        if not _remote_name(source):
            raise CliError("{}: give the path of a file on the server".format(_without_password(source)))
        if args.parents:
            raise CliError("--parents creates remote folders: it applies to an upload only")
        if os.path.isdir(destination):  # into that local folder, as cp does
            destination = os.path.join(destination, _remote_name(source))
    local = destination if src_ftp else source
    remote = source if src_ftp else destination
    kit = _plugin_kit()
    module = sys.modules[type(kit).__module__]
    saved = getattr(module, "FTP", None)
    if isinstance(saved, type):
        holder = None
        if sys.stderr.isatty():
            holder = lambda name, total: Progress(os.path.basename(name), total, sys.stderr)  # noqa: E731
        module.FTP = _transfer_ftp(saved, holder)
    try:
        if dst_ftp and args.parents:
            make_remote_folders(kit, remote, args.timeout)
        if src_ftp and os.path.exists(local) and not os.path.isfile(local):
            _copy_through(kit, source, local, args.timeout)
        else:
            kit.copyfile(source, destination, args.timeout, upload=dst_ftp)
    except Exception as exc:
        line = _transfer_error(exc, remote, local, args.timeout)
        if line is None:
            raise
        import ftplib

        if dst_ftp and not args.parents and isinstance(exc, ftplib.error_perm) and str(exc).startswith("550"):
            line += " (--parents creates missing folders)"
        raise CliError(line) from exc
    finally:
        if saved is not None:
            module.FTP = saved
    return 0


# ---------------------------------------------------------------------------
# The parser
# ---------------------------------------------------------------------------


class _Formatter(argparse.RawDescriptionHelpFormatter):
    pass


def _global_options(parser, default=None):
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default if default is not None else False,
        help="show the traceback of an error",
    )
    parser.add_argument(
        "--conf",
        metavar="FILE",
        default=default,
        help="framework configuration to use instead of $OVARK_CONF or ~/.ovark/ovark.conf",
    )


# The global options are accepted after a subcommand too; there they leave
# what was given before it alone unless given again.
_AFTER = argparse.ArgumentParser(add_help=False)
_global_options(_AFTER, default=argparse.SUPPRESS)


def _sub(subparsers, name, help_text, example, description=None):
    return subparsers.add_parser(
        name,
        help=help_text.replace("%", "%%"),
        description=textwrap.fill(description or help_text, 79),
        epilog="example:\n  " + example.replace("\n", "\n  "),
        formatter_class=_Formatter,
        parents=[_AFTER],
    )


def _version():
    from importlib import metadata

    try:
        version = metadata.version("ovark-utils")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return "{} {} (ovark-utils, {} {})".format(
        PROG, version, sys.implementation.name.replace("cpython", "CPython"), ".".join(map(str, sys.version_info[:3]))
    )


def _load_options(parser):
    parser.add_argument(
        "files", nargs="+", metavar="FILE", help="YAML files, layered in order (later files win); - is standard input"
    )
    parser.add_argument(
        "--extend-lists",
        action="store_true",
        help="apply %%EXTEND_LIST{name} keys of later files: extend the list `name` instead of replacing it",
    )
    parser.add_argument(
        "--resolve",
        action="store_true",
        help="resolve the markup: %%{ref}, %%ENV{}, %%INCLUDE{}, %%CALLABLE{}, %%ASK{}, %%ENC{}",
    )
    parser.add_argument(
        "--show-secrets",
        action="store_true",
        help="with --resolve, decode %%ENC{...} values (they stay encoded otherwise)",
    )
    parser.add_argument(
        "--strict-env",
        action="store_true",
        help="with --resolve, an %%ENV{NAME} whose variable is not set is an error (else a warning)",
    )
    parser.add_argument(
        "--no-callables",
        action="store_true",
        help="with --resolve, refuse every %%CALLABLE{...}: it runs code named in the file",
    )
    parser.add_argument(
        "--locations",
        action="store_true",
        help="follow each value with a comment naming the file, line and column it came from",
    )
    parser.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")


def _secret_options(parser):
    parser.add_argument(
        "--representer",
        metavar="DOTTED.CLASS",
        help="representer class (dotted path, or plain / obscuring / fernet); "
        "default: [secrets] PREFIX.representer of ovark.conf, else obscuring",
    )
    parser.add_argument(
        "--prefix", default=None, help="configuration prefix of the representer and its key (default: string)"
    )


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Layer and query YAML testbeds, keep secrets, move files.",
        epilog="example:\n  ovark --conf examples/ovark.conf yaml examples/base.yaml examples/lab.yaml --resolve --locations",
        formatter_class=_Formatter,
    )
    _global_options(parser)
    parser.add_argument(
        "--version",
        action="version",
        version=_version(),
        help="show the version of ovark and of the CPython it runs on, and exit",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    secret = _sub(
        commands,
        "secret",
        "make keys, encode and decode %ENC{...} secrets",
        "ovark secret keygen --prefix lab\nprintf 's3cret' | ovark secret encode\novark secret decode 'w5XDh8Oew6TDjg==' > plain.txt",
    )
    actions = secret.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    keygen = _sub(
        actions,
        "keygen",
        "print a new key and the ovark.conf lines that select it",
        "ovark secret keygen --representer fernet --prefix lab",
    )
    _secret_options(keygen)
    keygen.set_defaults(func=cmd_secret_keygen)
    encode = _sub(
        actions,
        "encode",
        "encode a plaintext for a %ENC{...} markup",
        "ovark secret encode            # asks for the plaintext, without echo\n"
        "printf 's3cret' | ovark secret encode --prefix lab",
        description="Encode a plaintext for a %ENC{...} markup. The plaintext is asked for without "
        "echo on a terminal, or read from standard input (one trailing line break dropped).",
    )
    _secret_options(encode)
    encode.add_argument(
        "--raw",
        action="store_true",
        help="print the encoded text alone, also with --prefix (which otherwise prints the whole markup)",
    )
    encode.set_defaults(func=cmd_secret_encode)
    decode = _sub(
        actions,
        "decode",
        "decode an encoded text (or a whole %ENC{...} markup)",
        "ovark secret decode '%ENC{w5XDh8Oew6TDjg==}' --show",
        description="Decode an encoded text given as argument or on standard input. The plaintext "
        "is not printed to a terminal unless --show is given.",
    )
    decode.add_argument(
        "text", nargs="?", metavar="TEXT", help="encoded text or %%ENC{...} markup (default: standard input)"
    )
    _secret_options(decode)
    decode.add_argument("--show", action="store_true", help="print the plaintext even to a terminal")
    decode.set_defaults(func=cmd_secret_decode)

    yaml_cmd = _sub(
        commands,
        "yaml",
        "layer YAML files, resolve their markup, write the result",
        "ovark yaml examples/base.yaml examples/lab.yaml examples/override.yaml --extend-lists --resolve --locations",
    )
    _load_options(yaml_cmd)
    yaml_cmd.add_argument(
        "--json",
        action="store_true",
        help="write JSON; with --locations each value becomes "
        '{"value": ..., "location": "FILE:LINE:COLUMN"} (see the README)',
    )
    yaml_cmd.set_defaults(func=cmd_yaml)

    find_cmd = _sub(
        commands,
        "find",
        "print the values that a find path reaches, with their paths",
        "ovark find examples/base.yaml examples/lab.yaml --resolve --path devices '(.*)' os --value iosxr",
        description="Run find with the path R([STEP, ..., VALUE]) on the loaded tree and print each "
        "match as PATH: VALUE. A STEP starting with '(' is a regular expression matched "
        "against the keys, a STEP of digits an integer key. VALUE is read as YAML (10 is "
        "a number); one starting with '(' is a regular expression; without --value every "
        "value matches. Exit status 1 when nothing matches.",
    )
    _load_options(find_cmd)
    find_cmd.add_argument("--path", nargs="+", required=True, metavar="STEP", help="the keys to follow")
    find_cmd.add_argument("--value", metavar="V", help="the expected value")
    find_cmd.add_argument("--all", action="store_true", help="find with all_keys=True: every path that matches")
    find_cmd.add_argument("--json", action="store_true", help="print a JSON list of {path, value}")
    find_cmd.set_defaults(func=cmd_find)

    blame_cmd = _sub(
        commands,
        "blame",
        "show every layer that set a key, and which one the result took",
        "ovark blame examples/base.yaml examples/lab.yaml examples/override.yaml tests.results --resolve",
        description="For the dotted key path KEY (a list position is a number), list every layer "
        "that set it, in layering order: FILE:LINE:COLUMN, the value as written there "
        "(secrets stay encoded) and '<- result' on the ones the layered result took. A "
        "layer that sets a key above KEY as a whole, or extends a list on the way with "
        "%EXTEND_LIST{...} (with --extend-lists), is listed too. With --resolve, what "
        "the value resolved to, and for each markup in it where its value came from, "
        "following references from layer to layer.",
    )
    blame_cmd.add_argument("files", nargs="+", metavar="FILE", help="YAML files, layered in order (later files win)")
    blame_cmd.add_argument("key", metavar="KEY", help="dotted key path, e.g. tests.timeout or topology.links.1")
    blame_cmd.add_argument(
        "--extend-lists",
        action="store_true",
        help="apply %%EXTEND_LIST{name} keys of later files, and show what each one added",
    )
    blame_cmd.add_argument(
        "--resolve", action="store_true", help="resolve the markup and show where each piece came from"
    )
    blame_cmd.add_argument("--show-secrets", action="store_true", help="with --resolve, decode %%ENC{...} values")
    blame_cmd.add_argument("--strict-env", action="store_true", help="with --resolve, an unset %%ENV{NAME} is an error")
    blame_cmd.add_argument("--no-callables", action="store_true", help="with --resolve, refuse every %%CALLABLE{...}")
    blame_cmd.add_argument("--json", action="store_true", help="print the same as a JSON object (see the README)")
    blame_cmd.set_defaults(func=cmd_blame)

    completion_cmd = _sub(
        commands,
        "completion",
        "print the shell completion script for bash or zsh",
        "ovark completion bash > ~/.local/share/bash-completion/completions/ovark\n"
        "source <(ovark completion zsh)      # in ~/.zshrc, after compinit",
    )
    completion_cmd.add_argument("shell", choices=["bash", "zsh"], help="the shell")
    completion_cmd.set_defaults(func=cmd_completion)

    ls_cmd = _sub(
        commands,
        "ls",
        "list a folder on an FTP server",
        "ovark ls ftp://tester@127.0.0.1:2121/pub   # password from ~/.netrc",
        description="List a folder through the localhost/ftp file transfer plugin. Credentials come "
        "from the URL, else ~/.netrc, else anonymous login.",
    )
    ls_cmd.add_argument("url", metavar="URL")
    ls_cmd.add_argument(
        "--timeout",
        type=float,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="socket time-out (default: %(default)g)",
    )
    ls_cmd.set_defaults(func=cmd_ls)

    copy_cmd = _sub(
        commands,
        "copy",
        "copy a file to or from an FTP server",
        "ovark copy build/image.bin ftp://127.0.0.1:2121/images/image.bin --timeout 600\n"
        "ovark copy ftp://127.0.0.1:2121/logs/run.log run.log\n"
        "ovark copy run.log ftp://127.0.0.1:2121/logs/2024/05/ --parents",
        description="Copy a file between this machine and an FTP server through the localhost/ftp "
        "file transfer plugin (exactly one side is an ftp:// URL). Credentials come from "
        "the URL, else ~/.netrc, else anonymous login. A download replaces the local file "
        "only once it is complete. Into an existing local folder, or a URL ending in /, "
        "the file is copied under its own name. An upload into a remote folder that does "
        "not exist fails unless --parents creates it. On a terminal a progress line "
        "shows once a transfer takes longer than a second.",
    )
    copy_cmd.add_argument("source", metavar="SRC")
    copy_cmd.add_argument(
        "destination",
        metavar="DST",
        help="a local folder or a URL ending in / copies under the source's name, as cp does",
    )
    copy_cmd.add_argument(
        "--parents",
        action="store_true",
        help="create the missing folders of an upload's remote path (without it the server refuses)",
    )
    copy_cmd.add_argument(
        "--timeout",
        type=float,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="time limit of the transfer and socket time-out (default: %(default)g)",
    )
    copy_cmd.set_defaults(func=cmd_copy)
    return parser


class _LogFormatter(logging.Formatter):
    def format(self, record):
        return "{}: {}: {}".format(PROG, record.levelname.lower(), _masked(_one_line(record.getMessage())))


def main(argv=None):
    """Run the command; return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    _Stdin.used = False
    _Warnings.shown = set()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_LogFormatter())
    logging.getLogger().addHandler(handler)
    logging.getLogger().setLevel(logging.DEBUG if args.debug else logging.WARNING)
    try:
        if args.conf:
            import ovark

            if not os.path.isfile(args.conf):
                raise CliError("--conf {}: no such file".format(args.conf))
            ovark.configuration.clear()
            ovark.configuration.update(ovark.load_configuration(args.conf))
        return args.func(args)
    except KeyboardInterrupt:
        sys.stderr.write("\n{}: interrupted\n".format(PROG))
        return 130
    except BrokenPipeError:
        # The reader went away (``ovark yaml ... | head``): nothing to report.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:
        if args.debug:
            import traceback

            sys.stderr.write(_masked(traceback.format_exc()))
        sys.stderr.write("{}: error: {}\n".format(PROG, _masked(error_line(exc))))
        return 1


def _console_main():
    sys.exit(main())
