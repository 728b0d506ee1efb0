// highs_var objects made as its constructor makes them (the index, then a weak proxy of the
// model in `highs`) without running the constructor's Python frame: to_variables makes one per
// cost interval, and the frame costs more than everything else it does. The shortcut is
// checked once against the public constructor and given up for good if the two differ.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings/_engine/solvers/solvers.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

// The attributes highs_var keeps in slots, or null when one is not a plain slot.
struct Slots {
  PyObject* index = nullptr;
  PyObject* highs = nullptr;
};

PyObject* slot_of(nb::handle type, const char* name) {
  PyObject* found =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_dict, name);
  if (!found || Py_TYPE(found) != &PyMemberDescr_Type) return nullptr;
  return found;
}

void set_slot(PyObject* slot, PyObject* obj, PyObject* value) {
  if (Py_TYPE(slot)->tp_descr_set(slot, obj, value) != 0) throw nb::python_error();
}

nb::object allocate(nb::handle type) {
  auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
  nb::object none_args = nb::steal(PyTuple_New(0));
  nb::object obj = nb::steal(t->tp_new(t, none_args.ptr(), nullptr));
  if (!obj.is_valid()) throw nb::python_error();
  return obj;
}

// Every slot of the type and its bases, read from `obj` (an unset slot reads as null).
std::vector<nb::object> slot_values(nb::handle obj) {
  std::vector<nb::object> out;
  for (nb::handle base : nb::borrow<nb::tuple>(Py_TYPE(obj.ptr())->tp_mro)) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(base.ptr())->tp_dict;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      if (Py_TYPE(value) != &PyMemberDescr_Type) continue;
      PyObject* v = Py_TYPE(value)->tp_descr_get(value, obj.ptr(), base.ptr());
      if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
      }
      out.push_back(nb::steal(v));
    }
  }
  return out;
}

bool same_values(const std::vector<nb::object>& a, const std::vector<nb::object>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_valid() != b[i].is_valid()) return false;
    if (a[i].is_valid() && !a[i].is(b[i]) && !a[i].equal(b[i])) return false;
  }
  return true;
}

std::string repr_string(nb::handle o) { return nb::cast<std::string>(nb::repr(o)); }

// What a caller does with a variable: print it, hash it, and build a row from it.
std::vector<std::string> behaviour(nb::handle var) {
  nb::object two = nb::float_(2.0), one = nb::float_(1.0), three = nb::float_(3.0);
  nb::object scaled = nb::steal(PyNumber_Multiply(two.ptr(), var.ptr()));
  if (!scaled.is_valid()) throw nb::python_error();
  nb::object shifted = nb::steal(PyNumber_Subtract(scaled.ptr(), one.ptr()));
  if (!shifted.is_valid()) throw nb::python_error();
  nb::object row = nb::steal(PyObject_RichCompare(shifted.ptr(), three.ptr(), Py_LE));
  if (!row.is_valid()) throw nb::python_error();
  const Py_hash_t hash = PyObject_Hash(var.ptr());
  if (hash == -1 && PyErr_Occurred()) throw nb::python_error();
  return {repr_string(var), std::to_string(hash), repr_string(shifted), repr_string(row)};
}

// Whether a shortcut variable of column `col` of `model` is the constructor's in every
// respect a caller can see; none when the check could not be made (the constructor itself
// fails on this model, say), so that another call may still decide.
std::optional<bool> shortcut_agrees(const Slots& slots, nb::handle type, nb::handle model,
                                    int64_t col) {
  try {
    nb::object made = nb::handle(type)(col, model);
    nb::object proxy = nb::steal(PyWeakref_NewProxy(model.ptr(), nullptr));
    if (!proxy.is_valid()) throw nb::python_error();
    nb::object fast = allocate(type);
    set_slot(slots.index, fast.ptr(), nb::int_(col).ptr());
    set_slot(slots.highs, fast.ptr(), proxy.ptr());
    if (!Py_IS_TYPE(made.ptr(), Py_TYPE(fast.ptr()))) return false;
    if (!made.attr("highs").is(fast.attr("highs"))) return false;
    nb::object no_dict = nb::none();
    if (!nb::getattr(made, "__dict__", no_dict).equal(nb::getattr(fast, "__dict__", no_dict)))
      return false;
    return same_values(slot_values(made), slot_values(fast)) && behaviour(made) == behaviour(fast);
  } catch (nb::python_error&) {
    return std::nullopt;
  }
}

// Decided once for the life of the process: the shortcut (and its slots) or the constructor.
std::optional<bool> use_shortcut;
Slots shortcut_slots;  // borrowed from the type, which lives as long as the process

}  // namespace

HighsVars::HighsVars(nb::handle model) : model_(model), type_(highs_host().highs_var) {}

nb::object HighsVars::operator()(int64_t col) {
  if (!use_shortcut) {
    const Slots slots{slot_of(type_, "index"), slot_of(type_, "highs")};
    if (!slots.index || !slots.highs) {
      use_shortcut = false;
    } else {
      use_shortcut = shortcut_agrees(slots, type_, model_, col);
      if (use_shortcut == true) shortcut_slots = slots;
    }
  }
  if (use_shortcut != true) return nb::handle(type_)(col, model_);
  if (!proxy_.is_valid()) {
    proxy_ = nb::steal(PyWeakref_NewProxy(model_.ptr(), nullptr));
    if (!proxy_.is_valid()) throw nb::python_error();
  }
  nb::object var = allocate(type_);
  set_slot(shortcut_slots.index, var.ptr(), nb::int_(col).ptr());
  set_slot(shortcut_slots.highs, var.ptr(), proxy_.ptr());
  return var;
}

}  // namespace ostrel::bindings::engine::solvers
