// RetryPolicy.
#include <climits>
#include <cstdint>
#include <string>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "core/base/format.hpp"
#include "core/base/random.hpp"
#include "core/policy/retry.hpp"

namespace velmorquist::binding {
namespace {

constexpr const char kPolicyDoc[] =
    "RetryPolicy(max_retries=2, base_delay_ms=500, max_delay_ms=10000, jitter_factor=0.5)"
    "\n--\n\nRetry policy with exponential backoff and jitter.";
constexpr const char kShouldRetryDoc[] =
    "should_retry($self, attempt)\n--\n\nWhether attempt `n` (0-indexed) should be retried.";
constexpr const char kDelayMsDoc[] =
    "delay_ms($self, attempt)\n--\n\n"
    "Delay in milliseconds before attempt `n` (exponential backoff + jitter).";

const Signature kPolicyNew("RetryPolicy.__new__()", 0, "max_retries", "base_delay_ms",
                           "max_delay_ms", "jitter_factor");
const Signature kShouldRetry("RetryPolicy.should_retry()", 1, "attempt");
const Signature kDelayMs("RetryPolicy.delay_ms()", 1, "attempt");

// The instance keeps the policy with its jitter ranges worked out.
const RetryPlan& plan_of(PyObject* self) { return core_of<RetryPlan>(self); }
const RetryPolicy& policy_of(PyObject* self) { return plan_of(self).policy(); }

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kPolicyNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    // Only an absent argument takes its default: an explicit None fails to convert.
    RetryPolicy policy;
    if (bound[0] && !bound.convert(0, to_u32, policy.max_retries)) return nullptr;
    if (bound[1] && !bound.convert(1, to_u64, policy.base_delay_ms)) return nullptr;
    if (bound[2] && !bound.convert(2, to_u64, policy.max_delay_ms)) return nullptr;
    if (bound[3] && !bound.convert(3, to_double, policy.jitter_factor)) return nullptr;
    return new_instance<RetryPlan>(type, policy);
}

PyObject* policy_repr(PyObject* self) {
    return guarded([&] {
        const RetryPolicy& policy = policy_of(self);
        std::string text = "RetryPolicy(max_retries=" + std::to_string(policy.max_retries) +
                           ", base=" + std::to_string(policy.base_delay_ms) +
                           "ms, max=" + std::to_string(policy.max_delay_ms) + "ms, jitter=";
        append_fixed(text, policy.jitter_factor, 2);
        text += ')';
        return new_str(text);
    });
}

PyObject* policy_max_retries(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(policy_of(self).max_retries);
}
PyObject* policy_base_delay_ms(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(policy_of(self).base_delay_ms);
}
PyObject* policy_max_delay_ms(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(policy_of(self).max_delay_ms);
}
PyObject* policy_jitter_factor(PyObject* self, void*) {
    return PyFloat_FromDouble(policy_of(self).jitter_factor);
}

PyObject* policy_should_retry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArgs bound(kShouldRetry);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::uint32_t attempt = 0;
    if (!bound.convert(0, to_u32, attempt)) return nullptr;
    return new_bool(policy_of(self).should_retry(attempt));
}

PyObject* policy_delay_ms(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    BoundArgs bound(kDelayMs);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::uint32_t attempt = 0;
    if (!bound.convert(0, to_u32, attempt)) return nullptr;
    // The generator's creation and a NaN jitter's empty range are internal faults.
    return guarded([&] {
        const std::uint64_t delay = plan_of(self).delay_ms(attempt, thread_rng());
        // The signed conversion has the interpreter's quicker path for one-digit ints.
        if (delay <= static_cast<std::uint64_t>(LONG_MAX))
            return PyLong_FromLong(static_cast<long>(delay));
        return PyLong_FromUnsignedLongLong(delay);
    });
}

PyGetSetDef policy_getset[] = {
    {"max_retries", policy_max_retries, nullptr, "", nullptr},
    {"base_delay_ms", policy_base_delay_ms, nullptr, "", nullptr},
    {"max_delay_ms", policy_max_delay_ms, nullptr, "", nullptr},
    {"jitter_factor", policy_jitter_factor, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef policy_methods[] = {
    {"should_retry", as_method(policy_should_retry), METH_FASTCALL | METH_KEYWORDS,
     kShouldRetryDoc},
    {"delay_ms", as_method(policy_delay_ms), METH_FASTCALL | METH_KEYWORDS, kDelayMsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot policy_slots[] = {
    {Py_tp_new, as_slot(policy_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<RetryPlan>)},
    {Py_tp_repr, as_slot(policy_repr)},
    {Py_tp_doc, const_cast<char*>(kPolicyDoc)},
    {Py_tp_getset, policy_getset},
    {Py_tp_methods, policy_methods},
    {0, nullptr},
};

PyType_Spec policy_spec = {"builtins.RetryPolicy", sizeof(Instance<RetryPlan>), 0,
                           Py_TPFLAGS_DEFAULT, policy_slots};

PyTypeObject* policy_type_slot = nullptr;

}  // namespace

PyTypeObject* retry_policy_type() { return type_from_spec(policy_type_slot, policy_spec); }

}  // namespace velmorquist::binding
