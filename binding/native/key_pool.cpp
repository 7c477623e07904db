// KeyPool and KeySummary.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "binding/common/exceptions.hpp"
#include "core/base/format.hpp"
#include "core/policy/key_pool.hpp"
#include "core/base/random.hpp"

namespace velmorquist::binding {
namespace {

// ---- KeySummary --------------------------------------------------------------------

constexpr const char kSummaryDoc[] = "Summary of a key's state (key material is masked).";

const KeySnapshot& summary_of(PyObject* self) { return core_of<KeySnapshot>(self); }

// New reference to the interned text of a status.
PyObject* status_str(KeyStatus status) {
    static std::array<PyObject*, kKeyStatusCount> texts{};
    return cached_str(texts[static_cast<std::size_t>(status)], status_text(status).data());
}

PyObject* summary_repr(PyObject* self) {
    return guarded([&] {
        const KeySnapshot& summary = summary_of(self);
        std::string text = "KeySummary(key='";
        text += summary.key_masked;
        text += "', status='";
        text += status_text(summary.status);
        text += "', health=";
        append_fixed(text, summary.health_score, 2);
        text += ')';
        return new_str(text);
    });
}

PyObject* summary_status(PyObject* self, void*) { return status_str(summary_of(self).status); }

PyGetSetDef summary_getset[] = {
    field_property<&KeySnapshot::key_masked>("key_masked"),
    {"status", summary_status, nullptr, "", nullptr},
    field_property<&KeySnapshot::total_requests>("total_requests"),
    field_property<&KeySnapshot::total_errors>("total_errors"),
    field_property<&KeySnapshot::total_rate_limits>("total_rate_limits"),
    field_property<&KeySnapshot::avg_latency_ms>("avg_latency_ms"),
    field_property<&KeySnapshot::health_score>("health_score"),
    field_property<&KeySnapshot::weight>("weight"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef summary_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyType_Slot summary_slots[] = {
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<KeySnapshot>)},
    {Py_tp_repr, as_slot(summary_repr)},
    {Py_tp_doc, const_cast<char*>(kSummaryDoc)},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {"builtins.KeySummary", sizeof(Instance<KeySnapshot>), 0,
                            Py_TPFLAGS_DEFAULT, summary_slots};

PyTypeObject* summary_type_slot = nullptr;

// ---- KeyPool -----------------------------------------------------------------------

constexpr const char kPoolDoc[] =
    "KeyPool(strategy=\"round_robin\")\n--\n\nAPI key pool with 5 rotation strategies.";
constexpr const char kAddKeyDoc[] =
    "add_key($self, key, weight=1.0, daily_limit=None)\n--\n\nAdd a key to the pool.";
constexpr const char kSelectKeyDoc[] =
    "select_key($self)\n--\n\nSelect a key using the configured strategy.";
constexpr const char kRecordSuccessDoc[] =
    "record_success($self, key, latency_ms)\n--\n\nRecord a successful request.";
constexpr const char kRecordErrorDoc[] = "record_error($self, key)\n--\n\nRecord an error.";
constexpr const char kRecordRateLimitDoc[] =
    "record_rate_limit($self, key, cooldown_secs)\n--\n\nRecord a rate limit hit with cooldown.";
constexpr const char kRecordExhaustedDoc[] =
    "record_exhausted($self, key)\n--\n\nRecord quota exhaustion.";
constexpr const char kDisableKeyDoc[] = "disable_key($self, key)\n--\n\nDisable a key.";
constexpr const char kEnableKeyDoc[] = "enable_key($self, key)\n--\n\nRe-enable a disabled key.";
constexpr const char kResetDailyCountersDoc[] =
    "reset_daily_counters($self)\n--\n\nReset daily counters for all keys.";
constexpr const char kHasKeyDoc[] =
    "has_key($self, key)\n--\n\nCheck if a key exists in the pool.";
constexpr const char kRemoveKeyDoc[] =
    "remove_key($self, key)\n--\n\nRemove a key from the pool. Returns true if it was present.";
constexpr const char kListKeysDoc[] =
    "list_keys($self)\n--\n\nList all keys with masked key material and current metrics.";

const Signature kPoolNew("KeyPool.__new__()", 0, "strategy");
const Signature kAddKey("KeyPool.add_key()", 1, "key", "weight", "daily_limit");
const Signature kRecordSuccess("KeyPool.record_success()", 2, "key", "latency_ms");
const Signature kRecordError("KeyPool.record_error()", 1, "key");
const Signature kRecordRateLimit("KeyPool.record_rate_limit()", 2, "key", "cooldown_secs");
const Signature kRecordExhausted("KeyPool.record_exhausted()", 1, "key");
const Signature kDisableKey("KeyPool.disable_key()", 1, "key");
const Signature kEnableKey("KeyPool.enable_key()", 1, "key");
const Signature kHasKey("KeyPool.has_key()", 1, "key");
const Signature kRemoveKey("KeyPool.remove_key()", 1, "key");

KeyPoolCore& pool_of(PyObject* self) { return core_of<KeyPoolCore>(self); }

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kPoolNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        Strategy strategy = Strategy::RoundRobin;
        // Only an absent argument means the default; an explicit None is a type error.
        if (bound[0] != nullptr) {
            std::string_view text;
            if (!bound.convert(0, to_utf8, text)) return nullptr;
            std::optional<Strategy> parsed = strategy_from_text(text);
            if (!parsed) {
                PyErr_Format(PyExc_ValueError,
                             "unknown strategy '%U', expected: round_robin, least_used, random, "
                             "weighted, adaptive",
                             bound[0]);
                return nullptr;
            }
            strategy = *parsed;
        }
        return new_instance<KeyPoolCore>(type, strategy, std::make_shared<MonotonicClock>());
    });
}

PyObject* pool_repr(PyObject* self) {
    return guarded([&] {
        const std::size_t keys = pool_of(self).size();
        return PyUnicode_FromFormat("KeyPool(keys=%zu)", keys);
    });
}

Py_ssize_t pool_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(pool_of(self).size());
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

int pool_bool(PyObject* self) {
    const Py_ssize_t length = pool_length(self);
    return length < 0 ? -1 : (length > 0 ? 1 : 0);
}

PyObject* pool_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    BoundArgs bound(kAddKey);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view key;
    if (!bound.convert(0, to_utf8, key)) return nullptr;
    double weight = 1.0;
    if (bound[1] != nullptr && !bound.convert(1, to_double, weight)) return nullptr;
    std::optional<std::uint64_t> daily_limit;
    if (given(bound[2])) {
        std::uint64_t limit = 0;
        if (!bound.convert(2, to_u64, limit)) return nullptr;
        daily_limit = limit;
    }
    return guarded([&] {
        pool_of(self).add_key(key, weight, daily_limit);
        return new_none();
    });
}

PyObject* pool_select_key(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ThreadRandom& rng = thread_rng();
        KeyText selected;
        auto result = pool_of(self).select_key_into(rng, selected);
        if (!result) return to_python_exception(result.error());
        return new_str(selected.view());
    });
}

// The methods taking a key and a double: record_success, record_rate_limit.
template <const Signature& kSignature, void (KeyPoolCore::*kEvent)(std::string_view, double)>
PyObject* pool_key_value_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    BoundArgs bound(kSignature);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view key;
    if (!bound.convert(0, to_utf8, key)) return nullptr;
    double value = 0.0;
    if (!bound.convert(1, to_double, value)) return nullptr;
    return guarded([&] {
        (pool_of(self).*kEvent)(key, value);
        return new_none();
    });
}

// The methods taking only a key.
template <const Signature& kSignature, class Result,
          Result (KeyPoolCore::*kOperation)(std::string_view)>
PyObject* pool_key_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(kSignature);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view key;
    if (!bound.convert(0, to_utf8, key)) return nullptr;
    return guarded([&] {
        if constexpr (std::is_void_v<Result>) {
            (pool_of(self).*kOperation)(key);
            return new_none();
        } else {
            return new_bool((pool_of(self).*kOperation)(key));
        }
    });
}

PyObject* pool_reset_daily_counters(PyObject* self, PyObject*) {
    return guarded([&] {
        pool_of(self).reset_daily_counters();
        return new_none();
    });
}

PyObject* pool_list_keys(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyTypeObject* type = key_summary_type();
        if (type == nullptr) return nullptr;
        // Copied out under the pool's lock; the Python objects come after it.
        std::vector<KeySnapshot> snapshots = pool_of(self).list_keys();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(snapshots.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < snapshots.size(); ++i) {
            PyObject* summary = new_instance<KeySnapshot>(type, std::move(snapshots[i]));
            if (summary == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), summary);  // steals
        }
        return list.release();
    });
}

PyMethodDef pool_methods[] = {
    {"add_key", as_method(pool_add_key), METH_FASTCALL | METH_KEYWORDS, kAddKeyDoc},
    {"select_key", as_method(pool_select_key), METH_NOARGS, kSelectKeyDoc},
    {"record_success",
     as_method(pool_key_value_event<kRecordSuccess, &KeyPoolCore::record_success>),
     METH_FASTCALL | METH_KEYWORDS, kRecordSuccessDoc},
    {"record_error",
     as_method(pool_key_operation<kRecordError, void, &KeyPoolCore::record_error>),
     METH_FASTCALL | METH_KEYWORDS, kRecordErrorDoc},
    {"record_rate_limit",
     as_method(pool_key_value_event<kRecordRateLimit, &KeyPoolCore::record_rate_limit>),
     METH_FASTCALL | METH_KEYWORDS, kRecordRateLimitDoc},
    {"record_exhausted",
     as_method(pool_key_operation<kRecordExhausted, void, &KeyPoolCore::record_exhausted>),
     METH_FASTCALL | METH_KEYWORDS, kRecordExhaustedDoc},
    {"disable_key", as_method(pool_key_operation<kDisableKey, void, &KeyPoolCore::disable_key>),
     METH_FASTCALL | METH_KEYWORDS, kDisableKeyDoc},
    {"enable_key", as_method(pool_key_operation<kEnableKey, void, &KeyPoolCore::enable_key>),
     METH_FASTCALL | METH_KEYWORDS, kEnableKeyDoc},
    {"reset_daily_counters", as_method(pool_reset_daily_counters), METH_NOARGS,
     kResetDailyCountersDoc},
    {"has_key", as_method(pool_key_operation<kHasKey, bool, &KeyPoolCore::has_key>),
     METH_FASTCALL | METH_KEYWORDS, kHasKeyDoc},
    {"remove_key", as_method(pool_key_operation<kRemoveKey, bool, &KeyPoolCore::remove_key>),
     METH_FASTCALL | METH_KEYWORDS, kRemoveKeyDoc},
    {"list_keys", as_method(pool_list_keys), METH_NOARGS, kListKeysDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pool_slots[] = {
    {Py_tp_new, as_slot(pool_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<KeyPoolCore>)},
    {Py_tp_repr, as_slot(pool_repr)},
    {Py_tp_doc, const_cast<char*>(kPoolDoc)},
    {Py_tp_methods, pool_methods},
    {Py_sq_length, as_slot(pool_length)},
    {Py_mp_length, as_slot(pool_length)},
    {Py_nb_bool, as_slot(pool_bool)},
    {0, nullptr},
};

PyType_Spec pool_spec = {"builtins.KeyPool", sizeof(Instance<KeyPoolCore>), 0,
                         Py_TPFLAGS_DEFAULT, pool_slots};

PyTypeObject* pool_type_slot = nullptr;

}  // namespace

PyTypeObject* key_pool_type() { return type_from_spec(pool_type_slot, pool_spec); }
PyTypeObject* key_summary_type() { return type_from_spec(summary_type_slot, summary_spec); }

}  // namespace velmorquist::binding
