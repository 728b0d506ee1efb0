"""The execution context and the pipeline runner over it."""

import datetime as dt
import functools
import sys

import numpy as np
import pandas as pd
import pytest
from conftest import IDX3, cont, dataset, fields

from ostrelpy.bindings import _engine as e

# -- ExecutionContext --------------------------------------------------------------------------

Q, KWH = e.Resolution.QUARTER_HOURLY, e.Unit.KWH


ds = functools.partial(dataset, resolution=Q, unit=KWH)


class Step:
    """A pipeline step following the function protocol, recording how it was called."""

    type = "probe"

    def __init__(self, output, **operands):
        self.output, self.operands, self.calls = ds(output), operands, []

    def input_operands(self):
        return dict(self.operands)

    def compute(self, timeline, **operands):
        self.calls.append(("compute", timeline, operands))
        return sum(operands.values())

    def compile(self, timeline, next_available_col, assume_convex, **operands):
        self.calls.append(("compile", timeline, next_available_col, assume_convex, operands))
        return e.linear_combination(list(operands.values()), next_available_col)


def test_context_construction_invariant():
    v = cont(3, [0] * 3, [1] * 3)
    with pytest.raises(ValueError) as err:
        e.ExecutionContext("tl", 5, {"load": v})
    assert str(err.value) == (
        "next_available_col (5) must be greater than max col in VariableSeries load (5)"
    )
    ctx = e.ExecutionContext("tl", 6, {"load": v, "empty": cont(0, [], [], IDX3[:0])})
    assert ctx.function_blocks == [] and ctx.assume_convex is False
    assert e.ExecutionContext("tl", 0).all_series == {}


def test_context_fields_are_reassignable_and_compared_by_value():
    a = e.ExecutionContext("tl", 0, {"s": pd.Series([1.0])})
    b = e.ExecutionContext("tl", 0, {"s": pd.Series([1.0])})
    assert a == b
    b.next_available_col = 4
    b.assume_convex = True
    assert a != b and b.next_available_col == 4
    with pytest.raises(TypeError):
        hash(a)
    c = e.ExecutionContext("tl", 0)
    c.all_series["self"] = c
    assert repr(c) == (
        "ExecutionContext(timeline='tl', next_available_col=0, "
        "all_series={'self': ...}, function_blocks=[], assume_convex=False)"
    )


def test_register_function_block_moves_the_counter_forward_only():
    ctx = e.ExecutionContext(None, 10)
    x = cont(0, [0] * 3, [1] * 3)
    aux = e.VariableSeries.binary(13, IDX3)
    block = e.FunctionBlock(cont(10, [0] * 3, [1] * 3), (aux,))
    ctx.register_function_block("out", block)
    assert ctx.next_available_col == 16 and ctx.all_series["out"] is block.output
    assert ctx.function_blocks == [block]
    ctx.register_function_block("low", e.FunctionBlock(x))
    assert ctx.next_available_col == 16
    empty = cont(0, [], [], IDX3[:0])
    ctx.register_function_block("none", e.FunctionBlock(empty, (empty,)))
    assert ctx.next_available_col == 16 and len(ctx.function_blocks) == 3
    with pytest.raises(TypeError):
        ctx.register_function_block(1, block)
    with pytest.raises(TypeError):
        ctx.register_function_block("x", x)


def test_execute_function_computes_numeric_steps():
    s = pd.Series([1.0, 2.0], name="a")
    ctx = e.ExecutionContext("timeline", 0, {"a": s})
    step = Step("total", left=ds("a"), right=e.Level(value=2.0, unit=KWH), missing=None)
    out = ctx.execute_function(step)
    assert out.name == "total" and out.tolist() == [3.0, 4.0]
    assert step.calls == [("compute", "timeline", {"left": s, "right": 2.0})]
    assert s.name == "a" and ctx.all_series == {"a": s}


class Tagged(pd.Series):
    """A series subclass whose rename marks its result."""

    @property
    def _constructor(self):
        return Tagged

    def rename(self, *args, **kwargs):
        out = super().rename(*args, **kwargs)
        out.attrs["renamed"] = True
        return out


class Returning(Step):
    """A step whose compute hands back what `pick` chooses among its operands (or its own)."""

    def __init__(self, output, pick, **operands):
        super().__init__(output, **operands)
        self.pick, self.kept = pick, pd.Series([7.0], name="kept")

    def compute(self, timeline, **operands):
        return self.pick(self, operands)


@pytest.mark.parametrize(
    "pick",
    [
        lambda step, ops: ops["x"],  # an input, unchanged
        lambda step, ops: step.kept,  # a series the step keeps
        lambda step, ops: pd.Series([1.0, 2.0], name="fresh"),  # a new series
        lambda step, ops: Tagged([1.0, 2.0], name="fresh"),  # a new series of a subclass
    ],
)
def test_execute_function_names_the_result_without_touching_held_series(pick):
    a = pd.Series([1.0, 2.0], name="a")
    ctx = e.ExecutionContext("timeline", 0, {"a": a})
    step = Returning("total", pick, x=ds("a"))
    out = ctx.execute_function(step)
    assert out.name == "total"
    assert a.name == "a" and ctx.all_series["a"] is a and step.kept.name == "kept"
    assert out is not a and out is not step.kept
    # A subclass keeps its own renaming.
    assert out.attrs.get("renamed", False) == isinstance(out, Tagged)


def test_execute_function_compiles_steps_with_variables():
    v = cont(0, [0] * 3, [1] * 3)
    ctx = e.ExecutionContext("timeline", 7, {"v": v}, assume_convex=True)
    step = Step("out", x=ds("v"), k=e.Level(value=1.5, unit=KWH))
    block = ctx.execute_function(step)
    assert isinstance(block, e.FunctionBlock) and block.output.cols.tolist() == [7, 8, 9]
    kind, timeline, col, convex, operands = step.calls[0]
    assert (kind, timeline, col, convex) == ("compile", "timeline", 7, True)
    assert operands["x"] is v and operands["k"] == 1.5
    assert ctx.next_available_col == 7 and ctx.function_blocks == []


def test_execute_function_missing_dataset_is_a_key_error():
    ctx = e.ExecutionContext(None, 0, {})
    with pytest.raises(KeyError) as err:
        ctx.execute_function(Step("out", x=ds("absent")))
    assert err.value.args == ("absent",)
    assert ctx.all_series == {}


def test_context_breaks_reference_cycles():
    import gc
    import weakref

    class Marker:
        pass

    marker = Marker()
    ctx = e.ExecutionContext(None, 0, {"marker": marker})
    ctx.all_series["me"] = ctx
    probe = weakref.ref(marker)
    del ctx, marker
    gc.collect()
    assert probe() is None


@pytest.mark.skipif(sys.flags.optimize > 0, reason="assertions are skipped when optimised")
def test_assertions_are_on_in_tests():
    with pytest.raises(AssertionError):
        e.broadcast(pd.Series([1.0]), 2)


# -- the runner --------------------------------------------------------------------------------

GRID = pd.date_range("2025-03-01", periods=8, freq="15min", tz="UTC")
H = e.Resolution.HOURLY


class GridDouble:
    """Stands in for a timeline: quarter-hours, hourly periods every fourth instant."""

    def __init__(self, grid=GRID):
        self.grid = grid

    def get_as(self, resolution):
        return self.grid[::4] if resolution == H else self.grid

    def align_dataset(self, series, resolution):
        return series.reindex(self.get_as(resolution), fill_value=0.0)

    def group_index(self, index, resolution):
        keys = index.floor("h") if resolution == H else index
        return pd.DataFrame({"key": keys}, index=index).groupby("key")


class Component:
    def __init__(self, cost, *functions):
        self.cost, self.functions = ds(cost), list(functions)


def test_run_pipeline_argument_errors():
    with pytest.raises(TypeError) as err:
        e.run_pipeline([], {})
    assert str(err.value) == "run_pipeline() needs keyword-only argument timeline"
    with pytest.raises(TypeError) as err:
        e.run_pipeline([], {}, timeline=GridDouble(), next_available_col="3")
    assert str(err.value) == (
        "Argument 'next_available_col' has incorrect type (expected int, got str)"
    )
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        e.run_pipeline([], {}, GridDouble())
    ctx = e.run_pipeline([], {}, timeline=GridDouble(), next_available_col=3.9, assume_convex=1)
    assert ctx.next_available_col == 3 and ctx.assume_convex is True and ctx.all_series == {}


def test_run_pipeline_places_inputs_on_the_timeline():
    measured = pd.Series([1.0, 2.0], index=GRID[[0, 3]], name="caller")
    own_index = pd.date_range("2000-01-01", periods=2, freq="D", tz="UTC")
    v = e.VariableSeries.continuous(0, np.zeros(2), np.ones(2), own_index)
    hourly = e.Dataset(id="v", resolution=H, unit=KWH)
    ctx = e.run_pipeline(
        [], {ds("m"): measured, hourly: v}, timeline=GridDouble(), next_available_col=2
    )
    placed = ctx.all_series["v"]
    assert placed.cols.tolist() == [0, 1] and placed.index.equals(GRID[::4])
    m = ctx.all_series["m"]
    assert m.name == "m" and m.tolist() == [1.0, 0, 0, 2.0, 0, 0, 0, 0]
    assert measured.name == "caller"


class Recording(e.Timeline):
    """A timeline subclass with its own alignment, recording the series it was given."""

    def align_dataset(self, series, resolution):
        self.given = series
        return super().align_dataset(series, resolution) * 2.0


@pytest.mark.parametrize("timeline_type", [e.Timeline, Recording])
def test_run_pipeline_names_aligned_inputs_by_dataset(timeline_type):
    start = pd.Timestamp("2025-03-01", tz="UTC")
    built = e.Timeline.build(
        tz=dt.UTC, start_time=start, end_time=start + pd.Timedelta(hours=2), holidays=[]
    )
    t = timeline_type(built._accessors, [])
    measured = pd.Series(np.arange(8.0), index=t.get_as("quarter_hourly"), name="caller")
    ctx = e.run_pipeline([], {ds("m"): measured}, timeline=t)
    placed = ctx.all_series["m"]
    assert placed.name == "m" and measured.name == "caller" and placed is not measured
    scale = 2.0 if timeline_type is Recording else 1.0
    assert placed.tolist() == (np.arange(8.0) * scale).tolist()
    if timeline_type is Recording:
        assert t.given.name == "m" and t.given is not measured


def test_run_pipeline_refuses_mismatched_or_reused_variables():
    v = e.VariableSeries.continuous(0, np.zeros(3), np.ones(3), GRID[:3])
    hourly = e.Dataset(id="load", resolution=H, unit=KWH)
    with pytest.raises(ValueError) as err:
        e.run_pipeline([], {hourly: v}, timeline=GridDouble())
    assert str(err.value) == "dataset 'load': 3 variables but the timeline has 2 hourly periods"
    v8 = e.VariableSeries.continuous(0, np.zeros(8), np.ones(8), GRID)
    with pytest.raises(ValueError, match=r"next_available_col \(4\) must be greater"):
        e.run_pipeline([], {ds("load"): v8}, timeline=GridDouble(), next_available_col=4)


def test_run_pipeline_computes_and_compiles_in_order():
    price = pd.Series(np.full(8, 2.0), index=GRID)
    v = e.VariableSeries.continuous(0, np.zeros(8), np.ones(8), GRID)
    numeric = Component("fee", Step("fee", p=ds("price"), k=e.Level(value=1.0, unit=KWH)))
    compiled = Component("cost", Step("sum", x=ds("load")), Step("cost", y=ds("sum"), z=ds("load")))
    ctx = e.run_pipeline(
        [numeric, compiled],
        {ds("price"): price, ds("load"): v},
        timeline=GridDouble(),
        next_available_col=8,
    )
    assert ctx.all_series["fee"].tolist() == [3.0] * 8
    assert [b.output.cols[0] for b in ctx.function_blocks] == [8, 16]
    assert ctx.next_available_col == 24 and ctx.all_series["cost"].cols.tolist()[-1] == 23
    costs = e.run_components([numeric], ctx)
    assert len(costs) == 1 and costs[0].name == "fee"
    assert e.run_components([], ctx) == []
    with pytest.raises(KeyError):
        e.run_components([Component("never")], ctx)


def test_calculate_groups():
    v = e.VariableSeries.continuous(0, np.arange(8.0), np.arange(8.0) + 1, GRID[::-1])
    groups = e.calculate_groups(GridDouble(), v, H)
    assert isinstance(groups, e.Groups) and groups.variables is v
    assert groups.allocation.dtype == np.int64
    assert groups.allocation.tolist() == [1, 1, 1, 1, 0, 0, 0, 0]
    assert groups.index.equals(GRID[[3, 7]])
    assert groups.size().tolist() == [4, 4] and groups.lb.max().tolist() == [7.0, 3.0]


def test_assertion_checks_are_skipped_when_optimised():
    import subprocess

    script = """
import numpy as np, pandas as pd
from ostrelpy.bindings import _engine as e
idx = pd.date_range("2025-01-01", periods=3, freq="15min", tz="UTC")
x = e.VariableSeries.continuous(0, np.zeros(3), np.ones(3), idx)
print(e.broadcast(pd.Series([1.0, 2.0]), 3).tolist())
shifted = e.VariableSeries.continuous(3, np.zeros(3), np.ones(3), idx + pd.Timedelta("1D"))
print(e.linear_combination([x, shifted], 6).output.cols.tolist())
short = e.VariableSeries.continuous(3, np.zeros(2), np.ones(2), idx[:2])
try:
    e.linear_combination([x, short], 6)
except ValueError as err:
    print("ValueError")
try:
    e.linear_combination([1.0], 6)
except ValueError as err:
    print(err)
"""
    out = subprocess.run(
        [sys.executable, "-O", "-c", script], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    assert out[:4] == ["[1.0, 2.0]", "[6, 7, 8]", "ValueError", "no variable factor"]


def test_more_shape_and_value_cases():
    with pytest.raises(ValueError, match="^arrays must have equal length$"):
        e.VariableSeries.continuous(0, np.zeros(2), np.ones(3), IDX3)
    assert e.VariableSeries.continuous(0, 0, 1, IDX3).ub.tolist() == [1.0] * 3
    a = e.VariableSeries(**fields(lb=np.array([-0.0, 0.0, 0.0])))
    b = e.VariableSeries(**fields())
    assert a == b and hash(a) == hash(b)
    y = cont(0, [0] * 3, [1] * 3)
    with pytest.raises(ValueError):
        e.le_when(y, [1.0], e.VariableSeries.binary(3, IDX3[:2]), 1)
    with pytest.raises(TypeError):
        e.le_when(y, [1.0], np.ones(3), 1)


def test_relations_keep_a_python_subclass():
    class Rows(e.EqualitySeries):
        pass

    y = cont(0, [0] * 3, [1] * 3)
    r = Rows.from_relation(y, [2.0], rhs=0.0, sign=1.0)
    assert type(r) is Rows and r.rhs.tolist() == [2.0] * 3
    joined = Rows.concatenate([r, e.eq(y, [1.0])])
    assert type(joined) is Rows and joined.rows.tolist() == [0, 1, 2, 3, 4, 5]


# -- with the engine's own timeline --------------------------------------------------------------

needs_timeline = pytest.mark.skipif(not hasattr(e, "Timeline"), reason="no Timeline in this build")


def stockholm_day(day):
    import datetime as dt
    from zoneinfo import ZoneInfo

    tz = ZoneInfo("Europe/Stockholm")
    start = dt.datetime(2025, 10, day, tzinfo=tz)
    return e.Timeline.build(
        tz=tz, start_time=start, end_time=start + dt.timedelta(days=1), holidays=[]
    )


@needs_timeline
def test_calculate_groups_on_the_day_daylight_saving_ends():
    tl = stockholm_day(26)
    quarters = tl.get_as(e.Resolution.QUARTER_HOURLY)
    v = e.VariableSeries.continuous(0, np.zeros(100), np.arange(100.0) + 1, quarters)
    groups = e.calculate_groups(tl, v, H)
    assert len(groups.index) == 25 and groups.size().tolist() == [4] * 25
    # The repeated local 02:00: the winter-time hour (smaller offset) sorts first.
    assert groups.allocation[8:16].tolist() == [3] * 4 + [2] * 4
    assert groups.index[2] == quarters[12] and groups.index[3] == quarters[8]


@needs_timeline
def test_run_pipeline_on_a_timeline():
    tl = stockholm_day(20)
    hourly = e.Dataset(id="load", resolution=H, unit=KWH)
    v = e.VariableSeries.continuous(0, np.zeros(24), np.ones(24), pd.RangeIndex(24))
    ctx = e.run_pipeline([], {hourly: v}, timeline=tl, next_available_col=24)
    assert ctx.all_series["load"].index.equals(tl.get_as(H))
    with pytest.raises(ValueError, match="^dataset 'load': 23 variables but the timeline has 24"):
        e.run_pipeline([], {hourly: v.gather(range(23))}, timeline=tl, next_available_col=24)
