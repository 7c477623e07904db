// ThompsonRouter: the Python face of the router core.
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "binding/common/exceptions.hpp"
#include "core/policy/provider_profile.hpp"
#include "core/policy/thompson_router.hpp"

namespace velmorquist::binding {
namespace {

constexpr const char kRouterDoc[] =
    "ThompsonRouter(config=None)\n--\n\nThompson sampling router for LLM providers.";
constexpr const char kAddProviderDoc[] =
    "add_provider($self, profile)\n--\n\nAdd a provider to the router.";
constexpr const char kRemoveProviderDoc[] =
    "remove_provider($self, provider_id)\n--\n\n"
    "Remove a provider by ID. Returns true if found and removed.";
constexpr const char kProviderCountDoc[] = "Number of registered providers.";
constexpr const char kSelectDoc[] =
    "select($self)\n--\n\n"
    "Select a provider (auto mode: explore or deterministic based on config).";
constexpr const char kSelectDeterministicDoc[] =
    "select_deterministic($self)\n--\n\nSelect deterministically (no sampling).";
constexpr const char kRecordOutcomeDoc[] =
    "record_outcome($self, provider_id, reward)\n--\n\n"
    "Record an outcome for a provider. Reward should be in [0, 1].";
constexpr const char kRankAmongDoc[] =
    "rank_among($self, eligible_ids=...)\n--\n\n"
    "Rank providers by score (best-to-worst).\n"
    "If `eligible_ids` is empty, all providers are ranked.";
constexpr const char kLoadDefaultsDoc[] =
    "load_defaults($self)\n--\n\nLoad default profiles for 12 common providers.";

const Signature kRouterNew("ThompsonRouter.__new__()", 0, "config");
const Signature kAddProvider("ThompsonRouter.add_provider()", 1, "profile");
const Signature kRemoveProvider("ThompsonRouter.remove_provider()", 1, "provider_id");
const Signature kRecordOutcome("ThompsonRouter.record_outcome()", 2, "provider_id", "reward");
const Signature kRankAmong("ThompsonRouter.rank_among()", 0, "eligible_ids");

RouterCore& router_of(PyObject* self) { return core_of<RouterCore>(self); }

// ---- eligible_ids: a sequence of str ---------------------------------------------------

// The texts of a converted sequence. The views borrow the UTF-8 buffers of the
// items, which `items` keeps alive even if the sequence changes afterwards.
struct StrSequence {
    std::vector<PyRef> items;
    std::vector<std::string_view> texts;
};

// Anything passing the sequence check except a str; its items are read by
// iterating and must each be a str.
bool to_str_sequence(PyObject* object, StrSequence& out) {
    if (PyUnicode_Check(object)) {
        // A str is a sequence of one-character strs, which is never what was meant.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return false;
    }
    // Only a capacity hint: a failing __len__ is ignored, a lying one is capped.
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) PyErr_Clear();
    constexpr Py_ssize_t kMaxReserve = 1024;
    auto capacity = static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, kMaxReserve));
    out.items.reserve(capacity);
    out.texts.reserve(capacity);

    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        PyObject* next = PyIter_Next(iterator.get());
        if (next == nullptr) break;
        PyRef item(next);
        std::string_view text;
        if (!to_utf8(item.get(), text)) return false;
        out.items.push_back(std::move(item));
        out.texts.push_back(text);
    }
    return !PyErr_Occurred();
}

// ---- results -----------------------------------------------------------------------

// New reference to a RoutingDecision, or nullptr with an error set.
PyObject* new_decision(RoutingDecision&& decision) {
    PyTypeObject* type = routing_decision_type();
    if (type == nullptr) return nullptr;
    return new_instance<RoutingDecision>(type, std::move(decision));
}

PyObject* decision_result(std::expected<RoutingDecision, ProxyError>&& decision) {
    if (!decision) return to_python_exception(decision.error());
    return new_decision(std::move(*decision));
}

// ---- methods -------------------------------------------------------------------------

PyObject* router_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kRouterNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!given(bound[0])) return new_instance<RouterCore>(type, RouterConfig{});
        PyTypeObject* config_type = router_config_type();
        if (config_type == nullptr || !bound.check_instance(0, config_type, "RouterConfig"))
            return nullptr;
        return new_instance<RouterCore>(type, core_of<RouterConfig>(bound[0]));
    });
}

PyObject* router_repr(PyObject* self) {
    return guarded([&] {
        std::string text = "ThompsonRouter(providers=";
        text += std::to_string(router_of(self).provider_count());
        text += ")";
        return new_str(text);
    });
}

PyObject* router_provider_count(PyObject* self, void*) {
    return PyLong_FromSize_t(router_of(self).provider_count());
}

PyObject* router_add_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArgs bound(kAddProvider);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    PyTypeObject* profile_type = provider_profile_type();
    if (profile_type == nullptr || !bound.check_instance(0, profile_type, "ProviderProfile"))
        return nullptr;
    return guarded([&]() -> PyObject* {
        router_of(self).add_provider(core_of<ProviderProfile>(bound[0]));
        Py_RETURN_NONE;
    });
}

PyObject* router_remove_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kRemoveProvider);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view provider_id;
    if (!bound.convert(0, to_utf8, provider_id)) return nullptr;
    return new_bool(router_of(self).remove_provider(provider_id));
}

PyObject* router_select(PyObject* self, PyObject*) {
    return guarded([&] { return decision_result(router_of(self).select(thread_rng())); });
}

PyObject* router_select_deterministic(PyObject* self, PyObject*) {
    return guarded([&] { return decision_result(router_of(self).select_deterministic()); });
}

PyObject* router_record_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    BoundArgs bound(kRecordOutcome);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view provider_id;
    double reward = 0.0;
    if (!bound.convert(0, to_utf8, provider_id) || !bound.convert(1, to_double, reward))
        return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<void, ProxyError> recorded =
            router_of(self).record_outcome(provider_id, reward);
        if (!recorded) return to_python_exception(recorded.error());
        Py_RETURN_NONE;
    });
}

PyObject* router_rank_among(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    BoundArgs bound(kRankAmong);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    return guarded([&]() -> PyObject* {
        StrSequence eligible;
        if (bound[0] && !bound.convert(0, to_str_sequence, eligible)) return nullptr;
        auto ranking = router_of(self).rank_among(eligible.texts, thread_rng());
        if (!ranking) return to_python_exception(ranking.error());
        PyRef list(PyList_New(static_cast<Py_ssize_t>(ranking->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < ranking->size(); ++i) {
            PyObject* decision = new_decision(std::move((*ranking)[i]));
            if (decision == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), decision);  // steals
        }
        return list.release();
    });
}

PyObject* router_load_defaults(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        router_of(self).load_defaults();
        Py_RETURN_NONE;
    });
}

PyGetSetDef router_getset[] = {
    {"provider_count", router_provider_count, nullptr, kProviderCountDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef router_methods[] = {
    {"add_provider", as_method(router_add_provider), METH_FASTCALL | METH_KEYWORDS,
     kAddProviderDoc},
    {"remove_provider", as_method(router_remove_provider), METH_FASTCALL | METH_KEYWORDS,
     kRemoveProviderDoc},
    {"select", as_method(router_select), METH_NOARGS, kSelectDoc},
    {"select_deterministic", as_method(router_select_deterministic), METH_NOARGS,
     kSelectDeterministicDoc},
    {"record_outcome", as_method(router_record_outcome), METH_FASTCALL | METH_KEYWORDS,
     kRecordOutcomeDoc},
    {"rank_among", as_method(router_rank_among), METH_FASTCALL | METH_KEYWORDS, kRankAmongDoc},
    {"load_defaults", as_method(router_load_defaults), METH_NOARGS, kLoadDefaultsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot router_slots[] = {
    {Py_tp_new, as_slot(router_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<RouterCore>)},
    {Py_tp_repr, as_slot(router_repr)},
    {Py_tp_doc, const_cast<char*>(kRouterDoc)},
    {Py_tp_getset, router_getset},
    {Py_tp_methods, router_methods},
    {0, nullptr},
};

PyType_Spec router_spec = {"builtins.ThompsonRouter", sizeof(Instance<RouterCore>), 0,
                           Py_TPFLAGS_DEFAULT, router_slots};

PyTypeObject* router_type_slot = nullptr;

}  // namespace

PyTypeObject* thompson_router_type() { return type_from_spec(router_type_slot, router_spec); }

}  // namespace velmorquist::binding
