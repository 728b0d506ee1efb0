"""The engine's native extension modules: ``_engine``, ``logic``, ``expiry_cache``, ``_schema``."""
