"""A catalogue with a broken file still serves the others; `check` reports every error; naive
meter times read in the tariff's only zone; help texts that say what the defaults are."""

import json
import shutil
import uuid
from pathlib import Path

import pytest

from ostrelpy import cli
from ostrelpy.api_client import BUNDLED_CATALOGUE

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
NO = "7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e"
# The night the clocks go back: 02:00-03:00 comes twice, given in order as a meter writes it.
TIMES = ["01:45"] + ["02:00", "02:15", "02:30", "02:45"] * 2
NAIVE = "t;kwh\n" + "".join(f"2025-10-26 {t};0,5\n" for t in TIMES)


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def catalogue(tmp_path):
    folder = tmp_path / "catalogue"
    shutil.copytree(BUNDLED_CATALOGUE, folder)
    (folder / "broken.json").write_text("{ not json")
    # A copy of the Swedish tariff with one component in another zone.
    data = json.loads((folder / f"{SE}.json").read_text())
    data["id"] = str(uuid.uuid4())
    data["name"] = "Two zones"
    data["tariff_components"][1]["timezone"] = "Europe/Helsinki"
    (folder / f"{data['id']}.json").write_text(json.dumps(data))
    return folder


def test_a_broken_file_leaves_the_others_served(capsys, catalogue):
    code, out, err = run(capsys, "list", "--catalogue", str(catalogue))
    assert code == 1 and out.count("currency:") == len(list(BUNDLED_CATALOGUE.glob("*.json"))) + 1
    assert err.strip().splitlines() == [
        f"ostrelpy: {catalogue / 'broken.json'}: invalid JSON: "
        "Expecting property name enclosed in double quotes: line 1 column 3 (char 2)"
    ]
    assert "      Energiskatt: from 2026-01-01\n" in out  # each component's validity
    code, out, err = run(capsys, "compare", "Nettleie", "--catalogue", str(catalogue))
    assert code == 0 and "broken.json" in err and "Nettleie Oslo" in out
    code, out, err = run(capsys, "cost", SE, "--catalogue", str(catalogue))
    assert code == 0 and err == ""  # found by its id: the broken file does not matter
    code, _, err = run(capsys, "cost", "brok", "--catalogue", str(catalogue))
    assert code == 1 and "broken.json: invalid JSON" in err


def test_naive_times_read_in_the_tariffs_only_zone(capsys, catalogue, tmp_path):
    path = tmp_path / "naive.csv"
    path.write_text(NAIVE)
    argv = ["cost", SE, "-c", str(path), "--catalogue", str(catalogue), "--format", "json"]
    code, out, err = run(capsys, *argv)
    assert code == 0, err
    assert err == (
        f"ostrelpy: {path}: times without a UTC offset read in Europe/Stockholm, the tariff's "
        "zone (--timezone to choose another)\n"
    )
    guessed = json.loads(out)
    assert guessed["start"] == "2025-10-26T01:45:00+02:00"
    assert guessed["end"] == "2025-10-26T03:00:00+01:00" and guessed["energy_kwh"] == 4.5
    code, out, err = run(capsys, *argv, "--timezone", "Europe/Stockholm")
    assert code == 0 and err == "" and json.loads(out) == guessed
    code, _, err = run(capsys, "cost", "Two zones", "-c", str(path), "--catalogue", str(catalogue))
    assert code == 1 and "give the zone they are in with --timezone" in err


def test_check_reports_every_error(capsys, tmp_path):
    data = json.loads((Path(BUNDLED_CATALOGUE) / f"{SE}.json").read_text())
    for c in data["tariff_components"][:2]:  # an input that no block reads
        c["datasets"].append({"id": "spare", "resolution": "hourly", "unit": "kWh"})
    data["tariff_components"][3]["cost"]["id"] = "nothing"  # a cost no block writes
    (tmp_path / f"{SE}.json").write_text(json.dumps(data))
    code, _, err = run(capsys, "check", SE, "--catalogue", str(tmp_path))
    assert code == 1 and len(err.strip().splitlines()) == 1
    assert "3 component(s) with errors" in err and "Assertion failed" not in err
    for i in (0, 1, 3):
        assert f"tariff_components.{i} ({data['tariff_components'][i]['name']}): " in err


@pytest.mark.parametrize(
    "argv, text",
    [
        (["cost", "--help"], "default: the bundled example 5f0c2a9e"),
        (["cost", "--help"], "table for people (default), csv or json"),
        (["compare", "--help"], "default: every tariff of the catalogue"),
        (["schema", "--help"], "spaces per level of the JSON (default 2)"),
    ],
)
def test_help_says_what_the_defaults_are(capsys, argv, text):
    with pytest.raises(SystemExit):
        cli.main(argv)
    assert text in " ".join(capsys.readouterr().out.split())


def test_the_schema_links_nowhere():
    from ostrelpy.bindings import _engine

    assert "](" not in json.dumps(_engine.TariffComponent.model_json_schema())
