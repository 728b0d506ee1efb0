#include "core/domain/records.hpp"

#include <array>

namespace ostrel::core::domain {

using Shape = FieldDeclaration::Shape;

const RecordDeclaration kDatasetRecord{
    .name = "Dataset",
    .doc = "The identity of a time series: id, resolution and unit.",
    .fields = {{.name = "id",
                .type = "str",
                .description = "Identifier for this dataset. For registered datasets this is a "
                               "globally unique slug; for intermediate pipeline results it is a "
                               "local reference name."},
               {.name = "resolution",
                .type = "Resolution",
                .description = "Temporal resolution of the timeseries."},
               {.name = "unit", .type = "Unit", .description = "Unit of the timeseries."}},
    .frozen = true};

namespace {

FieldDeclaration optional_float(std::string_view name, std::string_view description) {
  return {.name = name, .type = "float", .shape = Shape::Optional, .description = description};
}

}  // namespace

const RecordDeclaration kRangeRecord{
    .name = "Range",
    .doc = "A bounded interval of levels in one unit.",
    .fields = {optional_float("minimum", "Minimum level, if any."),
               optional_float("maximum", "Maximum level, if any."),
               {.name = "unit", .type = "Unit", .description = "Unit of the level."}}};

// A price that is no number would bill as 0 or infinity: refused where it is written.
const RecordDeclaration kLevelRecord{
    .name = "Level",
    .doc = "A constant value with a unit.",
    .fields = {{.name = "value", .type = "float", .description = "The level value."},
               {.name = "unit",
                .type = "Unit",
                .description = "Unit the value is expressed in (one of Unit's values)."}},
    .finite = true};

const RecordDeclaration kHolidayOccurrenceRecord{.name = "HolidayOccurrence",
                                                 .doc = "One dated occurrence of a holiday.",
                                                 .fields = {{.name = "date", .type = "date"},
                                                            {.name = "holiday", .type = "Holiday"},
                                                            {.name = "timezone", .type = "str"}},
                                                 .frozen = true};

const RecordDeclaration kTariffComponentRecord{
    .name = "TariffComponent",
    .doc = "One priced part of a tariff: a validated pipeline of function blocks over datasets.",
    .fields = {
        {.name = "id",
         .type = "UUID",
         .description = "Unique identifier for this tariff component."},
        {.name = "name",
         .type = "str",
         .description =
             "Name of the tariff component as given by the system operator or government.",
         .examples = {"Energiskatt", "Överföringsavgift", "Effektavgift", "Abonnemangsavgift",
                      "Nätnytta", "Överuttagsavgift"}},
        {.name = "applicable_from",
         .type = "datetime",
         .shape = Shape::Optional,
         .description = "ISO 8601 formatted datetime from when the tariff component becomes "
                        "applicable, if any. If `null` or not included, applicable immediately.",
         .examples = {"2025-01-01T00:00:00+01:00"}},
        {.name = "applicable_to",
         .type = "datetime",
         .shape = Shape::Optional,
         .description = "ISO 8601 formatted datetime at which the tariff component ceases to be "
                        "applicable (excl.). If `null` or not included, applicable until further "
                        "notice.",
         .examples = {"2026-01-01T00:00:00+01:00"}},
        {.name = "timezone",
         .type = "Timezone",
         .description = "Timezone in which time-dependent operations (filtering, grouping) are "
                        "evaluated. Typically local time, but can also be a fixed UTC offset.",
         .examples = {"Europe/Stockholm", "UTC+01:00"}},
        {.name = "datasets",
         .type = "Dataset",
         .shape = Shape::List,
         .description = "Input datasets, each bound to a unique id."},
        {.name = "functions",
         .type = "Function",
         .shape = Shape::Sequence,
         .description = "Ordered functions. Each step produces a named output.",
         .min_length = 1},
        {.name = "cost",
         .type = "Dataset",
         .description = "The pipeline's monetary cost output. Must match a function output or "
                        "input dataset."}}};

namespace {

// Sub-conditions of a compound condition: TimeCondition exists once every condition does.
FieldDeclaration sub_conditions(std::string_view description) {
  return {.name = "conditions",
          .type = "TimeCondition",
          .shape = Shape::Sequence,
          .description = description,
          .min_length = 1,
          .forward = true};
}

// `n` is bounded so that the engine's integer arithmetic holds it.
RecordDeclaration value_condition(std::string_view name, std::string_view tag, std::string_view doc,
                                  std::string_view n_description,
                                  std::string_view period_description) {
  return {
      .name = name,
      .tag = tag,
      .doc = doc,
      .fields = {{.name = "n",
                  .type = "int",
                  .description = n_description,
                  .greater_than = 0,
                  .at_most = 2147483647},
                 {.name = "resolution", .type = "Resolution", .description = period_description}}};
}

}  // namespace

std::span<const RecordDeclaration> condition_records() {
  static const std::array<RecordDeclaration, kTimeConditionCount + 2> records{{
      {.name = "MonthCondition",
       .tag = "month",
       .doc = "Holds in the listed local months.",
       .fields = {{.name = "months", .type = "MonthInt", .shape = Shape::List, .min_length = 1}}},
      {.name = "DayOfWeekCondition",
       .tag = "day_of_week",
       .doc = "Holds on the listed ISO weekdays.",
       .fields = {{.name = "days", .type = "DayOfWeekInt", .shape = Shape::List, .min_length = 1}}},
      {.name = "TimeOfDayCondition",
       .tag = "time_of_day",
       .doc = "Holds from from_time (inclusive) to to_time (exclusive), local time; a from_time "
              "after to_time wraps past midnight.",
       .fields = {{.name = "from_time",
                   .type = "time",
                   .description = "Start of the time period (inclusive)."},
                  {.name = "to_time",
                   .type = "time",
                   .description = "End of the time period (exclusive)."}}},
      {.name = "ExcludeHolidaysCondition",
       .tag = "exclude_holidays",
       .doc = "Holds on every local day that is none of the listed holidays.",
       .fields = {{.name = "holidays",
                   .type = "Holiday",
                   .shape = Shape::List,
                   .description = "One or more holidays",
                   .min_length = 1}}},
      {.name = "AndCondition",
       .tag = "and",
       .doc = "Holds where every sub-condition holds.",
       .fields = {sub_conditions("Sub-conditions to be ANDed together")}},
      {.name = "OrCondition",
       .tag = "or",
       .doc = "Holds where any sub-condition holds.",
       .fields = {sub_conditions("Sub-conditions to be ORed together")}},
      {.name = "NotCondition",
       .tag = "not",
       .doc = "Holds where the sub-condition does not.",
       .fields = {{.name = "condition",
                   .type = "TimeCondition",
                   .description = "Sub-condition to be inversed",
                   .forward = true}}},
      value_condition("HighestCondition", "highest", "Keeps the n highest values of each period.",
                      "Number of top values to keep per period.",
                      "Period over which to select the N highest values."),
      value_condition("LowestCondition", "lowest", "Keeps the n lowest values of each period.",
                      "Number of bottom values to keep per period.",
                      "Period over which to select the N lowest values."),
  }};
  return records;
}

}  // namespace ostrel::core::domain
