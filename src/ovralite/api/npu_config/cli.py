"""Command-line tool for NPU configuration files: ``ovralite-npu``.

    ovralite-npu list                       shipped models, one line each
    ovralite-npu show MODEL|PATH... [--all] device configurations (YAML or JSON)
    ovralite-npu check FILE...              find mistakes the loader passes over
"""

import argparse
import collections
import json
import logging
import os
import sys
from types import ModuleType
from typing import Any, Dict, List, Mapping, Optional, Sequence, TextIO

import yaml  # type: ignore[import-untyped,unused-ignore]

import ovralite
from ovralite.api.ovra_log import LOGGER_NAME

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2
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


def resolve(model_or_path: str) -> str:
    """The configuration file that `model_or_path` names, made sure to be a
    readable file; UsageError saying what is wrong with it otherwise."""
    if _is_path(model_or_path):
        path = os.path.abspath(model_or_path)
        missing = "{}: no such file".format(model_or_path)
    else:
        path = os.path.join(models_dir(), model_or_path)
        missing = "no shipped model {!r} (see 'ovralite-npu list')".format(model_or_path)
        if os.path.isfile(model_or_path):
            missing += "; for the file in this directory write ./{}".format(model_or_path)
    if os.path.isdir(path):
        raise UsageError("{}: is a directory, not a configuration file".format(model_or_path))
    if not os.path.exists(path):
        raise UsageError(missing)
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise UsageError("{}: cannot be read: {}".format(model_or_path, exc.strerror or exc))
    return path


def load(model_or_path: str) -> Any:
    """The NPUConfig for a shipped model name or a configuration file path.
    A file the loader rejects is reported as ConfigError naming the file and,
    where the checker finds them, the lines and keys at fault."""
    path = resolve(model_or_path)
    try:
        return _module().NPUConfig(path if _is_path(model_or_path) else model_or_path)
    except Exception as exc:
        from ovralite.api.npu_config.check import check_file

        details = [str(problem) for problem in check_file(path)]
        raise ConfigError("\n".join(
            ["{}: {}: {}".format(path, type(exc).__name__, str(exc).splitlines()[0])]
            + details))


def _plain(mapping: Mapping[str, Any]) -> Dict[str, Any]:
    # The serialized record is an OrderedDict; YAML and JSON writers want a
    # plain mapping, which keeps the order on every supported interpreter.
    return {key: (list(value) if isinstance(value, list) else value)
            for key, value in mapping.items()}


def cmd_list(args: argparse.Namespace, out: TextIO) -> int:
    for name in shipped_models():
        device = load(name).device
        out.write("{:<32} target={} pid={} cores={} dtypes={}\n".format(
            name, device.target, device.pid, device.core,
            ",".join(device.nn_support_dtypes) or "-"))
    return EXIT_OK


def cmd_show(args: argparse.Namespace, out: TextIO) -> int:
    names = list(args.models)
    if args.all:
        names.extend(shipped_models())
    if not names:
        raise UsageError("show: name at least one MODEL or PATH, or use --all")
    # A name given twice, or also among --all, is shown once.
    loaded: "collections.OrderedDict[str, Dict[str, Any]]" = collections.OrderedDict()
    for name in names:
        if name not in loaded:
            loaded[name] = _plain(load(name).device.serialize())
    # One model: its mapping. Several: one mapping of model name to mapping,
    # the same shape in both formats.
    data = next(iter(loaded.values())) if len(loaded) == 1 else dict(loaded)
    if args.format == "json":
        out.write(json.dumps(data, indent=2) + "\n")
    else:
        out.write(yaml.safe_dump(data, sort_keys=False, default_flow_style=False))
    return EXIT_OK


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    from ovralite.api.npu_config.check import check_file

    problems = 0
    for path in args.files:
        for problem in check_file(path):
            out.write(str(problem) + "\n")
            problems += 1
    return EXIT_PROBLEMS if problems else EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ovralite-npu",
        description="Inspect and check the NPU configuration files of ovralite.",
    )
    parser.add_argument("--version", action="version",
                        version="%(prog)s {}".format(ovralite.__version__))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    listing = commands.add_parser(
        "list", help="list the shipped models",
        description="One line per shipped model: name, target, pid, cores, data types.")
    listing.set_defaults(run=cmd_list)

    show = commands.add_parser(
        "show", help="print the device configuration the loader produces",
        description="Print the device configuration that NPUConfig loads for each MODEL "
                    "(a shipped model's name) or PATH (a configuration file).")
    show.add_argument("models", nargs="*", metavar="MODEL|PATH")
    show.add_argument("--all", action="store_true", help="every shipped model")
    show.add_argument("--format", choices=("yaml", "json"), default="yaml",
                      help="output format (default: yaml)")
    show.set_defaults(run=cmd_show)

    check = commands.add_parser(
        "check", help="validate configuration files",
        description="Report each problem as FILE:LINE: message. Exit status 0 when every "
                    "file is clean, 1 when any has a problem, 2 for usage errors.")
    check.add_argument("files", nargs="+", metavar="FILE")
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
        status: int = args.run(args, out)
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
        if out is sys.stdout:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


if __name__ == "__main__":
    sys.exit(main())
