import gc
import json
import os
import tracemalloc

import pytest
from conftest import dataset_data as ds
from conftest import validated
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import TypeAdapter, ValidationError

from ostrelpy.bindings import _engine as e

FUNCTION = TypeAdapter(e.Function)
BLOCKS = [
    e.Constant,
    e.Add,
    e.Subtract,
    e.Divide,
    e.Multiply,
    e.Aggregate,
    e.Resample,
    e.Select,
    e.Mask,
    e.Clip,
    e.Lookup,
]
TAGS = [cls.model_fields["type"].default for cls in BLOCKS]
FIELDS = sorted({name for cls in BLOCKS for name in cls.model_fields})
UNITS = [u.value for u in e.Unit]
RESOLUTIONS = [r.value for r in e.Resolution]

junk = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4)
    ),
    max_leaves=12,
)
# Field values drawn mostly from a few units and resolutions, so that many records validate
# and the after-validators run on every kind of operand; junk reaches every field too.
unit = st.sampled_from(["kWh", "kW", "hours", "SEK", "SEK_per_kWh", "%"]) | st.sampled_from(UNITS)
resolution = st.sampled_from(["hourly", "daily"]) | st.sampled_from(RESOLUTIONS)
dataset = st.fixed_dictionaries({"id": st.text(max_size=3), "resolution": resolution, "unit": unit})
level = st.fixed_dictionaries({"value": st.floats() | st.integers(-5, 5), "unit": unit})
condition = st.deferred(
    lambda: st.one_of(
        st.fixed_dictionaries(
            {"type": st.just("month"), "months": st.lists(st.integers(0, 13), max_size=3)}
        ),
        st.fixed_dictionaries(
            {"type": st.just("day_of_week"), "days": st.lists(st.integers(0, 8), max_size=3)}
        ),
        st.fixed_dictionaries(
            {
                "type": st.just("time_of_day"),
                "from_time": st.sampled_from(["08:00", "22:00", "x"]),
                "to_time": st.sampled_from(["08:00", "06:00"]),
            }
        ),
        st.fixed_dictionaries(
            {
                "type": st.sampled_from(["highest", "lowest"]),
                "n": st.integers(-1, 5),
                "resolution": resolution,
            }
        ),
        st.fixed_dictionaries(
            {"type": st.sampled_from(["and", "or"]), "conditions": st.lists(condition, max_size=3)}
        ),
        st.fixed_dictionaries({"type": st.just("not"), "condition": condition}),
        junk,
    )
)
operand = dataset | level
FIELD_VALUES = {
    "input": dataset,
    "numerator": dataset,
    "tier_selector": dataset,
    "output": dataset,
    "left": operand,
    "right": operand,
    "denominator": operand,
    "replacement": operand,
    "minimum": operand | st.none(),
    "maximum": operand | st.none(),
    "inputs": st.lists(operand, max_size=4),
    "value": level,
    "resolution": resolution,
    "aggregation_function": st.sampled_from(["sum", "mean", "max", "min", "median"]),
    "condition": condition,
    "levels": st.lists(st.floats(), max_size=4),
    "boundaries": st.lists(st.floats(), max_size=3),
    "unit": unit,
}


def _shaped(cls):
    """Records of one block: its own fields, some dropped, some replaced by junk."""
    fields = {name: FIELD_VALUES[name] for name in cls.model_fields if name != "type"}
    tag = cls.model_fields["type"].default
    return st.builds(
        lambda base, drop, noise: {k: v for k, v in {**base, **noise}.items() if k not in drop},
        st.fixed_dictionaries({"type": st.just(tag), **fields}),
        st.sets(st.sampled_from(list(cls.model_fields)), max_size=1),
        st.dictionaries(st.sampled_from(FIELDS), junk, max_size=1),
    )


block_like = st.one_of([_shaped(cls) for cls in BLOCKS])
anything = st.one_of(block_like, block_like, block_like, junk)


def _validate_everywhere(data):
    """Every way of validating `data`; each may only fail with the host's ordinary errors."""
    attempts = [
        lambda: FUNCTION.validate_python(data),
        lambda: FUNCTION.validate_python(data, from_attributes=True),
    ]
    attempts += [lambda cls=cls: cls.model_validate(data) for cls in BLOCKS]
    try:
        text = json.dumps(data, allow_nan=False)
    except (TypeError, ValueError):
        text = None
    if text is not None:
        attempts.append(lambda: FUNCTION.validate_json(text))
    for block in validated(attempts):
        # A record that validated must also work as a record.
        block.input_operands()
        e.get_input_datasets(block)
        assert FUNCTION.validate_python(block.model_dump()) == block


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(anything)
def test_random_data_only_gives_ordinary_errors(data):
    _validate_everywhere(data)


VALID = {
    "type": "select",
    "input": ds("a"),
    "output": ds("o"),
    "condition": {
        "type": "or",
        "conditions": [
            {"type": "time_of_day", "from_time": "08:00", "to_time": "20:00"},
            {"type": "not", "condition": {"type": "day_of_week", "days": [6, 7]}},
        ],
    },
}
INVALID = [
    {
        "type": "multiply",
        "left": ds("a", unit="kW"),
        "right": ds("b", unit="kW"),
        "output": ds("o"),
    },
    {"type": "clip", "input": ds("a"), "output": ds("o")},
    {
        "type": "lookup",
        "tier_selector": ds("a"),
        "levels": [1, 2],
        "boundaries": [1, 0],
        "unit": "SEK",
        "output": ds("o", unit="SEK"),
    },
    {
        "type": "select",
        "input": ds("a", "daily"),
        "output": ds("o", "daily"),
        "condition": {"type": "time_of_day", "from_time": "08:00", "to_time": "20:00"},
    },
]


def _round(n):
    for _ in range(n):
        FUNCTION.validate_python(VALID).input_operands()
        for bad in INVALID:
            try:
                FUNCTION.validate_python(bad)
            except ValidationError:
                pass
            else:
                pytest.fail("invalid record accepted")


def _rss_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource

    return pages * resource.getpagesize() // 1024


def test_repeated_validation_does_not_leak():
    _round(500)  # warm caches (schema, interned strings, hypothesis-free)
    gc.collect()
    rss_before = _rss_kib()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    _round(10_000)
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename"))
    # One leaked small object per validation would be > 2 MB over 50,000 validations.
    assert grown < 256 * 1024, grown
    # AddressSanitizer keeps freed memory in quarantine, so the process grows regardless.
    if not os.environ.get("OSTREL_SANITIZE"):
        assert _rss_kib() - rss_before < 16 * 1024
