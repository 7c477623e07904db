#include "binding/common/exceptions.hpp"

#include <array>
#include <variant>

namespace velmorquist::binding {
namespace {

struct ExceptionSpec {
    const char* qualified_name;
    bool derives_from_proxy_base;
};

constexpr std::array<ExceptionSpec, kExceptionClassCount> kExceptionSpecs{{
    {"velmorquist_proxy.ProxyBaseError", false},
    {"velmorquist_proxy.CircuitOpenError", true},
    {"velmorquist_proxy.RateLimitedError", true},
    {"velmorquist_proxy.NoAvailableKeysError", true},
    {"velmorquist_proxy.NoProvidersError", true},
    {"velmorquist_proxy.ProviderNotFoundError", true},
    {"velmorquist_proxy.InvalidParameterError", true},
    {"velmorquist_proxy.SamplingError", true},
}};

// A class added without its row would leave a zero row behind.
constexpr bool every_class_named() {
    for (const ExceptionSpec& definition : kExceptionSpecs) {
        if (definition.qualified_name == nullptr) return false;
    }
    return true;
}
static_assert(every_class_named());

// Filled under the interpreter lock, each at most once, never released.
std::array<PyObject*, kExceptionSpecs.size()> exception_slots{};
PyObject* internal_fault_slot = nullptr;

PyObject* create_exception(const char* qualified_name, PyObject* base, const char* doc) {
    PyObject* created =
        PyErr_NewExceptionWithDoc(qualified_name, doc, base, /*dict=*/nullptr);
    if (created != nullptr) return created;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
    PyObject* failure = PyErr_GetRaisedException();
    PyException_SetCause(failure, cause);
    PyErr_SetRaisedException(failure);
    return nullptr;
}

// Every extension module of the package links this file, but each class
// must exist once per interpreter, or `except InternalFault` would catch one
// module's faults and not another's. The first module to need a class makes
// it and leaves it in the interpreter's own dict, where the others find it.
constexpr const char kRegistryKey[] = "velmorquist_proxy.exception_classes";

// New reference (the registry keeps one too); nullptr with an error set.
template <class Make>
PyObject* shared_class(const char* qualified_name, Make&& make) {
    PyObject* interpreter = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interpreter == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter dict");
        return nullptr;
    }
    PyObject* registry = nullptr;  // borrowed
    if (PyDict_GetItemStringRef(interpreter, kRegistryKey, &registry) < 0) return nullptr;
    PyRef owned_registry(registry);
    if (registry == nullptr) {
        owned_registry = PyRef(PyDict_New());
        if (!owned_registry ||
            PyDict_SetItemString(interpreter, kRegistryKey, owned_registry.get()) < 0)
            return nullptr;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(owned_registry.get(), qualified_name, &found) < 0) return nullptr;
    if (found != nullptr) return found;
    PyRef created(make());
    if (!created ||
        PyDict_SetItemString(owned_registry.get(), qualified_name, created.get()) < 0)
        return nullptr;
    return created.release();
}

ExceptionClass class_of(const ProxyError& error) {
    struct Mapping {
        ExceptionClass operator()(const NoProviders&) const { return ExceptionClass::NoProviders; }
        ExceptionClass operator()(const CircuitOpen&) const { return ExceptionClass::CircuitOpen; }
        ExceptionClass operator()(const RateLimited&) const { return ExceptionClass::RateLimited; }
        ExceptionClass operator()(const NoAvailableKeys&) const {
            return ExceptionClass::NoAvailableKeys;
        }
        ExceptionClass operator()(const ProviderNotFound&) const {
            return ExceptionClass::ProviderNotFound;
        }
        ExceptionClass operator()(const InvalidParameter&) const {
            return ExceptionClass::InvalidParameter;
        }
        ExceptionClass operator()(const Sampling&) const { return ExceptionClass::Sampling; }
    };
    return std::visit(Mapping{}, error.variant());
}

}  // namespace

PyObject* exception_class(ExceptionClass which) {
    auto index = static_cast<std::size_t>(which);
    if (exception_slots[index] != nullptr) return exception_slots[index];
    const ExceptionSpec& definition = kExceptionSpecs[index];
    PyObject* base = PyExc_Exception;
    if (definition.derives_from_proxy_base) {
        base = exception_class(ExceptionClass::ProxyBase);
        if (base == nullptr) return nullptr;
    }
    exception_slots[index] = shared_class(definition.qualified_name, [&] {
        return create_exception(definition.qualified_name, base, nullptr);
    });
    return exception_slots[index];
}

PyObject* to_python_exception(const ProxyError& error) {
    std::string message = error.message();
    PyObject* type = exception_class(class_of(error));
    if (type == nullptr) return nullptr;
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* internal_fault_class() {
    if (internal_fault_slot == nullptr) {
        constexpr const char kName[] = "velmorquist_proxy.InternalFault";
        internal_fault_slot = shared_class(kName, [&] {
            return create_exception(
                kName, PyExc_BaseException,
                "A broken internal invariant of the native core. The operation was abandoned; "
                "the object it ran on is still usable.");
        });
    }
    return internal_fault_slot;
}

PyObject* raise_internal_fault(const char* message) {
    PyObject* type = internal_fault_class();
    if (type == nullptr) return nullptr;
    PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace velmorquist::binding
