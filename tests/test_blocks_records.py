import json
import subprocess
import sys
from types import SimpleNamespace

import pytest
from conftest import dataset_data as ds
from conftest import level_data as lvl
from pydantic import TypeAdapter, ValidationError

from ostrelpy.bindings import _engine as e

FUNCTION = TypeAdapter(e.Function)


def blk(tag, **fields):
    return {"type": tag, **fields}


TOD = {"type": "time_of_day", "from_time": "08:00", "to_time": "20:00"}
WEEKEND = {"type": "day_of_week", "days": [6, 7]}
HIGHEST_HOURLY = {"type": "highest", "n": 3, "resolution": "hourly"}

# One valid plain-data record per block, with its class and the keys of input_operands().
VALID = [
    (blk("constant", value=lvl(2, "SEK"), resolution="monthly", output=ds("c", "monthly", "SEK")),
     e.Constant, []),
    (blk("add", inputs=[ds("a"), lvl(), ds("b")], output=ds("o")),
     e.Add, ["input_0", "input_1", "input_2"]),
    (blk("subtract", left=lvl(), right=ds("a"), output=ds("o")), e.Subtract, ["left", "right"]),
    (blk("divide", numerator=ds("a"), denominator=lvl(1, "hours"), output=ds("o", unit="kW")),
     e.Divide, ["numerator", "denominator"]),
    (blk("multiply", left=ds("a"), right=lvl(0.5, "SEK_per_kWh"), output=ds("o", unit="SEK")),
     e.Multiply, ["left", "right"]),
    (blk("aggregate", input=ds("a"), resolution="daily", aggregation_function="max",
         output=ds("o", "daily")), e.Aggregate, ["input"]),
    (blk("resample", input=ds("a", "monthly"), resolution="daily", output=ds("o", "daily")),
     e.Resample, ["input"]),
    (blk("select", input=ds("a"), condition=TOD, output=ds("o")), e.Select, ["input"]),
    (blk("mask", input=ds("a"), condition=WEEKEND, replacement=lvl(0), output=ds("o")),
     e.Mask, ["input", "replacement"]),
    (blk("clip", input=ds("a"), maximum=lvl(10), output=ds("o")),
     e.Clip, ["input", "minimum", "maximum"]),
    (blk("lookup", tier_selector=ds("a", unit="kW"), levels=[1, 2, 3], boundaries=[100, 200],
         unit="SEK_per_kW", output=ds("o", unit="SEK_per_kW")), e.Lookup, ["tier_selector"]),
]  # fmt: skip


@pytest.mark.parametrize("data, cls, keys", VALID, ids=[v[0]["type"] for v in VALID])
def test_plain_data_validates_into_every_block(data, cls, keys):
    block = FUNCTION.validate_python(data)
    assert type(block) is cls and block.type == data["type"]
    operands = block.input_operands()
    assert list(operands) == keys
    # JSON round trip and the class's own validation give the same record.
    assert FUNCTION.validate_json(json.dumps(data)) == block
    assert cls.model_validate(block.model_dump(mode="json")) == block
    assert block._validate() is block
    assert e.get_input_datasets(block) == {v for v in operands.values() if isinstance(v, e.Dataset)}


def _as_object(value):
    if isinstance(value, dict):
        return SimpleNamespace(**{k: _as_object(v) for k, v in value.items()})
    if isinstance(value, list):
        return [_as_object(v) for v in value]
    return value


@pytest.mark.parametrize("data, cls, keys", VALID, ids=[v[0]["type"] for v in VALID])
def test_objects_with_attributes_validate_like_plain_data(data, cls, keys):
    # Public function descriptions reach the engine through attribute access.
    assert FUNCTION.validate_python(_as_object(data), from_attributes=True) == cls(**data)


def test_type_tag_defaults_and_is_fixed():
    block = e.Resample(input=ds("a", "daily"), resolution="hourly", output=ds("o"))
    assert block.type == "resample"
    with pytest.raises(ValidationError, match="literal_error"):
        e.Resample(type="aggregate", input=ds("a", "daily"), resolution="hourly", output=ds("o"))


def test_operand_values():
    add = FUNCTION.validate_python(VALID[1][0])
    assert add.input_operands() == {
        "input_0": e.Dataset(**ds("a")),
        "input_1": e.Level(**lvl()),
        "input_2": e.Dataset(**ds("b")),
    }
    clip = FUNCTION.validate_python(VALID[9][0])
    assert clip.minimum is None and clip.input_operands()["minimum"] is None
    assert clip.input_operands()["maximum"] == e.Level(value=10, unit="kWh")
    assert e.Constant.model_validate(VALID[0][0]).input_operands() == {}


@pytest.mark.parametrize(
    "data, error",
    [
        (blk("median", output=ds()), "union_tag_invalid"),
        ({"output": ds()}, "union_tag_not_found"),
        (blk("add", inputs=[ds("a")], output=ds()), "too_short"),
        (blk("divide", numerator=lvl(), denominator=lvl(), output=ds()), "numerator"),
        (blk("aggregate", input=ds(), resolution="daily", aggregation_function="median",
             output=ds("o", "daily")), "enum"),
        (blk("lookup", tier_selector=ds(), levels=[1], boundaries=[100], unit="kWh", output=ds()),
         "too_short"),
        (blk("lookup", tier_selector=ds(), levels=[1, 2], boundaries=[], unit="kWh", output=ds()),
         "too_short"),
        (blk("mask", input=ds(), condition=HIGHEST_HOURLY, replacement=lvl(), output=ds()),
         "union_tag_invalid"),
        (blk("select", input=ds(), condition={**HIGHEST_HOURLY, "n": 0}, output=ds()),
         "greater_than"),
        (blk("subtract", left=ds(), output=ds()), "missing"),
    ],
)  # fmt: skip
def test_field_validation_errors(data, error):
    with pytest.raises(ValidationError) as info:
        FUNCTION.validate_python(data)
    assert error in str(info.value)


def test_aggregation_function_is_a_nested_string_enumeration():
    agg = e.Aggregate.AggregationFunction
    assert agg.__qualname__ == "Aggregate.AggregationFunction"
    assert [(m.name, m.value) for m in agg] == [
        ("SUM", "sum"),
        ("MEAN", "mean"),
        ("MAX", "max"),
        ("MIN", "min"),
    ]
    block = FUNCTION.validate_python(VALID[5][0])
    assert block.aggregation_function is agg.MAX and block.aggregation_function == "max"
    assert block.model_dump(mode="json")["aggregation_function"] == "max"


def _mul(left, right, out, left_series=False):
    left = ds("a", unit=left) if left_series else lvl(unit=left)
    return blk("multiply", left=left, right=ds("b", unit=right), output=ds("o", unit=out))


def _div(num, den, out):
    return blk("divide", numerator=ds("a", unit=num), denominator=lvl(unit=den),
               output=ds("o", unit=out))  # fmt: skip


def _select(res, condition, out_res=None, out_unit="kWh"):
    return blk("select", input=ds("a", res), condition=condition,
               output=ds("o", out_res or res, out_unit))  # fmt: skip


def _mask(res, condition, replacement=None):
    return blk("mask", input=ds("a", res), condition=condition,
               replacement=replacement or lvl(0), output=ds("o", res))  # fmt: skip


def _lookup(levels, boundaries, out=None):
    return blk("lookup", tier_selector=ds("a", unit="kW"), levels=levels, boundaries=boundaries,
               unit="SEK", output=out or ds("o", unit="SEK"))  # fmt: skip


def _agg(in_res, res, out_res, out_unit="kWh"):
    return blk("aggregate", input=ds("a", in_res), resolution=res, aggregation_function="sum",
               output=ds("o", out_res, out_unit))  # fmt: skip


def _resample(in_res, res, out_res, out_unit="kWh"):
    return blk("resample", input=ds("a", in_res), resolution=res,
               output=ds("o", out_res, out_unit))  # fmt: skip


def _constant(unit, res, out_res, out_unit):
    return blk("constant", value=lvl(1, unit), resolution=res, output=ds("c", out_res, out_unit))


UNITS_KWH_SEK = "All units must match, got ['kWh', 'SEK']"
RES_HOURLY_DAILY = "All Dataset resolutions must match, got ['hourly', 'daily']"

# Every assertion of the blocks' validation. A message ending in a list names distinct values in
# no defined order.
ASSERTIONS = [
    (blk("add", inputs=[ds("a"), lvl(1, "SEK")], output=ds("o")), UNITS_KWH_SEK),
    (blk("add", inputs=[ds("a"), ds("b", "daily")], output=ds("o")), RES_HOURLY_DAILY),
    (blk("subtract", left=ds("a"), right=ds("b"), output=ds("o", unit="%")),
     "All units must match, got ['kWh', '%']"),
    (blk("subtract", left=lvl(), right=ds("b", "daily"), output=ds("o")), RES_HOURLY_DAILY),
    (blk("multiply", left=ds("a", "daily", "kW"), right=lvl(1, "hours"), output=ds("o")),
     RES_HOURLY_DAILY),
    (blk("divide", numerator=ds("a"), denominator=ds("b", "daily", "hours"),
         output=ds("o", unit="kW")), RES_HOURLY_DAILY),
    (_mul("%", "kWh", "SEK"), "Multiply: % × kWh should produce kWh, got SEK"),
    (_mul("SEK_per_kWh", "%", "kWh"),
     "Multiply: SEK_per_kWh × % should produce SEK_per_kWh, got kWh"),
    (_mul("%", "%", "kWh"), "Multiply: % × % should produce %, got kWh"),
    (_mul("kW", "kW", "kW"), "Multiply: unsupported unit combination kW × kW"),
    (_mul("kWh", "SEK_per_kW", "SEK"), "Multiply: unsupported unit combination kWh × SEK_per_kW"),
    (_mul("kWh", "NOK_per_kWh", "SEK"), "Multiply: kWh × NOK_per_kWh should produce NOK, got SEK"),
    (_mul("hours", "kW", "kW"), "Multiply: hours × kW should produce kWh, got kW"),
    (_div("kW", "%", "%"), "Divide: kW / % should produce kW, got %"),
    (_div("hours", "kWh", "kW"), "Divide: unsupported unit combination hours / kWh"),
    (_div("kWh", "hours", "kWh"), "Divide: kWh / hours should produce kW, got kWh"),
    (_div("kW", "kW", "kW"), "Divide: kW / kW should produce %, got kW"),
    (_constant("SEK", "daily", "monthly", "SEK"),
     "Constant output resolution (monthly) must match function resolution (daily)"),
    (_constant("SEK", "daily", "daily", "NOK"),
     "Constant output unit (NOK) must match value unit (SEK)"),
    (_agg("hourly", "daily", "monthly"),
     "Aggregate output resolution (monthly) must match function resolution (daily)"),
    (_agg("daily", "hourly", "hourly"),
     "Aggregate resolution (hourly) must be coarser than input resolution (daily)"),
    (_agg("hourly", "hourly", "hourly"),
     "Aggregate resolution (hourly) must be coarser than input resolution (hourly)"),
    (_agg("hourly", "daily", "daily", "SEK"), UNITS_KWH_SEK),
    (_resample("daily", "hourly", "daily"),
     "Resample output resolution (daily) must match function resolution (hourly)"),
    (_resample("hourly", "daily", "daily"),
     "Resample target resolution (daily) must be finer than input resolution (hourly)"),
    (_resample("daily", "daily", "daily"),
     "Resample target resolution (daily) must be finer than input resolution (daily)"),
    (_resample("daily", "hourly", "hourly", "kW"), "All units must match, got ['kWh', 'kW']"),
    (_select("hourly", TOD, out_res="daily"), RES_HOURLY_DAILY),
    (_select("hourly", TOD, out_unit="SEK"), UNITS_KWH_SEK),
    (_select("hourly", HIGHEST_HOURLY),
     "Select value condition resolution (hourly) must be coarser than input resolution (hourly)"),
    (_select("monthly", {"type": "lowest", "n": 1, "resolution": "daily"}),
     "Select value condition resolution (daily) must be coarser than input resolution (monthly)"),
    (_select("daily", TOD),
     "Select condition requires resolution hourly or finer, but input has resolution daily"),
    (_select("monthly", {"type": "or", "conditions": [{"type": "month", "months": [1]}, WEEKEND]}),
     "Select condition requires resolution daily or finer, but input has resolution monthly"),
    (_mask("hourly", WEEKEND, replacement=ds("r", "daily")), RES_HOURLY_DAILY),
    (_mask("hourly", WEEKEND, replacement=lvl(0, "SEK")), UNITS_KWH_SEK),
    (_mask("weekly", {"type": "not", "condition": WEEKEND}),
     "Mask condition requires resolution daily or finer, but input has resolution weekly"),
    (blk("clip", input=ds("a"), minimum=ds("m", "daily"), output=ds("o")), RES_HOURLY_DAILY),
    (blk("clip", input=ds("a"), maximum=lvl(1, "kW"), output=ds("o")),
     "All units must match, got ['kWh', 'kW']"),
    (_lookup([1, 2, 3], [100]),
     "len(levels) must be len(boundaries) + 1, got 3 levels and 1 boundaries"),
    (_lookup([1, 2, 3], [200, 100]), "Boundaries must be in strictly ascending order"),
    (_lookup([1, 2, 3], [100, 100]), "Boundaries must be in strictly ascending order"),
    (_lookup([1, 2, 3], [float("nan"), 100]), "Boundaries must be in strictly ascending order"),
    (_lookup([1, 2], [float("nan")]), "Boundaries must be in strictly ascending order"),
    (_lookup([1, 2], [100], out=ds("o", "daily", "SEK")), RES_HOURLY_DAILY),
    (_lookup([1, 2], [100], out=ds("o", unit="NOK")),
     "Lookup output unit (NOK) must match lookup unit (SEK)"),
]  # fmt: skip


def _error(data):
    with pytest.raises(ValidationError) as info:
        FUNCTION.validate_python(data)
    (err,) = info.value.errors()
    return err


def _same_message(text, expected):
    if not expected.endswith("]"):
        return text == expected
    head, _, items = expected.partition("[")
    got_head, _, got_items = text.partition("[")
    listed = set(got_items.removesuffix("]").split(", "))
    return text.endswith("]") and got_head == head and listed == set(items[:-1].split(", "))


@pytest.mark.parametrize("data, message", ASSERTIONS)
def test_validation_messages(data, message):
    err = _error(data)
    assert err["type"] == "assertion_error"
    assert _same_message(err["msg"].removeprefix("Assertion failed, "), message), err["msg"]


def test_clip_without_bounds_is_a_value_error_before_other_checks():
    data = blk("clip", input=ds("a"), output=ds("o", "daily", "SEK"))
    err = _error(data)
    assert err["type"] == "value_error"
    assert err["msg"] == "Value error, At least one of minimum or maximum must be provided"
    assert _error({**data, "minimum": None, "maximum": None})["type"] == "value_error"


@pytest.mark.parametrize(
    "data, message",
    [
        # Add checks units before resolutions; Multiply and Divide resolutions before units.
        (blk("add", inputs=[ds("a"), ds("b", "daily", "SEK")], output=ds("o")), "All units"),
        (_mul("kW", "kW", "kW", left_series=True) | {"output": ds("o", "daily", "kW")},
         "All Dataset resolutions"),
        (_div("hours", "kWh", "kW") | {"output": ds("o", "daily")}, "All Dataset resolutions"),
        (_constant("SEK", "daily", "monthly", "NOK"), "Constant output resolution"),
        (_agg("daily", "hourly", "monthly", "SEK"), "Aggregate output resolution"),
        (_agg("daily", "hourly", "hourly", "SEK"), "Aggregate resolution"),
        (_resample("hourly", "daily", "daily", "SEK"), "Resample target resolution"),
        (_select("daily", TOD, out_res="hourly", out_unit="SEK"), "All Dataset resolutions"),
        (_select("daily", TOD, out_unit="SEK"), "All units"),
        (_select("hourly", HIGHEST_HOURLY, out_unit="SEK"), "All units"),
        (_mask("weekly", WEEKEND, replacement=lvl(0, "SEK")), "All units"),
        (blk("clip", input=ds("a"), minimum=ds("m", "daily", "SEK"), output=ds("o")),
         "All Dataset resolutions"),
        (_lookup([1, 2, 3], [200], out=ds("o", "daily", "NOK")), "len(levels)"),
        (_lookup([1, 2, 3], [200, 100], out=ds("o", "daily", "NOK")), "Boundaries"),
        (_lookup([1, 2], [100], out=ds("o", "daily", "NOK")), "All Dataset resolutions"),
    ],
)  # fmt: skip
def test_order_of_checks(data, message):
    assert _error(data)["msg"].startswith("Assertion failed, " + message)


@pytest.mark.parametrize(
    "left, right, out",
    [("kW", "hours", "kWh"), ("hours", "kW", "kWh"), ("%", "%", "%"), ("%", "kW", "kW")]
    + [
        (a, b, c)
        for c in ("SEK", "NOK", "EUR", "USD", "GBP", "DKK")
        for a, b in ((f"{c}_per_kWh", "kWh"), ("kWh", f"{c}_per_kWh"), ("kW", f"{c}_per_kW"))
    ],
)
def test_product_table(left, right, out):
    FUNCTION.validate_python(_mul(left, right, out))


@pytest.mark.parametrize(
    "num, den, out",
    [("kW", "kW", "%"), ("kWh", "hours", "kW"), ("kWh", "kW", "hours"), ("SEK", "%", "SEK")],
)
def test_quotient_table(num, den, out):
    FUNCTION.validate_python(_div(num, den, out))


def test_all_level_add_validates():
    # Without datasets the resolution check has nothing to compare.
    FUNCTION.validate_python(blk("add", inputs=[lvl(1), lvl(2)], output=ds("o")))


def test_select_accepts_fine_enough_inputs_and_coarser_value_periods():
    for res in ("hourly", "quarter_hourly"):
        FUNCTION.validate_python(_select(res, TOD))
    FUNCTION.validate_python(_select("hourly", {**HIGHEST_HOURLY, "resolution": "monthly"}))


def test_module_helpers():
    a, a2 = e.Dataset(**ds("a")), e.Dataset(**ds("a"))
    b = e.Dataset(**ds("b", "daily", "kW"))
    one = e.Level(value=1, unit="kWh")
    assert e.get_datasets([one, a, a2]) == {a}
    assert e.get_datasets(iter([b, 3, None])) == {b}
    e.assert_units_match([a, one, a2])
    e.assert_units_match([])
    e.assert_resolutions_match([a, one, e.Level(value=1, unit="SEK")])
    with pytest.raises(AssertionError) as info:
        e.assert_units_match([a, b, one])
    assert _same_message(str(info.value), "All units must match, got ['kWh', 'kW']")
    with pytest.raises(AssertionError) as info:
        e.assert_resolutions_match([a, b])
    assert _same_message(str(info.value), RES_HOURLY_DAILY)
    with pytest.raises(AttributeError):
        e.assert_units_match([a, 3])
    with pytest.raises(TypeError):
        e.get_datasets(5)
    sel = FUNCTION.validate_python(_select("hourly", TOD))
    assert not e.is_value_condition(sel.condition)
    assert e.is_value_condition(e.HighestCondition(n=1, resolution="daily"))
    assert e.is_value_condition(e.LowestCondition(n=1, resolution="daily"))


def test_function_union_schema():
    schema = FUNCTION.json_schema()
    names = ["Constant", "Add", "Subtract", "Divide", "Multiply", "Aggregate", "Resample",
             "Select", "Mask", "Clip", "Lookup"]  # fmt: skip
    assert [m["$ref"].rsplit("/", 1)[1] for m in schema["oneOf"]] == names
    assert schema["discriminator"]["mapping"] == {n.lower(): f"#/$defs/{n}" for n in names}
    defs = schema["$defs"]
    assert defs["Add"]["properties"]["inputs"]["minItems"] == 2
    assert defs["Lookup"]["properties"]["boundaries"]["minItems"] == 1
    assert defs["Clip"]["properties"]["minimum"]["default"] is None
    assert defs["Divide"]["properties"]["numerator"] == {"$ref": "#/$defs/Dataset"}
    for cls in (e.Select, e.Mask, e.Aggregate):
        props = cls.model_json_schema()["properties"]
        assert props["type"]["default"] == cls.model_fields["type"].default


_OPTIMISED = r"""
from pydantic import TypeAdapter, ValidationError
from ostrelpy.bindings import _engine as e
F = TypeAdapter(e.Function)
ds = lambda i, r="hourly", u="kWh": {"id": i, "resolution": r, "unit": u}
F.validate_python({"type": "multiply", "left": ds("a", u="kW"), "right": ds("b", "daily", "kW"),
                   "output": ds("o", u="SEK")})
F.validate_python({"type": "lookup", "tier_selector": ds("a"), "levels": [1, 2, 3],
                   "boundaries": [2, 1, 0], "unit": "SEK", "output": ds("o", u="NOK")})
F.validate_python({"type": "select", "input": ds("a", "daily"), "output": ds("o"),
                   "condition": {"type": "time_of_day", "from_time": "08:00", "to_time": "09:00"}})
e.assert_units_match([1, 2])
e.assert_resolutions_match([e.Dataset(**ds("a")), e.Dataset(**ds("b", "daily"))])
try:
    F.validate_python({"type": "clip", "input": ds("a"), "output": ds("o")})
except ValidationError as err:
    print(err.errors()[0]["msg"])
"""


def test_optimised_host_skips_assertion_checks_only():
    cmd = [sys.executable, "-O", "-c", _OPTIMISED]
    out = subprocess.run(cmd, capture_output=True, text=True, check=False)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "Value error, At least one of minimum or maximum must be provided"
