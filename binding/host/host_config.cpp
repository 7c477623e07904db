#include "binding/host/host_config.hpp"

#include <utility>
#include <vector>

#include "binding/common/args.hpp"

namespace velmorquist::binding {
namespace {

// Borrowed: `name` interned once and kept. A fresh string per lookup would
// leave a reference in the type's attribute cache for every entry it fills.
PyObject* interned_name(const char* name) {
    static std::vector<std::pair<const char*, PyObject*>> names;
    for (const auto& [text, object] : names) {
        if (text == name) return object;
    }
    PyObject* object = PyUnicode_InternFromString(name);
    if (object != nullptr) names.emplace_back(name, object);
    return object;
}

// New reference to attribute `name`; nullptr with an error set. A missing
// attribute is the argument's type error, as a wrong type would be.
PyObject* attribute(PyObject* object, const char* name) {
    PyObject* key = interned_name(name);
    if (key == nullptr) return nullptr;
    PyObject* value = PyObject_GetAttr(object, key);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a provider description or router settings need '%s'; "
                 "'%.200s' has none", name, Py_TYPE(object)->tp_name);
    return nullptr;
}

// Reads attribute `name` of `object` through `convert`. False with an error set.
template <class T>
bool field(PyObject* object, const char* name, bool (*convert)(PyObject*, T&), T& out) {
    PyRef value(attribute(object, name));
    return value && convert(value.get(), out);
}

// Calls `read` on every item of attribute `name`, a sequence.
template <class Read>
bool each_item(PyObject* object, const char* name, Read&& read) {
    PyRef value(attribute(object, name));
    if (!value) return false;
    PyRef items(PySequence_Fast(value.get(), "a provider description's keys, weights and "
                                             "daily limits must be sequences"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        if (!read(PySequence_Fast_GET_ITEM(items.get(), i))) return false;
    }
    return true;
}

// A RateLimitConfig (or anything with its fields), or None.
bool read_rate(PyObject* owner, const char* name, std::optional<RateLimitConfig>& out) {
    PyRef object(attribute(owner, name));
    if (!object) return false;
    if (object.get() == Py_None) return true;
    RateLimitConfig rate;
    if (!field(object.get(), "max_calls", to_u64, rate.max_calls) ||
        !field(object.get(), "time_window_secs", to_double, rate.time_window_secs))
        return false;
    PyRef burst(attribute(object.get(), "burst_size"));
    if (!burst) return false;
    if (burst.get() != Py_None) {
        std::uint64_t size = 0;
        if (!to_u64(burst.get(), size)) return false;
        rate.burst_size = size;
    }
    out = rate;
    return true;
}

bool read_profile(PyObject* owner, ProviderProfile& out) {
    PyRef profile(attribute(owner, "profile"));
    return profile && field(profile.get(), "id", to_string, out.id) &&
           field(profile.get(), "cost_per_1k", to_double, out.cost_per_1k) &&
           field(profile.get(), "base_quality", to_double, out.base_quality) &&
           field(profile.get(), "base_latency_ms", to_double, out.base_latency_ms);
}

bool read_breaker(PyObject* owner, CircuitBreakerConfig& out) {
    PyRef breaker(attribute(owner, "breaker"));
    return breaker && field(breaker.get(), "failure_threshold", to_u32, out.failure_threshold) &&
           field(breaker.get(), "recovery_timeout_secs", to_double, out.recovery_timeout_secs) &&
           field(breaker.get(), "success_threshold", to_u32, out.success_threshold);
}

bool read_strategy(PyObject* owner, Strategy& out) {
    std::string text;
    if (!field(owner, "key_strategy", to_string, text)) return false;
    const std::optional<Strategy> parsed = strategy_from_text(text);
    if (!parsed) {
        PyErr_Format(PyExc_ValueError, "unknown key strategy '%s'", text.c_str());
        return false;
    }
    out = *parsed;
    return true;
}

bool read_provider(PyObject* object, HostProviderConfig& out) {
    if (!field(object, "name", to_string, out.name) || !read_profile(object, out.profile) ||
        !read_breaker(object, out.breaker) || !read_rate(object, "rate", out.rate) ||
        !read_rate(object, "token_rate", out.token_rate) || !read_strategy(object, out.strategy))
        return false;
    return each_item(object, "keys",
                     [&](PyObject* key) {
                         std::string text;
                         if (!to_string(key, text)) return false;
                         out.keys.push_back(std::move(text));
                         return true;
                     }) &&
           each_item(object, "weights",
                     [&](PyObject* weight) {
                         double value = 0.0;
                         if (!to_double(weight, value)) return false;
                         out.weights.push_back(value);
                         return true;
                     }) &&
           each_item(object, "daily_limits", [&](PyObject* limit) {
               std::optional<std::uint64_t> value;
               if (limit != Py_None) {
                   std::uint64_t count = 0;
                   if (!to_u64(limit, count)) return false;
                   value = count;
               }
               out.daily_limits.push_back(value);
               return true;
           });
}

}  // namespace

bool read_host_config(PyObject* providers, PyObject* router, HostConfig& out) {
    if (!field(router, "cost_weight", to_double, out.router.cost_weight) ||
        !field(router, "quality_weight", to_double, out.router.quality_weight) ||
        !field(router, "latency_weight", to_double, out.router.latency_weight) ||
        !field(router, "explore_mode", to_bool, out.router.explore_mode) ||
        !field(router, "decay_factor", to_double, out.router.decay_factor))
        return false;
    PyRef items(PySequence_Fast(providers, "providers must be a sequence of descriptions"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        HostProviderConfig config;
        if (!read_provider(PySequence_Fast_GET_ITEM(items.get(), i), config)) return false;
        if (config.weights.size() != config.keys.size() ||
            config.daily_limits.size() != config.keys.size()) {
            PyErr_SetString(PyExc_ValueError, "one weight and one daily limit per key");
            return false;
        }
        out.providers.push_back(std::move(config));
    }
    return true;
}

}  // namespace velmorquist::binding
