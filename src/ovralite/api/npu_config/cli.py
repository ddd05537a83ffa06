"""Command-line tool for NPU configuration files: ``ovralite-npu``.

    ovralite-npu list [--format text|yaml|json]      shipped models
    ovralite-npu show MODEL|PATH|DIR|-... [--all]    device configurations (YAML or JSON)
    ovralite-npu check MODEL|PATH|DIR|-... [--all]   mistakes the loader passes over

Every command takes a shipped model by its name, a file or a directory (each
file in it) by a path with a directory separator (``./my_model``), and
``--all`` for every shipped model; ``-`` is standard input.
A name or path that is no readable file is status 2 with one line on standard
error; results go to standard output.
"""

import argparse
import collections
import contextlib
import json
import logging
import os
import sys
from types import ModuleType
from typing import Any, Dict, Iterator, List, Mapping, NoReturn, Optional, Sequence, TextIO

import ovralite
from ovralite.api.ovra_log import LOGGER_NAME

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2
STDIN = "-"
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it


class UsageError(Exception):
    """A mistake in what the user asked for; reported without a traceback."""


class ConfigError(Exception):
    """A configuration file that the loader rejects; its message names it."""


def _module() -> ModuleType:
    from ovralite.api.npu_config import npu_config

    return npu_config


def models_dir() -> str:
    """The directory of the shipped model configurations."""
    npu_config = _module()
    return os.path.join(str(npu_config.ROOT_DIR), "config", "npu_config")


def shipped_models() -> List[str]:
    """Names of the shipped models, sorted."""
    folder = models_dir()
    return sorted(
        name
        for name in os.listdir(folder)
        if os.path.isfile(os.path.join(folder, name)) and not name.startswith(".")
    )


def _is_path(text: str) -> bool:
    """A name with a directory separator is a path; anything else names a
    shipped model, even where a file of that name lies in this directory."""
    return os.sep in text or bool(os.altsep and os.altsep in text)


def _readable(shown: str, path: str, missing: str) -> str:
    if not os.path.exists(path):
        raise UsageError(missing)
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise UsageError("{}: cannot be read: {}".format(shown, exc.strerror or exc))
    return path


def resolve(model_or_path: str) -> str:
    """The configuration file that `model_or_path` names, made sure to be a
    readable file; UsageError saying what is wrong with it otherwise."""
    if _is_path(model_or_path):
        path = os.path.abspath(model_or_path)
        missing = "{}: no such file".format(model_or_path)
    else:
        path = os.path.join(models_dir(), model_or_path)
        missing = "no shipped model {!r} (see 'ovralite-npu list')".format(model_or_path)
        if os.path.exists(model_or_path):
            missing += "; for the {} in this directory write ./{}".format(
                "directory" if os.path.isdir(model_or_path) else "file", model_or_path)
    if os.path.isdir(path):
        raise UsageError("{}: is a directory, not a configuration file".format(model_or_path))
    return _readable(model_or_path, path, missing)


def expand(arguments: Sequence[str], every_model: bool, command: str) -> List[str]:
    """What the command is to work on, one rule for every command: each
    argument a shipped model's name, a file, or a directory (each file in it,
    by name); then, with --all, every shipped model; each once, in order."""
    names: List[str] = []
    for argument in arguments:
        if argument != STDIN and _is_path(argument) and os.path.isdir(argument):
            folder = argument
            try:
                files = [os.path.join(folder, name) for name in sorted(os.listdir(folder))
                         if not name.startswith(".")
                         and os.path.isfile(os.path.join(folder, name))]
            except OSError as exc:
                raise UsageError("{}: cannot be read: {}".format(folder, exc.strerror or exc))
            if not files:
                raise UsageError("{}: a directory without configuration files".format(folder))
            names.extend(files)
        else:
            names.append(argument)
    if every_model:
        names.extend(shipped_models())
    if not names:
        raise UsageError("{}: name at least one MODEL or PATH, or use --all".format(command))
    unique = list(collections.OrderedDict.fromkeys(names))
    for name in unique:
        if name != STDIN:
            resolve(name)  # every one is a readable file before any work starts
    return unique


def load(model_or_path: str) -> Any:
    """The NPUConfig for a shipped model name or a configuration file path.
    A file the loader rejects is reported as ConfigError naming the file and,
    where the checker finds them, the lines and keys at fault."""
    path = resolve(model_or_path)
    try:
        return _module().NPUConfig(path if _is_path(model_or_path) else model_or_path)
    except Exception as exc:
        from ovralite.api.npu_config.check import check_file

        # In the user's words: what the checker finds the loader rejects.
        errors = [str(problem) for problem in check_file(path) if problem.severity == "error"]
        raise ConfigError("\n".join(errors) or "{}: {}".format(
            path, (str(exc).splitlines() or [type(exc).__name__])[0]))


def _plain(mapping: Mapping[str, Any]) -> Dict[str, Any]:
    # The serialized record is an OrderedDict; YAML and JSON writers want a
    # plain mapping, which keeps the order on every supported interpreter.
    return {key: (list(value) if isinstance(value, list) else value)
            for key, value in mapping.items()}


def write_data(data: Any, form: str, out: TextIO) -> None:
    """`data` as YAML or JSON, its text as written (not escaped)."""
    if form == "json":
        out.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        import yaml  # type: ignore[import-untyped,unused-ignore]

        out.write(yaml.safe_dump(data, sort_keys=False, default_flow_style=False,
                                 allow_unicode=True))


def cmd_list(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    devices = [(name, load(name).device) for name in shipped_models()]
    if args.quiet:
        return EXIT_OK
    if args.format != "text":
        write_data({name: {"target": device.target, "pid": device.pid, "cores": device.core,
                           "dtypes": list(device.nn_support_dtypes)}
                    for name, device in devices}, args.format, out)
        return EXIT_OK
    for name, device in devices:
        out.write("{:<32} target={} pid={} cores={} dtypes={}\n".format(
            name, device.target, device.pid, device.core,
            ",".join(device.nn_support_dtypes) or "-"))
    return EXIT_OK


def cmd_show(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ovralite.api.npu_config.check import check_file

    names = expand(args.models, args.all, "show")
    loaded: "collections.OrderedDict[str, Dict[str, Any]]" = collections.OrderedDict()
    warnings: List[Any] = []
    with _stdin_file() if STDIN in names else contextlib.nullcontext("") as stdin_path:
        for name in names:
            # Standard input is loaded from a file of its text, as a path.
            target = stdin_path if name == STDIN else name
            try:
                loaded[name] = _plain(load(target).device.serialize())
            except ConfigError as exc:
                raise ConfigError(str(exc).replace(stdin_path, "<stdin>") if stdin_path
                                  else str(exc))
            # What the loader passed over, as check reports it: the
            # configuration is still shown; --strict makes it a failure.
            warnings.extend(problem._replace(path="<stdin>") if name == STDIN else problem
                            for problem in check_file(resolve(target)))
    if args.quiet:
        return EXIT_PROBLEMS if warnings and args.strict else EXIT_OK
    for problem in warnings:
        err.write("ovralite-npu: {}: {}\n".format(problem.severity, problem))
    # One model: its mapping. Several: one mapping of model name to mapping,
    # the same shape in both formats.
    data = next(iter(loaded.values())) if len(loaded) == 1 else dict(loaded)
    write_data(data, args.format, out)
    return EXIT_PROBLEMS if warnings and args.strict else EXIT_OK


@contextlib.contextmanager
def _stdin_file() -> Iterator[str]:
    """The path of a file holding standard input's bytes, while it is used."""
    import tempfile

    data = sys.stdin.buffer.read() if hasattr(sys.stdin, "buffer") else \
        sys.stdin.read().encode()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "stdin")
        with open(path, "wb") as handle:
            handle.write(data)
        yield path


def _check_stdin() -> List[Any]:
    """The findings for the text on standard input, named "<stdin>"."""
    from ovralite.api.npu_config.check import check_file

    with _stdin_file() as path:
        return [problem._replace(path="<stdin>") for problem in check_file(path)]


def cmd_check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ovralite.api.npu_config.check import check_file

    names = expand(args.files, args.all, "check")
    found: List[Any] = []
    for name in names:
        findings = _check_stdin() if name == STDIN else check_file(resolve(name))
        found.extend(findings)
        if not args.quiet and args.format == "text":
            for problem in findings:
                out.write(str(problem) + "\n")
    if not args.quiet and args.format == "json":
        out.write(json.dumps([problem.as_json() for problem in found], indent=2,
                             ensure_ascii=False) + "\n")
    return EXIT_PROBLEMS if found else EXIT_OK


def _discard_output(out: TextIO) -> None:
    if out is sys.stdout:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


class _Parser(argparse.ArgumentParser):
    """argparse's parser, saying a usage error in one line."""

    def error(self, message: str) -> "NoReturn":
        self.exit(EXIT_USAGE, "ovralite-npu: {} (see '{} --help')\n".format(message, self.prog))


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="ovralite-npu",
        description="Inspect and check the NPU configuration files of ovralite.",
    )
    parser.add_argument("--version", action="version",
                        version="%(prog)s {}".format(ovralite.__version__))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    quiet = _Parser(add_help=False)
    quiet.add_argument("-q", "--quiet", action="store_true",
                       help="print nothing on standard output; the exit status tells")

    listing = commands.add_parser(
        "list", help="list the shipped models", parents=[quiet],
        description="One line per shipped model: name, target, pid, cores, data types.")
    listing.add_argument("--format", choices=("text", "yaml", "json"), default="text",
                         help="output format (default: text)")
    listing.set_defaults(run=cmd_list)

    show = commands.add_parser(
        "show", help="print the device configuration the loader produces", parents=[quiet],
        description="Print the device configuration that NPUConfig loads for each MODEL "
                    "(a shipped model's name), PATH (a configuration file), DIR (each "
                    "file in it) or - (standard input).")
    show.add_argument("models", nargs="*", metavar="MODEL|PATH|DIR|-")
    show.add_argument("--all", action="store_true", help="every shipped model")
    show.add_argument("--format", choices=("yaml", "json"), default="yaml",
                      help="output format (default: yaml)")
    show.add_argument("--strict", action="store_true",
                      help="status 1 when check would report anything (it is said on "
                           "standard error either way)")
    show.set_defaults(run=cmd_show)

    check = commands.add_parser(
        "check", help="validate configuration files", parents=[quiet],
        description="Report each problem of each MODEL (a shipped model's name), PATH (a "
                    "configuration file), DIR (each file in it) or - (standard input) as "
                    "FILE:LINE: message. Exit status 0 when every file is clean, 1 when any "
                    "has a problem, 2 for usage errors.")
    check.add_argument("files", nargs="*", metavar="MODEL|PATH|DIR|-")
    check.add_argument("--all", action="store_true", help="every shipped model")
    check.add_argument("--format", choices=("text", "json"), default="text",
                       help="output format: text lines, or a JSON list of findings with "
                            "file, line, key, severity and message (default: text)")
    check.set_defaults(run=cmd_check)
    return parser


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextIO] = None,
         err: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse has printed its message
        return EXIT_USAGE if exc.code else EXIT_OK
    # The loader's messages go to this command's stream, once: not also to
    # the handlers of the root logger that a caller may have configured.
    handler = logging.StreamHandler(err)
    handler.setFormatter(logging.Formatter("ovralite-npu: %(levelname)s: %(message)s"))
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        status: int = args.run(args, out, err)
        out.flush()  # a failure to write is reported here, not at exit
        return status
    except UsageError as exc:
        err.write("ovralite-npu: {}\n".format(exc))
        return EXIT_USAGE
    except ConfigError as exc:
        err.write("ovralite-npu: {}\n".format(exc))
        return EXIT_PROBLEMS
    except KeyboardInterrupt:
        err.write("ovralite-npu: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader stopped reading (`ovralite-npu list | head -1`): that
        # is no error. What is left unwritten goes nowhere.
        _discard_output(out)
        return EXIT_OK
    except OSError as exc:
        # The output cannot be written (a full disk): one line, as for any
        # other failure, and nothing more at exit.
        _discard_output(out)
        err.write("ovralite-npu: cannot write the output: {}\n".format(exc.strerror or exc))
        return EXIT_PROBLEMS
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


if __name__ == "__main__":
    sys.exit(main())
