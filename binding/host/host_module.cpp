// velmorquist_proxy._host: `attach(...)` opens a host-shared region for a
// gateway's providers and returns a HostRegion (host_region.hpp);
// `attach_private(...)` makes the same state in this process's own memory.
// The module also names the native enum values the state's methods take and
// give (REFUSED, KEY_RATE_LIMITED, NOTE_TRIP, ...) and offers ManualClock.
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_body.hpp"
#include "binding/host/host_config.hpp"
#include "binding/host/host_events.hpp"
#include "binding/host/host_exchange.hpp"
#include "binding/host/host_log.hpp"
#include "binding/host/host_region.hpp"
#include "binding/host/host_reply.hpp"
#include "binding/host/host_tally.hpp"
#include "core/region/robust_mutex.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {
namespace {

PyObject* raise_region_error(const RegionError& error) {
    switch (error.fault) {
        case RegionFault::NotFound: {
            PyRef exception(PyObject_CallFunction(PyExc_FileNotFoundError, "iss", ENOENT,
                                                  std::strerror(ENOENT), error.message.c_str()));
            if (exception) PyErr_SetObject(PyExc_FileNotFoundError, exception.get());
            return nullptr;
        }
        case RegionFault::System: {
            // OSError(errno, text) becomes the errno's own subclass.
            PyRef exception(
                PyObject_CallFunction(PyExc_OSError, "is", error.os_error, error.message.c_str()));
            if (exception)
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                                exception.get());
            return nullptr;
        }
        case RegionFault::NotOurs:
        case RegionFault::Refused:
            PyErr_SetString(PyExc_ValueError, error.message.c_str());
            return nullptr;
    }
    return nullptr;
}

// ---- ManualClock: time that moves only when a test says so ---------------------

using ClockCore = std::shared_ptr<ManualClock>;
PyTypeObject* clock_type_slot = nullptr;

const Signature kClockNew("ManualClock()", 0, "start");

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(kClockNew);
    double start = 0.0;
    if (!bound.bind_new(args, kwargs)) return nullptr;
    if (bound[0] != nullptr && !bound.convert(0, to_double, start)) return nullptr;
    return new_instance<ClockCore>(type, std::make_shared<ManualClock>(start));
}

// Calling the clock reads it, so it can stand where time.monotonic does.
PyObject* clock_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature kCall("ManualClock()", 0);
    BoundArgs bound(kCall);
    if (!bound.bind_new(args, kwargs)) return nullptr;
    return PyFloat_FromDouble(core_of<ClockCore>(self)->now());
}

const Signature kClockAdvance("ManualClock.advance()", 1, "seconds");

PyObject* clock_advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    BoundArgs bound(kClockAdvance);
    double seconds = 0.0;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_double, seconds)) return nullptr;
    core_of<ClockCore>(self)->advance(seconds);
    return new_none();
}

const Signature kClockSet("ManualClock.set()", 1, "seconds");

PyObject* clock_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kClockSet);
    double seconds = 0.0;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_double, seconds)) return nullptr;
    core_of<ClockCore>(self)->set(seconds);
    return new_none();
}

constexpr const char kClockAdvanceDoc[] =
    "advance($self, seconds)\n--\n\nMoves the clock on by `seconds`.";
constexpr const char kClockSetDoc[] = "set($self, seconds)\n--\n\nSets the clock's reading.";
constexpr const char kClockDoc[] =
    "ManualClock(start=0.0)\n--\n\n"
    "A clock for tests: a gateway state attached with it reads only this clock, and\n"
    "calling it returns its reading, so it also stands in for time.monotonic.";

PyMethodDef clock_methods[] = {
    {"advance", as_method(clock_advance), METH_FASTCALL | METH_KEYWORDS, kClockAdvanceDoc},
    {"set", as_method(clock_set), METH_FASTCALL | METH_KEYWORDS, kClockSetDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot clock_slots[] = {
    {Py_tp_new, as_slot(clock_new)},
    {Py_tp_call, as_slot(clock_call)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ClockCore>)},
    {Py_tp_doc, const_cast<char*>(kClockDoc)},
    {Py_tp_methods, clock_methods},
    {0, nullptr},
};

PyType_Spec clock_spec = {"velmorquist_proxy._host.ManualClock", sizeof(Instance<ClockCore>), 0,
                          Py_TPFLAGS_DEFAULT, clock_slots};

// The state's clock: the host's monotonic clock, or a ManualClock given by a test.
bool read_clock(PyObject* object, std::shared_ptr<const Clock>& out) {
    if (object == nullptr || object == Py_None) {
        out = std::make_shared<HostClock>();
        return true;
    }
    PyTypeObject* type = type_from_spec(clock_type_slot, clock_spec);
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_Format(PyExc_TypeError, "clock must be a ManualClock or None, not %.200s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    out = core_of<ClockCore>(object);
    return true;
}

bool read_limits(PyObject* object, LimitSource& out) {
    bool fleet = false;
    if (object != nullptr && !to_bool(object, fleet)) return false;
    out = fleet ? LimitSource::FleetLeases : LimitSource::LocalBuckets;
    return true;
}

// ---- attaching ----------------------------------------------------------------

const Signature kAttach("attach()", 5, "path", "create", "fresh", "providers", "router", "fleet",
                        "clock");

PyObject* host_attach(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kAttach);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string path;
    bool create = true;
    bool fresh = false;
    HostConfig config;
    LimitSource limits{};
    std::shared_ptr<const Clock> clock;
    if (!bound.convert(0, to_string, path) ||
        !bound.convert(1, to_bool, create) ||
        !bound.convert(2, to_bool, fresh) ||
        !read_host_config(bound[3], bound[4], config) ||
        !read_limits(bound[5], limits) ||
        !read_clock(bound[6], clock))
        return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<std::unique_ptr<SharedState>, RegionError> attached =
            std::unexpected(RegionError{});
        // Attaching may wait for another process's attach to finish.
        Py_BEGIN_ALLOW_THREADS
        attached = SharedState::attach(path, create, fresh, std::move(config), std::move(clock),
                                       limits);
        Py_END_ALLOW_THREADS
        if (!attached) return raise_region_error(attached.error());
        return new_host_region(std::move(*attached));
    });
}

const Signature kAttachPrivate("attach_private()", 2, "providers", "router", "fleet", "clock");

PyObject* host_attach_private(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArgs bound(kAttachPrivate);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    HostConfig config;
    LimitSource limits{};
    std::shared_ptr<const Clock> clock;
    if (!read_host_config(bound[0], bound[1], config) || !read_limits(bound[2], limits) ||
        !read_clock(bound[3], clock))
        return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<std::unique_ptr<SharedState>, RegionError> attached =
            SharedState::attach_private(std::move(config), std::move(clock), limits);
        if (!attached) return raise_region_error(attached.error());
        return new_host_region(std::move(*attached));
    });
}

constexpr const char kAttachDoc[] =
    "attach(path, create, fresh, providers, router, fleet=False, clock=None)\n--\n\n"
    "A HostRegion over the region file at `path` for these provider descriptions.\n"
    "`fleet`: limits from the fleet's leases instead of local buckets. `clock`: a\n"
    "ManualClock for tests, else the host's monotonic clock.";
constexpr const char kAttachPrivateDoc[] =
    "attach_private(providers, router, fleet=False, clock=None)\n--\n\n"
    "A HostRegion in this process's private memory for these provider descriptions.";

PyMethodDef module_methods[] = {
    {"attach", as_method(host_attach), METH_FASTCALL | METH_KEYWORDS, kAttachDoc},
    {"attach_private", as_method(host_attach_private), METH_FASTCALL | METH_KEYWORDS,
     kAttachPrivateDoc},
    {"scan_request", scan_request, METH_O, kScanRequestDoc},
    {"splice_body", as_method(splice_body), METH_FASTCALL, kSpliceBodyDoc},
    {"read_usage", read_usage, METH_O, kReadUsageDoc},
    {"access_line", as_method(access_line), METH_FASTCALL, kAccessLineDoc},
    {"split_events", as_method(split_events), METH_FASTCALL, kSplitEventsDoc},
    {"tally_request", as_method(tally_request), METH_FASTCALL, kTallyRequestDoc},
    {"restart_request_ids", restart_request_ids, METH_O, kRestartRequestIdsDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The native values Python names instead of copying them (_state.py).
struct Constant {
    const char* name;
    long value;
};

template <class Enum>
constexpr Constant constant(const char* name, Enum value) {
    return {name, static_cast<long>(value)};
}

constexpr Constant kConstants[] = {
    constant("REFUSED", BreakerAnswer::Refused),
    constant("ALLOWED", BreakerAnswer::Allowed),
    constant("TRIAL", BreakerAnswer::Trial),
    constant("SUCCESS", BreakerOutcome::Success),
    constant("FAILURE", BreakerOutcome::Failure),
    constant("NEUTRAL", BreakerOutcome::Neutral),
    constant("KEY_SUCCESS", KeyOutcome::Success),
    constant("KEY_ERROR", KeyOutcome::Error),
    constant("KEY_RATE_LIMITED", KeyOutcome::RateLimited),
    constant("KEY_EXHAUSTED", KeyOutcome::Exhausted),
    constant("KEY_DISABLED", KeyOutcome::Disabled),
    constant("KEY_ENABLED", KeyOutcome::Enabled),
    constant("NOTE_TRIP", FleetNote::Trip),
    constant("NOTE_COOL", FleetNote::Cool),
    constant("NOTE_EXHAUSTED", FleetNote::Exhausted),
    constant("NOTE_DISABLED", FleetNote::Disabled),
    constant("NOTE_ENABLED", FleetNote::Enabled),
    constant("NOTE_RESET", FleetNote::Reset),
    constant("LIMIT_REQUESTS", LeaseKind::Requests),
    constant("LIMIT_TOKENS", LeaseKind::Tokens),
    constant("BODY_INVALID", BodyFault::Invalid),
    constant("BODY_NOT_OBJECT", BodyFault::NotObject),
    constant("BODY_REPEATED", BodyFault::Repeated),
};
static_assert(std::size(kConstants) == kBreakerAnswerCount + kBreakerOutcomeCount +
                                           kKeyOutcomeCount + kFleetNoteCount + kLeaseKindCount + kBodyFaultCount,
              "every value of every exported enum has its name");

// New reference: {id: (cost_per_1k, base_quality, base_latency_ms)} of the
// router's built-in catalogue, so the gateway's defaults never copy it.
PyObject* catalogue_dict() {
    PyRef catalogue(PyDict_New());
    if (!catalogue) return nullptr;
    for (const ProviderProfile& profile : default_catalogue()) {
        PyRef entry(Py_BuildValue("(ddd)", profile.cost_per_1k, profile.base_quality,
                                  profile.base_latency_ms));
        if (!entry || PyDict_SetItemString(catalogue.get(), profile.id.c_str(), entry.get()) < 0)
            return nullptr;
    }
    return catalogue.release();
}

// A region lock held by another process (perhaps a stopped one) is waited
// for with the interpreter lock released, so this process's other threads
// go on meanwhile. Locks are only ever waited for inside calls made with the
// interpreter lock held.
void wait_without_interpreter(void (*wait)(void*), void* context) {
    Py_BEGIN_ALLOW_THREADS
    wait(context);
    Py_END_ALLOW_THREADS
}

int module_exec(PyObject* module) {
    set_lock_wait_around(wait_without_interpreter);
    for (const Constant& c : kConstants) {
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return -1;
    }
    if (PyModule_Add(module, "PROVIDER_CATALOGUE", catalogue_dict()) < 0) return -1;
    if (PyModule_Add(module, "OVERHEAD_BOUNDS_S", overhead_bounds()) < 0 ||
        PyModule_Add(module, "FIRST_TOKEN_BOUNDS_S", first_token_bounds()) < 0 ||
        PyModule_Add(module, "TOKEN_BOUNDS", token_bounds()) < 0)
        return -1;
    if (add_exchange_type(module) < 0 || add_upstream_events_type(module) < 0) return -1;
    PyTypeObject* clock = type_from_spec(clock_type_slot, clock_spec);
    if (clock == nullptr) return -1;
    return PyModule_AddObjectRef(module, "ManualClock", reinterpret_cast<PyObject*>(clock));
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_host",
    "The gateway's state, in private memory or shared by every process on a host",
    0,
    module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velmorquist::binding

PyMODINIT_FUNC PyInit__host() {
    using namespace velmorquist::binding;
    PyRef module(PyModule_Create(&module_definition));
    if (!module || module_exec(module.get()) < 0) return nullptr;
    return module.release();
}
