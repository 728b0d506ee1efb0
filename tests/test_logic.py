from pydantic import TypeAdapter

from ostrelpy import api_client, component_cost, models
from ostrelpy.bindings import _engine, logic
from ostrelpy.bindings.expiry_cache import ExpiryCache


def test_module_state_is_shared_and_fixed():
    assert logic.domain is _engine
    assert logic._CACHE_TTL_SECONDS == 3600.0
    for cache in (logic._TARIFF_CACHE, logic._HOLIDAY_CACHE):
        assert isinstance(cache, ExpiryCache) and cache._ttl_seconds == 3600.0
    assert logic._TARIFF_CACHE is not logic._HOLIDAY_CACHE
    assert isinstance(logic._FUNCTION_ADAPTER, TypeAdapter)
    assert logic.Variable.__name__ == "Variable" and logic.ApiKey is str
    assert logic.APIClient is api_client.APIClient
    assert logic.ComponentCost is component_cost.ComponentCost
    assert logic.TariffComponent is models.TariffComponent


def test_function_adapter_reads_public_descriptions():
    block = logic._FUNCTION_ADAPTER.validate_python(
        {
            "type": "constant",
            "value": {"value": 10.5, "unit": "SEK"},
            "resolution": "daily",
            "output": {"id": "cost", "resolution": "daily", "unit": "SEK"},
        }
    )
    assert isinstance(block, _engine.Constant) and block.value.value == 10.5
