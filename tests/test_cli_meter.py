"""Meter exports as they come: formats that must read, files that must be refused in one line,
and the same consumption at other interval lengths giving the same bill."""

import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from ostrelpy import cli, meter

TZ = "Europe/Stockholm"
SE = "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f"


def quarter_hours(start="2025-02-01", end="2025-04-01", seed=7) -> pd.Series:
    index = pd.date_range(start, end, freq="15min", tz=TZ, inclusive="left")
    rng = np.random.default_rng(seed)
    return pd.Series(np.round(rng.gamma(2.0, 0.2, len(index)), 4), index=index, name="kwh")


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def one_line_failure(code, err, path):
    assert code != 0
    assert "Traceback" not in err
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith(f"ostrelpy: {path}") or path in lines[0]
    return lines[0]


QH = "interval_start,kwh\n2025-01-01T00:00:00+01:00,0.5\n2025-01-01T00:15:00+01:00,0.25\n"
BAD_FILES = {
    "empty": ("", "is empty"),
    "beyond_2262": (
        "t,kwh\n2262-04-12T00:00+00:00,1\n2262-04-12T00:15+00:00,1\n",
        "holds instants outside the years 1678 to 2261",
    ),
    "one_column": ("2025-01-01T00:00+01:00\n2025-01-01T00:15+01:00\n", "two columns"),
    "text_value": (QH + "2025-01-01T00:30:00+01:00,abc\n", "line 4: not a number: 'abc'"),
    "missing_value": (QH + "2025-01-01T00:30:00+01:00,\n", "line 4: missing value"),
    "nan_value": (QH + "2025-01-01T00:30:00+01:00,NaN\n", "line 4: not a number: 'NaN'"),
    "negative": (QH + "2025-01-01T00:30:00+01:00,-0.2\n", "line 4: negative energy -0.2"),
    "duplicate": (
        QH + "2025-01-01T00:15:00+01:00,0.3\n",
        "line 4: 2025-01-01T00:15:00+01:00 appears twice (also on line 3)",
    ),
    "off_grid": (
        QH + "2025-01-01T00:37:00+01:00,0.3\n2025-01-01T00:45:00+01:00,0.3\n",
        "line 4: 2025-01-01T00:37:00+01:00 is not on the 15-minute grid",
    ),
    "mixed_offsets": (QH + "2025-01-01 00:30,0.3\n", "line 4: '2025-01-01 00:30' lacks a UTC"),
    "bad_time": (QH + "yesterday,0.3\n", "line 4: not a time: 'yesterday'"),
    "bad_first_time": ("tomorrow,0.3\n" + QH.split("\n", 1)[1], "line 1: not a time"),
    "missing_first_time": (",0.3\n" + QH.split("\n", 1)[1], "line 1: not a time: ''"),
    "twenty_minutes": (
        "t,kwh\n2025-01-01T00:00Z,1\n2025-01-01T00:20Z,1\n2025-01-01T00:40Z,1\n",
        "do not divide into quarter-hours",
    ),
    "ragged": (QH + "2025-01-01T00:30:00+01:00,0.3,7\n", "not a regular CSV table"),
    "header_only": ("interval_start,kwh\n", "has a header but no readings"),
    "one_reading": ("t,kwh\n2025-01-01T00:00Z,1\n", "one reading only"),
    "three_columns": (
        "from;to;kwh\n2025-01-01T00:00Z;2025-01-01T00:15Z;1\n",
        "choose the energy column with --column (from, to, kwh)",
    ),
}


@pytest.mark.parametrize("kind", sorted(BAD_FILES))
def test_bad_file_is_one_line_naming_file_and_problem(tmp_path, capsys, kind):
    text, expected = BAD_FILES[kind]
    path = write(tmp_path, f"{kind}.csv", text)
    code, out, err = run(capsys, "cost", SE, "--consumption", path)
    line = one_line_failure(code, err, path)
    assert expected in line
    assert out == ""


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--consumption", "/nonexistent/x.csv"], "/nonexistent/x.csv: no such file"),
        (["--column", "watts"], "no column named 'watts' (columns: interval_start, kwh)"),
        (["--column", "5"], "--column 5 is not a value column (2 to 2)"),
        (["--start", "2025-01-01T00:07+01:00"], "--start 2025-01-01T00:07:00+01:00 is not on a"),
        (["--start", "2025-02-01T00:00+01:00", "--end", "2025-01-15T00:00+01:00"], "not before"),
        (["--end", "2025-06-01T00:00+02:00"], "goes beyond the data"),
        (["--start", "2024-12-01T00:00+01:00"], "goes beyond the data"),
        (["--start", "2025-01-01T00:00"], "needs a UTC offset (e.g. 2025-01-01T00:00+01:00) or"),
        (["--start", "soon"], "--start 'soon' is not an ISO 8601 date-time"),
        (["--timezone", "Mars/Olympus"], "unknown time zone 'Mars/Olympus'"),
    ],
)
def test_bad_options_are_one_line(capsys, argv, expected):
    code, out, err = run(capsys, "cost", SE, *argv)
    assert code == 1 and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1 and expected in err


def test_window_that_misses_the_data(tmp_path, capsys):
    path = write(tmp_path, "q.csv", QH)
    code, _, err = run(
        capsys, "cost", SE, "--consumption", path, "--start", "2025-03-01T00:00+01:00"
    )
    assert code == 1 and f"{path}: the period does not overlap the data" in err


def test_negative_energy_with_allow_export(tmp_path, capsys):
    path = write(tmp_path, "n.csv", QH + "2025-01-01T00:30:00+01:00,-0.25\n")
    code, out, err = run(capsys, "cost", SE, "--consumption", path, "--allow-export")
    assert code == 0, err
    data = json.loads(run(capsys, "cost", SE, "-c", path, "--allow-export", "--format", "json")[1])
    tax = next(c for c in data["components"] if c["name"] == "Energiskatt")
    # The export is no negative consumption: the tax is on the import, the export beside it.
    assert tax["total"] == pytest.approx(0.439 * 0.75)
    assert data["exported_kwh"] == pytest.approx(0.25) and "exported" in out


@pytest.mark.parametrize(
    "kind, extra",
    [
        ("nonexistent_local", []),
        ("once_repeated", []),
    ],
)
def test_naive_times_that_cannot_be_placed(tmp_path, capsys, kind, extra):
    if kind == "nonexistent_local":  # clocks go forward at 02:00 on 30 March
        text = "t;kwh\n2025-03-30 01:45;1\n2025-03-30 02:00;1\n2025-03-30 02:15;1\n"
        expected = "line 3: 2025-03-30 02:00:00 does not exist in Europe/Stockholm"
    else:  # back at 03:00 on 26 October: 02:xx happens twice
        text = "t;kwh\n2025-10-26 01:45;1\n2025-10-26 02:00;1\n2025-10-26 02:15;1\n"
        expected = "line 3: 2025-10-26 02:00:00 occurs twice in Europe/Stockholm"
    path = write(tmp_path, f"{kind}.csv", text)
    code, _, err = run(capsys, "cost", SE, "-c", path, "--timezone", TZ, *extra)
    assert expected in one_line_failure(code, err, path)


def test_subprocess_failure_has_no_traceback_and_broken_pipe_is_quiet(tmp_path):
    path = write(tmp_path, "bad.csv", QH + "2025-01-01T00:30:00+01:00,x\n")
    done = subprocess.run(
        [sys.executable, "-m", "ostrelpy", "cost", "-c", path],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 1
    assert done.stderr.strip() == f"ostrelpy: {path}: line 4: not a number: 'x'"
    piped = subprocess.run(
        f"'{sys.executable}' -m ostrelpy cost --format csv | head -1",
        shell=True,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert piped.stdout == "month,component,cost,currency\n"
    assert piped.stderr == ""


# --- formats that must read the same energy -------------------------------------------------


def _variants(s: pd.Series) -> dict[str, tuple[str, list[str]]]:
    iso = s.index.strftime("%Y-%m-%dT%H:%M:%S%z")
    utc = s.index.tz_convert("UTC").strftime("%Y-%m-%dT%H:%MZ")
    naive = s.index.strftime("%Y-%m-%d %H:%M")
    comma = [f"{v:.4f}".replace(".", ",") for v in s]
    rows = lambda times, vals, sep: "\n".join(f"{t}{sep}{v}" for t, v in zip(times, vals))  # noqa: E731
    vals = [f"{v:.4f}" for v in s]
    return {
        "comma_header": ("start,kwh\n" + rows(iso, vals, ","), []),
        "no_header": (rows(iso, vals, ","), []),
        "semicolon_decimal_comma": ("Tid;Förbrukning\n" + rows(iso, comma, ";"), []),
        "tab_utc": ("time\tkWh\n" + rows(utc, vals, "\t"), []),
        "naive_local": ("start;kwh\n" + rows(naive, comma, ";"), ["--timezone", TZ]),
        "unsorted": ("start,kwh\n" + rows(iso[::-1], vals[::-1], ","), []),
        "chosen_column": (
            "start;quality;kwh\n" + rows(iso, [f"ok;{v}" for v in vals], ";"),
            ["--column", "kWh"],
        ),
        "chosen_column_number": (rows(iso, [f"{v};9" for v in vals], ";"), ["--column", "2"]),
        "pandas_unnamed": (",0\n" + rows(iso, vals, ","), []),
    }


@pytest.mark.parametrize("variant", sorted(_variants(quarter_hours("2025-10-25", "2025-10-28"))))
def test_formats_read_the_same_energy(tmp_path, variant):
    s = quarter_hours("2025-10-25", "2025-10-28")  # takes in the autumn clock change
    text, argv = _variants(s)[variant]
    path = write(tmp_path, f"{variant}.csv", text)
    column = argv[argv.index("--column") + 1] if "--column" in argv else None
    zone = TZ if "--timezone" in argv else None
    r = meter.read_meter(path, column=column, timezone=zone)
    assert r.interval == pd.Timedelta(minutes=15) and r.gaps.count == 0
    pd.testing.assert_index_equal(
        r.energy.index, s.index.tz_convert("UTC").as_unit("ns"), check_names=False, check_freq=False
    )
    np.testing.assert_allclose(r.energy.to_numpy(), s.to_numpy())


def test_gaps_are_reported_not_hidden(tmp_path, capsys):
    s = quarter_hours("2025-02-01", "2025-02-03").drop(
        pd.date_range("2025-02-01 10:00", periods=3, freq="15min", tz=TZ)
    )
    path = write(tmp_path, "gap.csv", s.rename_axis("t").to_csv(date_format="%Y-%m-%dT%H:%M%z"))
    code, out, err = run(capsys, "cost", SE, "-c", path)
    assert code == 0
    assert f"{path}: 1 gap(s) without readings, 3 15-minute interval(s)" in err
    assert "the first from 2025-02-01T10:00:00+01:00" in err


# --- the same consumption at other interval lengths -----------------------------------------


def _bill(capsys, path, *extra):
    code, out, err = run(capsys, "cost", SE, "-c", path, "--format", "json", *extra)
    assert code == 0, err
    return {c["name"]: c["total"] for c in json.loads(out)["components"]}, err


def test_hourly_and_five_minute_files_give_the_quarter_hourly_bill(tmp_path, capsys, se_reference):
    s = quarter_hours()  # February and March 2025: no holidays, the spring clock change
    q_path = write(tmp_path, "q.csv", s.rename_axis("t").to_csv(date_format="%Y-%m-%dT%H:%M%z"))
    hourly = s.tz_convert("UTC").resample("1h").sum()
    h_path = write(tmp_path, "h.csv", hourly.to_csv(sep=";", decimal=",", date_format="%FT%TZ"))
    rng = np.random.default_rng(3)
    share = rng.dirichlet(np.ones(3), len(s)).ravel()
    fine_index = pd.DatetimeIndex(
        np.repeat(s.index.as_unit("ns").asi8, 3) + np.tile([0, 300, 600], len(s)) * 10**9,
        tz="UTC",
    )
    fine = pd.Series(np.repeat(s.to_numpy(), 3) * share, index=fine_index)
    f_path = write(tmp_path, "f.csv", fine.to_csv(header=False, date_format="%FT%T%z"))

    reference = se_reference(s)
    q_bill, q_err = _bill(capsys, q_path)
    h_bill, h_err = _bill(capsys, h_path)
    f_bill, f_err = _bill(capsys, f_path)
    assert q_bill == pytest.approx(reference, rel=1e-9)
    assert h_bill == pytest.approx(reference, rel=1e-9)
    assert f_bill == pytest.approx(reference, rel=1e-9)
    assert q_err == f_err == ""
    assert f"{h_path}: hourly readings spread evenly over the quarter-hourly periods" in h_err
    assert len(h_err.strip().splitlines()) == 1


def test_daily_file_spreads_over_local_days(tmp_path, capsys):
    days = pd.date_range("2025-03-29", "2025-04-01", freq="D", tz=TZ, inclusive="left")
    daily = pd.Series([24.0, 23.0, 24.0], index=days)  # 30 March has 23 hours
    path = write(tmp_path, "d.csv", daily.to_csv(header=False, date_format="%FT%T%z"))
    r = meter.read_meter(path, calendar_zone=meter.parse_zone(TZ))
    assert r.interval is None and r.end == pd.Timestamp("2025-04-01", tz=TZ)
    q = r.quarter_hours(r.start, r.end)
    assert len(q) == 96 + 92 + 96 and np.allclose(q, 0.25)
    bill, err = _bill(capsys, path)
    assert bill["Energiskatt"] == pytest.approx(0.439 * 71.0)
    assert "daily readings spread evenly" in err


def test_year_of_quarter_hours_reads_with_whole_columns(tmp_path):
    s = quarter_hours("2025-01-01", "2026-01-01")
    path = write(tmp_path, "y.csv", s.to_csv(sep=";", decimal=",", date_format="%FT%T%z"))
    r = meter.read_meter(path)
    assert len(r.energy) == 35040 and r.energy.sum() == pytest.approx(s.sum())


HOSTILE = {
    "long_cell": (
        QH.encode() + b"2025-01-01T00:30:00+01:00," + b"9" * 1_000_000 + b"\n",
        "line 4 is longer",
    ),
    "empty_cells": (b";;\n;;\n\n;;\n", "holds no readings (every cell is empty)"),
    "nul_bytes": (QH.encode().replace(b",0.5", b",0\x005"), "holds NUL bytes"),
    "utf16_without_mark": (QH.encode("utf-16-le"), "holds NUL bytes"),
    "beyond_any_meter": (
        QH.replace("0.5", "1e308").replace("0.25", "1e308").encode(),
        "line 2: 1e+308 kWh in one interval is beyond any meter",
    ),
}


@pytest.mark.parametrize("kind", sorted(HOSTILE))
def test_hostile_files_are_refused_in_one_line_with_bounded_memory(tmp_path, capsys, kind):
    raw, expected = HOSTILE[kind]
    path = tmp_path / f"{kind}.csv"
    path.write_bytes(raw)
    code, out, err = run(capsys, "cost", SE, "--consumption", str(path))
    assert expected in one_line_failure(code, err, str(path)) and out == ""


def test_devices_and_pipes_are_not_read(tmp_path, capsys):
    import os

    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)  # opening it would wait for a writer
    for path in ("/dev/zero", str(fifo)):
        code, out, err = run(capsys, "cost", SE, "--consumption", path)
        assert "not a regular file" in one_line_failure(code, err, path)


@pytest.mark.parametrize(
    "encode",
    [
        lambda t: ("\n\n" + t).encode(),  # leading blank lines
        lambda t: t.encode("utf-16"),  # with its byte-order mark
        lambda t: b"\xfe\xff" + t.encode("utf-16-be"),
    ],
    ids=["leading_blank_lines", "utf16", "utf16_be"],
)
def test_encodings_and_leading_blank_lines_read_the_same_energy(tmp_path, encode):
    s = quarter_hours("2025-02-01", "2025-02-02")
    text = "start;kwh\n" + "".join(f"{t.isoformat()};{v}\n" for t, v in s.items())
    path = tmp_path / "m.csv"
    path.write_bytes(encode(text))
    r = meter.read_meter(path)
    np.testing.assert_allclose(r.energy.to_numpy(), s.to_numpy())


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--start", "0001-01-01T00:00+00:00"], "--start '0001-01-01T00:00+00:00' is outside"),
        (["--end", "9999-12-31T23:45+00:00"], "--end '9999-12-31T23:45+00:00' is outside"),
        (["--consumption", ""], "--consumption: the file name is empty"),
    ],
)
def test_options_beyond_what_can_be_priced_are_one_line(capsys, argv, expected):
    code, out, err = run(capsys, "cost", SE, *argv)
    assert code == 1 and out == "" and "internal error" not in err
    assert len(err.strip().splitlines()) == 1 and expected in err
