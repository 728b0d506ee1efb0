import datetime
import enum
import types
import uuid
from collections.abc import Sequence
from types import MappingProxyType
from typing import Literal, TypeAlias

import numpy
from numpy.typing import NDArray

import ostrelpy.bindings._schema

class Unit(enum.StrEnum):
    """Physical or monetary unit of a series or level."""

    def is_amount(self) -> bool:
        """True for quantities that add up over time: currencies, kWh and hours."""

    def is_rate(self) -> bool:
        """
        True for intensive quantities that keep their value when an interval is split.
        """

    A = "A"
    """Physical or monetary unit of a series or level."""

    KV = "kV"
    """Physical or monetary unit of a series or level."""

    KW = "kW"
    """Physical or monetary unit of a series or level."""

    KWH = "kWh"
    """Physical or monetary unit of a series or level."""

    HOURS = "hours"
    """Physical or monetary unit of a series or level."""

    SEK = "SEK"
    """Physical or monetary unit of a series or level."""

    NOK = "NOK"
    """Physical or monetary unit of a series or level."""

    EUR = "EUR"
    """Physical or monetary unit of a series or level."""

    SEK_PER_KWH = "SEK_per_kWh"
    """Physical or monetary unit of a series or level."""

    SEK_PER_KW = "SEK_per_kW"
    """Physical or monetary unit of a series or level."""

    NOK_PER_KWH = "NOK_per_kWh"
    """Physical or monetary unit of a series or level."""

    NOK_PER_KW = "NOK_per_kW"
    """Physical or monetary unit of a series or level."""

    EUR_PER_KWH = "EUR_per_kWh"
    """Physical or monetary unit of a series or level."""

    EUR_PER_KW = "EUR_per_kW"
    """Physical or monetary unit of a series or level."""

    PERCENT = "%"
    """Physical or monetary unit of a series or level."""

    def __str__(self, /):
        """Return str(self)."""

class Resolution(enum.StrEnum):
    """Temporal resolution of a series, ordered from fine to coarse."""

    def __lt__(self, other: object | None) -> bool: ...
    def __le__(self, other: object | None) -> bool: ...
    def __gt__(self, other: object | None) -> bool: ...
    def __ge__(self, other: object | None) -> bool: ...
    def __hash__(self) -> int: ...
    def as_relativedelta(self) -> object:
        """The calendar step of one period as a relativedelta."""

    QUARTER_HOURLY = "quarter_hourly"
    """Temporal resolution of a series, ordered from fine to coarse."""

    HOURLY = "hourly"
    """Temporal resolution of a series, ordered from fine to coarse."""

    DAILY = "daily"
    """Temporal resolution of a series, ordered from fine to coarse."""

    WEEKLY = "weekly"
    """Temporal resolution of a series, ordered from fine to coarse."""

    MONTHLY = "monthly"
    """Temporal resolution of a series, ordered from fine to coarse."""

    YEARLY = "yearly"
    """Temporal resolution of a series, ordered from fine to coarse."""

    def __str__(self, /):
        """Return str(self)."""

CURRENCIES: frozenset = ...

CURRENCY_UNITS: MappingProxyType[str, tuple]

EnergyRateUnit: TypeAlias = Literal[Unit.SEK_PER_KWH, Unit.NOK_PER_KWH, Unit.EUR_PER_KWH]

PowerRateUnit: TypeAlias = Literal[Unit.SEK_PER_KW, Unit.NOK_PER_KW, Unit.EUR_PER_KW]

RATE_UNITS: frozenset = ...

class Level(ostrelpy.bindings._schema.BaseModel):
    """A constant value with a unit."""

    value: float
    unit: Unit

    def __str__(self) -> str: ...

def timezone_from_str(timezone: object) -> object:
    """
    The time zone of an IANA name ("Europe/Stockholm") or a fixed offset ("UTC+01:00").
    """

class Holiday(enum.StrEnum):
    """A public holiday, identified as in the holiday source."""

    NO_FORSTE_NYTTARSDAG = "no/forste_nyttarsdag"
    """A public holiday, identified as in the holiday source."""

    NO_SKJARTORSDAG = "no/skjartorsdag"
    """A public holiday, identified as in the holiday source."""

    NO_LANGFREDAG = "no/langfredag"
    """A public holiday, identified as in the holiday source."""

    NO_FORSTE_PASKEDAG = "no/forste_paskedag"
    """A public holiday, identified as in the holiday source."""

    NO_ANDRE_PASKEDAG = "no/andre_paskedag"
    """A public holiday, identified as in the holiday source."""

    NO_ARBEIDERNES_DAG = "no/arbeidernes_dag"
    """A public holiday, identified as in the holiday source."""

    NO_KRISTI_HIMMELFARTSDAG = "no/kristi_himmelfartsdag"
    """A public holiday, identified as in the holiday source."""

    NO_GRUNNLOVSDAG = "no/grunnlovsdag"
    """A public holiday, identified as in the holiday source."""

    NO_FORSTE_PINSEDAG = "no/forste_pinsedag"
    """A public holiday, identified as in the holiday source."""

    NO_ANDRE_PINSEDAG = "no/andre_pinsedag"
    """A public holiday, identified as in the holiday source."""

    NO_FORSTE_JULEDAG = "no/forste_juledag"
    """A public holiday, identified as in the holiday source."""

    NO_ANDRE_JULEDAG = "no/andre_juledag"
    """A public holiday, identified as in the holiday source."""

    SE_NYARSDAGEN = "se/nyarsdagen"
    """A public holiday, identified as in the holiday source."""

    SE_TRETTONDAGSAFTON = "se/trettondagsafton"
    """A public holiday, identified as in the holiday source."""

    SE_TRETTONDEDAG_JUL = "se/trettondedag_jul"
    """A public holiday, identified as in the holiday source."""

    SE_SKARTORSDAGEN = "se/skartorsdagen"
    """A public holiday, identified as in the holiday source."""

    SE_LANGFREDAGEN = "se/langfredagen"
    """A public holiday, identified as in the holiday source."""

    SE_PASKAFTON = "se/paskafton"
    """A public holiday, identified as in the holiday source."""

    SE_PASKDAGEN = "se/paskdagen"
    """A public holiday, identified as in the holiday source."""

    SE_ANNANDAG_PASK = "se/annandag_pask"
    """A public holiday, identified as in the holiday source."""

    SE_FORSTA_MAJ = "se/forsta_maj"
    """A public holiday, identified as in the holiday source."""

    SE_KRISTI_HIMMELSFARD = "se/kristi_himmelsfard"
    """A public holiday, identified as in the holiday source."""

    SE_PINGSTAFTON = "se/pingstafton"
    """A public holiday, identified as in the holiday source."""

    SE_NATIONALDAGEN = "se/nationaldagen"
    """A public holiday, identified as in the holiday source."""

    SE_MIDSOMMARAFTON = "se/midsommarafton"
    """A public holiday, identified as in the holiday source."""

    SE_ALLHELGONAAFTON = "se/allhelgonaafton"
    """A public holiday, identified as in the holiday source."""

    SE_JULAFTON = "se/julafton"
    """A public holiday, identified as in the holiday source."""

    SE_JULDAGEN = "se/juldagen"
    """A public holiday, identified as in the holiday source."""

    SE_ANNANDAG_JUL = "se/annandag_jul"
    """A public holiday, identified as in the holiday source."""

    SE_NYARSAFTON = "se/nyarsafton"
    """A public holiday, identified as in the holiday source."""

    def __str__(self, /):
        """Return str(self)."""

class HolidayOccurrence(ostrelpy.bindings._schema.BaseModel):
    """One dated occurrence of a holiday."""

    date: datetime.date
    holiday: Holiday
    timezone: str

MonthInt: TypeAlias = int

DayOfWeekInt: TypeAlias = int

class MonthCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds in the listed local months."""

    type: Literal["month"]
    months: list[int]

class DayOfWeekCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds on the listed ISO weekdays."""

    type: Literal["day_of_week"]
    days: list[int]

class TimeOfDayCondition(ostrelpy.bindings._schema.BaseModel):
    """
    Holds from from_time (inclusive) to to_time (exclusive), local time; a from_time after to_time wraps past midnight.
    """

    type: Literal["time_of_day"]
    from_time: datetime.time
    to_time: datetime.time

class ExcludeHolidaysCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds on every local day that is none of the listed holidays."""

    type: Literal["exclude_holidays"]
    holidays: list[Holiday]

    @classmethod
    def collect_from(cls, condition: object) -> set:
        """The set of holidays a time condition names, through and/or/not."""

class AndCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds where every sub-condition holds."""

    type: Literal["and"]
    conditions: Sequence[TimeCondition]

class OrCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds where any sub-condition holds."""

    type: Literal["or"]
    conditions: Sequence[TimeCondition]

class NotCondition(ostrelpy.bindings._schema.BaseModel):
    """Holds where the sub-condition does not."""

    type: Literal["not"]
    condition: TimeCondition

class HighestCondition(ostrelpy.bindings._schema.BaseModel):
    """Keeps the n highest values of each period."""

    type: Literal["highest"]
    n: int
    resolution: Resolution

class LowestCondition(ostrelpy.bindings._schema.BaseModel):
    """Keeps the n lowest values of each period."""

    type: Literal["lowest"]
    n: int
    resolution: Resolution

TimeCondition: TypeAlias = (
    MonthCondition
    | DayOfWeekCondition
    | TimeOfDayCondition
    | ExcludeHolidaysCondition
    | AndCondition
    | OrCondition
    | NotCondition
)

Condition: TypeAlias = (
    MonthCondition
    | DayOfWeekCondition
    | TimeOfDayCondition
    | ExcludeHolidaysCondition
    | AndCondition
    | OrCondition
    | NotCondition
    | HighestCondition
    | LowestCondition
)

def min_condition_resolution(condition: object) -> object:
    """
    The coarsest resolution at which a time condition is still constant within each period.
    """

class Dataset(ostrelpy.bindings._schema.BaseModel):
    """The identity of a time series: id, resolution and unit."""

    id: str
    resolution: Resolution
    unit: Unit

    def __hash__(self) -> int: ...

Operand: TypeAlias = Level | Dataset

class Range(ostrelpy.bindings._schema.BaseModel):
    """A bounded interval of levels in one unit."""

    minimum: float | None
    maximum: float | None
    unit: Unit

    validate_range: types.MethodDescriptorType = ...

def get_datasets(items: object) -> set:
    """The set of the Dataset instances among items; constants are skipped."""

def assert_resolutions_match(items: object) -> None:
    """AssertionError unless the datasets among items share one resolution."""

def assert_units_match(items: object) -> None:
    """AssertionError unless all items share one unit."""

def get_input_datasets(function: object) -> set:
    """The set of the Dataset operands of a function block."""

def is_value_condition(condition: object) -> bool:
    """
    True for the n-highest and n-lowest conditions, which look at values, not at time.
    """

class Constant(ostrelpy.bindings._schema.BaseModel):
    """A constant level repeated over every period of a resolution."""

    type: Literal["constant"]
    value: Level
    resolution: Resolution
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline):
        """
        compute(timeline): the level's value at every period start of the resolution.
        """

class Add(ostrelpy.bindings._schema.BaseModel):
    """The element-wise sum of two or more operands."""

    type: Literal["add"]
    inputs: list[Level | Dataset]
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, **operands):
        """
        compute(timeline, **operands): the operands summed left to right, paired by label.
        """

class Subtract(ostrelpy.bindings._schema.BaseModel):
    """The element-wise difference left - right."""

    type: Literal["subtract"]
    left: Level | Dataset
    right: Level | Dataset
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, left, right):
        """
        compute(timeline, *, left, right): the element-wise result, paired by label.
        """

class Divide(ostrelpy.bindings._schema.BaseModel):
    """The element-wise quotient of a series by an operand."""

    type: Literal["divide"]
    numerator: Dataset
    denominator: Level | Dataset
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, numerator, denominator):
        """
        compute(timeline, *, numerator, denominator): the element-wise result, paired by label.
        """

class Multiply(ostrelpy.bindings._schema.BaseModel):
    """The element-wise product left * right."""

    type: Literal["multiply"]
    left: Level | Dataset
    right: Level | Dataset
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, left, right):
        """
        compute(timeline, *, left, right): the element-wise result, paired by label.
        """

class Aggregate(ostrelpy.bindings._schema.BaseModel):
    """Reduces a series to a coarser resolution, period by period."""

    type: Literal["aggregate"]
    input: Dataset
    resolution: Resolution
    aggregation_function: Aggregate.AggregationFunction
    output: Dataset

    class AggregationFunction(enum.StrEnum):
        """The reduction applied to the values of each period."""

        SUM = "sum"
        """The reduction applied to the values of each period."""

        MEAN = "mean"
        """The reduction applied to the values of each period."""

        MAX = "max"
        """The reduction applied to the values of each period."""

        MIN = "min"
        """The reduction applied to the values of each period."""

        def __str__(self, /):
            """Return str(self)."""

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, input):
        """
        compute(timeline, *, input): one reduced value per period, on the period starts.
        """

class Resample(ostrelpy.bindings._schema.BaseModel):
    """
    Spreads a series onto a finer resolution: rates repeat, amounts split by duration.
    """

    type: Literal["resample"]
    input: Dataset
    resolution: Resolution
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, input):
        """
        compute(timeline, *, input): the input carried onto the finer periods; amounts are split in proportion to duration.
        """

class Select(ostrelpy.bindings._schema.BaseModel):
    """Keeps the values where a condition holds; the others become missing."""

    type: Literal["select"]
    input: Dataset
    condition: (
        MonthCondition
        | DayOfWeekCondition
        | TimeOfDayCondition
        | ExcludeHolidaysCondition
        | AndCondition
        | OrCondition
        | NotCondition
        | HighestCondition
        | LowestCondition
    )
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, input):
        """
        compute(timeline, *, input): the input where the condition holds, missing elsewhere.
        """

class Mask(ostrelpy.bindings._schema.BaseModel):
    """Replaces the present values where a time condition holds."""

    type: Literal["mask"]
    input: Dataset
    condition: (
        MonthCondition
        | DayOfWeekCondition
        | TimeOfDayCondition
        | ExcludeHolidaysCondition
        | AndCondition
        | OrCondition
        | NotCondition
    )
    replacement: Level | Dataset
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, input, replacement):
        """
        compute(timeline, *, input, replacement): present values replaced where the condition holds; missing values stay missing.
        """

class Clip(ostrelpy.bindings._schema.BaseModel):
    """Bounds a series from below and/or above."""

    type: Literal["clip"]
    input: Dataset
    minimum: Level | Dataset | None
    maximum: Level | Dataset | None
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, input, minimum=None, maximum=None):
        """
        compute(timeline, *, input, minimum=None, maximum=None): the input bounded.
        """

class Lookup(ostrelpy.bindings._schema.BaseModel):
    """Maps a selector series through ascending tier boundaries onto levels."""

    type: Literal["lookup"]
    tier_selector: Dataset
    levels: list[float]
    boundaries: list[float]
    unit: Unit
    output: Dataset

    def input_operands(self) -> dict:
        """The block's operands by keyword name, in order."""

    def compute(self, timeline, *, tier_selector):
        """
        compute(timeline, *, tier_selector): the level of the tier each selector value falls in; a value equal to a boundary belongs to the tier above it.
        """

Function: TypeAlias = (
    Constant
    | Add
    | Subtract
    | Divide
    | Multiply
    | Aggregate
    | Resample
    | Select
    | Mask
    | Clip
    | Lookup
)

Timezone: TypeAlias = str

class TariffComponent(ostrelpy.bindings._schema.BaseModel):
    """
    One priced part of a tariff: a validated pipeline of function blocks over datasets.
    """

    id: uuid.UUID
    name: str
    applicable_from: datetime.datetime | None
    applicable_to: datetime.datetime | None
    timezone: str
    datasets: list[Dataset]
    functions: Sequence[
        Constant
        | Add
        | Subtract
        | Divide
        | Multiply
        | Aggregate
        | Resample
        | Select
        | Mask
        | Clip
        | Lookup
    ]
    cost: Dataset

    def collect_holidays(self) -> list:
        """The distinct holidays named by the select and mask conditions, sorted."""

    def is_active_in_period(self, start_time: object, end_time: object) -> bool:
        """Whether the validity window overlaps [start_time, end_time)."""

class Timeline:
    """The quarter-hourly UTC grid of one evaluation with its local calendar."""

    def __init__(self, _accessors: object | None, holidays: object | None) -> None: ...
    @staticmethod
    def build(*args, **kwargs) -> object:
        """
        build(*, tz, start_time, end_time, holidays): the grid from start_time (inclusive) to end_time (exclusive) with its accessors in tz.
        """

    @staticmethod
    def calculate_accessors(timeseries: object | None, local_tz: object | None) -> object:
        """The accessor table of a UTC-aware instant index in the zone local_tz."""

    @property
    def holidays(self) -> object: ...
    def get_as(self, resolution: object | None) -> object:
        """
        The first grid instant of every period of the resolution, in timeline order.
        """

    def align_dataset(self, series: object | None, resolution: object | None) -> object:
        """The series' values at the period starts, 0.0 where it has none."""

    def group_index(self, index: object | None, resolution: object | None) -> object: ...
    def group_values(self, series: object | None, resolution: object | None) -> object: ...
    def group_by(
        self, series: object | None, resolution: object | None, agg_func: object | None
    ) -> object:
        """
        One value per period: agg_func of the grouped values, labelled by period start.
        """

    def build_condition_mask(self, series: object | None, condition: object | None) -> object: ...
    def get_condition_mask(self, index: object | None, condition: object | None) -> object: ...
    def match_time_condition(self, condition: object | None) -> object: ...

def build_timeline(*args, **kwargs) -> object:
    """
    build_timeline(components, inputs, holidays, *, start_time=None, end_time=None)
    The timeline of the components' zone over the window of the inputs or the given one.
    """

BoolArray: TypeAlias = NDArray[numpy.bool]

Float64Array: TypeAlias = NDArray[numpy.float64]

Int64Array: TypeAlias = NDArray[numpy.int64]

Int32Array: TypeAlias = NDArray[numpy.int32]

def ensure_1d(arg: object, /) -> None: ...
def ensure_bool(arg: object, /) -> object: ...
def ensure_float64(arg: object, /) -> object: ...
def ensure_int64(arg: object, /) -> object: ...
def to_bool(arg: object, /) -> object: ...
def to_float64(arg: object, /) -> object: ...
def to_int32(arg: object, /) -> object: ...
def to_int64(arg: object, /) -> object: ...
def row_any(arg: object, /) -> object: ...
def row_argmax(arg: object, /) -> object: ...
def row_max(arg: object, /) -> object: ...
def row_min(arg: object, /) -> object: ...
def row_sum(arg: object, /) -> object: ...
def pairwise_max(arg0: object, arg1: object, /) -> object: ...
def pairwise_min(arg0: object, arg1: object, /) -> object: ...
def where(arg0: object, arg1: object, arg2: object, /) -> object: ...
def where_indices(arg: object, /) -> object: ...
def group_count(arg: object, /) -> object: ...
def group_max(arg0: object, arg1: object, /) -> object: ...
def group_min(arg0: object, arg1: object, /) -> object: ...
def get_bounds(arg0: object, arg1: object, /) -> object: ...
def output_is_sum_per_group(*args) -> object: ...
def run_pipeline(components, inputs, /, *, timeline, next_available_col=0, assume_convex=False):
    """
    Executes the components' functions in order into a new execution context.
    """

def run_components(components: object, ctx: object) -> object:
    """
    Executes every function of every component into ctx; the cost series in order.
    """

class VariableSeries:
    """One solver variable per time step."""

    def __init__(
        self, cols: object, lb: object, ub: object, is_integer: object, index: object
    ) -> None: ...
    @property
    def cols(self) -> object: ...
    @property
    def lb(self) -> object: ...
    @property
    def ub(self) -> object: ...
    @property
    def is_integer(self) -> object: ...
    @property
    def index(self) -> object: ...
    def gather(self, indices: object, index: object | None = None) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...
    @classmethod
    def continuous(cls, start_col: int, lb: object, ub: object, index: object) -> object: ...
    @classmethod
    def binary(cls, start_col: int, index: object) -> object: ...

class ConstraintSeries:
    """Linear rows in coordinate form; rows are local."""

    def __init__(self, cols: object, rows: object, coefs: object, rhs: object) -> None: ...
    @property
    def cols(self) -> object: ...
    @property
    def rows(self) -> object: ...
    @property
    def coefs(self) -> object: ...
    @property
    def rhs(self) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...
    @classmethod
    def concatenate(cls, blocks: object) -> object: ...
    @classmethod
    def from_relation(cls, y: object, terms: object, *, rhs: object, sign: float) -> object: ...

class EqualitySeries(ConstraintSeries):
    """Rows sum(coefs x cols) = rhs."""

    def __init__(self, cols: object, rows: object, coefs: object, rhs: object) -> None: ...

class InequalitySeries(ConstraintSeries):
    """Rows sum(coefs x cols) <= rhs."""

    def __init__(self, cols: object, rows: object, coefs: object, rhs: object) -> None: ...

class ConstraintTerm:
    """One addend of a relation: coef x factor."""

    def __init__(self, coef: object, factor: object) -> None: ...
    @property
    def coef(self) -> object: ...
    @property
    def factor(self) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...

class GroupTerm:
    """
    One addend of a per-group sum: coef x variables, grouped by allocation.
    """

    def __init__(self, coef: object, variables: object, allocation: object) -> None: ...
    @property
    def coef(self) -> object: ...
    @property
    def variables(self) -> object: ...
    @property
    def allocation(self) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...

class GroupedValues:
    """Numbers with a group label each."""

    def __init__(self, values: object, allocation: object) -> None: ...
    @property
    def values(self) -> object: ...
    @property
    def allocation(self) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...
    def sum(self) -> object: ...
    def mean(self) -> object: ...
    def min(self) -> object: ...
    def max(self) -> object: ...

class Groups:
    """Variables partitioned into groups."""

    def __init__(self, variables: object, allocation: object, index: object) -> None: ...
    @property
    def variables(self) -> object: ...
    @property
    def allocation(self) -> object: ...
    @property
    def index(self) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...
    def size(self) -> object: ...
    @property
    def lb(self) -> object: ...
    @property
    def ub(self) -> object: ...

def eq(y: object, terms: object, rhs: object = 0.0) -> object: ...
def le(y: object, terms: object, rhs: object = 0.0) -> object: ...
def ge(y: object, terms: object, rhs: object = 0.0) -> object: ...
def le_when(y: object, terms: object, gate: object, when: object) -> object: ...
def ge_when(y: object, terms: object, gate: object, when: object) -> object: ...
def linear_combination(terms: object, start_col: int) -> object: ...
def sum_per_group(terms: object, rhs: object = 0.0) -> object: ...
def broadcast(value: object, n: int) -> object: ...
def gather(x: object | None, indices: object, index: object | None) -> object: ...

class FunctionBlock:
    """The columns and rows of one compiled pipeline step."""

    def __init__(
        self,
        output: object,
        auxiliaries: object = (),
        equalities: object | None = None,
        inequalities: object | None = None,
    ) -> None: ...
    @property
    def output(self) -> object: ...
    @property
    def auxiliaries(self) -> object: ...
    @property
    def equalities(self) -> object: ...
    @property
    def inequalities(self) -> object: ...
    @property
    def next_available_col(self) -> int: ...
    def then(self, next_block: object) -> object: ...
    def __eq__(self, arg: object, /) -> object: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> object: ...

class ExecutionContext:
    """The state of one pipeline run."""

    def __init__(
        self,
        timeline: object | None,
        next_available_col: int,
        all_series: object | None = None,
        function_blocks: object | None = None,
        assume_convex: bool = False,
    ) -> None: ...
    @property
    def timeline(self) -> object: ...
    @timeline.setter
    def timeline(self, value: object | None) -> None: ...
    @property
    def next_available_col(self) -> int: ...
    @next_available_col.setter
    def next_available_col(self, arg: int, /) -> None: ...
    @property
    def all_series(self) -> object: ...
    @all_series.setter
    def all_series(self, arg: object, /) -> None: ...
    @property
    def function_blocks(self) -> object: ...
    @function_blocks.setter
    def function_blocks(self, arg: object, /) -> None: ...
    @property
    def assume_convex(self) -> bool: ...
    @assume_convex.setter
    def assume_convex(self, arg: bool, /) -> None: ...
    def execute_function(self, fn: object) -> object: ...
    def register_function_block(self, output_id: object, block: object) -> None: ...
    def __eq__(self, arg: object, /) -> object: ...

    __hash__: None = None

    def __repr__(self) -> object: ...

def calculate_groups(timeline: object, variables: object, resolution: object) -> object:
    """
    The variables grouped by the periods of a resolution, periods in ascending key order.
    """

class SolverAdapter:
    """The interface of a solver model that receives compiled blocks."""

    def __init__(self) -> None: ...
    def add_blocks(self, blocks: object | None) -> None: ...
    def to_series(self, variables: object | None) -> None: ...
    def to_variables(self, series: object | None) -> None: ...
    def get_next_available_col(self) -> None: ...

class HighsAdapter(SolverAdapter):
    """Adds compiled blocks to a highspy.Highs model."""

    def __init__(self, model: object) -> None: ...
    def add_blocks(self, blocks: object) -> None: ...
    def to_series(self, variables: object) -> object: ...
    def to_variables(self, series: object) -> dict: ...
    def get_next_available_col(self) -> int: ...
    def __repr__(self) -> object: ...

class GurobiAdapter(SolverAdapter):
    """Adds compiled blocks to a gurobipy model."""

    def __init__(self, model: object) -> None: ...
    def add_blocks(self, blocks: object) -> None: ...
    def to_series(self, variables: object) -> object: ...
    def to_variables(self, series: object) -> dict: ...
    def get_next_available_col(self) -> int: ...
    def __repr__(self) -> object: ...
