// ProviderProfile, RouterConfig and RoutingDecision: immutable values the
// router takes and returns.
#include <optional>
#include <string>
#include <utility>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/native/classes.hpp"
#include "core/base/format.hpp"
#include "core/policy/provider_profile.hpp"

namespace velmorquist::binding {
namespace {

// Reprs spell booleans the way the rest of the system's texts do.
const char* word(bool value) { return value ? "true" : "false"; }

// ---- ProviderProfile -----------------------------------------------------------------

constexpr const char kProfileDoc[] =
    "ProviderProfile(id, cost_per_1k, base_quality, base_latency_ms)\n--\n\n"
    "Python-visible provider profile.";

const Signature kProfileNew("ProviderProfile.__new__()", 4, "id", "cost_per_1k", "base_quality",
                            "base_latency_ms");

const ProviderProfile& profile_of(PyObject* self) { return core_of<ProviderProfile>(self); }

PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kProfileNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        ProviderProfile profile;
        if (!bound.convert(0, to_string, profile.id) ||
            !bound.convert(1, to_double, profile.cost_per_1k) ||
            !bound.convert(2, to_double, profile.base_quality) ||
            !bound.convert(3, to_double, profile.base_latency_ms))
            return nullptr;
        return new_instance<ProviderProfile>(type, std::move(profile));
    });
}

PyObject* profile_repr(PyObject* self) {
    return guarded([&] {
        const ProviderProfile& profile = profile_of(self);
        std::string text = "ProviderProfile(id='";
        text += profile.id;
        text += "', cost=";
        append_fixed(text, profile.cost_per_1k, 4);
        text += ", quality=";
        append_fixed(text, profile.base_quality, 2);
        text += ", latency=";
        append_fixed(text, profile.base_latency_ms, 0);
        text += "ms)";
        return new_str(text);
    });
}

PyGetSetDef profile_getset[] = {
    field_property<&ProviderProfile::id>("id"),
    field_property<&ProviderProfile::cost_per_1k>("cost_per_1k"),
    field_property<&ProviderProfile::base_quality>("base_quality"),
    field_property<&ProviderProfile::base_latency_ms>("base_latency_ms"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyType_Slot profile_slots[] = {
    {Py_tp_new, as_slot(profile_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ProviderProfile>)},
    {Py_tp_repr, as_slot(profile_repr)},
    {Py_tp_doc, const_cast<char*>(kProfileDoc)},
    {Py_tp_getset, profile_getset},
    {Py_tp_methods, no_methods},
    {0, nullptr},
};

PyType_Spec profile_spec = {"builtins.ProviderProfile", sizeof(Instance<ProviderProfile>), 0,
                            Py_TPFLAGS_DEFAULT, profile_slots};

PyTypeObject* profile_type_slot = nullptr;

// ---- RouterConfig --------------------------------------------------------------------

constexpr const char kConfigDoc[] =
    "RouterConfig(cost_weight=0.5, quality_weight=0.35, latency_weight=0.15, explore_mode=True, "
    "decay_factor=0.95, fallback_provider=None)\n--\n\nPython-visible router config.";

const Signature kConfigNew("RouterConfig.__new__()", 0, "cost_weight", "quality_weight",
                           "latency_weight", "explore_mode", "decay_factor", "fallback_provider");

const RouterConfig& config_of(PyObject* self) { return core_of<RouterConfig>(self); }

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kConfigNew);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        RouterConfig config;
        if (bound[0] && !bound.convert(0, to_double, config.cost_weight)) return nullptr;
        if (bound[1] && !bound.convert(1, to_double, config.quality_weight)) return nullptr;
        if (bound[2] && !bound.convert(2, to_double, config.latency_weight)) return nullptr;
        if (bound[3] && !bound.convert(3, to_bool, config.explore_mode)) return nullptr;
        if (bound[4] && !bound.convert(4, to_double, config.decay_factor)) return nullptr;
        if (given(bound[5])) {
            std::string fallback;
            if (!bound.convert(5, to_string, fallback)) return nullptr;
            config.fallback_provider = std::move(fallback);
        }
        return new_instance<RouterConfig>(type, std::move(config));
    });
}

PyObject* config_repr(PyObject* self) {
    return guarded([&] {
        const RouterConfig& config = config_of(self);
        std::string text = "RouterConfig(cost=";
        append_fixed(text, config.cost_weight, 2);
        text += ", quality=";
        append_fixed(text, config.quality_weight, 2);
        text += ", latency=";
        append_fixed(text, config.latency_weight, 2);
        text += ", explore=";
        text += word(config.explore_mode);
        text += ", decay=";
        append_fixed(text, config.decay_factor, 2);
        text += ")";
        return new_str(text);
    });
}

PyGetSetDef config_getset[] = {
    field_property<&RouterConfig::cost_weight>("cost_weight"),
    field_property<&RouterConfig::quality_weight>("quality_weight"),
    field_property<&RouterConfig::latency_weight>("latency_weight"),
    field_property<&RouterConfig::explore_mode>("explore_mode"),
    field_property<&RouterConfig::decay_factor>("decay_factor"),
    field_property<&RouterConfig::fallback_provider>("fallback_provider"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot config_slots[] = {
    {Py_tp_new, as_slot(config_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<RouterConfig>)},
    {Py_tp_repr, as_slot(config_repr)},
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_getset, config_getset},
    {Py_tp_methods, no_methods},
    {0, nullptr},
};

PyType_Spec config_spec = {"builtins.RouterConfig", sizeof(Instance<RouterConfig>), 0,
                           Py_TPFLAGS_DEFAULT, config_slots};

PyTypeObject* config_type_slot = nullptr;

// ---- RoutingDecision -----------------------------------------------------------------

constexpr const char kDecisionDoc[] = "Python-visible routing decision.";

const RoutingDecision& decision_of(PyObject* self) { return core_of<RoutingDecision>(self); }

PyObject* decision_repr(PyObject* self) {
    return guarded([&] {
        const RoutingDecision& decision = decision_of(self);
        std::string text = "RoutingDecision(provider_id='";
        text += decision.provider_id;
        text += "', score=";
        append_fixed(text, decision.score, 4);
        text += ", is_explore=";
        text += word(decision.is_explore);
        text += ")";
        return new_str(text);
    });
}

PyGetSetDef decision_getset[] = {
    field_property<&RoutingDecision::provider_id>("provider_id"),
    field_property<&RoutingDecision::score>("score"),
    field_property<&RoutingDecision::is_explore>("is_explore"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<RoutingDecision>)},
    {Py_tp_repr, as_slot(decision_repr)},
    {Py_tp_doc, const_cast<char*>(kDecisionDoc)},
    {Py_tp_getset, decision_getset},
    {Py_tp_methods, no_methods},
    {0, nullptr},
};

PyType_Spec decision_spec = {"builtins.RoutingDecision", sizeof(Instance<RoutingDecision>), 0,
                             Py_TPFLAGS_DEFAULT, decision_slots};

PyTypeObject* decision_type_slot = nullptr;

}  // namespace

PyTypeObject* provider_profile_type() { return type_from_spec(profile_type_slot, profile_spec); }
PyTypeObject* router_config_type() { return type_from_spec(config_type_slot, config_spec); }
PyTypeObject* routing_decision_type() { return type_from_spec(decision_type_slot, decision_spec); }

}  // namespace velmorquist::binding
