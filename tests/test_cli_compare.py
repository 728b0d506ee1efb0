"""`ostrelpy compare` and `ostrelpy.compare`: the bundled household ranked under the bundled
tariffs, each bill as `ostrelpy.cost` gives it."""

import io
import json

import pandas as pd
import pytest

import ostrelpy
from ostrelpy import cli, cli_cost

HOUSEHOLD = str(cli_cost.EXAMPLE_CONSUMPTION)
# The hand-written examples of the catalogue (the imported real tariffs stand beside them).
EXAMPLES = ["5f0c2a9e", "3c9e1f4a", "7a1d3f2c"]


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def kwh():
    return cli_cost.read_consumption(HOUSEHOLD)


def test_ranking_of_the_bundled_tariffs(kwh):
    ranking = ostrelpy.compare(EXAMPLES, kwh)
    assert isinstance(ranking, ostrelpy.Comparison) and len(ranking) == 3
    for row in ranking.to_dict("records"):
        bill = ostrelpy.cost(row["id"], kwh).total()
        assert row["total"] == pytest.approx(bill["total"])
        assert row["energy"] + row["power"] + row["fixed"] == pytest.approx(row["total"])
        assert row["complete"] and ranking.coverage[row["id"]] == []
    for _, group in ranking.groupby("currency"):
        assert list(group["rank"]) == list(range(1, len(group) + 1))
        assert group["total"].is_monotonic_increasing
        assert (group["difference"] == group["total"] - group["total"].min()).all()
    swedish = ostrelpy.compare("Elnät Stockholm", kwh)  # a text names every tariff with it
    assert set(swedish["currency"]) == {"SEK"} and len(swedish) == 2


def test_a_tariff_that_misses_part_of_the_period_is_ranked_after_and_says_why(kwh):
    # Ten years of the household's quarter: only 2025 is priced by these tariffs.
    long = pd.concat([kwh.set_axis(kwh.index - pd.DateOffset(years=y)) for y in (1, 0)])
    ranking = ostrelpy.compare(["3c9e1f4a", "7a1d3f2c"], long.sort_index())
    by_id = ranking.set_index("id")
    swedish = by_id.loc["3c9e1f4a-2b6d-4e8f-9a1c-5d7e8f9a0b1c"]
    assert not swedish["complete"] and by_id["complete"].sum() == 1
    assert {g.component for g in ranking.coverage[swedish.name]} >= {"Energiskatt"}


def test_the_command_agrees_with_python(capsys, kwh, tmp_path):
    code, out, err = run(capsys, "compare", "--consumption", HOUSEHOLD, "--format", "json")
    assert code == 0, err
    data = json.loads(out)
    python = ostrelpy.compare(None, kwh)
    assert [t["id"] for t in data["tariffs"]] == list(python["id"])
    assert [t["total"] for t in data["tariffs"]] == pytest.approx(list(python["total"]))
    code, out, _ = run(
        capsys, "compare", "7a1d", "Elnät Stockholm", "-c", HOUSEHOLD, "--format", "csv"
    )
    table = pd.read_csv(io.StringIO(out))
    assert list(table["currency"]) == ["NOK", "SEK", "SEK"]
    code, out, _ = run(capsys, "compare", "-c", HOUSEHOLD)
    assert code == 0 and "+cheapest" in out and "Nettleie Oslo" in out
    code, _, err = run(capsys, "compare", "no such company", "-c", HOUSEHOLD)
    assert code == 2 and "no tariff 'no such company'" in err
