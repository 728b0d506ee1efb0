import time
from typing import Generic

import pytest

from ostrelpy.bindings.expiry_cache import ExpiryCache


class FakeClock:
    def __init__(self, now=0.0):
        self.now = now
        self.reads = 0

    def __call__(self):
        self.reads += 1
        return self.now


def test_entry_served_up_to_its_lifetime_then_dropped():
    clock = FakeClock()
    cache = ExpiryCache(10.0, clock)
    cache.put("k", "v")
    clock.now = 10.0
    assert cache.get("k") == "v"
    clock.now = 10.5
    assert cache.get("k") is None
    assert "k" not in cache._store
    clock.now = 5.0  # the clock moved back: the entry is gone for good
    assert cache.get("k") is None


def test_second_put_restarts_the_age():
    clock = FakeClock()
    cache = ExpiryCache(10, now=clock)
    cache.put("k", 1)
    clock.now = 8.0
    cache.put("k", 2)
    clock.now = 17.0
    assert cache.get("k") == 2
    assert cache._store["k"] == (2, 8.0)


def test_miss_does_not_read_the_clock():
    clock = FakeClock()
    cache = ExpiryCache(1.0, clock)
    assert cache.get("never") is None
    assert clock.reads == 0


def test_zero_lifetime_serves_only_while_the_clock_stands_still():
    clock = FakeClock(3.0)
    cache = ExpiryCache(0, clock)
    cache.put(("a", 1), "v")
    assert cache.get(("a", 1)) == "v"
    clock.now = 3.000001
    assert cache.get(("a", 1)) is None


def test_clear_and_attributes():
    cache = ExpiryCache(ttl_seconds=3600)
    assert isinstance(cache._ttl_seconds, float) and cache._ttl_seconds == 3600.0
    assert cache._now is time.monotonic
    cache.clear()
    cache.put(frozenset({1}), None)
    assert cache.get(frozenset({1})) is None  # a stored None reads as a miss
    cache.clear()
    assert cache._store == {}


def test_bad_arguments():
    with pytest.raises(TypeError):
        ExpiryCache("ten")
    cache = ExpiryCache(1.0)
    with pytest.raises(TypeError):
        cache.put(["unhashable"], 1)
    with pytest.raises(TypeError):
        cache.get([])
    with pytest.raises(TypeError):
        cache.get()
    with pytest.raises(TypeError):
        cache.put("k")


def test_generic_over_key_and_value():
    assert issubclass(ExpiryCache, Generic)
    assert ExpiryCache[str, int] is not None
