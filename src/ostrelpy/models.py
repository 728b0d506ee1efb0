"""Public records of the package, as the API service delivers them.

These mirror the engine's records by attribute name; the facade converts them field by field.
Function descriptions stay plain data here: the engine validates them into its blocks.
"""

from __future__ import annotations

import datetime as dt
import enum
import uuid
from typing import Annotated, Any

from pydantic import BaseModel, BeforeValidator, ConfigDict, Field


class Dataset(BaseModel):
    """A time series identity: id, resolution and unit (plain strings)."""

    model_config = ConfigDict(frozen=True)

    id: str
    resolution: str
    unit: str


class Holiday(str, enum.Enum):
    """Holiday identifiers as the holiday source uses them."""

    NO_FORSTE_NYTTARSDAG = "no/forste_nyttarsdag"
    NO_SKJARTORSDAG = "no/skjartorsdag"
    NO_LANGFREDAG = "no/langfredag"
    NO_FORSTE_PASKEDAG = "no/forste_paskedag"
    NO_ANDRE_PASKEDAG = "no/andre_paskedag"
    NO_ARBEIDERNES_DAG = "no/arbeidernes_dag"
    NO_KRISTI_HIMMELFARTSDAG = "no/kristi_himmelfartsdag"
    NO_GRUNNLOVSDAG = "no/grunnlovsdag"
    NO_FORSTE_PINSEDAG = "no/forste_pinsedag"
    NO_ANDRE_PINSEDAG = "no/andre_pinsedag"
    NO_FORSTE_JULEDAG = "no/forste_juledag"
    NO_ANDRE_JULEDAG = "no/andre_juledag"
    SE_NYARSDAGEN = "se/nyarsdagen"
    SE_TRETTONDAGSAFTON = "se/trettondagsafton"
    SE_TRETTONDEDAG_JUL = "se/trettondedag_jul"
    SE_SKARTORSDAGEN = "se/skartorsdagen"
    SE_LANGFREDAGEN = "se/langfredagen"
    SE_PASKAFTON = "se/paskafton"
    SE_PASKDAGEN = "se/paskdagen"
    SE_ANNANDAG_PASK = "se/annandag_pask"
    SE_FORSTA_MAJ = "se/forsta_maj"
    SE_KRISTI_HIMMELSFARD = "se/kristi_himmelsfard"
    SE_PINGSTAFTON = "se/pingstafton"
    SE_NATIONALDAGEN = "se/nationaldagen"
    SE_MIDSOMMARAFTON = "se/midsommarafton"
    SE_ALLHELGONAAFTON = "se/allhelgonaafton"
    SE_JULAFTON = "se/julafton"
    SE_JULDAGEN = "se/juldagen"
    SE_ANNANDAG_JUL = "se/annandag_jul"
    SE_NYARSAFTON = "se/nyarsafton"


class HolidayOccurrence(BaseModel):
    """One dated holiday in the time zone of its country."""

    model_config = ConfigDict(frozen=True)

    date: dt.date
    holiday: Holiday
    timezone: str


def _plain_function(value: Any) -> Any:
    """A validated block record (as the engine gives it back) becomes its plain description."""
    dump = getattr(value, "model_dump", None)
    return dump(mode="json") if callable(dump) else value


# One pipeline step as plain data, e.g. {"type": "multiply", "left": ..., "output": ...}.
FunctionDescription = Annotated[dict[str, Any], BeforeValidator(_plain_function)]


class TariffComponent(BaseModel):
    """One priced part of a tariff; `functions` are plain block descriptions."""

    id: uuid.UUID
    name: str
    applicable_from: dt.datetime | None = None
    applicable_to: dt.datetime | None = None
    timezone: str
    datasets: list[Dataset]
    functions: list[FunctionDescription] = Field(min_length=1)
    cost: Dataset


class Tariff(BaseModel):
    """A grid or tax tariff: an ordered list of components."""

    id: uuid.UUID
    name: str
    description: str | None = None
    tariff_components: list[TariffComponent]
