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

nb::object bounded_int(long lo, long hi, const char* description) {
  return annotated(
      builtin("int"),
      field(
          kw({{"ge", nb::int_(lo)}, {"le", nb::int_(hi)}, {"description", nb::str(description)}})));
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

  declared(m, cd::kHolidayOccurrenceRecord).build();
}

// The native validators and methods of a condition record, by its name.
void attach(ModelBuilder& b, std::string_view name) {
  if (name == "MonthCondition") {
    b.after_validator("_sort", validator<sort_field<kMonths>>("_sort"));
  } else if (name == "DayOfWeekCondition") {
    b.after_validator("_sort", validator<sort_field<kDays>>("_sort"));
  } else if (name == "TimeOfDayCondition") {
    b.after_validator("_from_ne_to", validator<from_ne_to>("_from_ne_to"));
  } else if (name == "ExcludeHolidaysCondition") {
    b.attr("collect_from",
           builtin("classmethod")(nb::cpp_function(
               &collect_from, nb::name("collect_from"), nb::arg("cls"), nb::arg("condition"),
               "The set of holidays a time condition names, through and/or/not.")));
  } else if (name == "AndCondition" || name == "OrCondition" || name == "NotCondition") {
    b.after_validator("_check_nesting", validator<check_nesting>("_check_nesting"));
  }
}

void make_conditions(nb::module_& m) {
  m.attr("MonthInt") = bounded_int(1, 12, "Month number (1=January, 12=December)");
  m.attr("DayOfWeekInt") = bounded_int(1, 7, "Day of week (1=Monday, 7=Sunday, ISO 8601)");
  for (const cd::RecordDeclaration& decl : cd::condition_records()) {
    ModelBuilder b = declared(m, decl);
    attach(b, decl.name);
    b.build();
  }
}

// The union of the first `n` condition records, told apart by their `type`.
nb::object discriminated(nb::module_& m, std::size_t n) {
  std::vector<nb::object> members;
  for (const cd::RecordDeclaration& decl : cd::condition_records().first(n))
    members.push_back(m.attr(decl.name.data()));
  return annotated(union_of(members), field(kw({{"discriminator", nb::str("type")}})));
}

}  // namespace

bool is_time_condition(nb::handle condition) {
  for (const cd::RecordDeclaration& decl : cd::condition_records().first(cd::kTimeConditionCount))
    if (is_instance(condition, decl.name.data())) return true;
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
  make_conditions(m);
  nb::object time_condition = discriminated(m, cd::kTimeConditionCount);
  m.attr("TimeCondition") = time_condition;
  nb::dict names;
  names["TimeCondition"] = time_condition;
  for (const char* n : {"AndCondition", "OrCondition", "NotCondition"}) rebuild(m.attr(n), names);
  m.attr("Condition") = discriminated(m, cd::condition_records().size());
  m.def(
      "min_condition_resolution",
      [](nb::handle condition) { return resolution_member(min_condition_resolution(condition)); },
      nb::arg("condition"),
      "The coarsest resolution at which a time condition is still constant within each period.");
}

}  // namespace ostrel::bindings::engine
