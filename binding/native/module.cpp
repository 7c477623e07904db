// The module's only exported symbol and the module body.
#include "binding/native/classes.hpp"
#include "binding/common/exceptions.hpp"

#include <atomic>
#include <cstdint>

namespace velmorquist::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native extension module: `velmorquist_proxy._native`",
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never released.
PyObject* module_slot = nullptr;
// The interpreter that first initialised the module; -1 while unset.
std::atomic<std::int64_t> interpreter_slot{-1};

using ObjectGetter = PyObject* (*)();

template <ExceptionClass Which>
PyObject* exception_getter() {
    return exception_class(Which);
}

template <PyTypeObject* (*TypeGetter)()>
PyObject* type_getter() {
    return reinterpret_cast<PyObject*>(TypeGetter());
}

struct Publication {
    const char* name;
    ObjectGetter object;
};

constexpr Publication kPublications[] = {
    {"ProxyError", exception_getter<ExceptionClass::ProxyBase>},
    {"CircuitOpenError", exception_getter<ExceptionClass::CircuitOpen>},
    {"RateLimitedError", exception_getter<ExceptionClass::RateLimited>},
    {"NoAvailableKeysError", exception_getter<ExceptionClass::NoAvailableKeys>},
    {"NoProvidersError", exception_getter<ExceptionClass::NoProviders>},
    {"ProviderNotFoundError", exception_getter<ExceptionClass::ProviderNotFound>},
    {"InvalidParameterError", exception_getter<ExceptionClass::InvalidParameter>},
    {"SamplingError", exception_getter<ExceptionClass::Sampling>},
    {"ThompsonRouter", type_getter<thompson_router_type>},
    {"RouterConfig", type_getter<router_config_type>},
    {"ProviderProfile", type_getter<provider_profile_type>},
    {"RoutingDecision", type_getter<routing_decision_type>},
    {"CircuitBreaker", type_getter<circuit_breaker_type>},
    {"CircuitBreakerConfig", type_getter<circuit_breaker_config_type>},
    {"TokenBucket", type_getter<token_bucket_type>},
    {"RateLimitConfig", type_getter<rate_limit_config_type>},
    {"KeyPool", type_getter<key_pool_type>},
    {"KeySummary", type_getter<key_summary_type>},
    {"RetryPolicy", type_getter<retry_policy_type>},
};

// Appends `name` to __all__ (creating the list on first use), then sets the attribute.
bool publish(PyObject* module, const char* name, PyObject* object) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return false;
    PyRef all_list(all);
    if (!all_list) {
        all_list.reset(PyList_New(0));
        if (!all_list || PyModule_AddObjectRef(module, "__all__", all_list.get()) < 0)
            return false;
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all_list.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, object) == 0;
}

bool run_module_body(PyObject* module) {
    for (const Publication& publication : kPublications) {
        PyObject* object = publication.object();
        if (object == nullptr || !publish(module, publication.name, object)) return false;
    }
    return true;
}

// Single-phase modules share their process-wide slots between interpreters,
// which would be unsound, so only the first interpreter may load us.
bool claim_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return false;
    }
    std::int64_t expected = -1;
    if (interpreter_slot.compare_exchange_strong(expected, id) || expected == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "velmorquist_proxy._native does not support sub-interpreters: it can only "
                    "be imported once per process, by the first interpreter that loads it");
    return false;
}

PyObject* initialise() {
    if (!claim_interpreter()) return nullptr;
    if (module_slot != nullptr) return Py_NewRef(module_slot);
    PyRef module(PyModule_Create(&module_definition));
    if (!module || !run_module_body(module.get())) return nullptr;
    module_slot = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace velmorquist::binding

PyMODINIT_FUNC PyInit__native() { return velmorquist::binding::initialise(); }
