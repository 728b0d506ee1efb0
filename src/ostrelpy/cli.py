"""Command line of ostrelpy.

`python -m ostrelpy` (or the `ostrelpy` console script) computes what a meter export costs
under a catalogue tariff and prints a per-component, per-month bill. With no arguments it
prices the bundled example household under the catalogue's default tariff.
`schedule` plans a home battery against the tariff; `check`, `list` and `schema` help write
tariffs. Every failure is one line on stderr and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

from pydantic import ValidationError

from ostrelpy import __version__, tariffs
from ostrelpy.meter import MeterError

EXAMPLE_TARIFF = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other failure."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _add_input_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("tariff", nargs="?", help="tariff id, unique id prefix or name")
    p.add_argument(
        "-c",
        "--consumption",
        metavar="CSV",
        help="meter export: interval start and kWh (default: the bundled example household)",
    )
    p.add_argument("--column", help="the energy column, by header name or number (from 1)")
    p.add_argument(
        "--timezone", metavar="ZONE", help="zone of naive local times (e.g. Europe/Stockholm)"
    )
    p.add_argument("--allow-export", action="store_true", help="accept negative energy")
    p.add_argument("--start", help="start of the period (ISO 8601; default: the data's start)")
    p.add_argument("--end", help="end of the period, exclusive (default: the data's end)")
    p.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table")
    p.add_argument("--chart", metavar="FILE.png", help="draw the period (needs matplotlib)")


def _add_schedule(sub) -> None:
    schedule = sub.add_parser("schedule", help="plan a home battery against the tariff")
    _add_input_options(schedule)
    schedule.add_argument("--capacity", type=float, default=10.0, help="kWh (default 10)")
    schedule.add_argument("--power", type=float, default=5.0, help="kW (default 5)")
    schedule.add_argument(
        "--efficiency", type=float, default=0.95, help="one-way efficiency (default 0.95)"
    )
    schedule.add_argument(
        "--initial", type=float, default=0.5, help="state of charge at the start, 0..1 (0.5)"
    )
    schedule.add_argument("--exact", action="store_true", help="mixed-integer form of the tariff")


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="ostrelpy", description=__doc__.split("\n\n")[0])
    p.add_argument("--version", action="version", version=f"ostrelpy {__version__}")
    sub = p.add_subparsers(dest="command")
    cost = sub.add_parser("cost", help="what a meter export costs under a catalogue tariff")
    _add_input_options(cost)
    _add_schedule(sub)
    check = sub.add_parser("check", help="validate a catalogue tariff and print its engine form")
    check.add_argument("tariff", nargs="?", help="tariff id, unique id prefix or name")
    check.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    listing = sub.add_parser("list", help="list the catalogue's tariffs")
    listing.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    schema = sub.add_parser("schema", help="print the JSON schema of the engine's tariff component")
    schema.add_argument("--indent", type=int, default=2)
    from ostrelpy import cli_fleet

    cli_fleet.add_parser(sub)
    return p


def _entry(reference: str | None, catalogue: str | None) -> tariffs.Entry:
    if reference is None:
        return tariffs.default(catalogue)
    return tariffs.find(reference, catalogue)


def _check(args: argparse.Namespace) -> int:
    from ostrelpy import pricing

    entry = _entry(args.tariff, args.catalogue)
    tariff = entry.tariff
    print(f"Tariff {tariff.id}: {tariff.name} ({entry.path})")
    needed: dict[tuple[str, str, str], None] = {}
    for _, component in _validated(entry, pricing.engine_components):
        window = f"{component.applicable_from or '-'} .. {component.applicable_to or '-'}"
        print(f"\n== {component.name} ({component.timezone}, {window})")
        print(component.model_dump_json(indent=2, exclude={"id"}))
        holidays = component.collect_holidays()
        if holidays:
            print("holidays: " + ", ".join(h.value for h in holidays))
        for d in component.datasets:
            needed[(d.id, d.resolution.value, d.unit.value)] = None
    print("\ninput datasets: " + (", ".join(f"{i} [{r}, {u}]" for i, r, u in needed) or "none"))
    return 0


def _validated(entry: tariffs.Entry, convert):
    """The tariff's components in the engine's records; a refusal names the file."""
    try:
        return convert(entry.tariff)
    except ValidationError as exc:
        raise tariffs.CatalogueError(
            f"{entry.path}: the tariff does not validate: {tariffs.validation_summary(exc)}"
        ) from None


def _list(args: argparse.Namespace) -> int:
    from ostrelpy.cli_cost import validity

    folder = tariffs.catalogue_dir(args.catalogue)
    found = tariffs.entries(folder)
    if not found:
        print(f"No tariffs in {folder}.")
        return 0
    for e in found:
        t = e.tariff
        currencies = sorted({c.cost.unit for c in t.tariff_components})
        print(f"{t.id}  {t.name}")
        print(f"    currency: {', '.join(currencies) or '-'}; valid: {validity(t)}")
        if t.description:
            print(f"    {t.description}")
    return 0


def _schema(args: argparse.Namespace) -> int:
    from ostrelpy.bindings import _engine

    schema = _engine.TariffComponent.model_json_schema()
    print(json.dumps(schema, indent=args.indent, ensure_ascii=False))
    return 0


def _dispatch(args: argparse.Namespace) -> int:
    if args.command in (None, "cost"):
        from ostrelpy import cli_cost

        return cli_cost.run(args)
    if args.command == "schedule":
        from ostrelpy import cli_schedule

        return cli_schedule.run(args)
    if args.command == "fleet":
        from ostrelpy import cli_fleet

        return cli_fleet.run(args)
    return {"check": _check, "list": _list, "schema": _schema}[args.command](args)


_COMMANDS = ("cost", "schedule", "check", "list", "schema", "fleet")


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # Without a command the options are those of `cost` (`ostrelpy --start ...`).
    if not argv or (argv[0] not in _COMMANDS and argv[0] not in ("-h", "--help", "--version")):
        argv = ["cost", *argv]
    args = _parser().parse_args(argv)
    try:
        status = _dispatch(args)
        sys.stdout.flush()
        return status
    except tariffs.TariffLookupError as exc:
        _fail(exc.args[0] if exc.args else exc)
        return 2
    except ValidationError as exc:
        _fail(f"the tariff does not validate: {tariffs.validation_summary(exc)}")
        return 1
    except (MeterError, tariffs.CatalogueError, ValueError, KeyError, OSError) as exc:
        if isinstance(exc, BrokenPipeError):
            return _quiet_pipe()
        _fail(exc.args[0] if isinstance(exc, KeyError) and exc.args else exc)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # a fault of ours: still one line, with what to report
        _fail(f"internal error, please report: {type(exc).__name__}: {exc}")
        return 3


def _fail(message: object) -> None:
    text = " ".join(str(message).split("\n")).strip()
    print(f"ostrelpy: {text}", file=sys.stderr)


def _quiet_pipe() -> int:
    # The reader went away (`| head`): stop without a message, and keep the interpreter
    # from complaining when it flushes stdout at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 0
