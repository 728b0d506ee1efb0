"""Command line of ostrelpy.

`python -m ostrelpy` (or the `ostrelpy` console script) computes what a meter export costs
under a catalogue tariff and prints a per-component, per-month bill. With no arguments it
prices the bundled example household under the catalogue's default tariff.
`schedule` plans a home battery against the tariff; `check`, `list` and `schema` help write
tariffs; `import` reads published tariffs into a catalogue. Every failure is one line on stderr and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, NoReturn

from pydantic import ValidationError

from ostrelpy import __version__, cli_import, tariffs
from ostrelpy.meter import MeterError
from ostrelpy.pricing import ALLOW_EXPORT

EXAMPLE_TARIFF = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


TARIFF_HELP = (
    f"tariff id, unique id prefix or name (default: the bundled example {EXAMPLE_TARIFF[:8]}, "
    "'Elnät Stockholm, säkring 20 A, tidstariff 2025', when the catalogue has it, else the "
    "catalogue's first tariff by name)"
)
FORMAT_HELP = "table for people (default), csv or json for programs"


def _add_input_options(p: argparse.ArgumentParser, tariff: bool = True) -> None:
    if tariff:
        p.add_argument("tariff", nargs="?", help=TARIFF_HELP)
    p.add_argument(
        "-c",
        "--consumption",
        metavar="CSV",
        help="meter export: interval start and kWh (default: the bundled example household)",
    )
    p.add_argument("--column", help="the energy column, by header name or number (from 1)")
    p.add_argument(
        "--timezone",
        metavar="ZONE",
        help="zone of naive local times (e.g. Europe/Stockholm; default: the tariff's zone "
        "when all its components share one)",
    )
    p.add_argument(
        "--allow-export",
        action="store_true",
        default=ALLOW_EXPORT,
        help="accept negative energy as net export: it is reported, and only the import is "
        "priced as consumption",
    )
    p.add_argument("--start", help="start of the period (ISO 8601; default: the data's start)")
    p.add_argument("--end", help="end of the period, exclusive (default: the data's end)")
    p.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table", help=FORMAT_HELP)
    p.add_argument("--chart", metavar="FILE.png", help="draw the period (needs matplotlib)")


def _add_schedule(sub: Any) -> None:
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
    schedule.add_argument(
        "--plan",
        metavar="FILE.csv",
        help="write the plan: per quarter-hour the load, grid import, charge, discharge and "
        "state of charge (kWh)",
    )


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="ostrelpy", description=__doc__.split("\n\n")[0])
    p.add_argument("--version", action="version", version=f"ostrelpy {__version__}")
    sub = p.add_subparsers(dest="command")
    cost = sub.add_parser("cost", help="what a meter export costs under a catalogue tariff")
    _add_input_options(cost)
    _add_schedule(sub)
    compare = sub.add_parser("compare", help="rank tariffs by what a meter export costs")
    compare.add_argument(
        "tariffs",
        nargs="*",
        metavar="TARIFF",
        help="tariff ids, id prefixes or names, or a text their names contain (such as a "
        "company's name); default: every tariff of the catalogue",
    )
    _add_input_options(compare, tariff=False)
    check = sub.add_parser("check", help="validate a catalogue tariff and print its engine form")
    check.add_argument("tariff", nargs="?", help=TARIFF_HELP)
    check.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    listing = sub.add_parser("list", help="list the catalogue's tariffs")
    listing.add_argument("--catalogue", metavar="DIR", help="directory of tariff JSON files")
    cli_import.add_list_filters(listing)
    cli_import.add_parser(sub)
    schema = sub.add_parser("schema", help="print the JSON schema of the engine's tariff component")
    schema.add_argument(
        "--indent", type=int, default=2, help="spaces per level of the JSON (default 2)"
    )
    from ostrelpy import cli_fleet

    cli_fleet.add_parser(sub)
    return p


def _check(args: argparse.Namespace) -> int:
    from ostrelpy.cli_cost import lookup

    entry = lookup(args.tariff, args.catalogue)
    tariff = entry.tariff
    print(f"Tariff {tariff.id}: {tariff.name} ({entry.path})")
    needed: dict[tuple[str, str, str], None] = {}
    for component in _validated(entry):
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


def _validated(entry: tariffs.Entry) -> list[Any]:
    """The tariff's components in the engine's records; a refusal names the file and every
    error of every component, not only the first."""
    from ostrelpy.bindings import _engine

    out, errors = [], []
    for i, c in enumerate(entry.tariff.tariff_components):
        try:
            out.append(_engine.TariffComponent.model_validate(c.model_dump()))
        except ValidationError as exc:
            errors.append(f"tariff_components.{i} ({c.name}): {tariffs.validation_summary(exc)}")
    if errors:
        raise tariffs.CatalogueError(
            f"{entry.path}: the tariff does not validate: {len(errors)} component(s) with "
            f"errors: " + "; ".join(errors)
        )
    return out


def _list(args: argparse.Namespace) -> int:
    from ostrelpy.cli_cost import validity

    folder = tariffs.catalogue_dir(args.catalogue)
    everything, broken = tariffs.scan(folder)
    found = cli_import.filtered(everything, args)
    if not found and not broken:
        print(
            f"No tariffs in {folder}"
            + (" match." if args.text or args.country or args.company else ".")
        )
        return 0
    for e in found:
        t = e.tariff
        currencies = sorted({c.cost.unit for c in t.tariff_components})
        print(f"{t.id}  {t.name}")
        print(f"    currency: {', '.join(currencies) or '-'}; valid: {validity(t)}")
        if t.description:
            print(f"    {t.description}")
        for c in t.tariff_components:
            print(f"      {c.name}: {validity(_Only(c))}")
    for _, message in broken:
        _fail(message)
    return 1 if broken else 0


class _Only:
    """One component seen as a tariff, for `validity`."""

    def __init__(self, component: Any) -> None:
        self.tariff_components = [component]


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
    if args.command == "compare":
        from ostrelpy import cli_compare

        return cli_compare.run(args)
    if args.command == "import":
        return cli_import.run(args)
    if args.command == "fleet":
        from ostrelpy import cli_fleet

        return cli_fleet.run(args)
    return {"check": _check, "list": _list, "schema": _schema}[args.command](args)


_COMMANDS = ("cost", "schedule", "compare", "check", "list", "schema", "import", "fleet")


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
