"""Command-line tool for NPU configuration files: ``ovralite-npu``.

    ovralite-npu list                       shipped models, one line each
    ovralite-npu show MODEL|PATH... [--all] device configurations (YAML or JSON)
    ovralite-npu check FILE...              find mistakes the loader passes over
"""

import argparse
import json
import logging
import os
import sys

import yaml

from ovralite.api.ovra_log import LOGGER_NAME

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """A mistake in what the user asked for; reported without a traceback."""


def _module():
    from ovralite.api.npu_config import npu_config

    return npu_config


def models_dir():
    """The directory of the shipped model configurations."""
    npu_config = _module()
    return os.path.join(npu_config.ROOT_DIR, "config", "npu_config")


def shipped_models():
    """Names of the shipped models, sorted."""
    folder = models_dir()
    return sorted(
        name
        for name in os.listdir(folder)
        if os.path.isfile(os.path.join(folder, name)) and not name.startswith(".")
    )


def _looks_like_path(text):
    return os.sep in text or (os.altsep and os.altsep in text) or os.path.isfile(text)


def load(model_or_path):
    """The NPUConfig for a shipped model name or a configuration file path."""
    if _looks_like_path(model_or_path):
        target = os.path.abspath(model_or_path)
        if not os.path.isfile(target):
            raise UsageError("{}: no such file".format(model_or_path))
    else:
        target = model_or_path
        if not os.path.isfile(os.path.join(models_dir(), target)):
            raise UsageError(
                "no shipped model {!r} (see 'ovralite-npu list')".format(model_or_path)
            )
    return _module().NPUConfig(target)


def _plain(mapping):
    # The serialized record is an OrderedDict; YAML and JSON writers want a
    # plain mapping, which keeps the order on every supported interpreter.
    return {key: (list(value) if isinstance(value, list) else value)
            for key, value in mapping.items()}


def cmd_list(args, out):
    for name in shipped_models():
        device = load(name).device
        out.write("{:<32} target={} pid={} cores={} dtypes={}\n".format(
            name, device.target, device.pid, device.core,
            ",".join(device.nn_support_dtypes) or "-"))
    return EXIT_OK


def cmd_show(args, out):
    names = list(args.models)
    if args.all:
        names.extend(shipped_models())
    if not names:
        raise UsageError("show: name at least one MODEL or PATH, or use --all")
    loaded = [(name, _plain(load(name).device.serialize())) for name in names]
    if args.format == "json":
        data = loaded[0][1] if len(loaded) == 1 else dict(loaded)
        out.write(json.dumps(data, indent=2) + "\n")
        return EXIT_OK
    for index, (name, data) in enumerate(loaded):
        if len(loaded) > 1:
            out.write("{}# {}\n".format("---\n" if index else "", name))
        out.write(yaml.safe_dump(data, sort_keys=False, default_flow_style=False))
    return EXIT_OK


def cmd_check(args, out):
    from ovralite.api.npu_config.check import check_file

    problems = 0
    for path in args.files:
        for problem in check_file(path):
            out.write(str(problem) + "\n")
            problems += 1
    return EXIT_PROBLEMS if problems else EXIT_OK


def build_parser():
    parser = argparse.ArgumentParser(
        prog="ovralite-npu",
        description="Inspect and check the NPU configuration files of ovralite.",
    )
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


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse has printed its message
        return EXIT_USAGE if exc.code else EXIT_OK
    handler = logging.StreamHandler(err)
    handler.setFormatter(logging.Formatter("ovralite-npu: %(levelname)s: %(message)s"))
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        return args.run(args, out)
    except UsageError as exc:
        err.write("ovralite-npu: {}\n".format(exc))
        return EXIT_USAGE
    except Exception as exc:  # the loader rejected a file
        err.write("ovralite-npu: {}: {}\n".format(type(exc).__name__, exc))
        return EXIT_PROBLEMS
    finally:
        logger.removeHandler(handler)


if __name__ == "__main__":
    sys.exit(main())
