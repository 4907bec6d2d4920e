"""A command's options read without argparse when they leave nothing to decide, to start fast."""
from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Sequence

#: What `add_argument` may be given for the options to be read here; any other keyword (or
#: action) leaves the command to argparse.
_KEYWORDS = frozenset({"action", "nargs", "default", "type", "choices", "dest", "metavar", "help"})


class Options:
    """The options of one run, as argparse's namespace holds them."""

    def __init__(self, **values: Any) -> None:
        self.__dict__.update(values)

    def __repr__(self) -> str:
        return "Options(" + ", ".join(f"{name}={value!r}" for name, value in vars(self).items()) + ")"


class _Argument:
    """One `add_argument` call, with the defaults argparse would give what it leaves out."""

    def __init__(self, flags: tuple[str, ...], keywords: dict[str, Any]) -> None:
        self.flags = flags
        self.positional = not flags[0].startswith("-")
        self.action = keywords.get("action", "store")
        self.nargs = keywords.get("nargs")
        self.default = keywords.get("default", False if self.action == "store_true" else None)
        self.type = keywords.get("type")
        self.choices = keywords.get("choices")
        long = next((flag for flag in flags if flag.startswith("--")), flags[0])
        self.dest = keywords.get("dest", long if self.positional else long.lstrip("-").replace("-", "_"))
        self.plain = (set(keywords) <= _KEYWORDS and self.action in ("store", "store_true", "append")
                      and (self.nargs is None or self.positional and self.nargs in ("?", "+"))
                      and not (self.positional and self.choices is not None))

    def value(self, text: str) -> Any:
        """`text` converted and checked as argparse would; ValueError when argparse would object (or
        might: it is then left to say how)."""
        value = self.type(text) if self.type is not None else text
        if self.choices is not None and value not in self.choices:
            raise ValueError(text)
        return value


class Declared:
    """Stands in for the parser of one command while its module declares its options (the same
    `add_argument` and `set_defaults` calls that build its argparse parser), and reads a command
    line with them when argparse would have nothing to say: no help, no error, no abbreviation."""

    def __init__(self) -> None:
        self.arguments: list[_Argument] = []
        self.defaults: dict[str, Any] = {}

    def add_argument(self, *flags: str, **keywords: Any) -> None:
        self.arguments.append(_Argument(flags, keywords))

    def set_defaults(self, **keywords: Any) -> None:
        self.defaults.update(keywords)

    def parse(self, command: str, args: Sequence[str]) -> Options | None:
        """The options of `command` given `args` (what follows its name), exactly as argparse
        would make them; None whenever argparse has to decide (it is then asked)."""
        if not all(argument.plain for argument in self.arguments):
            return None
        flags = {flag: argument for argument in self.arguments if not argument.positional for flag in argument.flags}
        values: dict[str, Any] = {}
        words: list[str] = []
        runs = 0  # stretches of positional words, which argparse reads one at a time
        after_word = False
        tokens = iter(args)
        try:
            for token in tokens:
                if not token.startswith("-") or token == "-":
                    runs += not after_word
                    words.append(token)
                    after_word = True
                    continue
                after_word = False
                flag, equals, attached = token.partition("=") if token.startswith("--") else (token, "", "")
                argument = flags.get(flag)
                if argument is None:
                    return None  # -h, --, an abbreviation, a joined short option, a negative number...
                if argument.action == "store_true":
                    if equals:
                        return None
                    values[argument.dest] = True
                    continue
                if not equals:
                    attached = next(tokens, None)
                    if attached is None or (attached.startswith("-") and attached != "-"):
                        return None
                value = argument.value(attached)
                if argument.action == "append":
                    values[argument.dest] = [*values.get(argument.dest, self._default(argument) or []), value]
                else:
                    values[argument.dest] = value
            if runs > 1 or not _place([argument for argument in self.arguments if argument.positional], words, values):
                return None
            options = Options(command=command)
            for argument in self.arguments:
                if argument.dest in values:
                    value = values[argument.dest]
                else:
                    value = self._default(argument)
                    if argument.type is not None and isinstance(value, str):
                        value = argument.type(value)
                setattr(options, argument.dest, value)
        except Exception:  # a type's own objection, which argparse reports in its own words
            return None
        for name, value in self.defaults.items():
            if not hasattr(options, name):
                setattr(options, name, value)
        return options

    def _default(self, argument: _Argument) -> Any:
        return self.defaults.get(argument.dest, argument.default)


def _place(positionals: list[_Argument], words: list[str], values: dict[str, Any]) -> bool:
    """Gives the positional words to the one positional argument; False for any layout that
    argparse would refuse or split otherwise (too few or too many words, several positionals)."""
    if not positionals:
        return not words
    if len(positionals) > 1:
        return False
    positional = positionals[0]
    if positional.nargs is None:
        if len(words) != 1:
            return False
        values[positional.dest] = positional.value(words[0])
    elif positional.nargs == "+":
        if not words:
            return False
        values[positional.dest] = [positional.value(word) for word in words]
    elif words:  # "?"
        if len(words) > 1:
            return False
        values[positional.dest] = positional.value(words[0])
    return True


class Subcommands:
    """Stands in for argparse's subparsers while one command's module declares its parser."""

    def __init__(self) -> None:
        self.declared = Declared()

    def add_parser(self, name: str, **keywords: Any) -> Declared:
        return self.declared


def parse_plainly(command: str, add_parser: Callable[[Any], None], args: Sequence[str]) -> Options | None:
    """The options of `command`, declared by its `add_parser`, for `args`; None when argparse must
    read them (help, errors, anything it would read in a way of its own)."""
    subcommands = Subcommands()
    try:
        add_parser(subcommands)
    except AttributeError:  # it declares with more of argparse than is read here (a group, say)
        return None
    return subcommands.declared.parse(command, args)
