// Dataset, the Operand union and Range.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/records.hpp"
#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::bindings::engine {

using namespace records;

namespace {

void make_dataset(nb::module_& m) {
  ModelBuilder b = declared(m, core::domain::kDatasetRecord);
  // The hash of the (id, resolution, unit) triple, so that a dataset keys a dict like the
  // triple of its plain values does.
  b.attr("__hash__", method("__hash__", [](nb::handle self) {
           nb::tuple key =
               nb::make_tuple(self.attr("id"), self.attr("resolution"), self.attr("unit"));
           return static_cast<Py_ssize_t>(nb::hash(key));
         }));
  b.build();
}

nb::object validate_range(nb::handle self) {
  nb::object lo = self.attr("minimum"), hi = self.attr("maximum");
  if (!lo.is_none() && !hi.is_none()) {
    const double a = nb::cast<double>(lo), z = nb::cast<double>(hi);
    core::domain::check_range(a, z);
  }
  return nb::borrow(self);
}

void make_range(nb::module_& m) {
  ModelBuilder b = declared(m, core::domain::kRangeRecord);
  b.after_validator("validate_range", validator<validate_range>("validate_range"));
  b.build();
}

}  // namespace

void init_datasets(nb::module_& m) {
  make_dataset(m);
  m.attr("Operand") = union_of({m.attr("Level"), m.attr("Dataset")});
  make_range(m);
}

}  // namespace ostrel::bindings::engine
