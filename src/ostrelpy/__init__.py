"""Tariff engine: the cost of energy under real grid tariffs.

The engine itself is native (``ostrelpy.bindings``); this package adds the API client, the
public records and the command-line main job around it.
"""

__version__ = "0.1.0"
