"""The ``ovark`` command: a thin front end over the utilities.

    ovark secret keygen|encode|decode   keys and encoded texts for %ENC{...}
    ovark yaml FILE [FILE ...]          layer YAML files, resolve their markup
    ovark find FILE [FILE ...] --path   query a loaded tree with find and R
    ovark ls URL / ovark copy SRC DST   list and transfer files over FTP

Every failure ends in one line on standard error (file and line where they
are known) and a non-zero exit status; ``--debug`` shows the traceback.
"""

import argparse
import getpass
import importlib
import json
import logging
import os
import re
import sys
import textwrap
import time
from collections.abc import Mapping, MutableMapping

import yaml

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
    return cls.__name__ if cls.__module__ in ("builtins", "__main__") else "{}.{}".format(cls.__module__, cls.__qualname__)


def _describe_cause(exc):
    """The root cause of a markup error, in a few words."""
    from ovark.utils.yaml.exceptions import MarkupError

    root = exc
    while root.__cause__ is not None:
        root = root.__cause__
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


def load_file(path):
    """(data, locations) of the YAML file at ``path``."""
    from ovark.utils.locations import LocSafeLoader

    locations = {}
    try:
        with open(path, encoding="utf-8") as stream:
            loader = LocSafeLoader(stream, locations=locations, file_name=path)
            try:
                data = loader.get_single_data()
            finally:
                loader.dispose()
    except yaml.YAMLError as exc:
        raise CliError(_yaml_error_line(exc, path)) from exc
    except UnicodeDecodeError as exc:
        raise CliError("{}: not UTF-8 text ({})".format(path, exc.reason)) from exc
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
                raise CliError("{}: cannot layer: the document is not a mapping".format(name))
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
        folder = os.path.dirname(found)
        if folder not in self.search_path:
            type(self).search_path = (folder,) + tuple(self.search_path)
        return data


def resolve(data, locations, paths, show_secrets=False):
    """Resolve the markup of ``data``; ``%ENC`` stays encoded unless asked."""
    try:
        from ovark.utils.yaml.markup import Processor
    except ImportError as exc:
        raise CliError("--resolve needs ovark.utils.yaml.markup, which cannot be imported: {}".format(_one_line(exc))) from exc
    folders = []
    for path in reversed(paths):
        folder = os.path.dirname(path)
        if folder not in folders:
            folders.append(folder)
    loader_cls = type("IncludeLoader", (IncludeLoader,), {"search_path": tuple(folders)})
    processor = Processor(encode=show_secrets, yaml_loader_cls=loader_cls)
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
                where = _place(locate(locations, path, value)[0])
                cause = exc.__cause__ if exc.__cause__ is not None and not isinstance(exc, ImportError) else exc
                line = "{}: cannot decode: {}: {}".format(match.group(1), _type_name(cause), _one_line(cause))
                raise CliError("{}: {}".format(where, line) if where else line) from exc


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


def _location_child(node, key):
    """The location entry under ``key``, looking into included files' trees."""
    if not isinstance(node, Mapping):
        return None
    try:
        if key in node:
            return node[key]
    except TypeError:
        return None
    for entry_key, entry in node.items():
        if isinstance(entry_key, str) and "%INCLUDE{" in entry_key and isinstance(entry, Mapping) and not _is_location(entry):
            found = _location_child(entry, key)
            if found is not None:
                return found
    return None


def locate(locations, path, value=None):
    """(location, markup): where the value at ``path`` was written, and the
    markup text it was written as (None when it was written as it is)."""
    node = locations
    for key in path:
        node = _location_child(node, key)
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
    text = yaml.dump(value, Dumper=dumper, default_flow_style=True, width=float("inf"), allow_unicode=True, sort_keys=False)
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


def _output(args):
    if args.output in (None, "-"):
        return sys.stdout, False
    try:
        return open(args.output, "w", encoding="utf-8"), True
    except OSError as exc:
        raise CliError("{}: {}".format(args.output, exc.strerror)) from exc


def _loaded(args):
    data, locations = load_layers(args.files, extend_lists=args.extend_lists)
    if args.resolve:
        data = resolve(data, locations, args.files, show_secrets=args.show_secrets)
    return data, locations


def cmd_yaml(args):
    from ovark.utils.yaml.dumper import OrderedSafeDumper

    data, locations = _loaded(args)
    stream, close = _output(args)
    try:
        if args.locations:
            dump_with_locations(data, locations, stream)
        else:
            from ovark.utils.yaml import dumper

            # libyaml's emitter where it writes the same text as PyYAML's own
            fast = dumper._OrderedCSafeDumper is not None and dumper._fits_libyaml(data)
            yaml.dump(data, stream, Dumper=dumper._OrderedCSafeDumper if fast else OrderedSafeDumper,
                      default_flow_style=False, sort_keys=False, allow_unicode=True)
    except yaml.representer.RepresenterError as exc:
        raise CliError("cannot write {!r} as YAML".format(type(exc.args[1]).__name__ if len(exc.args) > 1 else exc)) from exc
    finally:
        if close:
            stream.close()
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
    return str(obj)


def cmd_find(args):
    from ovark.utils.yaml.dumper import OrderedSafeDumper

    data, locations = _loaded(args)
    steps = [_step(step) for step in args.path]
    try:
        matches = _find_matches(data, steps, _expected(args.value), all_keys=args.all)
    except (TypeError, ValueError) as exc:
        raise CliError("--path {}: {}".format(" ".join(args.path), _one_line(exc))) from exc
    stream, close = _output(args)
    try:
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
    finally:
        if close:
            stream.close()
    return 0 if matches else 1


def _representer(name):
    """The representer class named by ``name`` (dotted path or short alias)."""
    if name is None:
        return None
    from ovark.utils import veiled_texts
    from ovark.utils.import_utils import import_from_name

    dotted = REPRESENTER_ALIASES.get(name, name)
    if "." not in dotted:
        raise CliError("--representer {}: give a dotted class path or one of {}".format(name, ", ".join(REPRESENTER_ALIASES)))
    try:
        cls = import_from_name(dotted)
    except (ImportError, AttributeError) as exc:
        raise CliError("--representer {}: cannot import it: {}".format(name, _one_line(exc))) from exc
    if not (isinstance(cls, type) and issubclass(cls, veiled_texts.BaseSecretStringRepresenter)):
        raise CliError("--representer {}: not a representer class (it must inherit from {})".format(name, REPRESENTER_BASE))
    return cls


def _class_path(cls):
    return "{}.{}".format(cls.__module__, cls.__qualname__)


def cmd_secret_keygen(args):
    from ovark.utils.veiled_texts import SecretString

    cls = SecretString._get_rep(_representer(args.representer), args.prefix)
    key = SecretString.keygen(representer_cls=cls, prefix=args.prefix)
    out = sys.stdout
    out.write(key + "\n")
    out.write("\n# Lines for ovark.conf ($OVARK_CONF, else ~/.ovark/ovark.conf):\n")
    out.write("[secrets]\n{0}.representer = {1}\n{0}.key = {2}\n".format(args.prefix, _class_path(cls), key))
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
        secret = SecretString.from_plaintext(plaintext, representer_cls=cls, prefix=args.prefix)
    except ImportError:
        raise
    except Exception as exc:
        # Errors of the representers name the representer, never the plaintext.
        raise CliError("cannot encode with {}: {}".format(
            (cls or SecretString._get_rep(None, args.prefix)).__name__, _one_line(exc))) from None
    sys.stdout.write(secret.data + "\n")
    if sys.stderr.isatty():
        markup = secret.data if args.prefix == "string" else "{}, prefix={}".format(secret.data, args.prefix)
        sys.stderr.write("Paste as: %ENC{" + markup + "}\n")
    return 0


def cmd_secret_decode(args):
    from ovark.utils.veiled_texts import SecretString
    from ovark.utils.yaml.markup import ENC_PATTERN

    if sys.stdout.isatty() and not args.show:
        raise CliError("refusing to print a plaintext to a terminal: add --show, or redirect the output")
    text = args.text if args.text is not None else sys.stdin.read()
    text = text.strip()
    prefix = args.prefix
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
        cause = exc.__cause__ or exc
        raise CliError("cannot decode the text: {} ({}: {})".format(
            _one_line(exc).split(" It cannot")[0], _type_name(cause), _one_line(cause))) from exc
    sys.stdout.write(secret.plaintext + "\n")
    return 0


# --- file transfer ---------------------------------------------------------


def _plugin_kit():
    """An instance of the ``localhost``/``ftp`` plugin's ``XferKit``."""
    from ovark.utils.xferkit.core.addon_registry import PluginManager

    plugin = PluginManager().get_subplugin("localhost", "ftp")
    if plugin is None:
        raise CliError("no file transfer plugin is registered for localhost/ftp")
    kit_cls = getattr(plugin, "XferKit", None)
    if kit_cls is None:
        kit_cls = importlib.import_module(plugin.__name__ + ".xferkit").XferKit
    return kit_cls()


def _is_ftp(url):
    return url.lower().startswith("ftp://")


def _ftp_error(exc, url):
    import ftplib
    import socket

    if isinstance(exc, ftplib.error_perm) and str(exc).startswith("530"):
        return "{}: login refused ({}); put the credentials in the URL or in ~/.netrc".format(_safe_url(url), _one_line(exc))
    if isinstance(exc, ftplib.Error):
        return "{}: the server answered {}".format(_safe_url(url), _one_line(exc))
    if isinstance(exc, (socket.timeout, TimeoutError)):
        return "{}: timed out".format(_safe_url(url))
    if isinstance(exc, OSError) and exc.filename is None:
        return "{}: {}".format(_safe_url(url), exc.strerror or _one_line(exc))
    return None


def _safe_url(url):
    """``url`` without a password."""
    return re.sub(r"^(ftp://[^/:@]*):[^/@]*@", r"\1:***@", url, flags=re.I)


def cmd_ls(args):
    if not _is_ftp(args.url):
        raise CliError("{}: ls lists FTP folders: give an ftp://[user[:password]@]host[:port]/path URL".format(args.url))
    kit = _plugin_kit()
    try:
        entries = kit.dir(args.url, args.timeout)
    except Exception as exc:
        line = _ftp_error(exc, args.url)
        if line is None:
            raise
        raise CliError(line) from exc
    for entry in entries:
        sys.stdout.write(_safe_url(entry) + "\n")
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


def _progress_ftp(progress_holder):
    """An ``ftplib.FTP`` whose transfers report their blocks to a ``Progress``."""
    import ftplib

    class ProgressFTP(ftplib.FTP):
        def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
            total = None
            try:
                total = os.fstat(fp.fileno()).st_size
            except (OSError, AttributeError, ValueError):
                pass
            progress = progress_holder(cmd.split(" ", 1)[-1], total)

            def counted(block):
                progress.add(len(block))
                if callback is not None:
                    callback(block)

            try:
                return super().storbinary(cmd, fp, blocksize, counted, rest)
            finally:
                progress.finish()

        def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
            total = None
            try:
                self.voidcmd("TYPE I")
                total = self.size(cmd.split(" ", 1)[-1])
            except (ftplib.Error, OSError, ValueError):
                pass
            progress = progress_holder(cmd.split(" ", 1)[-1], total)

            def counted(block):
                progress.add(len(block))
                return callback(block)

            try:
                return super().retrbinary(cmd, counted, blocksize, rest)
            finally:
                progress.finish()

    return ProgressFTP


def cmd_copy(args):
    src_ftp, dst_ftp = _is_ftp(args.source), _is_ftp(args.destination)
    if src_ftp == dst_ftp:
        raise CliError("copy moves a file between this machine and an FTP server: exactly one of SRC and DST must be an ftp:// URL")
    kit = _plugin_kit()
    local = args.destination if src_ftp else args.source
    if dst_ftp and not os.path.isfile(local):
        raise CliError("{}: no such file".format(local))
    if src_ftp and os.path.isdir(local):
        raise CliError("{}: is a folder; give the path of the file to write".format(local))
    module = sys.modules[type(kit).__module__]
    saved = getattr(module, "FTP", None)
    if saved is not None and sys.stderr.isatty():
        module.FTP = _progress_ftp(lambda name, total: Progress(os.path.basename(name), total, sys.stderr))
    try:
        kit.copyfile(args.source, args.destination, args.timeout, upload=dst_ftp)
    except Exception as exc:
        from ovark.utils.xferkit.exceptions import TimeLimitExceededOnFileTransfer

        if isinstance(exc, TimeLimitExceededOnFileTransfer):
            raise CliError("{}: the transfer took longer than {:g} seconds".format(
                _safe_url(args.source if src_ftp else args.destination), args.timeout)) from exc
        line = _ftp_error(exc, args.source if src_ftp else args.destination)
        if line is None:
            raise
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


def _sub(subparsers, name, help_text, example, description=None):
    return subparsers.add_parser(
        name,
        help=help_text.replace("%", "%%"),
        description=textwrap.fill(description or help_text, 79),
        epilog="example:\n  " + example.replace("\n", "\n  "),
        formatter_class=_Formatter,
    )


def _load_options(parser):
    parser.add_argument("files", nargs="+", metavar="FILE", help="YAML files, layered in order (later files win)")
    parser.add_argument("--extend-lists", action="store_true",
                        help="apply %%EXTEND_LIST{name} keys of later files: extend the list `name` instead of replacing it")
    parser.add_argument("--resolve", action="store_true",
                        help="resolve the markup: %%{ref}, %%ENV{}, %%INCLUDE{}, %%CALLABLE{}, %%ASK{}, %%ENC{}")
    parser.add_argument("--show-secrets", action="store_true",
                        help="with --resolve, decode %%ENC{...} values (they stay encoded otherwise)")
    parser.add_argument("--locations", action="store_true",
                        help="follow each value with a comment naming the file, line and column it came from")
    parser.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")


def _secret_options(parser):
    parser.add_argument("--representer", metavar="DOTTED.CLASS",
                        help="representer class (dotted path, or plain / obscuring / fernet); "
                             "default: [secrets] PREFIX.representer of ovark.conf, else obscuring")
    parser.add_argument("--prefix", default="string",
                        help="configuration prefix of the representer and its key (default: %(default)s)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Layer and query YAML testbeds, keep secrets, move files.",
        epilog="example:\n  ovark --conf examples/ovark.conf yaml examples/base.yaml examples/lab.yaml --resolve --locations",
        formatter_class=_Formatter,
    )
    parser.add_argument("--debug", action="store_true", help="show the traceback of an error")
    parser.add_argument("--conf", metavar="FILE",
                        help="framework configuration to use instead of $OVARK_CONF or ~/.ovark/ovark.conf")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    secret = _sub(commands, "secret", "make keys, encode and decode %ENC{...} secrets",
                  "ovark secret keygen --prefix lab\nprintf 's3cret' | ovark secret encode\novark secret decode 'w5XDh8Oew6TDjg==' > plain.txt")
    actions = secret.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    keygen = _sub(actions, "keygen", "print a new key and the ovark.conf lines that select it",
                  "ovark secret keygen --representer fernet --prefix lab")
    _secret_options(keygen)
    keygen.set_defaults(func=cmd_secret_keygen)
    encode = _sub(actions, "encode", "encode a plaintext for a %ENC{...} markup",
                  "ovark secret encode            # asks for the plaintext, without echo\n"
                  "printf 's3cret' | ovark secret encode --prefix lab",
                  description="Encode a plaintext for a %ENC{...} markup. The plaintext is asked for without "
                              "echo on a terminal, or read from standard input (one trailing line break dropped).")
    _secret_options(encode)
    encode.set_defaults(func=cmd_secret_encode)
    decode = _sub(actions, "decode", "decode an encoded text (or a whole %ENC{...} markup)",
                  "ovark secret decode '%ENC{w5XDh8Oew6TDjg==}' --show",
                  description="Decode an encoded text given as argument or on standard input. The plaintext "
                              "is not printed to a terminal unless --show is given.")
    decode.add_argument("text", nargs="?", metavar="TEXT", help="encoded text or %%ENC{...} markup (default: standard input)")
    _secret_options(decode)
    decode.add_argument("--show", action="store_true", help="print the plaintext even to a terminal")
    decode.set_defaults(func=cmd_secret_decode)

    yaml_cmd = _sub(commands, "yaml", "layer YAML files, resolve their markup, write the result",
                    "ovark yaml examples/base.yaml examples/lab.yaml examples/override.yaml --extend-lists --resolve --locations")
    _load_options(yaml_cmd)
    yaml_cmd.set_defaults(func=cmd_yaml)

    find_cmd = _sub(commands, "find", "print the values that a find path reaches, with their paths",
                    "ovark find examples/base.yaml examples/lab.yaml --resolve --path devices '(.*)' os --value iosxr",
                    description="Run find with the path R([STEP, ..., VALUE]) on the loaded tree and print each "
                                "match as PATH: VALUE. A STEP starting with '(' is a regular expression matched "
                                "against the keys, a STEP of digits an integer key. VALUE is read as YAML (10 is "
                                "a number); one starting with '(' is a regular expression; without --value every "
                                "value matches. Exit status 1 when nothing matches.")
    _load_options(find_cmd)
    find_cmd.add_argument("--path", nargs="+", required=True, metavar="STEP", help="the keys to follow")
    find_cmd.add_argument("--value", metavar="V", help="the expected value")
    find_cmd.add_argument("--all", action="store_true", help="find with all_keys=True: every path that matches")
    find_cmd.add_argument("--json", action="store_true", help="print a JSON list of {path, value}")
    find_cmd.set_defaults(func=cmd_find)

    ls_cmd = _sub(commands, "ls", "list a folder on an FTP server",
                  "ovark ls ftp://tester@127.0.0.1:2121/pub   # password from ~/.netrc",
                  description="List a folder through the localhost/ftp file transfer plugin. Credentials come "
                              "from the URL, else ~/.netrc, else anonymous login.")
    ls_cmd.add_argument("url", metavar="URL")
    ls_cmd.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help="socket time-out (default: %(default)g)")
    ls_cmd.set_defaults(func=cmd_ls)

    copy_cmd = _sub(commands, "copy", "copy a file to or from an FTP server",
                    "ovark copy build/image.bin ftp://127.0.0.1:2121/images/image.bin --timeout 600\n"
                    "ovark copy ftp://127.0.0.1:2121/logs/run.log run.log",
                    description="Copy a file between this machine and an FTP server through the localhost/ftp "
                                "file transfer plugin (exactly one side is an ftp:// URL). Credentials come from "
                                "the URL, else ~/.netrc, else anonymous login. On a terminal a progress line "
                                "shows once a transfer takes longer than a second.")
    copy_cmd.add_argument("source", metavar="SRC")
    copy_cmd.add_argument("destination", metavar="DST")
    copy_cmd.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                          help="time limit of the transfer and socket time-out (default: %(default)g)")
    copy_cmd.set_defaults(func=cmd_copy)
    return parser


class _LogFormatter(logging.Formatter):
    def format(self, record):
        return "{}: {}: {}".format(PROG, record.levelname.lower(), _one_line(record.getMessage()))


def main(argv=None):
    """Run the command; return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
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

            traceback.print_exc()
        sys.stderr.write("{}: error: {}\n".format(PROG, error_line(exc)))
        return 1


def _console_main():
    sys.exit(main())
