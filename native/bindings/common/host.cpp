#include "bindings/common/host.hpp"

#include <iterator>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/common/errors.hpp"
#include "core/blocks/catalogue.hpp"

namespace ostrel::bindings::host {

namespace {

// Lookups made on first use: a module, or one of its attributes.
enum Lazy {
  kBuiltins,
  kTyping,
  kPydantic,
  kEnumModule,
  kNewClass,
  kMappingProxyType,
  kMonotonic,
  kSysFlags,
  kUuidType,
  kDateType,
  kTimeType,
  kDatetimeType,
  kNdarrayAlias,
  kSchemaBaseModel,
  kUuidModule,
  kCsrArray,
  kLazyCount
};
constexpr std::pair<const char*, const char*> kLazy[kLazyCount] = {
    {"builtins", nullptr},
    {"typing", nullptr},
    {"pydantic", nullptr},
    {"enum", nullptr},
    {"types", "new_class"},
    {"types", "MappingProxyType"},
    {"time", "monotonic"},
    {"sys", "flags"},
    {"uuid", "UUID"},
    {"datetime", "date"},
    {"datetime", "time"},
    {"datetime", "datetime"},
    {"numpy.typing", "NDArray"},
    {"ostrelpy.bindings._schema", "BaseModel"},
    {"uuid", nullptr},
    {"scipy.sparse", "csr_array"}};

struct Types {
  PyObject* numpy = nullptr;
  PyObject* pandas = nullptr;
  PyObject* series = nullptr;
  PyObject* datetime_index = nullptr;
  PyObject* timestamp = nullptr;
  PyObject* dataframe = nullptr;
  PyObject* containers = nullptr;
  PyObject* tz_dtype = nullptr;
  PyObject* utc_ns = nullptr;
  PyObject* array_simple_new = nullptr;
  PyObject* index_simple_new = nullptr;
  PyObject* manager_from_array = nullptr;
  PyObject* series_from_mgr = nullptr;
  PyObject* ndarray = nullptr;
  PyObject* numpy_number = nullptr;
  PyObject* ascontiguousarray = nullptr;
  PyObject* float64 = nullptr;
  PyObject* dtypes[4] = {};
  PyObject* number = nullptr;
  PyObject* zoneinfo = nullptr;
  PyObject* fixed_timezone = nullptr;
  PyObject* timedelta = nullptr;
  PyObject* relativedelta = nullptr;
  PyObject* engine = nullptr;
  // By name: asked for on every run, for each function of a component.
  std::unordered_map<std::string_view, PyObject*> engine_classes;
  PyObject* lazy[kLazyCount] = {};
};

Types& types() {
  static Types* t = new Types();  // never destroyed, like the references it holds
  return *t;
}

PyObject* keep(nb::handle h) { return nb::borrow(h).release().ptr(); }

PyObject* optional_attr(nb::handle owner, const char* name) {
  PyObject* value = PyObject_GetAttrString(owner.ptr(), name);
  if (!value) PyErr_Clear();
  return value;
}

// The classes other binding files look up, published once the engine module is complete.
constexpr const char* kEngineClasses[] = {
    "Dataset", "Level", "Unit", "Resolution", "Timeline", "FunctionBlock", "ExecutionContext",
    "ConstraintTerm", "GroupTerm", "Groups", "HighestCondition", "LowestCondition",
    "VariableSeries", "Holiday", "ExcludeHolidaysCondition",
    // the component, whose exact instances (and the block records') the pipeline runs in the core
    "TariffComponent"};

nb::handle lazy(Lazy which) {
  PyObject*& slot = types().lazy[which];
  if (!slot) {
    const auto [module, attr] = kLazy[which];
    nb::module_ m = nb::module_::import_(module);
    slot = attr ? keep(m.attr(attr)) : keep(m);
  }
  return slot;
}

}  // namespace

void init() {
  Types& t = types();
  if (t.numpy) return;
  nb::module_ np = nb::module_::import_("numpy");
  nb::module_ pd = nb::module_::import_("pandas");
  t.series = keep(pd.attr("Series"));
  t.datetime_index = keep(pd.attr("DatetimeIndex"));
  t.timestamp = keep(pd.attr("Timestamp"));
  t.dataframe = keep(pd.attr("DataFrame"));
  t.containers = keep(nb::make_tuple(pd.attr("Series"), pd.attr("Index"), pd.attr("DataFrame")));
  t.tz_dtype = keep(pd.attr("DatetimeTZDtype"));
  t.utc_ns = keep(pd.attr("DatetimeTZDtype")("ns", "UTC"));
  t.array_simple_new = optional_attr(pd.attr("arrays").attr("DatetimeArray"), "_simple_new");
  t.index_simple_new = optional_attr(pd.attr("DatetimeIndex"), "_simple_new");
  if (PyObject* internals = PyImport_ImportModule("pandas.core.internals")) {
    if (PyObject* manager = optional_attr(internals, "SingleBlockManager")) {
      t.manager_from_array = optional_attr(manager, "from_array");
      Py_DECREF(manager);
    }
    Py_DECREF(internals);
  } else {
    PyErr_Clear();
  }
  t.series_from_mgr = optional_attr(pd.attr("Series"), "_from_mgr");
  t.ndarray = keep(np.attr("ndarray"));
  t.numpy_number = keep(np.attr("number"));
  t.ascontiguousarray = keep(np.attr("ascontiguousarray"));
  t.float64 = keep(np.attr("float64"));
  const char* names[4] = {"bool", "int32", "int64", "float64"};
  for (int i = 0; i < 4; ++i) t.dtypes[i] = keep(np.attr("dtype")(names[i]));
  t.number = keep(nb::module_::import_("numbers").attr("Number"));
  t.zoneinfo = keep(nb::module_::import_("zoneinfo").attr("ZoneInfo"));
  nb::module_ dt = nb::module_::import_("datetime");
  t.fixed_timezone = keep(dt.attr("timezone"));
  t.timedelta = keep(dt.attr("timedelta"));
  t.relativedelta = keep(nb::module_::import_("dateutil.relativedelta").attr("relativedelta"));
  t.pandas = keep(pd);
  t.numpy = keep(np);
}

nb::handle numpy() { return types().numpy; }
nb::handle pandas() { return types().pandas; }
nb::handle series_type() { return types().series; }
nb::handle datetime_index_type() { return types().datetime_index; }
nb::handle timestamp_type() { return types().timestamp; }
nb::handle dataframe_type() { return types().dataframe; }
nb::handle pandas_containers() { return types().containers; }
nb::handle datetime_tz_dtype_type() { return types().tz_dtype; }
nb::handle utc_ns_dtype() { return types().utc_ns; }
nb::handle datetime_array_simple_new() { return types().array_simple_new; }
nb::handle datetime_index_simple_new() { return types().index_simple_new; }
nb::handle manager_from_array() { return types().manager_from_array; }
nb::handle series_from_manager() { return types().series_from_mgr; }
nb::handle ndarray_type() { return types().ndarray; }
nb::handle numpy_number_type() { return types().numpy_number; }
nb::handle ascontiguousarray() { return types().ascontiguousarray; }
nb::handle dtype(DType d) { return types().dtypes[static_cast<int>(d)]; }
nb::handle float64_type() { return types().float64; }
nb::handle numbers_number_type() { return types().number; }
nb::handle zoneinfo_type() { return types().zoneinfo; }
nb::handle fixed_timezone_type() { return types().fixed_timezone; }
nb::handle timedelta_type() { return types().timedelta; }
nb::handle relativedelta_type() { return types().relativedelta; }

nb::handle builtins() { return lazy(kBuiltins); }
nb::handle typing() { return lazy(kTyping); }
nb::handle pydantic() { return lazy(kPydantic); }
nb::handle enum_module() { return lazy(kEnumModule); }
nb::handle new_class() { return lazy(kNewClass); }
nb::handle mapping_proxy_type() { return lazy(kMappingProxyType); }
nb::handle monotonic() { return lazy(kMonotonic); }
nb::handle sys_flags() { return lazy(kSysFlags); }
nb::handle uuid_type() { return lazy(kUuidType); }
nb::handle date_type() { return lazy(kDateType); }
nb::handle time_type() { return lazy(kTimeType); }
nb::handle datetime_type() { return lazy(kDatetimeType); }
nb::handle ndarray_alias() { return lazy(kNdarrayAlias); }
nb::handle schema_base_model() { return lazy(kSchemaBaseModel); }
nb::handle uuid_module() { return lazy(kUuidModule); }
nb::handle csr_array_type() { return lazy(kCsrArray); }

nb::object own_module(const char* name) { return nb::module_::import_(name); }

void set_engine_module(nb::handle m) { types().engine = keep(m); }

nb::handle engine_module() { return types().engine; }

nb::handle engine_class(const char* name) {
  const auto& cached = types().engine_classes;
  if (auto found = cached.find(name); found != cached.end()) return found->second;
  // Not (yet) cached: a class created during init, owned by the module.
  PyObject* cls = PyObject_GetAttrString(types().engine, name);
  if (!cls) throw nb::python_error();
  Py_DECREF(cls);
  return cls;
}

void init_module(nb::module_& module) {
  init_common(module);
  init();
}

void cache_engine_classes() {
  Types& t = types();
  if (!t.engine_classes.empty()) return;
  std::vector<const char*> names(std::begin(kEngineClasses), std::end(kEngineClasses));
  for (const auto& block : core::blocks::block_catalogue())
    names.push_back(block.record.name.data());
  for (const char* name : names) {
    PyObject* cls = PyObject_GetAttrString(t.engine, name);
    if (!cls) throw nb::python_error();
    t.engine_classes.emplace(name, cls);
  }
}

}  // namespace ostrel::bindings::host
