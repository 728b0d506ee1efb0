"""LogicBindings: argument rules, the tariff cache, active components and input datasets."""

import asyncio
import types

import pydantic
import pytest
from conftest import (
    CONSUMPTION,
    SE_TARIFF,
    arun,
    dataset_dict,
    make_tariff,
    quarter_hours,
    rate_component,
    stockholm,
    utc,
)

from ostrelpy import models
from ostrelpy.bindings import _engine, logic

START, END = stockholm(2025, 1, 1), stockholm(2025, 1, 2)


def test_construction_makes_a_client_from_the_key(api):
    facade = logic.LogicBindings("secret")
    assert api.calls == [("init", "secret")]
    assert logic.LogicBindings(api_key="other") is not None
    assert not [a for a in dir(facade) if not a.startswith("_") and a not in _PUBLIC]


_PUBLIC = {"get_input_datasets", "calculate_cost", "add_to_highs_model", "add_to_gurobi_model"}


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: logic.LogicBindings(), "__init__() takes exactly 1 positional argument (0 given)"),
        (
            lambda: logic.LogicBindings(1),
            "Argument 'api_key' has incorrect type (expected str, got int)",
        ),
        (
            lambda: logic.LogicBindings(Text("k")),
            "Argument 'api_key' has incorrect type (expected str, got Text)",
        ),
    ],
)
def test_constructor_arguments(api, call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda f: f.calculate_cost(1, START, END, {}, 5),
            "calculate_cost() takes exactly 4 positional arguments (5 given)",
        ),
        (
            lambda f: f.get_input_datasets(1, START),
            "get_input_datasets() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda f: f._get_active_components(1, START, END),
            "_get_active_components() needs keyword-only argument use_cache",
        ),
        (
            lambda f: f._fetch_holidays((), START, END, use_cache=True),
            "Argument 'components' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda f: f.calculate_cost(1, START, END, data={}, cache=True),
            "calculate_cost() got an unexpected keyword argument 'cache'",
        ),
        (
            lambda f: f.get_input_datasets(1, START, END, tariff_id=2),
            "get_input_datasets() got multiple values for keyword argument 'tariff_id'",
        ),
    ],
)
def test_argument_rules_give_the_host_messages_at_call_time(facade, api, call, message):
    with pytest.raises(TypeError) as e:
        call(facade)
    assert str(e.value) == message
    assert api.count("get_tariff") == 0


def test_positional_arguments_may_be_passed_by_keyword(facade):
    result = arun(facade.get_input_datasets(end_time=END, start_time=START, tariff_id=SE_TARIFF))
    assert [d.id for d in result] == ["consumption"]
    assert arun(facade._fetch_holidays([], START, END, use_cache=0)) == []


def test_the_cache_serves_and_a_fetch_without_it_refreshes_it(facade, api):
    arun(facade._get_active_components(SE_TARIFF, START, END, use_cache=True))
    first = logic._TARIFF_CACHE.get(SE_TARIFF)
    assert isinstance(first, models.Tariff) and api.count("get_tariff") == 1
    arun(facade._get_active_components(SE_TARIFF, START, END, use_cache=True))
    assert api.count("get_tariff") == 1
    arun(facade._get_active_components(SE_TARIFF, START, END, use_cache=False))
    assert api.count("get_tariff") == 2
    assert logic._TARIFF_CACHE.get(SE_TARIFF) is not first  # overwritten by the new fetch
    other = logic.LogicBindings("another key")  # the cache is module-wide
    arun(other._get_active_components(SE_TARIFF, START, END, use_cache=True))
    assert api.count("get_tariff") == 2


def test_the_cache_key_is_the_id_as_given(facade, api):
    arun(facade._get_active_components(str(SE_TARIFF), START, END, use_cache=True))
    arun(facade._get_active_components(SE_TARIFF, START, END, use_cache=True))
    assert api.count("get_tariff") == 2


def test_active_components_are_fresh_engine_components_in_order(facade, api):
    tariff = make_tariff(
        rate_component(1.0, name="a", applicable_to=START),  # ends as the period starts
        rate_component(2.0, name="b", applicable_from=START),
        rate_component(3.0, name="c", applicable_from=END),  # starts as it ends
        rate_component(4.0, name="d"),
    )
    api.tariffs[tariff.id] = tariff
    first = arun(facade._get_active_components(tariff.id, START, END, use_cache=True))
    again = arun(facade._get_active_components(tariff.id, START, END, use_cache=True))
    assert [c.name for c in first] == ["b", "d"]
    assert all(isinstance(c, _engine.TariffComponent) for c in first)
    assert {c.id for c in first}.isdisjoint(c.id for c in again)


def test_an_invalid_inactive_component_fails_the_call(facade, api):
    broken = rate_component(1.0, applicable_to=stockholm(2020, 1, 1))
    broken.functions[0]["left"] = dataset_dict("unknown")
    tariff = make_tariff(rate_component(1.0), broken)
    api.tariffs[tariff.id] = tariff
    with pytest.raises(pydantic.ValidationError, match="references unknown input 'unknown'"):
        arun(facade.get_input_datasets(tariff.id, START, END))


def test_input_datasets_once_each_sorted_by_id(facade, api):
    other = rate_component(1.0)
    other.datasets = [dataset_dict("b_meter")]
    other.functions[0]["left"] = dataset_dict("b_meter")
    tariff = make_tariff(rate_component(1.0), other, rate_component(2.0))
    api.tariffs[tariff.id] = tariff
    got = arun(facade.get_input_datasets(tariff.id, START, END))
    assert [d.id for d in got] == ["b_meter", "consumption"]
    assert all(type(d) is models.Dataset for d in got)


def test_no_active_component_means_empty_results_and_no_holidays(facade, api):
    tariff = make_tariff(rate_component(1.0, applicable_from=stockholm(2030, 1, 1)))
    api.tariffs[tariff.id] = tariff
    assert arun(facade.get_input_datasets(tariff.id, START, END)) == []
    assert arun(facade.calculate_cost(tariff.id, START, END, {})) == []
    assert api.count("list_holidays") == 0


def test_data_keys_are_all_converted_and_missing_inputs_raise_key_error(facade, api):
    tariff = make_tariff(rate_component(1.0))
    api.tariffs[tariff.id] = tariff
    series = quarter_hours(START, END)
    unused = models.Dataset(id="spot", resolution="hourly", unit="SEK_per_kWh")
    costs = arun(facade.calculate_cost(tariff.id, START, END, {CONSUMPTION: series, unused: {}}))
    assert len(costs) == 1
    bad = models.Dataset.model_construct(id="spot", resolution="hourly", unit="parsecs")
    with pytest.raises(pydantic.ValidationError):
        arun(facade.calculate_cost(tariff.id, START, END, {CONSUMPTION: series, bad: {}}))
    with pytest.raises(KeyError) as e:
        arun(facade.calculate_cost(tariff.id, START, END, {unused: {}}))
    assert e.value.args == (_engine.Dataset(**dataset_dict()),)


def test_components_sharing_a_dataset_are_evaluated_alone(facade, api):
    tariff = make_tariff(
        rate_component(1.0, name="one"),
        rate_component(2.0, name="two", applicable_from=utc(2030, 1, 1)),
        rate_component(3.0, name="three", tz="UTC"),
    )
    api.tariffs[tariff.id] = tariff
    data = {CONSUMPTION: quarter_hours(START, END, lambda i, t: float(i))}
    one, three = arun(facade.calculate_cost(tariff.id, START, END, data))
    assert [one.component.name, three.component.name] == ["one", "three"]
    assert three.costs == {k: 3.0 * v for k, v in one.costs.items()}
    assert one.total() == sum(range(96))


def test_api_errors_pass_unchanged_and_leave_the_caches_as_they_were(facade, api):
    api.error = LookupError("no such tariff")
    with pytest.raises(LookupError, match="no such tariff"):
        arun(facade.calculate_cost(SE_TARIFF, START, END, {}))
    assert logic._TARIFF_CACHE._store == {} and logic._HOLIDAY_CACHE._store == {}


@pytest.mark.parametrize(
    "answer",
    [
        {"tariff_components": []},
        "a tariff",
        types.SimpleNamespace(tariff_components=[types.SimpleNamespace(id="no component")]),
    ],
    ids=["dict", "str", "invalid-component"],
)
def test_an_answer_that_does_not_convert_is_not_cached(facade, api, answer):
    api.tariffs[SE_TARIFF] = answer
    with pytest.raises((AttributeError, pydantic.ValidationError)):
        arun(facade.get_input_datasets(SE_TARIFF, START, END))
    assert logic._TARIFF_CACHE._store == {}
    del api.tariffs[SE_TARIFF]  # the service answers properly again: so does the facade
    assert arun(facade.get_input_datasets(SE_TARIFF, START, END))
    assert api.count("get_tariff") == 2


def test_a_holiday_fetch_that_fails_or_is_cancelled_caches_no_holidays(facade, api):
    data = {CONSUMPTION: quarter_hours(START, END)}
    arun(facade._get_active_components(SE_TARIFF, START, END, use_cache=True))
    tariffs_before = dict(logic._TARIFF_CACHE._store)

    async def cancelled():
        api.gate = asyncio.Event()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(facade.calculate_cost(SE_TARIFF, START, END, data), 0.01)

    arun(cancelled())
    assert api.cancelled == ["list_holidays"]
    api.gate, api.error = None, RuntimeError("holiday service down")
    with pytest.raises(RuntimeError, match="holiday service down"):
        arun(facade.calculate_cost(SE_TARIFF, START, END, data))
    assert logic._TARIFF_CACHE._store == tariffs_before
    assert logic._HOLIDAY_CACHE._store == {}


def test_an_expired_entry_is_fetched_again(facade, api, monkeypatch):
    clock = [0.0]
    cache = logic.ExpiryCache(3600.0, lambda: clock[0])
    monkeypatch.setattr(logic, "_TARIFF_CACHE", cache)
    arun(facade.get_input_datasets(SE_TARIFF, START, END))
    clock[0] = 3600.0
    arun(facade.get_input_datasets(SE_TARIFF, START, END))
    assert api.count("get_tariff") == 1
    clock[0] = 3600.5
    arun(facade.get_input_datasets(SE_TARIFF, START, END))
    assert api.count("get_tariff") == 2
    assert cache._store[SE_TARIFF][1] == 3600.5


def test_concurrent_misses_all_fetch_and_later_calls_hit(facade, api):
    async def main():
        api.gate = asyncio.Event()
        calls = [facade.get_input_datasets(SE_TARIFF, START, END) for _ in range(3)]
        tasks = [asyncio.ensure_future(c) for c in calls]
        await asyncio.sleep(0)
        api.gate.set()
        return await asyncio.gather(*tasks)

    assert len(arun(main())) == 3
    assert api.count("get_tariff") == 3  # nothing is locked: each miss fetches and stores
    api.gate = None
    arun(facade.get_input_datasets(SE_TARIFF, START, END))
    assert api.count("get_tariff") == 3


@pytest.mark.parametrize(
    "start, end, name",
    [
        (utc(2025, 1, 1), utc(2500, 1, 1), "end_time"),
        (utc(1600, 1, 1), utc(1600, 1, 2), "start_time"),
        (utc(1, 1, 1), utc(9999, 12, 31), "start_time"),
        (stockholm(2261, 12, 31), stockholm(2262, 1, 2), "end_time"),
    ],
)
def test_a_request_beyond_the_engine_s_instants_is_refused_before_any_fetch(
    facade, api, start, end, name
):
    value = end if name == "end_time" else start
    for call in (
        facade.get_input_datasets(SE_TARIFF, start, end),
        facade.calculate_cost(SE_TARIFF, start, end, {}),
    ):
        with pytest.raises(ValueError) as err:
            arun(call)
        assert str(err.value) == (
            f"{name} {value!r} is outside the periods the engine can price "
            "(1678-01-01 to 2262-01-01 UTC)"
        )
    assert api.count("get_tariff") == 0 and logic._TARIFF_CACHE._store == {}
