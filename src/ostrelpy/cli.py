"""Command line of ostrelpy.

`python -m ostrelpy` (or the `ostrelpy` console script) computes what a consumption file costs
under a catalogue tariff and prints a per-component, per-month table with the totals. With no
arguments it uses the bundled example household and the bundled Swedish example tariff.
`check` validates a tariff's components into the engine's records (pipeline wiring, units,
resolutions, time zones and conditions) and prints their checked form and input datasets.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import uuid

from pydantic import ValidationError

from ostrelpy.api_client import APIClient, TariffNotFoundError

EXAMPLE_TARIFF = uuid.UUID("5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="ostrelpy", description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="command")
    check = sub.add_parser("check", help="validate a catalogue tariff and print its engine form")
    check.add_argument("tariff_id", nargs="?", default=str(EXAMPLE_TARIFF))
    check.add_argument("--catalogue", help="directory of tariff JSON files")
    cost = sub.add_parser("cost", help="what a consumption file costs under a catalogue tariff")
    cost.add_argument("tariff_id", nargs="?", default=str(EXAMPLE_TARIFF))
    cost.add_argument(
        "--consumption",
        help="CSV of interval start and kWh (default: the bundled example household)",
    )
    cost.add_argument("--start", help="start of the period, ISO 8601 with offset")
    cost.add_argument("--end", help="end of the period (exclusive)")
    cost.add_argument("--catalogue", help="directory of tariff JSON files")
    sub.add_parser("list", help="list the catalogue's tariffs").add_argument("--catalogue")
    schema = sub.add_parser("schema", help="print the JSON schema of the engine's tariff component")
    schema.add_argument("--indent", type=int, default=2)
    return p


def _check(tariff_id: str, catalogue: str | None) -> int:
    from ostrelpy.bindings import _engine

    client = APIClient(api_key="local", catalogue=catalogue)
    tariff = asyncio.run(client.get_tariff(tariff_id))
    print(f"Tariff {tariff.id}: {tariff.name}")
    needed: dict[tuple[str, str, str], None] = {}
    for public in tariff.tariff_components:
        component = _engine.TariffComponent.model_validate(public.model_dump())
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


def _engine_zone(name: str):
    from ostrelpy.bindings import _engine

    return _engine.timezone_from_str(name)


def _cost(args: argparse.Namespace) -> int:
    from ostrelpy import cli_cost

    consumption = cli_cost.read_consumption(args.consumption or cli_cost.EXAMPLE_CONSUMPTION)
    start, end = cli_cost._window(consumption, args.start, args.end)
    costs = cli_cost.component_costs(args.tariff_id, consumption, start, end, args.catalogue)
    if not costs:
        print("No component of the tariff applies in the period.")
        return 0
    table = cli_cost.monthly_table(costs)
    zone = _engine_zone(costs[0][0].timezone)
    print(
        f"Cost from {start.astimezone(zone).isoformat()} to {end.astimezone(zone).isoformat()}, "
        f"{consumption[(consumption.index >= start) & (consumption.index < end)].sum():.1f} kWh"
    )
    print(table.round(2).to_string())
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command is None:
            return _cost(_parser().parse_args(["cost"]))
        if args.command == "check":
            return _check(args.tariff_id, args.catalogue)
        if args.command == "cost":
            return _cost(args)
        if args.command == "list":
            client = APIClient(api_key="local", catalogue=args.catalogue)
            for tid in client.tariff_ids():
                print(f"{tid}  {asyncio.run(client.get_tariff(tid)).name}")
            return 0
        from ostrelpy.bindings import _engine

        print(
            json.dumps(
                _engine.TariffComponent.model_json_schema(), indent=args.indent, ensure_ascii=False
            )
        )
        return 0
    except TariffNotFoundError as exc:
        print(f"ostrelpy: {exc}", file=sys.stderr)
        return 2
    except ValidationError as exc:
        print(f"ostrelpy: the tariff does not validate:\n{exc}", file=sys.stderr)
        return 1
    except (ValueError, KeyError, OSError) as exc:
        print(f"ostrelpy: {exc}", file=sys.stderr)
        return 1
