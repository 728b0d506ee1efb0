// Time conditions, value conditions, holidays and dated holiday occurrences.
#include "core/domain/conditions.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <set>
#include <string>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/domain/holidays.hpp"

namespace ostrel::bindings::engine {

namespace cd = core::domain;
using namespace records;

namespace {

nb::dict desc(const char* text) { return kw({{"description", nb::str(text)}}); }

nb::object bounded_int(long lo, long hi, const char* description) {
  return annotated(
      builtin("int"),
      field(
          kw({{"ge", nb::int_(lo)}, {"le", nb::int_(hi)}, {"description", nb::str(description)}})));
}

// A record with a `type` tag field that defaults to its tag.
ModelBuilder tagged(nb::module_& m, const char* name, const char* tag, const char* doc) {
  ModelBuilder b(m, name);
  b.doc(doc);
  b.field("type", literal(tag), kw({{"default", nb::str(tag)}}));
  return b;
}

nb::dict at_least_one(const char* description) {
  nb::dict d = kw({{"min_length", nb::int_(1)}});
  if (description) d["description"] = nb::str(description);
  return d;
}

// Stored lists are kept sorted ascending (duplicates kept).
template <const char* Field>
nb::object sort_field(nb::handle self) {
  nb::list values = nb::list(self.attr(Field));
  values.sort();
  nb::setattr(self, Field, values);
  return nb::borrow(self);
}
constexpr char kMonths[] = "months";
constexpr char kDays[] = "days";

nb::object from_ne_to(nb::handle self) {
  cd::check_time_of_day_bounds(!self.attr("from_time").equal(self.attr("to_time")));
  return nb::borrow(self);
}

// A compound condition is read once at validation, so that a tree too deep to evaluate (or one
// made to contain itself) is refused where it is made, not when a tariff is priced.
nb::object check_nesting(nb::handle self) {
  time_condition(self);
  return nb::borrow(self);
}

// The holidays a time condition names, through and/or/not; nothing for any other object.
nb::set collect_from(nb::handle, nb::handle condition) {
  nb::set out;
  if (!is_time_condition(condition)) return out;
  std::set<std::string> ids;
  cd::collect_holidays(time_condition(condition), ids);
  for (nb::handle h : holiday_members({ids.begin(), ids.end()})) out.add(h);
  return out;
}

void make_holidays(nb::module_& m) {
  m.attr("Holiday") =
      string_enum(m, "Holiday", "A public holiday, identified as in the holiday source.",
                  cd::kHolidays)
          .build();

  ModelBuilder o(m, "HolidayOccurrence");
  o.doc("One dated occurrence of a holiday.");
  o.config("frozen", nb::bool_(true));
  o.field("date", host::date_type());
  o.field("holiday", m.attr("Holiday"));
  o.field("timezone", builtin("str"));
  o.build();
}

void make_calendar_conditions(nb::module_& m) {
  nb::object month_int = bounded_int(1, 12, "Month number (1=January, 12=December)");
  nb::object dow_int = bounded_int(1, 7, "Day of week (1=Monday, 7=Sunday, ISO 8601)");
  m.attr("MonthInt") = month_int;
  m.attr("DayOfWeekInt") = dow_int;

  auto month = tagged(m, "MonthCondition", "month", "Holds in the listed local months.");
  month.field("months", list_of(month_int), at_least_one(nullptr));
  month.after_validator("_sort", validator<sort_field<kMonths>>("_sort"));
  month.build();

  auto dow = tagged(m, "DayOfWeekCondition", "day_of_week", "Holds on the listed ISO weekdays.");
  dow.field("days", list_of(dow_int), at_least_one(nullptr));
  dow.after_validator("_sort", validator<sort_field<kDays>>("_sort"));
  dow.build();

  nb::handle time = host::time_type();
  auto tod = tagged(m, "TimeOfDayCondition", "time_of_day",
                    "Holds from from_time (inclusive) to to_time (exclusive), local time; a "
                    "from_time after to_time wraps past midnight.");
  tod.field("from_time", time, desc("Start of the time period (inclusive)."));
  tod.field("to_time", time, desc("End of the time period (exclusive)."));
  tod.after_validator("_from_ne_to", validator<from_ne_to>("_from_ne_to"));
  tod.build();

  auto ex = tagged(m, "ExcludeHolidaysCondition", "exclude_holidays",
                   "Holds on every local day that is none of the listed holidays.");
  ex.field("holidays", list_of(m.attr("Holiday")), at_least_one("One or more holidays"));
  ex.attr("collect_from",
          builtin("classmethod")(nb::cpp_function(
              &collect_from, nb::name("collect_from"), nb::arg("cls"), nb::arg("condition"),
              "The set of holidays a time condition names, through and/or/not.")));
  ex.build();

  nb::object seq = sequence_of(forward_ref("TimeCondition"));
  auto conj = tagged(m, "AndCondition", "and", "Holds where every sub-condition holds.");
  conj.field("conditions", seq, at_least_one("Sub-conditions to be ANDed together"));
  conj.after_validator("_check_nesting", validator<check_nesting>("_check_nesting"));
  conj.build();
  auto disj = tagged(m, "OrCondition", "or", "Holds where any sub-condition holds.");
  disj.field("conditions", seq, at_least_one("Sub-conditions to be ORed together"));
  disj.after_validator("_check_nesting", validator<check_nesting>("_check_nesting"));
  disj.build();
  auto neg = tagged(m, "NotCondition", "not", "Holds where the sub-condition does not.");
  neg.field("condition", forward_ref("TimeCondition"), desc("Sub-condition to be inversed"));
  neg.after_validator("_check_nesting", validator<check_nesting>("_check_nesting"));
  neg.build();
}

void make_value_conditions(nb::module_& m) {
  auto make = [&](const char* name, const char* tag, const char* n_desc, const char* r_desc,
                  const char* doc) {
    auto b = tagged(m, name, tag, doc);
    // Bounded so that the engine's integer arithmetic holds it.
    b.field(
        "n", builtin("int"),
        kw({{"gt", nb::int_(0)}, {"le", nb::int_(2147483647)}, {"description", nb::str(n_desc)}}));
    b.field("resolution", m.attr("Resolution"), desc(r_desc));
    b.build();
  };
  make("HighestCondition", "highest", "Number of top values to keep per period.",
       "Period over which to select the N highest values.",
       "Keeps the n highest values of each period.");
  make("LowestCondition", "lowest", "Number of bottom values to keep per period.",
       "Period over which to select the N lowest values.",
       "Keeps the n lowest values of each period.");
}

nb::object discriminated(nb::module_& m, std::initializer_list<const char*> names) {
  std::vector<nb::object> members;
  for (const char* n : names) members.push_back(m.attr(n));
  return annotated(union_of(members), field(kw({{"discriminator", nb::str("type")}})));
}

constexpr const char* kTimeConditions[] = {
    "MonthCondition", "DayOfWeekCondition", "TimeOfDayCondition", "ExcludeHolidaysCondition",
    "AndCondition",   "OrCondition",        "NotCondition"};

}  // namespace

bool is_time_condition(nb::handle condition) {
  for (const char* name : kTimeConditions)
    if (is_instance(condition, name)) return true;
  return false;
}

cd::Resolution min_condition_resolution(nb::handle condition) {
  if (!is_time_condition(condition))
    cd::not_a_time_condition("min_condition_resolution", Py_TYPE(condition.ptr())->tp_name);
  return cd::min_condition_resolution(time_condition(condition));
}

nb::list holiday_members(const std::vector<std::string>& ids) {
  nb::object holiday = attr("Holiday");
  nb::list out;
  for (const std::string& id : ids) out.append(holiday(nb::str(id.data(), id.size())));
  return out;
}

void init_conditions(nb::module_& m) {
  make_holidays(m);
  make_calendar_conditions(m);
  make_value_conditions(m);
  nb::object time_condition =
      discriminated(m, {"MonthCondition", "DayOfWeekCondition", "TimeOfDayCondition",
                        "ExcludeHolidaysCondition", "AndCondition", "OrCondition", "NotCondition"});
  m.attr("TimeCondition") = time_condition;
  nb::dict names;
  names["TimeCondition"] = time_condition;
  for (const char* n : {"AndCondition", "OrCondition", "NotCondition"}) rebuild(m.attr(n), names);
  m.attr("Condition") = discriminated(
      m, {"MonthCondition", "DayOfWeekCondition", "TimeOfDayCondition", "ExcludeHolidaysCondition",
          "AndCondition", "OrCondition", "NotCondition", "HighestCondition", "LowestCondition"});
  m.def(
      "min_condition_resolution",
      [](nb::handle condition) { return resolution_member(min_condition_resolution(condition)); },
      nb::arg("condition"),
      "The coarsest resolution at which a time condition is still constant within each period.");
}

}  // namespace ostrel::bindings::engine
