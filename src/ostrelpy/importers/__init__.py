"""Published tariff formats into the package's public `Tariff` records.

`urdb` reads a rate of the US utility rate database, `se` the Swedish grid-tariff API's
tariffs and `no` the Norwegian grid-tariff API's answers. Each is a pure function of the
parsed document: it returns an `Imported` (the tariffs and a report) or raises a
`TariffImportError` whose lines name the rate or tariff and the field concerned. Every
component is validated by the engine before it is returned.
"""

from __future__ import annotations

from ostrelpy.importers._build import Imported, TariffImportError
from ostrelpy.importers.no import no
from ostrelpy.importers.se import se
from ostrelpy.importers.urdb import urdb

__all__ = ["Imported", "TariffImportError", "no", "se", "urdb"]
