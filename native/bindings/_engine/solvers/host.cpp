// The solver libraries' names the adapters call, looked up once.
#include <nanobind/nanobind.h>

#include "bindings/_engine/solvers/solvers.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {
PyObject* leak(nb::object o) { return o.release().ptr(); }
}  // namespace

const HighsHost& highs_host() {
  static HighsHost* host = nullptr;
  if (!host) {
    nb::module_ hs = nb::module_::import_("highspy");
    HighsHost h;
    h.highs_var = leak(nb::module_::import_("highspy.highs").attr("highs_var"));
    h.k_ok = leak(hs.attr("HighsStatus").attr("kOk"));
    h.k_inf = nb::cast<double>(hs.attr("kHighsInf"));
    h.k_integer = nb::cast<uint8_t>(nb::int_(hs.attr("HighsVarType").attr("kInteger")));
    host = new HighsHost(h);
  }
  return *host;
}

const GurobiHost& gurobi_host() {
  static GurobiHost* host = nullptr;
  if (!host) {
    nb::module_ gp = nb::module_::import_("gurobipy");
    nb::object grb = gp.attr("GRB");
    GurobiHost g;
    g.mvar = leak(gp.attr("MVar"));
    g.integer = leak(grb.attr("INTEGER"));
    g.continuous = leak(grb.attr("CONTINUOUS"));
    g.equal = leak(grb.attr("EQUAL"));
    g.less_equal = leak(grb.attr("LESS_EQUAL"));
    g.infinity = nb::cast<double>(grb.attr("INFINITY"));
    host = new GurobiHost(g);
  }
  return *host;
}

}  // namespace ostrel::bindings::engine::solvers
