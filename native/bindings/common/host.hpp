#pragma once
// The host types the bindings need, looked up once when a module initialises and kept for the
// life of the process (as owned raw pointers: no destructor may run after the host has
// finalised). The engine's own classes are cached once the engine module has created them.
#include <nanobind/nanobind.h>

namespace ostrel::bindings::host {
namespace nb = nanobind;

// Imports numpy, pandas and the standard modules once.
void init();
// The first call of a module that converts data: the common setup (errors, assertions) of
// `module`, then init().
void init_module(nb::module_& module);

nb::handle numpy();
nb::handle pandas();

// pandas
nb::handle series_type();
nb::handle datetime_index_type();
nb::handle timestamp_type();
nb::handle dataframe_type();
nb::handle pandas_containers();       // (Series, Index, DataFrame), for isinstance
nb::handle datetime_tz_dtype_type();  // pandas.DatetimeTZDtype
nb::handle utc_ns_dtype();            // DatetimeTZDtype("ns", "UTC"), the grid's dtype
// pandas' internal constructors that wrap an existing datetime64 buffer without validating it
// (DatetimeArray._simple_new, DatetimeIndex._simple_new), or invalid handles when this pandas
// has none.
nb::handle datetime_array_simple_new();
nb::handle datetime_index_simple_new();
// pandas' internal path from a 1-D array and an index to a Series, without the constructor's
// inference (SingleBlockManager.from_array, Series._from_mgr); invalid handles when absent.
nb::handle manager_from_array();
nb::handle series_from_manager();

// numpy
nb::handle ndarray_type();
nb::handle numpy_number_type();  // numpy.number, the base of numpy's numeric scalars
nb::handle ascontiguousarray();
enum class DType { Bool, Int32, Int64, Float64 };
nb::handle dtype(DType t);  // numpy.dtype("bool"), ... ("float64")
nb::handle float64_type();  // numpy.float64

// The standard library
nb::handle numbers_number_type();  // numbers.Number
nb::handle zoneinfo_type();        // zoneinfo.ZoneInfo
nb::handle fixed_timezone_type();  // datetime.timezone
nb::handle timedelta_type();       // datetime.timedelta
nb::handle relativedelta_type();   // dateutil.relativedelta.relativedelta

// Standard and record-building lookups, made on first use (the record builders, the schema
// and cache modules, the error translator) and kept for the process like the ones above.
nb::handle builtins();            // the builtins module
nb::handle typing();              // the typing module
nb::handle pydantic();            // the pydantic module
nb::handle enum_module();         // the enum module
nb::handle new_class();           // types.new_class
nb::handle mapping_proxy_type();  // types.MappingProxyType
nb::handle monotonic();           // time.monotonic
nb::handle sys_flags();           // sys.flags
nb::handle uuid_type();           // uuid.UUID
nb::handle date_type();           // datetime.date
nb::handle time_type();           // datetime.time
nb::handle datetime_type();       // datetime.datetime
nb::handle ndarray_alias();       // numpy.typing.NDArray
nb::handle schema_base_model();   // ostrelpy.bindings._schema.BaseModel
nb::handle uuid_module();         // uuid (its uuid4 read at each call, so that it can be patched)
nb::handle csr_array_type();      // scipy.sparse.csr_array

// One of the package's own modules by its dotted name (the facade's collaborators and the
// modules it stands on), imported when a module initialises.
nb::object own_module(const char* name);

// The engine's classes by name (e.g. "Timeline", "Dataset"). Names published by
// cache_engine_classes are served from the cache; others are read from the module (during its
// init, while classes are still being created).
void set_engine_module(nb::handle m);
nb::handle engine_module();
nb::handle engine_class(const char* name);
void cache_engine_classes();

// The collector's slots of a bound class whose instances hold one host object in `Member`
// that may refer back to the instance (a caller's model, an API client).
template <typename T, nb::object T::* Member>
struct HeldObjectSlots {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT((nb::inst_ptr<T>(self)->*Member).ptr());
    return 0;
  }
  static int clear(PyObject* self) {
    if (nb::inst_ready(self)) (nb::inst_ptr<T>(self)->*Member).reset();
    return 0;
  }
  static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                                       {0, nullptr}};
};

}  // namespace ostrel::bindings::host
