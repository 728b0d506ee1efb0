from typing import TypeVar

from ostrelpy.api_client import APIClient as APIClient
from ostrelpy.bindings.expiry_cache import ExpiryCache as ExpiryCache
from ostrelpy.component_cost import ComponentCost as ComponentCost
from ostrelpy.models import (
    Dataset as Dataset,
)
from ostrelpy.models import (
    Holiday as Holiday,
)
from ostrelpy.models import (
    HolidayOccurrence as HolidayOccurrence,
)
from ostrelpy.models import (
    Tariff as Tariff,
)
from ostrelpy.models import (
    TariffComponent as TariffComponent,
)

Variable = TypeVar("Variable")
