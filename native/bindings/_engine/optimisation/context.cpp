// ExecutionContext: the state of one pipeline run (timeline, next free solver column, every
// named series so far, the compiled blocks), and the dispatch of one step to compute or
// compile.
#include "core/optimisation/context.hpp"

#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"
#include "core/pipeline/runner.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

struct ContextRecord {
  nb::object timeline;
  int64_t next_available_col = 0;
  nb::object all_series;
  nb::object function_blocks;
  bool assume_convex = false;
};

// The context holds host containers that may refer back to it.
int context_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  auto* c = nb::inst_ptr<ContextRecord>(self);
  Py_VISIT(c->timeline.ptr());
  Py_VISIT(c->all_series.ptr());
  Py_VISIT(c->function_blocks.ptr());
  return 0;
}

int context_clear(PyObject* self) {
  auto* c = nb::inst_ptr<ContextRecord>(self);
  c->timeline.reset();
  c->all_series.reset();
  c->function_blocks.reset();
  return 0;
}

PyType_Slot context_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(context_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(context_clear)},
                               {0, nullptr}};

void check_columns(const ContextRecord& c) {
  nb::object items = c.all_series.attr("items")();
  for (nb::handle item : items) {
    const VariableSeriesRecord* v = as_variables(item[1]);
    if (!v || v->data->size() == 0) continue;
    const int64_t largest = v->data->next_col() - 1;
    if (c.next_available_col <= largest)
      core::optimisation::check_next_column(c.next_available_col,
                                            nb::cast<std::string>(nb::str(item[0])), largest);
  }
}

// The counter from the caller: from 0 up to 2**62, like run_pipeline's.
int64_t column_of(int64_t col) {
  if (col < 0 || col > core::pipeline::kMaxColumn)
    core::pipeline::column_range_error(std::to_string(col));
  return col;
}

// A counter set on a live context is checked as at construction: the next compile would
// otherwise reuse columns its variables already have.
void set_next_available_col(ContextRecord& c, int64_t value) {
  ContextRecord probe{c.timeline, column_of(value), c.all_series, c.function_blocks,
                      c.assume_convex};
  check_columns(probe);
  c.next_available_col = probe.next_available_col;
}

void construct(ContextRecord* self, nb::handle timeline, int64_t next_available_col,
               nb::handle all_series, nb::handle function_blocks, bool assume_convex) {
  ContextRecord c{nb::borrow(timeline), column_of(next_available_col),
                  all_series.is_none() ? nb::dict() : nb::borrow(all_series),
                  function_blocks.is_none() ? nb::list() : nb::borrow(function_blocks),
                  assume_convex};
  check_columns(c);
  new (self) ContextRecord(std::move(c));
}

void register_block(ContextRecord& c, nb::handle output_id, nb::handle block) {
  if (!PyUnicode_Check(output_id.ptr()))
    core::optimisation::output_id_type_error(bindings::type_name(output_id));
  if (!nb::isinstance(block, engine::attr("FunctionBlock")))
    core::optimisation::block_type_error(bindings::type_name(block));
  c.function_blocks.attr("append")(block);
  c.all_series[output_id] = block.attr("output");
  const int64_t next = nb::cast<int64_t>(block.attr("next_available_col"));
  c.next_available_col = std::max(c.next_available_col, next);
}

// A pandas Series (not a subclass, whose rename may do more) with no other strong reference:
// nobody else holds it. Every operand is also held by the operand map and by all_series, so
// it never passes. Weak references do not count: pandas keeps one to every series from the
// series' own flags.
bool fresh_series(nb::handle obj) {
  return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(host::series_type().ptr()) &&
         Py_REFCNT(obj.ptr()) == 1;
}

nb::object execute_function(const ContextRecord& c, nb::handle fn) {
  nb::handle level_type = engine::attr("Level");
  nb::dict operands;
  bool has_variables = false;
  nb::object named = fn.attr("input_operands")();
  for (nb::handle item : named.attr("items")()) {
    nb::handle name = item[0], operand = item[1];
    if (operand.is_none()) continue;  // the block's own default applies
    nb::object value;
    if (nb::isinstance(operand, level_type)) {
      value = operand.attr("value");
    } else {
      nb::object id = operand.attr("id");
      PyObject* found = PyObject_GetItem(c.all_series.ptr(), id.ptr());
      if (!found) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
          PyErr_Clear();
          raise_key_error(id);
        }
        throw nb::python_error();
      }
      value = nb::steal(found);
    }
    has_variables |= as_variables(value) != nullptr;
    operands[name] = value;
  }
  if (!has_variables) {
    nb::object result = fn.attr("compute")(*nb::make_tuple(c.timeline), **operands);
    nb::object id = fn.attr("output").attr("id");
    // A plain series that only this call holds is named in place. Anything held elsewhere
    // (one of the inputs handed back, a series the block keeps) becomes a renamed copy, so
    // that its holders still see their own name.
    if (fresh_series(result)) {
      convert::rename_series(result, id);
      return result;
    }
    if (nb::hasattr(result, "rename")) return result.attr("rename")(id);
    result.attr("name") = id;
    return result;
  }
  return fn.attr("compile")(*nb::make_tuple(c.timeline, c.next_available_col, c.assume_convex),
                            **operands);
}

bool context_equal(const ContextRecord& a, const ContextRecord& b) {
  return value_equal(a.timeline, b.timeline) && a.next_available_col == b.next_available_col &&
         value_equal(a.all_series, b.all_series) &&
         value_equal(a.function_blocks, b.function_blocks) && a.assume_convex == b.assume_convex;
}

}  // namespace

void register_function_block(nb::handle ctx, nb::handle output_id, nb::handle block) {
  register_block(nb::cast<ContextRecord&>(ctx), output_id, block);
}

void init_context(nb::module_& m) {
  nb::class_<ContextRecord> c(m, "ExecutionContext", nb::type_slots(context_slots),
                              "The state of one pipeline run.");
  c.def("__init__", &construct, nb::arg("timeline").none(), nb::arg("next_available_col"),
        nb::arg("all_series").none() = nb::none(), nb::arg("function_blocks").none() = nb::none(),
        nb::arg("assume_convex") = false);
  c.def_rw("timeline", &ContextRecord::timeline, nb::for_setter(nb::arg("value").none()));
  c.def_prop_rw(
      "next_available_col", [](const ContextRecord& r) { return r.next_available_col; },
      &set_next_available_col);
  c.def_rw("all_series", &ContextRecord::all_series);
  c.def_rw("function_blocks", &ContextRecord::function_blocks);
  c.def_rw("assume_convex", &ContextRecord::assume_convex);
  c.def("execute_function", &execute_function, nb::arg("fn"));
  c.def("register_function_block", &register_block, nb::arg("output_id"), nb::arg("block"));
  c.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
    return nb::bool_(
        context_equal(nb::cast<const ContextRecord&>(self), nb::cast<const ContextRecord&>(other)));
  });
  c.attr("__hash__") = nb::none();
  c.def("__repr__", [](nb::handle self) {
    const auto& r = nb::cast<const ContextRecord&>(self);
    nb::object next = nb::int_(r.next_available_col);
    nb::object convex = nb::bool_(r.assume_convex);
    return record_repr(self, {{"timeline", r.timeline},
                              {"next_available_col", next},
                              {"all_series", r.all_series},
                              {"function_blocks", r.function_blocks},
                              {"assume_convex", convex}});
  });
}

}  // namespace ostrel::bindings::engine::optim
