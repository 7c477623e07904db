// CircuitBreakerConfig and CircuitBreaker.
#include <array>
#include <memory>
#include <string>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "binding/common/exceptions.hpp"
#include "core/policy/circuit_breaker.hpp"
#include "core/policy/classify_error.hpp"
#include "core/base/format.hpp"

namespace velmorquist::binding {
namespace {

// ---- CircuitBreakerConfig ----------------------------------------------------------

constexpr const char kConfigDoc[] =
    "CircuitBreakerConfig(provider, failure_threshold=5, recovery_timeout_secs=60.0, "
    "success_threshold=2)\n--\n\nPython-visible circuit breaker config.";

const Signature kConfigNew("CircuitBreakerConfig.__new__()", 1, "provider", "failure_threshold",
                           "recovery_timeout_secs", "success_threshold");

const CircuitBreakerConfig& config_of(PyObject* self) { return core_of<CircuitBreakerConfig>(self); }

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kConfigNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        CircuitBreakerConfig config;
        if (!bound.convert(0, to_string, config.provider)) return nullptr;
        if (bound[1] && !bound.convert(1, to_u32, config.failure_threshold)) return nullptr;
        if (bound[2] && !bound.convert(2, to_double, config.recovery_timeout_secs)) return nullptr;
        if (bound[3] && !bound.convert(3, to_u32, config.success_threshold)) return nullptr;
        return new_instance<CircuitBreakerConfig>(type, std::move(config));
    });
}

PyObject* config_repr(PyObject* self) {
    return guarded([&] {
        const CircuitBreakerConfig& config = config_of(self);
        std::string text = "CircuitBreakerConfig(provider='" + config.provider +
                           "', threshold=" + std::to_string(config.failure_threshold) +
                           ", recovery=";
        append_fixed(text, config.recovery_timeout_secs, 0);
        text += "s)";
        return new_str(text);
    });
}

PyGetSetDef config_getset[] = {
    field_property<&CircuitBreakerConfig::provider>("provider"),
    field_property<&CircuitBreakerConfig::failure_threshold>("failure_threshold"),
    field_property<&CircuitBreakerConfig::recovery_timeout_secs>("recovery_timeout_secs"),
    field_property<&CircuitBreakerConfig::success_threshold>("success_threshold"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef config_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyType_Slot config_slots[] = {
    {Py_tp_new, as_slot(config_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<CircuitBreakerConfig>)},
    {Py_tp_repr, as_slot(config_repr)},
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_getset, config_getset},
    {Py_tp_methods, config_methods},
    {0, nullptr},
};

PyType_Spec config_spec = {"builtins.CircuitBreakerConfig",
                           sizeof(Instance<CircuitBreakerConfig>), 0, Py_TPFLAGS_DEFAULT,
                           config_slots};

PyTypeObject* config_type_slot = nullptr;

// ---- CircuitBreaker ----------------------------------------------------------------

constexpr const char kBreakerDoc[] =
    "CircuitBreaker(config=None, provider=None)\n--\n\n"
    "Circuit breaker for LLM provider resilience.";
constexpr const char kStateDoc[] =
    "Current state as a string: \"closed\", \"open\", or \"half_open\".";
constexpr const char kAllowRequestDoc[] =
    "allow_request($self)\n--\n\nCheck if the circuit allows a request through.";
constexpr const char kRecordSuccessDoc[] = "record_success($self)\n--\n\nRecord a successful call.";
constexpr const char kRecordFailureDoc[] =
    "record_failure($self, failure_type=\"unknown\")\n--\n\n"
    "Record a failed call with a failure type string.\n\n"
    "Valid types: \"rate_limit\", \"auth\", \"timeout\", \"connection\", \"service_error\", "
    "\"unknown\".";
constexpr const char kResetDoc[] = "reset($self)\n--\n\nReset the circuit breaker to closed state.";
constexpr const char kClassifyErrorDoc[] =
    "classify_error(error_msg)\n--\n\nClassify an error message into a failure type string.";
constexpr const char kProviderDefaultsDoc[] =
    "provider_defaults(provider)\n--\n\nGet provider-specific default config, or None if unknown.";

const Signature kBreakerNew("CircuitBreaker.__new__()", 0, "config", "provider");
const Signature kRecordFailure("CircuitBreaker.record_failure()", 0, "failure_type");
const Signature kClassifyError("CircuitBreaker.classify_error()", 1, "error_msg");
const Signature kProviderDefaults("CircuitBreaker.provider_defaults()", 1, "provider");

BreakerCore& breaker_of(PyObject* self) { return core_of<BreakerCore>(self); }

PyObject* breaker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kBreakerNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        CircuitBreakerConfig config{.provider = "default"};
        if (given(bound[0])) {
            PyTypeObject* config_type = circuit_breaker_config_type();
            if (config_type == nullptr ||
                !bound.check_instance(0, config_type, "CircuitBreakerConfig"))
                return nullptr;
            config = config_of(bound[0]);
        }
        // A provider beside a config must still be a string, but the config's wins.
        std::string_view provider;
        if (given(bound[1])) {
            if (!bound.convert(1, to_utf8, provider)) return nullptr;
            if (!given(bound[0])) config.provider.assign(provider);
        }
        return new_instance<BreakerCore>(type, config, std::make_shared<MonotonicClock>());
    });
}

PyObject* state_str(CircuitState state) {
    static std::array<PyObject*, kCircuitStateCount> texts{};
    auto index = static_cast<std::size_t>(state);
    return cached_str(texts[index], state_text(state).data());
}

PyObject* breaker_state(PyObject* self, void*) { return state_str(breaker_of(self).state()); }

PyObject* breaker_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "CircuitBreaker(state='";
        text += state_text(breaker_of(self).state());
        text += "')";
        return new_str(text);
    });
}

PyObject* breaker_allow_request(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto allowed = breaker_of(self).allow_request();
        if (!allowed) return to_python_exception(allowed.error());
        Py_RETURN_NONE;
    });
}

PyObject* breaker_record_success(PyObject* self, PyObject*) {
    breaker_of(self).record_success();
    Py_RETURN_NONE;
}

PyObject* breaker_record_failure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kRecordFailure);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    // Any text is accepted and every failure counts the same; it must still be a str.
    std::string_view failure_type;
    if (bound[0] && !bound.convert(0, to_utf8, failure_type)) return nullptr;
    breaker_of(self).record_failure();
    Py_RETURN_NONE;
}

PyObject* breaker_reset(PyObject* self, PyObject*) {
    breaker_of(self).reset();
    Py_RETURN_NONE;
}

PyObject* breaker_classify_error(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kClassifyError);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view message;
    if (!bound.convert(0, to_utf8, message)) return nullptr;
    return guarded([&] {
        static std::array<PyObject*, kFailureTypeCount> texts{};
        FailureType type = classify_error(message);
        return cached_str(texts[static_cast<std::size_t>(type)], failure_type_text(type).data());
    });
}

PyObject* breaker_provider_defaults(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    BoundArgs bound(kProviderDefaults);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view provider;
    if (!bound.convert(0, to_utf8, provider)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<CircuitBreakerConfig> defaults = velmorquist::provider_defaults(provider);
        if (!defaults) Py_RETURN_NONE;
        PyTypeObject* config_type = circuit_breaker_config_type();
        if (config_type == nullptr) return nullptr;
        return new_instance<CircuitBreakerConfig>(config_type, std::move(*defaults));
    });
}

PyGetSetDef breaker_getset[] = {
    {"state", breaker_state, nullptr, kStateDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef breaker_methods[] = {
    {"allow_request", as_method(breaker_allow_request), METH_NOARGS, kAllowRequestDoc},
    {"record_success", as_method(breaker_record_success), METH_NOARGS, kRecordSuccessDoc},
    {"record_failure", as_method(breaker_record_failure), METH_FASTCALL | METH_KEYWORDS,
     kRecordFailureDoc},
    {"reset", as_method(breaker_reset), METH_NOARGS, kResetDoc},
    {"classify_error", as_method(breaker_classify_error),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kClassifyErrorDoc},
    {"provider_defaults", as_method(breaker_provider_defaults),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kProviderDefaultsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot breaker_slots[] = {
    {Py_tp_new, as_slot(breaker_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<BreakerCore>)},
    {Py_tp_repr, as_slot(breaker_repr)},
    {Py_tp_doc, const_cast<char*>(kBreakerDoc)},
    {Py_tp_getset, breaker_getset},
    {Py_tp_methods, breaker_methods},
    {0, nullptr},
};

PyType_Spec breaker_spec = {"builtins.CircuitBreaker", sizeof(Instance<BreakerCore>), 0,
                            Py_TPFLAGS_DEFAULT, breaker_slots};

PyTypeObject* breaker_type_slot = nullptr;

}  // namespace

PyTypeObject* circuit_breaker_config_type() { return type_from_spec(config_type_slot, config_spec); }
PyTypeObject* circuit_breaker_type() { return type_from_spec(breaker_type_slot, breaker_spec); }

}  // namespace velmorquist::binding
