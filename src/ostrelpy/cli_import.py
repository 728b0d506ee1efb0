"""`ostrelpy import urdb|se|no FILE`: published tariffs into the user's catalogue, and the
filters of `ostrelpy list`.

Nothing is written unless the whole file imports: the importers validate every tariff first,
then each is written beside its final name and renamed into place.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Sequence
from importlib import resources
from pathlib import Path
from typing import Any, TypeVar

from ostrelpy import tariffs
from ostrelpy.api_client import BUNDLED_CATALOGUE, CATALOGUE_ENV
from ostrelpy.models import Tariff

# The command line's own parser class, whichever it is.
_Parser = TypeVar("_Parser", bound=argparse.ArgumentParser)

FORMATS = {
    "urdb": "a rate of the US utility rate database (JSON as its API returns it)",
    "se": "a tariffs answer of the Swedish grid-tariff API",
    "no": "an answer of the Norwegian grid-tariff API",
}


def add_parser(sub: argparse._SubParsersAction[_Parser]) -> None:
    p = sub.add_parser("import", help="import published tariffs into a catalogue directory")
    p.add_argument(
        "format", choices=sorted(FORMATS), help="; ".join(f"{k}: {v}" for k, v in FORMATS.items())
    )
    p.add_argument("file", metavar="FILE", help="the JSON document")
    p.add_argument(
        "--timezone",
        metavar="ZONE",
        help="zone of the rate's schedules (urdb: required; no: Europe/Oslo)",
    )
    p.add_argument(
        "--approximate",
        action="store_true",
        help="leave out what the blocks cannot express, and say so in the description",
    )
    p.add_argument("--vat", action="store_true", help="se, no: prices including VAT")
    p.add_argument(
        "--catalogue",
        metavar="DIR",
        help=f"where to write (default ${CATALOGUE_ENV}; never the bundled one)",
    )


def _target(catalogue: str | None) -> Path:
    chosen = catalogue or os.environ.get(CATALOGUE_ENV)
    if not chosen:
        raise tariffs.CatalogueError(
            f"name the catalogue directory to write into with --catalogue DIR or ${CATALOGUE_ENV}"
        )
    folder = Path(chosen)
    if folder.resolve() == Path(BUNDLED_CATALOGUE).resolve():
        raise tariffs.CatalogueError(
            f"{folder}: the package's bundled catalogue is not written; choose a directory of your own"
        )
    if folder.exists() and not folder.is_dir():
        raise tariffs.CatalogueError(f"{folder}: not a directory")
    return folder


def _read(path: str) -> Any:
    try:
        return json.loads(Path(path).read_text(encoding="utf-8"))
    except json.JSONDecodeError as exc:
        raise tariffs.CatalogueError(f"{path}: invalid JSON: {exc}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise tariffs.CatalogueError(f"{path}: cannot be read ({exc})") from None


def run(args: argparse.Namespace) -> int:
    from ostrelpy import importers

    folder = _target(args.catalogue)
    document = _read(args.file)
    try:
        if args.format == "urdb":
            if not args.timezone:
                raise importers.TariffImportError(
                    [
                        "--timezone: a rate's schedules carry no time zone; give one (e.g. America/New_York)"
                    ]
                )
            if args.vat:
                raise importers.TariffImportError(["--vat: US rates are priced as published"])
            result = importers.urdb(document, timezone=args.timezone, approximate=args.approximate)
        elif args.format == "se":
            if args.timezone:
                raise importers.TariffImportError(
                    ["--timezone: the document names each tariff's zone"]
                )
            result = importers.se(document, vat=args.vat, approximate=args.approximate)
        else:
            result = importers.no(
                document,
                timezone=args.timezone or "Europe/Oslo",
                vat=args.vat,
                approximate=args.approximate,
            )
    except importers.TariffImportError as exc:
        for reason in exc.reasons:
            print(f"ostrelpy: {args.file}: {reason}", file=sys.stderr)
        print(f"ostrelpy: nothing was written to {folder}", file=sys.stderr)
        return 1
    written = write(folder, result.tariffs)
    for tariff, path, note in zip(result.tariffs, written, result.report, strict=True):
        print(f"{tariff.id}  {tariff.name}")
        print(f"    {path}")
        print(f"    {note.removeprefix(tariff.name + ': ')}")
    return 0


def write(folder: Path, found: Sequence[Tariff]) -> list[Path]:
    """Every tariff as `<id>.json`; on a failure none of the new files stays."""
    folder.mkdir(parents=True, exist_ok=True)
    staged: list[tuple[Path, Path]] = []
    try:
        for t in found:
            fd, name = tempfile.mkstemp(dir=folder, prefix=".import-", suffix=".tmp")
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                data = json.loads(t.model_dump_json())
                f.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
            staged.append((Path(name), folder / f"{t.id}.json"))
        for tmp, final in staged:
            os.replace(tmp, final)
    except OSError as exc:
        for tmp, _ in staged:
            tmp.unlink(missing_ok=True)
        raise tariffs.CatalogueError(f"{folder}: cannot write the tariffs ({exc})") from None
    return [final for _, final in staged]


# `ostrelpy list` filters ---------------------------------------------------------------------

_CURRENCY_COUNTRY = {"SEK": "SE", "NOK": "NO", "DKK": "DK", "GBP": "GB", "USD": "US"}


def add_list_filters(p: argparse.ArgumentParser) -> None:
    p.add_argument("text", nargs="*", help="words that the name or description must contain")
    p.add_argument("--country", help="country code or name (SE, Norway, US, ...)")
    p.add_argument("--company", help="text in the company's name")


def _zone_countries() -> tuple[dict[str, set[str]], dict[str, str]]:
    """The country of each zone (zone.tab) and the names of country codes (iso3166.tab)."""
    base = resources.files("tzdata") / "zoneinfo"
    zones: dict[str, set[str]] = {}
    names: dict[str, str] = {}
    for line in (base / "zone.tab").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            codes, _, zone = line.split("\t")[:3]
            zones.setdefault(zone, set()).update(codes.split(","))
    for line in (base / "iso3166.tab").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            code, name = line.split("\t")[:2]
            names[code] = name
    return zones, names


def countries(tariff: Tariff, zones: dict[str, set[str]]) -> set[str]:
    """Where a tariff applies: the countries of its components' zones, else its currency's."""
    found: set[str] = set()
    for c in tariff.tariff_components:
        found |= zones.get(c.timezone, set())
    if not found:
        found = {
            _CURRENCY_COUNTRY[c.cost.unit]
            for c in tariff.tariff_components
            if c.cost.unit in _CURRENCY_COUNTRY
        }
    return found


def company(tariff: Tariff) -> str:
    """The company of an imported tariff (its name reads `<company>: <tariff>`)."""
    head, sep, _ = tariff.name.partition(": ")
    return head if sep else ""


def filtered(found: list[tariffs.Entry], args: argparse.Namespace) -> list[tariffs.Entry]:
    if not (args.text or args.country or args.company):
        return found
    zones, names = _zone_countries()
    wanted = None
    if args.country:
        key = args.country.strip().casefold()
        wanted = {c for c, n in names.items() if key in (c.casefold(), n.casefold())}
        if not wanted:
            raise ValueError(
                f"--country: unknown country {args.country!r} (a code such as SE, or a name)"
            )
    out = []
    for e in found:
        t = e.tariff
        text = f"{t.name}\n{t.description or ''}".casefold()
        if any(w.casefold() not in text for w in args.text):
            continue
        if args.company and args.company.casefold() not in company(t).casefold():
            continue
        if wanted is not None and not wanted & countries(t, zones):
            continue
        out.append(e)
    return out
