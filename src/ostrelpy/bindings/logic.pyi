from typing import TypeVar

from ostrelpy.api_client import APIClient as APIClient
from ostrelpy.bindings.expiry_cache import ExpiryCache as ExpiryCache
from ostrelpy.component_cost import ComponentCost as ComponentCost
from ostrelpy.models import Dataset as Dataset
from ostrelpy.models import Holiday as Holiday
from ostrelpy.models import HolidayOccurrence as HolidayOccurrence
from ostrelpy.models import Tariff as Tariff
from ostrelpy.models import TariffComponent as TariffComponent

Variable = TypeVar("Variable")

class LogicBindings:
    """
    The tariff engine's facade: costs, input datasets and solver formulations of a tariff fetched by id.
    """

    def __init__(self, api_key: str) -> None: ...
    def get_input_datasets(self, tariff_id, start_time, end_time, *, use_cache=True):
        """
        Coroutine: the public datasets the tariff's active components need, by id.
        """

    def calculate_cost(self, tariff_id, start_time, end_time, data, *, use_cache=True):
        """Coroutine: a ComponentCost per active component, in component order."""

    def add_to_highs_model(
        self,
        tariff_id,
        start_time,
        end_time,
        data,
        variables,
        model,
        *,
        minimising_cost=True,
        use_cache=True,
    ):
        """
        Coroutine: the tariff's cost compiled into a highspy.Highs model; a ComponentCost per active component (solver variables where the cost depends on them).
        """

    def add_to_gurobi_model(
        self,
        tariff_id,
        start_time,
        end_time,
        data,
        variables,
        model,
        *,
        minimising_cost=True,
        use_cache=True,
    ):
        """
        Coroutine: the tariff's cost compiled into a Gurobi model; a ComponentCost per active component (solver variables where the cost depends on them).
        """
