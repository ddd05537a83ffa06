"""Command-line tool for NPU configuration files: ``ovralite-npu``.

    ovralite-npu list                       the shipped models
    ovralite-npu show MODEL|PATH|DIR|-...   the device configuration the loader produces
    ovralite-npu check PATH|DIR|-...        what the loader rejects or passes over
    ovralite-npu rules                      the rules of check, by code

check takes every argument as a path, as linters do (a bare name, ``.``, a
directory: each file below it, hidden ones left out), ``-`` for standard
input, and shipped models by ``--model NAME`` or ``--all``; show takes a path
that exists, and otherwise a shipped model's name. Options may stand before
or after the command. Each input is read once and named as the user wrote
it; one that cannot be read is a finding (NPU001) and the others are still
worked on. Status: 0 clean (warnings alone, unless --strict), 1 an error
found, 2 an input that cannot be read or a mistake on the command line or in
the settings.
"""

import argparse
import collections
import contextlib
import difflib
import logging
import os
import shutil
import stat
import sys
import tempfile
from types import ModuleType
from typing import (Any, Dict, Iterator, List, NamedTuple, NoReturn, Optional, Sequence,
                    TextIO, Tuple, Union)

import ovralite
from ovralite.api.npu_config import options
from ovralite.api.npu_config.check import Problem, cannot_read, check_file
from ovralite.api.npu_config.models import models_dir, shipped_models
from ovralite.api.npu_config.options import Settings, UsageError
from ovralite.api.npu_config.report import write_data, write_findings
from ovralite.api.npu_config.rules import RULES, UNREADABLE
from ovralite.api.ovra_log import LOGGER_NAME

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
STDIN = "-"
STDIN_NAME = "<stdin>"
PROGRAM = "ovralite-npu"
DATA_FORMATS = ("text", "yaml", "json")
COMMANDS: Dict[str, Tuple[str, ...]] = {  # command: its output formats
    "list": DATA_FORMATS,
    "show": DATA_FORMATS,
    "check": ("text", "json", "yaml", "github", "sarif"),
    "rules": DATA_FORMATS,
}
FINDINGS = ("show", "check")  # the commands that check files
# Every option of the commands: flags, argparse's keywords, the commands
# that take it. Each may stand before the command or after it.
OPTIONS: List[Tuple[Tuple[str, ...], Dict[str, Any], Tuple[str, ...]]] = [
    (("-q", "--quiet"), dict(action="store_true",
                             help="print nothing on standard output; the status tells"),
     tuple(COMMANDS)),
    (("--format",), dict(metavar="FORMAT", help="output format: {} (default: text)"),
     tuple(COMMANDS)),
    (("--all",), dict(action="store_true", help="every shipped model too"), FINDINGS),
    (("--model",), dict(action="append", metavar="NAME",
                        help="a shipped model by its name (repeatable)"), FINDINGS),
    (("--strict",), dict(action="store_true",
                         help="a warning fails the run (status 1) as an error does"), FINDINGS),
    (("--select",), dict(action="append", metavar="CODES",
                         help="report only these rules: codes or code prefixes, "
                              "comma-separated (NPU2,NPU304)"), FINDINGS),
    (("--ignore",), dict(action="append", metavar="CODES",
                         help="do not report these rules: codes or code prefixes"), FINDINGS),
    (("--exclude",), dict(action="append", metavar="GLOB",
                          help="leave out files whose name or path matches (repeatable)"),
     FINDINGS),
]
EPILOG = ("Status: 0 clean (warnings alone, unless --strict), 1 an error found, 2 an input "
          "that cannot be read or a mistake on the command line or in the settings. check and "
          "show also take --select, --ignore, --exclude and --strict from the "
          "[tool.ovralite-npu] table of the nearest pyproject.toml.")
DEFAULTS: Dict[str, Any] = {"quiet": False, "format": "text", "all": False, "model": None,
                            "strict": False, "select": None, "ignore": None, "exclude": None}


def _module() -> ModuleType:
    from ovralite.api.npu_config import npu_config

    return npu_config


def implementation() -> str:
    """Which module runs, and in which interpreter: for --version."""
    kind = ("module in plain Python" if str(getattr(_module(), "__file__", "")).endswith(".py")
            else "compiled module")
    version = ".".join(map(str, sys.version_info[:3]))
    if sys.implementation.name == "pypy":
        pypy = ".".join(map(str, sys.implementation.version[:3]))
        return "{}, PyPy {} (Python {})".format(kind, pypy, version)
    return "{}, {} {}".format(kind, "CPython" if sys.implementation.name == "cpython"
                              else sys.implementation.name, version)


def _walk(folder: str, failures: List[Problem], settings: Settings) -> Tuple[List[str], int]:
    """Every file below `folder` as linters walk it: hidden files and
    directories left out, and those excluded, in name order, a directory's
    files before its subdirectories'; a directory that cannot be read is a
    failure. A FIFO, socket or device met is no configuration file: left
    out, not waited on (a link that leads nowhere is kept, to be reported).
    Also the number of files and directories excluded."""
    def unreadable(error: OSError) -> None:
        failures.append(_unreadable(str(error.filename), error.strerror or str(error)))

    found: List[str] = []
    excluded = 0
    for top, directories, files in os.walk(folder, onerror=unreadable):
        visible = sorted(d for d in directories if not d.startswith("."))
        directories[:] = [d for d in visible if not settings.excluded(os.path.join(top, d))]
        paths = [os.path.join(top, name) for name in sorted(files) if not name.startswith(".")]
        kept = [path for path in paths if not settings.excluded(path)]
        excluded += len(visible) - len(directories) + len(paths) - len(kept)
        found.extend(path for path in kept if os.path.isfile(path) or not os.path.exists(path))
    return found, excluded


def _unreadable(name: str, message: str) -> Problem:
    return Problem(name, 0, 0, UNREADABLE, message)


class Input(NamedTuple):
    """An input as the user named it, and the copy of its bytes read once."""

    name: str
    path: str


class Inputs:
    """What a command works on, in the order named: each input read once (a
    pipe, a device or standard input gives its bytes only once) into a folder
    of copies, which the loader and the checker both read, and a finding
    (NPU001) for each that cannot be read."""

    def __init__(self, folder: str, settings: Settings) -> None:
        self.folder = folder
        self.settings = settings
        self.entries: List[Union[Input, Problem]] = []
        self._seen: Dict[Any, str] = {}

    def add_path(self, argument: str, otherwise: str = "") -> None:
        """A file, each file below a directory, or standard input."""
        if argument == STDIN:
            self._read(STDIN_NAME, None)
        elif os.path.isdir(argument):
            failures: List[Problem] = []
            files, excluded = _walk(argument, failures, self.settings)
            self.entries.extend(failures)
            if not files and not failures and not excluded:
                self.entries.append(_unreadable(argument, "a directory without configuration "
                                                          "files"))
            for path in files:
                self._read(path, path)
        elif not os.path.lexists(argument):
            self.entries.append(_unreadable(argument, "no such file or directory" + otherwise))
        elif not self.settings.excluded(argument):
            self._read(argument, argument)

    def add_model(self, name: str) -> None:
        if _is_shipped(name):
            self._read(name, os.path.join(models_dir(), name))
        else:
            self.entries.append(_unreadable(name, "no shipped model of that name" +
                                            _closest_models(name)))

    def add_named(self, argument: str) -> None:
        """show's rule: a path that exists, else a shipped model's name."""
        if argument == STDIN or os.path.lexists(argument) or _has_separator(argument):
            self.add_path(argument)
        elif _is_shipped(argument):
            self.add_model(argument)
        else:
            self.entries.append(_unreadable(argument, "no such file or directory, and no "
                                                      "shipped model of that name" +
                                            _closest_models(argument)))

    def _read(self, name: str, path: Optional[str]) -> None:
        identity = self._identity(path) if path is not None else STDIN
        if identity in self._seen:
            return  # the same input again, by this name or another
        self._seen[identity] = name
        copy = os.path.join(self.folder, str(len(self._seen)))
        if path is None and (sys.stdin is None or sys.stdin.closed):
            self.entries.append(_unreadable(name, "standard input is closed"))
            return
        try:
            if path is None:
                with open(copy, "wb") as target:
                    if hasattr(sys.stdin, "buffer"):
                        shutil.copyfileobj(sys.stdin.buffer, target)
                    else:
                        target.write(sys.stdin.read().encode())
            else:
                if os.path.isdir(path):
                    raise IsADirectoryError(21, "Is a directory")
                with open(path, "rb") as source, open(copy, "wb") as target:
                    shutil.copyfileobj(source, target)
        except OSError as exc:
            if exc.filename == copy:
                raise  # our own folder: no space, say, not the input at fault
            self.entries.append(_unreadable(name, cannot_read(exc)))
            return
        self.entries.append(Input(name, copy))

    @staticmethod
    def _identity(path: str) -> Any:
        try:
            info = os.stat(path)
        except OSError:
            return os.path.abspath(path)
        if stat.S_ISREG(info.st_mode):
            return info.st_dev, info.st_ino
        return os.path.abspath(path)  # a pipe or device: by the name it has


def _has_separator(text: str) -> bool:
    return os.sep in text or bool(os.altsep and os.altsep in text)


def _is_shipped(name: str) -> bool:
    """Whether `name` is a shipped model's name (a bare name, not a path)."""
    return bool(name) and not _has_separator(name) and os.path.isfile(
        os.path.join(models_dir(), name))


def _closest_models(name: str) -> str:
    """"; did you mean ...?" with the shipped names closest to `name` (its
    own in another letter case first), and where to see them all."""
    models = shipped_models()
    by_case = {model.lower(): model for model in models}
    close = ([by_case[name.lower()]] if name.lower() in by_case else
             [by_case[m] for m in difflib.get_close_matches(name.lower(), list(by_case),
                                                            n=3, cutoff=0.6)])
    hint = "; did you mean {}?".format(" or ".join(repr(c) for c in close)) if close else ""
    return hint + " (see '{} list')".format(PROGRAM)


@contextlib.contextmanager
def read_inputs(args: argparse.Namespace, command: str) -> Iterator[Inputs]:
    """The inputs of show or check, each once, in order: check takes every
    argument as a path, show a path that exists or else a shipped model;
    then the models of --model, then with --all every shipped model."""
    models = args.model or []
    if not args.paths and not models and not args.all:
        raise UsageError("{}: name at least one {}, or use --model NAME or --all.".format(
            command, "PATH" if command == "check" else "MODEL or PATH"))
    with tempfile.TemporaryDirectory(prefix="ovralite-npu-") as folder:
        inputs = Inputs(folder, args.settings)
        for argument in args.paths:
            if command == "show":
                inputs.add_named(argument)
            else:
                inputs.add_path(argument, "; for the shipped model of that name, use --model "
                                          "{}".format(argument) if _is_shipped(argument) else "")
        for model in models + (shipped_models() if args.all else []):
            inputs.add_model(model)
        yield inputs


def findings(entry: Union[Input, Problem], settings: Settings) -> List[Problem]:
    """The checker's findings of an input, those of the rules chosen; an
    input that could not be read is its own finding."""
    if isinstance(entry, Problem):
        return [entry]
    return [problem for problem in check_file(entry.path, name=entry.name)
            if problem.code in settings.codes]


def load(item: Input) -> Any:
    """The NPUConfig of an input, as a caller loading the file gets it."""
    return _module().NPUConfig(item.path)


def _plain(mapping: Any) -> Dict[str, Any]:
    # The serialized record is an OrderedDict; YAML and JSON writers want a
    # plain mapping, which keeps the order on every supported interpreter.
    return {key: (list(value) if isinstance(value, list) else value)
            for key, value in mapping.items()}


class Run:
    """One run of the program: where it writes, and the status so far,
    which stands whatever becomes of the output."""

    def __init__(self, out: TextIO, err: TextIO) -> None:
        self.out: TextIO = out
        self.err: TextIO = err
        self.status: int = EXIT_OK

    def worst(self, status: int) -> None:
        self.status = max(self.status, status)

    def say(self, line: str) -> None:
        """A line on standard error, prefixed as every one of them is."""
        self.err.write("{}: {}\n".format(PROGRAM, line))

    def judge(self, found: Sequence[Problem], strict: bool) -> None:
        """The status findings give: 2 for an input that cannot be read, 1
        for an error, or with `strict` any finding."""
        for problem in found:
            self.worst(EXIT_USAGE if problem.code == UNREADABLE else EXIT_PROBLEMS
                       if strict or problem.severity == "error" else EXIT_OK)


def cmd_list(args: argparse.Namespace, run: Run) -> None:
    devices = [(name, _module().NPUConfig(name).device) for name in shipped_models()]
    if args.quiet:
        return
    if args.format != "text":
        write_data({name: {"target": device.target, "pid": device.pid, "core": device.core,
                           "nn_support_dtypes": list(device.nn_support_dtypes)}
                    for name, device in devices}, args.format, run.out)
        return
    for name, device in devices:
        run.out.write("{:<32} target={} pid={} core={} nn_support_dtypes={}\n".format(
            name, device.target, device.pid, device.core,
            ",".join(device.nn_support_dtypes) or "-"))


def cmd_rules(args: argparse.Namespace, run: Run) -> None:
    if args.quiet:
        return
    if args.format != "text":
        write_data([rule._asdict() for rule in RULES.values()], args.format, run.out)
        return
    for rule in RULES.values():
        run.out.write("{} {:<8} {:<22} {}\n".format(rule.code, rule.severity, rule.name,
                                                   rule.summary))


def cmd_show(args: argparse.Namespace, run: Run) -> None:
    loaded: "collections.OrderedDict[str, Dict[str, Any]]" = collections.OrderedDict()
    with read_inputs(args, "show") as inputs:
        # One argument naming one input: its mapping. Otherwise one mapping
        # of name to mapping, whatever fails; the same shape in every format.
        single = (len(args.paths) + len(args.model or []) == 1 and not args.all
                  and not os.path.isdir(args.paths[0] if args.paths else ""))
        for entry in inputs.entries:
            found = findings(entry, args.settings)
            write_findings(found, "text", run.err)
            run.judge(found, args.settings.strict)
            if isinstance(entry, Problem) or any(p.severity == "error" for p in found):
                continue
            try:
                loaded[entry.name] = _plain(load(entry).device.serialize())
            except Exception as exc:  # what the checker could not foresee
                run.say("{}: {}".format(entry.name, (str(exc).replace(entry.path, entry.name)
                                                     .splitlines() or [type(exc).__name__])[0]))
                run.worst(EXIT_PROBLEMS)
    if args.quiet or (single and not loaded):
        return
    write_data(next(iter(loaded.values())) if single else dict(loaded), args.format, run.out)


def cmd_check(args: argparse.Namespace, run: Run) -> None:
    found: List[Problem] = []
    with read_inputs(args, "check") as inputs:
        for entry in inputs.entries:
            found.extend(findings(entry, args.settings))
    run.judge(found, args.settings.strict)
    if not args.quiet:
        write_findings(found, args.format, run.out)


def _discard_output(out: TextIO) -> None:
    if out is sys.stdout:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


class _Version(argparse.Action):
    """--version, its text made when asked for: which module runs is known
    only once it is imported, which the other commands may not need."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0,
                         help=help or "show program's version number and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> NoReturn:
        formatter = parser.formatter_class(prog=parser.prog)
        formatter.add_text("{} {} ({})".format(PROGRAM, ovralite.__version__, implementation()))
        parser._print_message(formatter.format_help(), sys.stdout)
        parser.exit()


class _Parser(argparse.ArgumentParser):
    """argparse's parser, saying a usage error in one line that points to
    the help of the command at fault, suggesting the command meant, and (for
    a command) taking its options and paths in any order."""

    intermixed = False
    _parsing = False

    def error(self, message: str) -> "NoReturn":
        self.exit(EXIT_USAGE, "{}: {} (see '{} --help')\n".format(PROGRAM, message, self.prog))

    def _check_value(self, action: argparse.Action, value: Any) -> None:
        if isinstance(action, argparse._SubParsersAction) and value not in action.choices:
            close = difflib.get_close_matches(value, list(action.choices), n=1)
            self.error("there is no command {!r}; {}".format(value, (
                "did you mean {!r}?".format(close[0]) if close else
                "the commands are {}".format(", ".join(action.choices)))))
        super()._check_value(action, value)

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        if not self.intermixed or self._parsing:
            return super().parse_known_args(args, namespace)
        self._parsing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._parsing = False

    def _print_message(self, message: str, file: Any = None) -> None:
        # Help and the version written as any output is: a failure to write
        # them is reported (from 3.13 argparse would pass over it).
        if message:
            (file or sys.stderr).write(message)


def _add_options(parser: _Parser, command: Optional[str]) -> None:
    for flags, keywords, commands in OPTIONS:
        if command is None or command in commands:
            keywords = dict(keywords, default=argparse.SUPPRESS)
            if flags == ("--format",):
                keywords["help"] = keywords["help"].format(
                    ", ".join(COMMANDS[command]) if command else "by command")
            parser.add_argument(*flags, **keywords)


def build_parser() -> _Parser:
    parser = _Parser(
        prog=PROGRAM, usage="%(prog)s [-h] [--version] [OPTION ...] COMMAND [ARG ...]",
        description="Inspect and check the NPU configuration files of ovralite. "
                    "Options of a command may stand before or after it.",
        epilog=EPILOG)
    parser.add_argument("--version", action=_Version)
    _add_options(parser, None)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    parser.set_defaults(commands=commands.choices)

    def command(name: str, run: Any, **keywords: Any) -> _Parser:
        sub = commands.add_parser(name, prog="{} {}".format(PROGRAM, name),
                                  epilog=EPILOG if name in FINDINGS else None, **keywords)
        sub.intermixed = True
        _add_options(sub, name)
        sub.set_defaults(run=run)
        return sub

    command("list", cmd_list, help="list the shipped models",
            description="One line per shipped model: name, target, pid, core, "
                        "nn_support_dtypes; yaml and json give them under the same keys.")
    show = command(
        "show", cmd_show, help="print the device configuration the loader produces",
        description="Print the device configuration that NPUConfig loads for each input, as "
                    "YAML (text, yaml) or JSON, and on standard error what check finds in it. "
                    "An argument is a path where a file or directory of that name exists, and "
                    "otherwise a shipped model's name; --model names a shipped model whatever "
                    "lies here. One argument naming one input prints its configuration, "
                    "anything else one mapping from name to configuration. An input with an "
                    "error is not shown (status 1).")
    show.add_argument("paths", nargs="*", metavar="MODEL|PATH|DIR|-")
    check = command(
        "check", cmd_check, help="validate configuration files",
        description="Report what the loader would reject (errors) and what it passes over "
                    "(warnings) in each file, as FILE:LINE:COL: CODE severity: message (text), "
                    "records of file, line, column, code, severity, message and key (json, "
                    "yaml), GitHub Actions annotations (github) or SARIF 2.1.0 (sarif). Every "
                    "argument is a path, as linters take them (a bare name is a file here): a "
                    "file, a directory (each file below it, hidden ones left out) or - for "
                    "standard input; shipped models are named by --model or --all. A comment "
                    "line '# ovralite-npu: ignore CODE, ...' silences those codes on the line "
                    "after it. 'ovralite-npu rules' lists the codes.")
    check.add_argument("paths", nargs="*", metavar="PATH|DIR|-")
    command("rules", cmd_rules, help="list the rules of check with their codes",
            description="One line per rule: code, severity, name, what it finds.")
    return parser


def _parse(parser: _Parser, argv: Optional[Sequence[str]], err: TextIO) -> argparse.Namespace:
    args: argparse.Namespace
    args, unknown = parser.parse_known_args(argv)
    if not getattr(args, "command", None):
        err.write(parser.format_usage())
        parser.error("name a command: {}".format(", ".join(COMMANDS)))
    own = args.commands[args.command]
    if unknown:
        # Said by the command's own parser, which points to its help.
        own.error("unrecognized arguments: {}".format(" ".join(unknown)))
    for flags, _, commands in OPTIONS:
        dest = flags[-1].lstrip("-")
        if hasattr(args, dest) and args.command not in commands:
            own.error("{} takes no {}".format(args.command, flags[-1]))
    for dest, value in DEFAULTS.items():
        if not hasattr(args, dest):
            setattr(args, dest, value)
    if args.format not in COMMANDS[args.command]:
        own.error("argument --format: invalid choice: {!r} (choose from {})".format(
            args.format, ", ".join(COMMANDS[args.command])))
    if args.command in FINDINGS:
        split = [[word for text in given or [] for word in text.split(",")]
                 for given in (args.select, args.ignore)]
        args.settings = options.settings(
            split[0] if args.select is not None else None, split[1], args.exclude or [],
            args.strict)
    return args


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextIO] = None,
         err: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    run = Run(out, err)
    # The loader's messages go to this command's stream, once: not also to
    # the handlers of the root logger that a caller may have configured.
    handler = logging.StreamHandler(err)
    handler.setFormatter(logging.Formatter(PROGRAM + ": %(levelname)s: %(message)s"))
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        try:
            args = _parse(build_parser(), argv, err)
        except SystemExit as exc:  # argparse has written help, the version or an error
            run.worst(exc.code if isinstance(exc.code, int) else EXIT_USAGE)
        else:
            args.run(args, run)
        out.flush()  # a failure to write is reported here, not at exit
        return run.status
    except UsageError as exc:
        run.say(str(exc))
        return EXIT_USAGE
    except KeyboardInterrupt:
        run.say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader stopped reading (`ovralite-npu list | head -1`): that is
        # no error of the run, whose status stands. What is left unwritten
        # goes nowhere.
        _discard_output(out)
        return run.status
    except OSError as exc:
        # The output cannot be written (a full disk): one line, as for any
        # other failure, and nothing more at exit.
        _discard_output(out)
        run.say("cannot write the output: {}".format(exc.strerror or exc))
        return max(run.status, EXIT_PROBLEMS)
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


def program() -> int:
    """main() as the process's program: text the terminal cannot show is
    escaped rather than a failure."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    return main()


if __name__ == "__main__":  # python -m ovralite.api.npu_config.cli: the same program
    sys.exit(program())
