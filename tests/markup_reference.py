"""A plain-Python markup processor, written straight from the processor's rules.

The tests compare the extension module with it on generated trees, and the
benchmark runs it side by side. It reads the same module globals (patterns,
``os``, ``utils``, ...) from ``ovark.utils.yaml.markup``.
"""

import os
from collections import UserString
from collections.abc import Iterable, MutableMapping

from ovark.utils import utils
from ovark.utils.yaml import markup
from ovark.utils.yaml.exceptions import MarkupError

LEAVES = (bytes, bytearray, UserString)
MAX_TEXT = 16 << 20  # the longest text a substitution may make
TOO_LONG = "Markup substitutions do not end (text longer than 16777216 characters)"


def _joined(index):
    return ".".join(str(i) for i in index)


def _quoted(value):
    text = format(value)
    return text if len(text) <= 1000 else text[:1000] + "..."


def _message(head, index, markup_text):
    return head + ": \nIndex:  " + _joined(index) + "\nMarkup: " + _quoted(markup_text) + "\n"


def _replace(data, old, new, index):
    """data.replace(old, new), refused when the text would outgrow MAX_TEXT."""
    if len(data) + data.count(old) * (len(new) - len(old)) > MAX_TEXT:
        raise MarkupError(_message(TOO_LONG, index, data))
    return data.replace(old, new)


def _below_text(tree, index):
    """Whether the way along index through tree passes through a text."""
    node = tree
    for step in index:
        if isinstance(node, str):
            return True
        try:
            node = node[step]
        except Exception:
            return False
    return False


class ReferenceProcessor:
    def __init__(
        self,
        reference=True,
        callable=True,
        env_var=True,
        include_file=True,
        ask=True,
        encode=True,
        yaml_loader_cls=None,
    ):
        self._inhibit_recurse_exception = False
        self._yaml_loader_cls = yaml_loader_cls
        self._actions = []
        for on, m, h in (
            (reference, self.match_reference_markup, self.p_reference_markup),
            (callable, self.match_callable_markup, self.p_callable_markup),
            (env_var, self.match_env_markup, self.p_environ_markup),
            (include_file, self.match_include_file_markup, self.p_file_markup),
            (ask, self.match_ask_markup, self.p_ask_markup),
            (encode, self.match_enc_markup, self.p_enc_markup),
        ):
            if on:
                self._actions.append((m, h))

    def __call__(self, data, locations=None):
        self.original = data
        return self._recurse(data, [], locations=locations)

    def _recurse(self, data, index, locations=None):
        try:
            if isinstance(data, str):
                return self._process_str(data, index, locations=locations)
            if isinstance(data, LEAVES):
                return data
            if isinstance(data, MutableMapping):
                return self._process_mutable_mapping(data, index, locations=locations)
            if isinstance(data, Iterable):
                return self._process_iterable(data, index, locations=locations)
            return data
        except RecursionError:
            raise
        except Exception as e:
            if self._inhibit_recurse_exception:
                raise
            self._inhibit_recurse_exception = True
            raise MarkupError(
                "Caught error while processing markups: \nIndex:  {}\nMarkup: {}\n".format(index, _quoted(data))
            ) from e

    def _process_mutable_mapping(self, data, index, locations=None):
        return type(data)((k, self._recurse(v, index + [k], locations=locations)) for k, v in data.items())

    def _process_iterable(self, data, index, locations=None):
        return [self._recurse(v, index + [i], locations=locations) for i, v in enumerate(data)]

    def _process_str(self, data, index, locations=None):
        rounds, limit = 0, 10000 + len(data)
        while markup.BASE_PATTERN.search(data):
            rounds += 1
            if rounds > limit:
                raise MarkupError(_message("Markup substitutions do not end", index, data))
            for matcher, handler in self._actions:
                match = matcher(data)
                if match:
                    break
            else:
                return data
            data = handler(match, data, index, locations=locations)
            if matcher == self.match_reference_markup and isinstance(data, (MutableMapping, Iterable)):
                node = self.original
                try:
                    for step in index[:-1]:
                        node = node[step]
                except (LookupError, TypeError):
                    node = ""  # no place for it in original
                last = index[-1]
                if not isinstance(node, str):
                    node[last] = data
                return self._recurse(data, index, locations=locations)
            if not isinstance(data, str):
                return self._recurse(data, index, locations=locations)
        return data

    def match_reference_markup(self, data):
        return markup.REFERENCE_PATTERN.search(data)

    def match_callable_markup(self, data):
        return markup.CALLABLE_PATTERN.search(data)

    def match_env_markup(self, data):
        return markup.ENV_PATTERN.search(data)

    def match_include_file_markup(self, data):
        return markup.INCLUDE_FILE_PATTERN.search(data)

    def match_ask_markup(self, data):
        return markup.ASK_PATTERN.search(data)

    def match_enc_markup(self, data):
        return markup.ENC_PATTERN.search(data)

    @staticmethod
    def _lookup_error(match, index, e):
        raise MarkupError(_message("Caught error while processing markups", index, match.group(0))) from e

    def p_reference_markup(self, match, data, index, locations=None):
        if not match:
            return None
        try:
            value = utils.chainget(self.original, match.group(2))
        except KeyError as e:
            self._lookup_error(match, index, e)
        value_index = match.group(2).split(".")
        try:
            itself = value == utils.chainget(self.original, index)
        except KeyError:  # a place original has only inside markup text (an include) is not this one
            if not _below_text(self.original, index):
                raise
            itself = False
        if itself or value_index == index[: len(value_index)]:
            raise MarkupError(_message("Detected recursion markup", index, match.group(0)))
        text = data[match.span(0)[0] : match.span(0)[1]]
        return value if text == data else _replace(data, text, str(value), index)

    def p_environ_markup(self, match, data, index, locations=None):
        if not match:
            return data
        try:
            value = os.environ.get(match.group(2), "")
        except KeyError as e:
            self._lookup_error(match, index, e)
        return _replace(data, data[match.span(0)[0] : match.span(0)[1]], str(value), index)

    def p_callable_markup(self, match, data, index, locations=None):
        if not match:
            return data
        try:
            func = markup.import_utils.import_from_name(match.group(2))
            if len(match.groups()) == 4 and match.group(4):
                value = func(*[a for a in match.group(4).split(",") if a])
            else:
                value = func()
        except KeyError as e:
            self._lookup_error(match, index, e)
        if isinstance(value, str):
            return _replace(data, data[match.span(0)[0] : match.span(0)[1]], value, index)
        return value

    def p_file_markup(self, match, data, index, locations=None):
        raise NotImplementedError

    def p_ask_markup(self, match, data, index, locations=None):
        raise NotImplementedError

    def p_enc_markup(self, match, data, index, locations=None):
        if not match:
            return data
        kwargs = {"secret_string": match.group(2)}
        if match.group(4):
            kwargs["prefix"] = match.group(4)
        value = markup.SecretString(**kwargs).plaintext
        return _replace(data, data[match.span(0)[0] : match.span(0)[1]], str(value), index)
