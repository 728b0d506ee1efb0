"""The native coroutines of LogicBindings under the host's coroutine protocol and asyncio."""

import asyncio
import collections.abc
import gc
import weakref

import pytest
from conftest import SE_TARIFF, arun, make_tariff, rate_component, stockholm

from ostrelpy.bindings import logic

START, END = stockholm(2025, 1, 1), stockholm(2025, 2, 1)


class Token:
    """An awaitable that yields a marker and returns what is sent back; records what it saw."""

    def __init__(self, recover=None):
        self.recover = recover
        self.seen = []

    def __await__(self):
        try:
            sent = yield "token"
        except GeneratorExit:
            self.seen.append("closed")
            raise
        except KeyError as e:
            self.seen.append(e)
            if self.recover is None:
                raise
            return self.recover
        return sent


@pytest.fixture
def token_api(api, monkeypatch):
    """get_tariff awaits a fresh Token, exposed as api.token."""

    async def get_tariff(self, tariff_id):
        api.token = Token(recover=api.recover)
        api.calls.append(("get_tariff", tariff_id))
        return await api.token

    api.recover = None
    monkeypatch.setattr(api.Client, "get_tariff", get_tariff)
    return api


def test_calls_return_native_coroutines_that_run_only_when_awaited(facade, api):
    coro = facade.get_input_datasets(SE_TARIFF, START, END)
    assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
    assert "LogicBindings.get_input_datasets" in repr(coro)
    assert coro.__qualname__ == "LogicBindings.get_input_datasets"
    assert coro.__name__ == "get_input_datasets"
    assert api.count("get_tariff") == 0
    assert [d.id for d in arun(coro)] == ["consumption"]
    assert api.count("get_tariff") == 1


def test_send_passes_values_through_and_stop_iteration_carries_the_result(facade, token_api):
    tariff = make_tariff(rate_component(0.5), rate_component(0.25))
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    with pytest.raises(TypeError, match="non-None value to a just-started"):
        coro.send(1)
    assert coro.send(None) == "token"
    assert coro.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        coro.send(tariff)
    assert [c.name for c in stop.value.value] == ["Energy", "Energy"]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@pytest.mark.parametrize("form", ["instance", "three", "class"])
def test_throw_is_forwarded_to_the_awaited_iterator(facade, token_api, form):
    token_api.recover = make_tariff(rate_component(0.5))
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=False)
    assert next(coro) == "token"
    error = KeyError("gone")
    with pytest.raises(StopIteration) as stop:
        if form == "instance":
            coro.throw(error)
        elif form == "three":
            coro.throw(KeyError, error, None)
        else:
            coro.throw(KeyError, "gone")
    (seen,) = token_api.token.seen
    assert type(seen) is KeyError and seen.args == ("gone",)
    assert form == "class" or seen is error
    assert len(stop.value.value) == 1


def test_an_exception_the_iterator_does_not_handle_leaves_the_coroutine(facade, token_api):
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    coro.send(None)
    with pytest.raises(KeyError, match="gone"):
        coro.throw(KeyError("gone"))
    with pytest.raises(RuntimeError):
        coro.send(None)
    assert logic._TARIFF_CACHE.get(SE_TARIFF) is None


def test_throw_before_start_and_after_the_end(facade, token_api):
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    with pytest.raises(ValueError, match="early"):
        coro.throw(ValueError("early"))
    assert token_api.count("get_tariff") == 0
    with pytest.raises(ValueError, match="late"):
        coro.throw(ValueError("late"))
    with pytest.raises(TypeError):
        coro.throw(42)


def test_close_closes_the_awaited_iterator(facade, token_api):
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    coro.send(None)
    assert coro.close() is None
    assert token_api.token.seen == ["closed"]
    assert coro.close() is None
    with pytest.raises(RuntimeError):
        coro.send(None)
    fresh = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    fresh.close()  # never started: nothing to close, nothing fetched
    assert token_api.count("get_tariff") == 1


def test_await_gather_and_nested_native_coroutines(facade, api):
    async def main():
        api.gate = asyncio.Event()
        tasks = [
            asyncio.ensure_future(facade.get_input_datasets(SE_TARIFF, START, END, use_cache=False))
            for _ in range(5)
        ]
        await asyncio.sleep(0)
        assert api.count("get_tariff") == 5  # all suspended inside the client at once
        api.gate.set()
        direct = await facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
        return await asyncio.gather(*tasks), direct

    results, direct = arun(main())
    assert [[d.id for d in r] for r in results] == [["consumption"]] * 5
    assert len(direct) == 4


def test_cancellation_reaches_the_client_and_caches_nothing(facade, api):
    async def main():
        api.gate = asyncio.Event()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(facade.get_input_datasets(SE_TARIFF, START, END), 0.01)

    arun(main())
    assert api.cancelled == ["get_tariff"]
    assert logic._TARIFF_CACHE.get(SE_TARIFF) is None and logic._TARIFF_CACHE._store == {}


def test_a_suspended_coroutine_in_a_reference_cycle_is_collected(facade, token_api):
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    coro.send(None)
    token = token_api.token
    token.owner = coro  # coroutine -> awaited iterator -> token -> coroutine
    alive = weakref.ref(token)
    del coro, token
    token_api.token = None
    gc.collect()
    assert alive() is None


class PlainAwaitable:
    """An awaitable whose iterator is a plain one: no send, throw or close of its own."""

    def __await__(self):
        return iter(["plain"])


def test_throw_into_an_iterator_without_throw_raises_in_the_coroutine(facade, api, monkeypatch):
    def get_tariff(self, tariff_id):
        return PlainAwaitable()  # awaited directly: its iterator is the one delegated to

    monkeypatch.setattr(api.Client, "get_tariff", get_tariff)
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    assert coro.send(None) == "plain"
    with pytest.raises(LookupError, match="thrown"):
        coro.throw(LookupError("thrown"))


def test_throwing_generator_exit_closes_the_awaited_iterator(facade, token_api):
    coro = facade._get_active_components(SE_TARIFF, START, END, use_cache=True)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert token_api.token.seen == ["closed"]
