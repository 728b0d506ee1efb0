"""Writes the bundled catalogue's imported tariffs from the published samples in tests/data.

Run again after changing an importer; a test checks that the bundled files are what this
writes. The hand-written example tariffs of the catalogue are not touched.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"
CATALOGUE = ROOT / "src" / "ostrelpy" / "catalogue"

# (format, sample, options): real tariffs only; the rate database's rates are approximated
# where they carry net-metering rules (which only matter for exported energy).
SOURCES = [
    ("se", "se/tariffs-response_tekniska-verken.json", {}),
    ("se", "se/tariffs-response-jamtkraft.json", {}),
    ("se", "se/tariffs-response_HEM.json", {}),
    ("urdb", "urdb/coned_sc9_rate3_zoneJ_67b78db9.json", {"timezone": "America/New_York"}),
    ("urdb", "urdb/fpl_gsldt1_6776f983.json", {"timezone": "America/New_York"}),
    ("urdb", "urdb/jackson_emc_A_senior_5a0b2804.json", {"timezone": "America/New_York"}),
]


def imported():
    """Every catalogue tariff these samples give, in order."""
    from ostrelpy import importers

    out = []
    for fmt, sample, options in SOURCES:
        document = json.loads((DATA / sample).read_text(encoding="utf-8"))
        if fmt == "urdb":
            options = {**options, "approximate": True}
        out += getattr(importers, fmt)(document, **options).tariffs
    return out


def main() -> int:
    from ostrelpy.cli_import import write

    found = imported()
    write(CATALOGUE, found)
    print(f"{len(found)} tariffs written to {CATALOGUE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
