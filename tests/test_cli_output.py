"""What `cost` prints and draws, and how tariffs and catalogues are found."""

import io
import json
import shutil
import sys
import uuid
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from ostrelpy import cli
from ostrelpy.api_client import BUNDLED_CATALOGUE

SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"
NO = "7a1d3f2c-1e4b-4d5a-8c6e-2f3a4b5c6d7e"


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def eight_months(tmp_path_factory):
    index = pd.date_range("2025-01-01", "2025-09-01", freq="15min", tz="Europe/Oslo")
    values = np.random.default_rng(1).gamma(2.0, 0.15, len(index) - 1)
    s = pd.Series(values, index=index[:-1])
    path = tmp_path_factory.mktemp("data") / "eight.csv"
    s.to_csv(path, header=False, date_format="%FT%T%z")
    return str(path)


def test_short_period_has_components_as_rows_and_currency(capsys):
    code, out, _ = run(capsys)
    lines = out.splitlines()
    assert code == 0 and lines[0].startswith("Elnät Stockholm")
    assert lines[1].split() == ["SEK", "2025-01", "2025-02", "2025-03", "total"]
    assert [ln.split()[0] for ln in lines[2:]] == [
        "Energiskatt",
        "Överföringsavgift",
        "Effektavgift",
        "Abonnemangsavgift",
        "total",
    ]


def test_long_period_has_months_as_rows(capsys, eight_months):
    code, out, _ = run(capsys, "cost", NO, "-c", eight_months)
    lines = out.splitlines()
    assert code == 0
    assert lines[1].split() == ["NOK", "Energiledd", "Kapasitetsledd", "Fastledd", "total"]
    rows = [ln.split() for ln in lines[2:]]
    assert [r[0] for r in rows] == [f"2025-{m:02d}" for m in range(1, 9)] + ["total"]
    for r in rows:  # every row adds up
        assert float(r[-1]) == pytest.approx(sum(float(v) for v in r[1:-1]), abs=0.02)
    totals = np.array([[float(v) for v in r[1:]] for r in rows[:-1]]).sum(axis=0)
    assert [float(v) for v in rows[-1][1:]] == pytest.approx(totals, abs=0.02)


def test_csv_and_json_agree_with_each_other(capsys, eight_months):
    _, out_csv, _ = run(capsys, "cost", NO, "-c", eight_months, "--format", "csv")
    _, out_json, _ = run(capsys, "cost", NO, "-c", eight_months, "--format", "json")
    frame = pd.read_csv(io.StringIO(out_csv))
    data = json.loads(out_json)
    assert list(frame.columns) == ["month", "component", "cost", "currency"]
    assert set(frame["currency"]) == {"NOK"} and data["currency"] == "NOK"
    by_component = frame.groupby("component")["cost"].sum()
    for c in data["components"]:
        assert by_component[c["name"]] == pytest.approx(c["total"], abs=1e-5)
    assert data["total"] == pytest.approx(frame["cost"].sum(), abs=1e-4)
    assert [m["month"] for m in data["months"]] == sorted(frame["month"].unique())
    assert data["start"] == "2025-01-01T00:00:00+01:00"
    assert data["end"] == "2025-09-01T00:00:00+02:00"


def test_chart_is_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    path = tmp_path / "bill.png"
    code, _, err = run(capsys, "cost", "--chart", str(path))
    assert code == 0 and f"chart written to {path}" in err
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20_000


def test_chart_without_matplotlib_is_one_line(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, _, err = run(capsys, "cost", "--chart", str(tmp_path / "x.png"))
    assert code == 1 and err.strip().splitlines() == [
        "ostrelpy: --chart needs matplotlib: pip install 'ostrelpy[plot]' (make run installs it)"
    ]


def test_list_shows_name_description_currency_validity(capsys):
    code, out, _ = run(capsys, "list")
    assert code == 0
    assert f"{SE}  Elnät Stockholm, säkring 20 A, tidstariff 2025" in out
    assert "currency: SEK; valid: from 2025-01-01" in out
    assert "currency: NOK; valid: always" in out
    assert "Example Norwegian grid tariff" in out


@pytest.mark.parametrize("reference", [NO, NO[:6], "Nettleie Oslo, husholdning 2025", "nettleie"])
def test_tariff_by_id_prefix_or_name(capsys, reference):
    code, out, err = run(capsys, "cost", reference, "--format", "json")
    assert code == 0, err
    assert json.loads(out)["tariff"]["id"] == NO


def test_version(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--version"])
    assert exit_.value.code == 0 and capsys.readouterr().out.strip() == "ostrelpy 0.1.0"


@pytest.fixture
def catalogue(tmp_path):
    folder = tmp_path / "catalogue"
    folder.mkdir()
    shutil.copy(Path(BUNDLED_CATALOGUE) / f"{NO}.json", folder)
    return folder


def test_bare_run_uses_the_catalogue_in_use(capsys, catalogue, monkeypatch):
    monkeypatch.setenv("OSTRELPY_CATALOGUE", str(catalogue))
    code, out, err = run(capsys)
    assert code == 0, err
    assert out.splitlines()[0].startswith("Nettleie Oslo") and "NOK" in out.splitlines()[1]


def _copy_as(catalogue, name, new_id=None):
    data = json.loads((catalogue / f"{NO}.json").read_text())
    if new_id:
        data["id"] = new_id
    (catalogue / name).write_text(json.dumps(data))


@pytest.mark.parametrize(
    "setup, expected, code",
    [
        ("missing_dir", "no such catalogue directory", 1),
        ("misnamed", "misnamed.json: holds tariff 7a1d3f2c", 1),
        ("invalid_json", "broken.json: invalid JSON", 1),
        ("not_a_tariff", "odd.json: not a valid tariff: name: Field required", 1),
        ("ambiguous_prefix", "'7a1d3f2c' is ambiguous", 2),
        ("unknown", "no tariff 'nothing'", 2),
    ],
)
def test_catalogue_problems_name_the_file(capsys, catalogue, setup, expected, code):
    ref = "nothing" if setup == "unknown" else "7a1d3f2c"
    folder = catalogue
    if setup == "missing_dir":
        folder = catalogue / "absent"
    elif setup == "misnamed":
        _copy_as(catalogue, "misnamed.json")
    elif setup == "invalid_json":
        (catalogue / "broken.json").write_text("{ not json")
    elif setup == "not_a_tariff":
        (catalogue / "odd.json").write_text(json.dumps({"id": str(uuid.uuid4())}))
    elif setup == "ambiguous_prefix":
        twin = "7a1d3f2c-0000-4000-8000-000000000000"
        _copy_as(catalogue, f"{twin}.json", twin)
    for argv in (["list"], ["cost", ref]):
        status, _, err = run(capsys, *argv, "--catalogue", str(folder))
        if argv == ["list"] and code == 2:
            continue  # listing does not look a tariff up
        # One broken file does not stop the others from being priced: it is named on the way.
        broken_file = setup in ("misnamed", "invalid_json", "not_a_tariff")
        assert status == (0 if broken_file and argv[0] == "cost" else code)
        assert "Traceback" not in err
        assert len(err.strip().splitlines()) == 1 and expected in err


def test_chart_into_a_missing_directory_is_refused_before_pricing(capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    from ostrelpy import cli_cost

    monkeypatch.setattr(cli_cost, "price", lambda args: pytest.fail("priced anyway"))
    code, _, err = run(capsys, "cost", "--chart", "/nonexistent/dir/bill.png")
    assert code == 1 and "--chart /nonexistent/dir/bill.png: no such directory" in err


def test_a_fault_of_ours_is_still_one_line(capsys, monkeypatch):
    from ostrelpy import cli_cost

    def broken(args):
        raise RuntimeError("boom\nsecond line")

    monkeypatch.setattr(cli_cost, "run", broken)
    code, _, err = run(capsys, "cost")
    assert code == 3
    assert err == "ostrelpy: internal error, please report: RuntimeError: boom second line\n"


@pytest.mark.parametrize(
    "argv, text",
    [
        (["cost", "--format", "xml"], "argument --format: invalid choice: 'xml'"),
        (["cost", "--bogus"], "unrecognized arguments: --bogus"),
    ],
)
def test_usage_errors_are_one_line(capsys, argv, text):
    with pytest.raises(SystemExit) as exit_:
        cli.main(argv)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and len(err.strip().splitlines()) == 1 and text in err
