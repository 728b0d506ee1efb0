"""`ostrelpy import`, `ostrelpy list` filters, and the imported tariffs of the bundled catalogue."""

import json
import runpy
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import ostrelpy
from ostrelpy import cli
from ostrelpy.api_client import BUNDLED_CATALOGUE
from ostrelpy.bindings import _engine

ROOT = Path(__file__).resolve().parents[1]
DATA = Path(__file__).with_name("data")
CONED = str(DATA / "urdb" / "coned_sc9_rate3_zoneJ_67b78db9.json")
TV = str(DATA / "se" / "tariffs-response_tekniska-verken.json")


def _tool():
    """The catalogue's import script, loaded from its file."""
    return types.SimpleNamespace(**runpy.run_path(str(ROOT / "tools" / "import_catalogue.py")))


IMPORTED = _tool().imported()


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_bundled_imports_are_what_the_importers_write():
    assert len(IMPORTED) >= 41 + 3
    for t in IMPORTED:
        bundled = json.loads((BUNDLED_CATALOGUE / f"{t.id}.json").read_text(encoding="utf-8"))
        assert bundled == json.loads(t.model_dump_json()), t.name
        assert "Imported from" in t.description and (
            "valid" in t.description or "effective" in t.description
        )


def _year(tariff) -> pd.Series:
    """A year of quarter-hours from the first month in which the tariff's first component (its
    fixed fee) holds."""
    zone = _engine.timezone_from_str(tariff.tariff_components[0].timezone)
    first = tariff.tariff_components[0].applicable_from or max(
        c.applicable_from for c in tariff.tariff_components if c.applicable_from
    )
    local = pd.Timestamp(first).tz_convert(zone).tz_localize(None)
    start = local.to_period("M").to_timestamp().tz_localize(zone)
    index = pd.date_range(start, start + pd.DateOffset(years=1), freq="15min", inclusive="left")
    hour = index.hour.to_numpy()
    return pd.Series(0.3 + 0.5 * ((hour >= 7) & (hour < 22)), index)


@pytest.mark.parametrize("tariff", IMPORTED, ids=lambda t: t.name[:60])
def test_every_imported_tariff_prices_a_year_of_quarter_hours(tariff):
    monthly = ostrelpy.cost(tariff, _year(tariff)).monthly()
    assert len(monthly) == 12
    assert np.isfinite(monthly.to_numpy()).all() and (monthly["total"] > 0).all()


def test_import_writes_the_catalogue_and_cost_reads_it(capsys, tmp_path, monkeypatch):
    folder = tmp_path / "mine"
    code, out, err = run(capsys, "import", "se", TV, "--catalogue", folder)
    assert code == 0 and not err
    lines = out.splitlines()
    assert len(lines) == 41 * 3 and lines[2] == "    exact"
    first_id = lines[0].split()[0]
    assert (folder / f"{first_id}.json").is_file() and len(list(folder.glob("*.json"))) == 41
    monkeypatch.setenv("OSTRELPY_CATALOGUE", str(folder))
    code, out, err = run(capsys, "cost", first_id)  # the bundled example household, 2025
    assert code == 0 and not err
    assert "Abonnemangsavgift 16A standard" in out and "Power price: Vinter (heldag)" in out


def test_import_refusals_write_nothing(capsys, tmp_path, monkeypatch):
    folder = tmp_path / "mine"
    code, _, err = run(
        capsys, "import", "urdb", CONED, "--timezone", "America/New_York", "--catalogue", folder
    )
    assert code == 1
    assert err.splitlines() == [
        f"ostrelpy: {CONED}: rate 'SC-9 - General Large Voluntary TOD Service - Zone J [NYC]': "
        "dgrules: distributed-generation rules (Net Metering)",
        f"ostrelpy: nothing was written to {folder}",
    ]
    bad = tmp_path / "bad.json"
    doc = json.loads(Path(CONED).read_text())["items"][0]
    bad.write_text(json.dumps({**doc, "demandweekdayschedule": doc["demandweekdayschedule"][:3]}))
    code, _, err = run(
        capsys,
        "import",
        "urdb",
        bad,
        "--timezone",
        "UTC-05:00",
        "--approximate",
        "--catalogue",
        folder,
    )
    assert (
        code == 1 and "demandweekdayschedule: expected 12 months of 24 hours" in err.splitlines()[0]
    )
    bad.write_text("{")
    code, _, err = run(capsys, "import", "se", bad, "--catalogue", folder)
    assert code == 1 and err.startswith(f"ostrelpy: {bad}: invalid JSON")
    code, _, err = run(capsys, "import", "urdb", CONED, "--catalogue", folder)
    assert code == 1 and "--timezone" in err
    code, _, err = run(capsys, "import", "se", TV, "--catalogue", BUNDLED_CATALOGUE)
    assert code == 1 and "bundled catalogue is not written" in err
    monkeypatch.delenv("OSTRELPY_CATALOGUE", raising=False)
    code, _, err = run(capsys, "import", "se", TV)
    assert code == 1 and "--catalogue DIR" in err
    assert not folder.exists()


@pytest.mark.parametrize(
    "filters, expected",
    [
        (
            ["--country", "SE", "Prislista", "16A"],
            7,
        ),  # 2 each in Linköping, Katrineholm, Mjölby; Halmstad
        (["--country", "Norway"], 1),
        (["--country", "us"], 3),
        (["--company", "tekniska verken katrineholm"], None),
        (["säkring", "2025–2026"], 1),
    ],
)
def test_list_filters(capsys, filters, expected):
    code, out, _ = run(capsys, "list", *filters)
    names = [ln.split("  ", 1)[1] for ln in out.splitlines() if not ln.startswith(" ")]
    assert code == 0 and names
    if expected is not None:
        assert len(names) == expected, names
    else:
        assert all(n.startswith("Tekniska verken Katrineholm Nät AB: ") for n in names)
    code, _, err = run(capsys, "list", "--country", "Atlantis")
    assert code == 1 and "unknown country" in err
