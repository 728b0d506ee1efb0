import json
import uuid

import pandas as pd
import pytest

from ostrelpy import cli, cli_cost, tariffs

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"


def test_default_run_prices_the_bundled_household(capsys):
    assert cli.main([]) == 0
    out = capsys.readouterr().out
    kwh = cli_cost.read_consumption(cli_cost.EXAMPLE_CONSUMPTION).sum()
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines()[2:]}
    assert float(rows["Energiskatt"][-1]) == pytest.approx(round(0.439 * kwh, 2), abs=0.01)
    assert float(rows["Abonnemangsavgift"][-1]) == pytest.approx(10.5 * 90)  # Q1 2025: 90 days
    parts = sum(float(r[-1]) for k, r in rows.items() if k != "total")
    assert float(rows["total"][-1]) == pytest.approx(parts, abs=0.02)


def test_period_outside_every_component(capsys):
    assert (
        cli.main(
            ["cost", SE, "--start", "2020-01-01T00:00+01:00", "--end", "2020-02-01T00:00+01:00"]
        )
        == 0
    )
    assert "No component of the tariff applies" in capsys.readouterr().out


def test_naive_period_is_refused(capsys):
    assert cli.main(["cost", "--start", "2025-01-01T00:00"]) == 1
    assert "needs a UTC offset" in capsys.readouterr().err
    assert cli.main(["cost", "--consumption", "/nonexistent.csv"]) == 1


def test_check_list_and_schema(capsys):
    assert cli.main(["check", SE]) == 0
    out = capsys.readouterr().out
    assert "input datasets: consumption [quarter_hourly, kWh]" in out
    assert "holidays: se/annandag_jul" in out
    assert cli.main(["list"]) == 0
    assert SE in capsys.readouterr().out
    assert cli.main(["schema"]) == 0
    assert json.loads(capsys.readouterr().out)["title"] == "TariffComponent"


def test_unknown_and_invalid_tariffs(tmp_path, capsys):
    assert cli.main(["check", str(uuid.uuid4())]) == 2
    tid = uuid.uuid4()
    bad = {
        "id": str(tid),
        "name": "broken",
        "tariff_components": [
            {
                "id": str(uuid.uuid4()),
                "name": "x",
                "timezone": "Europe/Stockholm",
                "datasets": [{"id": "consumption", "resolution": "quarter_hourly", "unit": "kWh"}],
                "functions": [
                    {
                        "type": "constant",
                        "value": {"value": 1, "unit": "SEK"},
                        "resolution": "daily",
                        "output": {"id": "c", "resolution": "daily", "unit": "SEK"},
                    }
                ],
                "cost": {"id": "c", "resolution": "daily", "unit": "SEK"},
            }
        ],
    }
    (tmp_path / f"{tid}.json").write_text(json.dumps(bad))
    assert cli.main(["check", str(tid), "--catalogue", str(tmp_path)]) == 1
    assert "Dataset(s) ['consumption'] are never used" in capsys.readouterr().err


def test_read_consumption_sorts_and_keeps_zone(tmp_path):
    path = tmp_path / "c.csv"
    path.write_text("start,kwh\n2025-01-01T00:15:00+0100,2\n2025-01-01T00:00:00+0100,1\n")
    s = cli_cost.read_consumption(path)
    assert list(s) == [1.0, 2.0] and str(s.index.tz) == "UTC"
    assert s.index[0] == pd.Timestamp("2024-12-31T23:00Z")


@pytest.mark.parametrize("token", ["NaN", "Infinity", "-Infinity", "1e999999", '"1e999999"'])
@pytest.mark.parametrize(
    "tariff, price",
    [(SE, '"value": 0.439'), ("7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e", "130.0")],
    ids=["level", "lookup-level"],
)
def test_a_price_that_is_no_finite_number_does_not_validate(tmp_path, capsys, tariff, price, token):
    text = (tariffs.catalogue_dir() / f"{tariff}.json").read_text()
    assert price in text
    replaced = price.replace(price.split(": ")[-1], token) if ": " in price else token
    path = tmp_path / f"{tariff}.json"
    path.write_text(text.replace(price, replaced, 1))
    assert cli.main(["check", tariff, "--catalogue", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert str(path) in err and "finite number" in err


@pytest.mark.parametrize(
    "edit, expected",
    [
        (lambda text: "[" * 100_000 + "]" * 100_000, "invalid JSON: nested too deeply"),
        (lambda text: text.replace('"n": 3', f'"n": {10**20}', 1), "less than or equal to"),
    ],
    ids=["nested", "huge_n"],
)
def test_catalogue_files_beyond_the_engine_are_one_line(tmp_path, capsys, edit, expected):
    text = (tariffs.catalogue_dir() / f"{SE}.json").read_text()
    path = tmp_path / f"{SE}.json"
    path.write_text(edit(text))
    assert cli.main(["check", SE, "--catalogue", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "internal error" not in err
    assert str(path) in err and expected in err


@pytest.mark.parametrize("command", ["cost", "schedule"])
def test_a_tariff_only_in_the_given_catalogue_is_priced(tmp_path, capsys, command):
    # The bundled tariff under a new id, in a catalogue of its own: the facade's client must
    # read the catalogue the command was given, not the bundled one.
    own = uuid.uuid4()
    text = (tariffs.catalogue_dir() / f"{SE}.json").read_text(encoding="utf-8")
    (tmp_path / f"{own}.json").write_text(text.replace(SE, str(own)), encoding="utf-8")
    week = ["--start", "2025-01-06T00:00+01:00", "--end", "2025-01-13T00:00+01:00"]
    argv = [command, str(own), "--catalogue", str(tmp_path), *week, "--format", "json"]
    assert cli.main(argv) == 0, capsys.readouterr().err
    out = json.loads(capsys.readouterr().out)
    assert out["tariff"]["id"] == str(own)
