"""Command-line tool for NPU configuration files: ``ovralite-npu``.

    ovralite-npu list [--format text|yaml|json]                shipped models
    ovralite-npu show MODEL|PATH|DIR|-... [--all] [--format]   device configurations
    ovralite-npu check MODEL|PATH|DIR|-... [--all] [--format]  mistakes the loader passes over

Every command takes a shipped model by its name, a file or a directory (each
file below it, hidden ones left out) by a path with a directory separator
(``./my_model``), ``-`` for standard input, and ``--all`` for every shipped
model. Each input is read once and named as the user wrote it. An input that
is no readable file is said on standard error, the others are still worked
on, and the status is the worst: 0 clean, 1 findings, 2 an input or the
command line at fault.
"""

import argparse
import collections
import contextlib
import difflib
import json
import logging
import os
import shutil
import stat
import sys
import tempfile
from types import ModuleType
from typing import Any, Dict, Iterator, List, NamedTuple, NoReturn, Optional, Sequence, TextIO

import ovralite
from ovralite.api.ovra_log import LOGGER_NAME

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
STDIN = "-"
STDIN_NAME = "<stdin>"
FORMATS = ("text", "yaml", "json")
PROGRAM = "ovralite-npu"


class UsageError(Exception):
    """A mistake in what the user asked for; said in one line, status 2."""


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


def models_dir() -> str:
    """The directory of the shipped model configurations."""
    return os.path.join(str(_module().ROOT_DIR), "config", "npu_config")


def shipped_models() -> List[str]:
    """Names of the shipped models, sorted."""
    folder = models_dir()
    return sorted(name for name in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, name)) and not name.startswith("."))


def _is_path(text: str) -> bool:
    """A name with a directory separator is a path; anything else names a
    shipped model, even where a file of that name lies in this directory."""
    return os.sep in text or bool(os.altsep and os.altsep in text)


def _walk(folder: str, failures: List[str]) -> List[str]:
    """Every file below `folder` as linters walk it: hidden files and
    directories left out, in name order, a directory's files before its
    subdirectories'; a directory that cannot be read is a failure."""
    def unreadable(error: OSError) -> None:
        failures.append("{}: cannot be read: {}".format(error.filename, error.strerror or error))

    found: List[str] = []
    for top, directories, files in os.walk(folder, onerror=unreadable):
        directories[:] = sorted(d for d in directories if not d.startswith("."))
        found.extend(os.path.join(top, name) for name in sorted(files)
                     if not name.startswith("."))
    return found


class Input(NamedTuple):
    """An input as the user named it, and the copy of its bytes read once."""

    name: str
    path: str


class Inputs:
    """What a command works on: each input read once (a pipe, a device or
    standard input gives its bytes only once) into a folder of copies, which
    the loader and the checker both read; what cannot be read is kept as a
    failure to report."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.inputs: List[Input] = []
        self.failures: List[str] = []
        self._seen: Dict[Any, str] = {}

    def add(self, argument: str) -> None:
        if argument == STDIN:
            self._read(STDIN_NAME, None, STDIN)
        elif _is_path(argument):
            if os.path.isdir(argument):
                failed = len(self.failures)
                files = _walk(argument, self.failures)
                if not files and len(self.failures) == failed:
                    self.failures.append(
                        "{}: a directory without configuration files".format(argument))
                for path in files:
                    self._read(path, path, path)
            elif not os.path.lexists(argument):
                self.failures.append("{}: no such file".format(argument))
            else:
                self._read(argument, argument, argument)
        else:
            path = os.path.join(models_dir(), argument)
            if os.path.isfile(path):
                self._read(argument, path, argument)
            else:
                self.failures.append(_no_shipped_model(argument))

    def _read(self, name: str, path: Optional[str], key: str) -> None:
        identity = self._identity(path) if path is not None else STDIN
        if identity in self._seen:
            return  # the same input again, by this name or another
        self._seen[identity] = name
        copy = os.path.join(self.folder, str(len(self._seen)))
        if path is None and (sys.stdin is None or sys.stdin.closed):
            self.failures.append("{}: standard input is closed".format(name))
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
            self.failures.append("{}: cannot be read: {}".format(
                name, "is a directory" if isinstance(exc, IsADirectoryError)
                else exc.strerror or exc))
            return
        self.inputs.append(Input(name, copy))

    @staticmethod
    def _identity(path: str) -> Any:
        try:
            info = os.stat(path)
        except OSError:
            return os.path.abspath(path)
        if stat.S_ISREG(info.st_mode):
            return info.st_dev, info.st_ino
        return os.path.abspath(path)  # a pipe or device: by the name it has


def _no_shipped_model(name: str) -> str:
    models = shipped_models()
    message = "no shipped model {!r}".format(name)
    by_case = {model.lower(): model for model in models}
    close = ([by_case[name.lower()]] if name.lower() in by_case else
             [by_case[m] for m in difflib.get_close_matches(name.lower(), list(by_case),
                                                            n=3, cutoff=0.6)])
    if close:
        message += "; did you mean {}?".format(" or ".join(repr(c) for c in close))
    if os.path.exists(name):
        message += " For the {} in this directory write ./{}".format(
            "directory" if os.path.isdir(name) else "file", name)
    return message + " (see '{} list')".format(PROGRAM)


@contextlib.contextmanager
def read_inputs(arguments: Sequence[str], every_model: bool, command: str) -> Iterator[Inputs]:
    """The inputs of a command, one rule for every command: each argument a
    shipped model's name, a file, a directory, or standard input; then, with
    --all, every shipped model; each once, in order."""
    if not arguments and not every_model:
        raise UsageError("{}: name at least one MODEL or PATH, or use --all".format(command))
    with tempfile.TemporaryDirectory(prefix="ovralite-npu-") as folder:
        inputs = Inputs(folder)
        for argument in arguments:
            inputs.add(argument)
        if every_model:
            for model in shipped_models():
                inputs.add(model)
        yield inputs


def findings(item: Input) -> List[Any]:
    from ovralite.api.npu_config.check import check_file

    return check_file(item.path, name=item.name)


def load(item: Input) -> Any:
    """The NPUConfig of an input, as a caller loading the file gets it."""
    return _module().NPUConfig(item.path)


def _plain(mapping: Any) -> Dict[str, Any]:
    # The serialized record is an OrderedDict; YAML and JSON writers want a
    # plain mapping, which keeps the order on every supported interpreter.
    return {key: (list(value) if isinstance(value, list) else value)
            for key, value in mapping.items()}


def write_data(data: Any, form: str, out: TextIO) -> None:
    """`data` as YAML (for text too) or JSON, its text as written (not escaped)."""
    if form == "json":
        out.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        import yaml  # type: ignore[import-untyped,unused-ignore]

        out.write(yaml.safe_dump(data, sort_keys=False, default_flow_style=False,
                                 allow_unicode=True))


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

    def report_failures(self, inputs: Inputs) -> None:
        for failure in inputs.failures:
            self.say(failure)
        if inputs.failures:
            self.worst(EXIT_USAGE)


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


def cmd_show(args: argparse.Namespace, run: Run) -> None:
    loaded: "collections.OrderedDict[str, Dict[str, Any]]" = collections.OrderedDict()
    with read_inputs(args.models, args.all, "show") as inputs:
        run.report_failures(inputs)
        for item in inputs.inputs:
            found = findings(item)
            for problem in found:
                run.say(str(problem))
            if any(problem.severity == "error" for problem in found):
                run.worst(EXIT_PROBLEMS)
                continue
            try:
                loaded[item.name] = _plain(load(item).device.serialize())
            except Exception as exc:  # what the checker could not foresee
                run.say("{}: {}".format(item.name, (str(exc).replace(item.path, item.name)
                                                    .splitlines() or [type(exc).__name__])[0]))
                run.worst(EXIT_PROBLEMS)
                continue
            if found and args.strict:
                run.worst(EXIT_PROBLEMS)
    if args.quiet or not loaded:
        return
    # One input: its mapping. Several: one mapping of name to mapping, the
    # same shape in both formats.
    data = next(iter(loaded.values())) if len(loaded) == 1 else dict(loaded)
    write_data(data, args.format, run.out)


def cmd_check(args: argparse.Namespace, run: Run) -> None:
    found: List[Any] = []
    with read_inputs(args.files, args.all, "check") as inputs:
        run.report_failures(inputs)
        for item in inputs.inputs:
            found.extend(findings(item))
    if found:
        run.worst(EXIT_PROBLEMS)
    if args.quiet:
        return
    if args.format == "text":
        for problem in found:
            run.out.write(str(problem) + "\n")
    else:
        write_data([problem.as_json() for problem in found], args.format, run.out)


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
    the help of the command at fault."""

    def error(self, message: str) -> "NoReturn":
        self.exit(EXIT_USAGE, "{}: {} (see '{} --help')\n".format(PROGRAM, message, self.prog))

    def _print_message(self, message: str, file: Any = None) -> None:
        # Help and the version written as any output is: a failure to write
        # them is reported (from 3.13 argparse would pass over it).
        if message:
            (file or sys.stderr).write(message)


def build_parser() -> _Parser:
    parser = _Parser(
        prog=PROGRAM,
        description="Inspect and check the NPU configuration files of ovralite.",
        epilog="A MODEL is a shipped model's name, a PATH a file, a DIR each file below it, "
               "- standard input. Status: 0 clean, 1 findings, 2 an input or the command "
               "line at fault.")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    parser.set_defaults(commands=commands.choices)

    common = _Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="print nothing on standard output; the status tells")
    common.add_argument("--format", choices=FORMATS, default="text",
                        help="output format (default: text)")
    inputs = _Parser(add_help=False)
    inputs.add_argument("--all", action="store_true", help="every shipped model too")

    listing = commands.add_parser(
        "list", help="list the shipped models", parents=[common],
        description="One line per shipped model: name, target, pid, core, nn_support_dtypes; "
                    "yaml and json give them under the same keys.")
    listing.set_defaults(run=cmd_list)

    show = commands.add_parser(
        "show", help="print the device configuration the loader produces",
        parents=[common, inputs],
        description="Print the device configuration that NPUConfig loads for each MODEL, "
                    "PATH, DIR or -, as YAML (text, yaml) or JSON, and on standard error "
                    "what check finds in it. A file the loader rejects is status 1.")
    show.add_argument("models", nargs="*", metavar="MODEL|PATH|DIR|-")
    show.add_argument("--strict", action="store_true",
                      help="status 1 when check finds anything, warnings included")
    show.set_defaults(run=cmd_show)

    check = commands.add_parser(
        "check", help="validate configuration files", parents=[common, inputs],
        description="Report each finding of each MODEL, PATH, DIR or - as "
                    "FILE:LINE: error|warning: message (text), or as a list of file, line, "
                    "key, severity and message (yaml, json). An error is what the loader "
                    "rejects, a warning what it passes over. Status 1 with any finding.")
    check.add_argument("files", nargs="*", metavar="MODEL|PATH|DIR|-")
    check.set_defaults(run=cmd_check)
    return parser


def _parse(parser: _Parser, argv: Optional[Sequence[str]], err: TextIO) -> argparse.Namespace:
    args, unknown = parser.parse_known_args(argv)
    if not getattr(args, "command", None):
        err.write(parser.format_usage())
        parser.error("name a command: list, show or check")
    if unknown:
        # Said by the command's own parser, which points to its help.
        args.commands[args.command].error("unrecognized arguments: {}".format(" ".join(unknown)))
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
