// RateLimitConfig and TokenBucket.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "binding/common/exceptions.hpp"
#include "core/base/format.hpp"
#include "core/policy/rate_limiter.hpp"

namespace velmorquist::binding {
namespace {

// ---- RateLimitConfig ---------------------------------------------------------------

constexpr const char kConfigDoc[] =
    "RateLimitConfig(max_calls, time_window_secs, burst_size=None)\n--\n\n"
    "Python-visible rate limit config.";

const Signature kConfigNew("RateLimitConfig.__new__()", 2, "max_calls", "time_window_secs",
                           "burst_size");

const RateLimitConfig& config_of(PyObject* self) { return core_of<RateLimitConfig>(self); }

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kConfigNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    RateLimitConfig config;
    if (!bound.convert(0, to_u64, config.max_calls)) return nullptr;
    if (!bound.convert(1, to_double, config.time_window_secs)) return nullptr;
    if (given(bound[2])) {
        std::uint64_t burst = 0;
        if (!bound.convert(2, to_u64, burst)) return nullptr;
        config.burst_size = burst;
    }
    return new_instance<RateLimitConfig>(type, config);
}

PyObject* config_repr(PyObject* self) {
    return guarded([&] {
        const RateLimitConfig& config = config_of(self);
        std::string text = "RateLimitConfig(max_calls=" + std::to_string(config.max_calls) +
                           ", window=";
        append_fixed(text, config.time_window_secs, 0);
        text += "s, burst=";
        if (config.burst_size)
            text += "Some(" + std::to_string(*config.burst_size) + ")";
        else
            text += "None";
        text += ")";
        return new_str(text);
    });
}

PyGetSetDef config_getset[] = {
    field_property<&RateLimitConfig::max_calls>("max_calls"),
    field_property<&RateLimitConfig::time_window_secs>("time_window_secs"),
    field_property<&RateLimitConfig::burst_size>("burst_size"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef config_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyType_Slot config_slots[] = {
    {Py_tp_new, as_slot(config_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<RateLimitConfig>)},
    {Py_tp_repr, as_slot(config_repr)},
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_getset, config_getset},
    {Py_tp_methods, config_methods},
    {0, nullptr},
};

PyType_Spec config_spec = {"builtins.RateLimitConfig", sizeof(Instance<RateLimitConfig>), 0,
                           Py_TPFLAGS_DEFAULT, config_slots};

PyTypeObject* config_type_slot = nullptr;

// ---- TokenBucket -------------------------------------------------------------------

constexpr const char kBucketDoc[] =
    "TokenBucket(config=None, max_calls=None, time_window_secs=None)\n--\n\n"
    "Token bucket rate limiter.";
constexpr const char kTryAcquireDoc[] =
    "try_acquire($self, n=1)\n--\n\n"
    "Try to acquire `n` tokens. Returns True on success, raises RateLimitedError on failure.";
constexpr const char kAvailableTokensDoc[] = "Number of tokens currently available.";
constexpr const char kProviderPresetDoc[] =
    "provider_preset(provider)\n--\n\nGet a provider preset config, or None if unknown.";

const Signature kBucketNew("TokenBucket.__new__()", 0, "config", "max_calls", "time_window_secs");
const Signature kTryAcquire("TokenBucket.try_acquire()", 0, "n");
const Signature kProviderPreset("TokenBucket.provider_preset()", 1, "provider");

TokenBucketCore& bucket_of(PyObject* self) { return core_of<TokenBucketCore>(self); }

PyObject* bucket_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kBucketNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    // Every given argument is converted, even those a config makes irrelevant,
    // so a bad value is reported rather than silently ignored.
    RateLimitConfig config;
    if (given(bound[0])) {
        PyTypeObject* config_type = rate_limit_config_type();
        if (config_type == nullptr || !bound.check_instance(0, config_type, "RateLimitConfig"))
            return nullptr;
        config = config_of(bound[0]);
    }
    std::uint64_t max_calls = 0;
    if (given(bound[1]) && !bound.convert(1, to_u64, max_calls)) return nullptr;
    double time_window_secs = 0.0;
    if (given(bound[2]) && !bound.convert(2, to_double, time_window_secs)) return nullptr;
    if (!given(bound[0])) {
        if (!given(bound[1]) || !given(bound[2])) {
            PyErr_SetString(PyExc_ValueError,
                            "provide either config or both max_calls and time_window_secs");
            return nullptr;
        }
        config = RateLimitConfig{max_calls, time_window_secs, std::nullopt};
    }
    return guarded([&] {
        return new_instance<TokenBucketCore>(type, config, std::make_shared<MonotonicClock>());
    });
}

PyObject* bucket_try_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(kTryAcquire);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t n = 1;
    if (bound[0] != nullptr && !bound.convert(0, to_u64, n)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto acquired = bucket_of(self).try_acquire(n);
        if (!acquired) return to_python_exception(acquired.error());
        Py_RETURN_TRUE;
    });
}

PyObject* bucket_available_tokens(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(bucket_of(self).available_tokens()); });
}

PyObject* bucket_repr(PyObject* self) {
    return guarded([&] {
        double tokens = bucket_of(self).available_tokens();
        std::string text = "TokenBucket(available=";
        append_fixed(text, tokens, 1);
        text += ")";
        return new_str(text);
    });
}

PyObject* bucket_provider_preset(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kProviderPreset);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view provider;
    if (!bound.convert(0, to_utf8, provider)) return nullptr;
    std::optional<RateLimitConfig> preset = velmorquist::provider_preset(provider);
    if (!preset) Py_RETURN_NONE;
    PyTypeObject* config_type = rate_limit_config_type();
    if (config_type == nullptr) return nullptr;
    return new_instance<RateLimitConfig>(config_type, *preset);
}

PyGetSetDef bucket_getset[] = {
    {"available_tokens", bucket_available_tokens, nullptr, kAvailableTokensDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef bucket_methods[] = {
    {"try_acquire", as_method(bucket_try_acquire), METH_FASTCALL | METH_KEYWORDS, kTryAcquireDoc},
    {"provider_preset", as_method(bucket_provider_preset),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kProviderPresetDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bucket_slots[] = {
    {Py_tp_new, as_slot(bucket_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<TokenBucketCore>)},
    {Py_tp_repr, as_slot(bucket_repr)},
    {Py_tp_doc, const_cast<char*>(kBucketDoc)},
    {Py_tp_getset, bucket_getset},
    {Py_tp_methods, bucket_methods},
    {0, nullptr},
};

PyType_Spec bucket_spec = {"builtins.TokenBucket", sizeof(Instance<TokenBucketCore>), 0,
                           Py_TPFLAGS_DEFAULT, bucket_slots};

PyTypeObject* bucket_type_slot = nullptr;

}  // namespace

PyTypeObject* token_bucket_type() { return type_from_spec(bucket_type_slot, bucket_spec); }
PyTypeObject* rate_limit_config_type() { return type_from_spec(config_type_slot, config_spec); }

}  // namespace velmorquist::binding
