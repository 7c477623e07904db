#include "binding/host/host_config.hpp"

#include "binding/common/args.hpp"

namespace velmorquist::binding {
namespace {

// A tuple of exactly `size` items, its items borrowed into `items`.
bool unpack(PyObject* object, Py_ssize_t size, const char* what, PyObject** items) {
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != size) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zd items", what, size);
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) items[i] = PyTuple_GET_ITEM(object, i);
    return true;
}

bool read_rate(PyObject* object, std::optional<RateLimitConfig>& out) {
    if (object == Py_None) return true;
    PyObject* items[3];
    if (!unpack(object, 3, "a rate", items)) return false;
    RateLimitConfig rate;
    if (!to_u64(items[0], rate.max_calls) || !to_double(items[1], rate.time_window_secs))
        return false;
    if (items[2] != Py_None) {
        std::uint64_t burst = 0;
        if (!to_u64(items[2], burst)) return false;
        rate.burst_size = burst;
    }
    out = rate;
    return true;
}

// Calls `read` on every item of a tuple.
template <class Read>
bool each_item(PyObject* object, const char* what, Read&& read) {
    if (!PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple", what);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
        if (!read(PyTuple_GET_ITEM(object, i))) return false;
    }
    return true;
}

bool read_provider(PyObject* object, HostProviderConfig& out) {
    PyObject* items[9];
    if (!unpack(object, 9, "a provider", items)) return false;
    PyObject* profile[4];
    PyObject* breaker[3];
    std::string strategy;
    if (!to_string(items[0], out.name) || !unpack(items[1], 4, "a profile", profile) ||
        !to_string(profile[0], out.profile.id) || !to_double(profile[1], out.profile.cost_per_1k) ||
        !to_double(profile[2], out.profile.base_quality) ||
        !to_double(profile[3], out.profile.base_latency_ms) ||
        !unpack(items[2], 3, "a breaker", breaker) ||
        !to_u32(breaker[0], out.breaker.failure_threshold) ||
        !to_double(breaker[1], out.breaker.recovery_timeout_secs) ||
        !to_u32(breaker[2], out.breaker.success_threshold) || !read_rate(items[3], out.rate) ||
        !read_rate(items[4], out.token_rate) || !to_string(items[5], strategy))
        return false;
    const std::optional<Strategy> parsed = strategy_from_text(strategy);
    if (!parsed) {
        PyErr_Format(PyExc_ValueError, "unknown key strategy '%s'", strategy.c_str());
        return false;
    }
    out.strategy = *parsed;
    return each_item(items[6], "keys",
                     [&](PyObject* key) {
                         std::string text;
                         if (!to_string(key, text)) return false;
                         out.keys.push_back(std::move(text));
                         return true;
                     }) &&
           each_item(items[7], "weights",
                     [&](PyObject* weight) {
                         double value = 0.0;
                         if (!to_double(weight, value)) return false;
                         out.weights.push_back(value);
                         return true;
                     }) &&
           each_item(items[8], "daily_limits", [&](PyObject* limit) {
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
    PyObject* weights[5];
    if (!unpack(router, 5, "the router settings", weights) ||
        !to_double(weights[0], out.router.cost_weight) ||
        !to_double(weights[1], out.router.quality_weight) ||
        !to_double(weights[2], out.router.latency_weight) ||
        !to_bool(weights[3], out.router.explore_mode) ||
        !to_double(weights[4], out.router.decay_factor))
        return false;
    return each_item(providers, "providers", [&](PyObject* provider) {
        HostProviderConfig config;
        if (!read_provider(provider, config)) return false;
        if (config.weights.size() != config.keys.size() ||
            config.daily_limits.size() != config.keys.size()) {
            PyErr_SetString(PyExc_ValueError, "one weight and one daily limit per key");
            return false;
        }
        out.providers.push_back(std::move(config));
        return true;
    });
}

}  // namespace velmorquist::binding
