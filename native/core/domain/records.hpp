#pragma once
// The engine's validated records as data: each record's name, `type` tag, description and
// fields (annotation, shape, constraints, description, examples) in the order its schema
// publishes them. The bindings build the host's records from these declarations and attach
// the native validators and methods; whatever else names a record reads it from here.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ostrel::core::domain {

struct FieldDeclaration {
  // As is, a list, a sequence, or optional with default None.
  enum class Shape { One, List, Sequence, Optional };
  std::string_view name;
  // An engine record, enumeration or annotation, a host type (datetime, date, time, UUID) or a
  // builtin (str, int, float); with `forward`, a name that exists only once every record does.
  std::string_view type;
  Shape shape = Shape::One;
  std::string_view description = {};
  std::size_t min_length = 0;  // lists and sequences; 0 for none
  std::vector<std::string_view> examples = {};
  std::optional<std::int64_t> greater_than = {}, at_most = {};  // integers
  bool forward = false;
};

// Names and tags are string literals, so their data() may be passed where text is expected.
struct RecordDeclaration {
  std::string_view name;
  std::string_view tag = {};  // the `type` literal, which is also its default; empty for none
  std::string_view doc;
  std::vector<FieldDeclaration> fields;  // after `type`
  bool frozen = false;                   // immutable and hashable
  bool finite = false;                   // floats refuse infinities and NaN
};

// The plain records.
extern const RecordDeclaration kDatasetRecord;
extern const RecordDeclaration kRangeRecord;
extern const RecordDeclaration kLevelRecord;
extern const RecordDeclaration kHolidayOccurrenceRecord;
extern const RecordDeclaration kTariffComponentRecord;

// The time conditions in the order of the TimeCondition union, then the value conditions;
// the Condition union holds all of them in this order.
std::span<const RecordDeclaration> condition_records();
inline constexpr std::size_t kTimeConditionCount = 7;

}  // namespace ostrel::core::domain
