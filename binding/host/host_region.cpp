// HostRegion: one type, one method table. Each method's parser sits next to
// its Signature and its docstring next to the table, which is why this file
// runs past 400 lines; the parsing helpers are in region_access.hpp and the
// fleet's methods in host_fleet.cpp.
#include "binding/host/host_region.hpp"

#include <cstddef>
#include <string>
#include <unistd.h>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_fleet.hpp"
#include "binding/host/host_stream.hpp"
#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

PyTypeObject* region_type_slot = nullptr;

// ---- routing ------------------------------------------------------------------

const Signature kRank("HostRegion.rank()", 1, "candidates");

// An empty `candidates` ranks every provider.
PyObject* region_rank(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kRank);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    PyRef sequence(PySequence_Fast(bound[0], "rank() candidates must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    std::vector<std::size_t> candidates(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!provider_arg(self, items[i], candidates[static_cast<std::size_t>(i)])) return nullptr;
    }
    return with_state(self, [&](SharedState& state) -> PyObject* {
        if (candidates.empty()) {
            candidates.resize(state.provider_count());
            for (std::size_t p = 0; p < candidates.size(); ++p) candidates[p] = p;
        }
        std::vector<std::size_t> order = state.rank(candidates, thread_rng());
        for (std::size_t& at : order) at = candidates[at];
        return index_list(order);
    });
}

const Signature kPosterior("HostRegion.posterior()", 1, "p");
PyObject* posterior_of(SharedState& state, std::size_t p) {
    const Posterior posterior = state.posterior(p);
    return Py_BuildValue("(dd)", posterior.alpha, posterior.beta);
}

const Signature kReward("HostRegion.reward()", 2, "p", "reward");
const Signature kLearnFromFleet("HostRegion.learn_from_fleet()", 2, "p", "reward");

const Signature kResetPosterior("HostRegion.reset_posterior()", 1, "p");
PyObject* reset_posterior_of(SharedState& state, std::size_t p) {
    state.reset_posterior(p);
    return new_none();
}

// ---- breaker ------------------------------------------------------------------

const Signature kTryBreaker("HostRegion.try_breaker()", 1, "p");
PyObject* try_breaker_of(SharedState& state, std::size_t p) {
    return PyLong_FromLong(static_cast<long>(state.try_breaker(p)));
}

const Signature kBreakerOutcome("HostRegion.breaker_outcome()", 3, "p", "trial", "outcome",
                                "kind");

PyObject* region_breaker_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kBreakerOutcome);
    std::size_t p = 0;
    bool trial = false;
    BreakerOutcome outcome{};
    std::string_view kind;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_bool, trial) ||
        !to_enum<BreakerOutcome, kBreakerOutcomeCount>(bound[2], "breaker outcome", outcome))
        return nullptr;
    // Every failure kind counts the same, as CircuitBreaker.record_failure's does.
    if (bound[3] != nullptr && !bound.convert(3, to_utf8, kind)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        const std::optional<CircuitState> changed = state.breaker_outcome(p, trial, outcome);
        return changed ? state_text_object(*changed) : new_none();
    });
}

PyObject* region_trial_candidates(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) { return index_list(state.trial_candidates()); });
}

const Signature kResetBreaker("HostRegion.reset_breaker()", 1, "p");
PyObject* reset_breaker_of(SharedState& state, std::size_t p) {
    return new_bool(state.reset_breaker(p));
}

const Signature kBreakerState("HostRegion.breaker_state()", 1, "p");
PyObject* breaker_state_of(SharedState& state, std::size_t p) {
    return state_text_object(state.breaker_state(p));
}

const Signature kBreakerReadyIn("HostRegion.breaker_ready_in()", 1, "p");
PyObject* breaker_ready_in_of(SharedState& state, std::size_t p) {
    return PyFloat_FromDouble(state.breaker_ready_in(p));
}

// ---- rate limits --------------------------------------------------------------

const Signature kTryLimits("HostRegion.try_limits()", 2, "p", "tokens");
PyObject* try_limits_of(SharedState& state, std::size_t p, std::uint64_t tokens) {
    return PyFloat_FromDouble(state.try_limits(p, tokens));
}

const Signature kLimitsReadyIn("HostRegion.limits_ready_in()", 2, "p", "tokens");
PyObject* limits_ready_in_of(SharedState& state, std::size_t p, std::uint64_t tokens) {
    return PyFloat_FromDouble(state.limits_ready_in(p, tokens));
}

const Signature kReleaseLimits("HostRegion.release_limits()", 2, "p", "tokens");
PyObject* release_limits_of(SharedState& state, std::size_t p, std::uint64_t tokens) {
    state.release_limits(p, tokens);
    return new_none();
}

const Signature kSettleTokens("HostRegion.settle_tokens()", 3, "p", "reserved", "used");

PyObject* region_settle_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    BoundArgs bound(kSettleTokens);
    std::size_t p = 0;
    std::uint64_t reserved = 0;
    std::uint64_t used = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_u64, reserved) || !bound.convert(2, to_u64, used))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.settle_tokens(p, reserved, used);
        return new_none();
    });
}

const Signature kBucketLevels("HostRegion.bucket_levels()", 1, "p");
PyObject* bucket_levels_of(SharedState& state, std::size_t p) {
    return optional_pair(state.bucket_levels(p));
}

// ---- keys ---------------------------------------------------------------------

const Signature kSelectKey("HostRegion.select_key()", 1, "p");
PyObject* select_key_of(SharedState& state, std::size_t p) {
    const std::optional<std::size_t> key = state.select_key(p, thread_rng());
    return PyLong_FromSsize_t(key ? static_cast<Py_ssize_t>(*key) : -1);
}

const Signature kKeysReadyIn("HostRegion.keys_ready_in()", 1, "p");
PyObject* keys_ready_in_of(SharedState& state, std::size_t p) {
    return PyFloat_FromDouble(state.keys_ready_in(p));
}

const Signature kKeyOutcome("HostRegion.key_outcome()", 3, "p", "k", "outcome", "latency_ms",
                            "cooldown_s");

PyObject* region_key_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(kKeyOutcome);
    std::size_t p = 0;
    std::size_t k = 0;
    KeyOutcome outcome{};
    double latency_ms = 0.0;
    double cooldown_s = 0.0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !key_arg(self, p, bound[1], k) ||
        !to_enum<KeyOutcome, kKeyOutcomeCount>(bound[2], "key outcome", outcome))
        return nullptr;
    if (bound[3] != nullptr && !bound.convert(3, to_double, latency_ms)) return nullptr;
    if (bound[4] != nullptr && !bound.convert(4, to_double, cooldown_s)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return new_bool(state.key_outcome(p, k, outcome, latency_ms, cooldown_s));
    });
}

// New reference: one key's summary as the gateway's snapshot shows it.
PyObject* key_view_dict(const KeyView& view) {
    return Py_BuildValue("{s:s,s:d,s:K,s:K,s:d}", "status",
                         std::string(status_text(view.status)).c_str(), "health", view.health,
                         "requests", static_cast<unsigned long long>(view.requests), "errors",
                         static_cast<unsigned long long>(view.errors), "avg_latency_ms",
                         view.avg_latency_ms);
}

const Signature kKeySummaries("HostRegion.key_summaries()", 1, "p");
PyObject* key_summaries_of(SharedState& state, std::size_t p) {
    const std::vector<KeyView> views = state.key_summaries(p);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(views.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < views.size(); ++i) {
        PyObject* item = key_view_dict(views[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

const Signature kDailyResetDue("HostRegion.daily_reset_due()", 1, "day");

PyObject* region_daily_reset_due(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kDailyResetDue);
    std::int64_t day = 0;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_i64, day)) return nullptr;
    return with_state(self, [&](SharedState& state) { return new_bool(state.daily_reset_due(day)); });
}

// ---- lifetime -----------------------------------------------------------------

// Unmaps the region and drops this attachment; a second close does nothing.
PyObject* region_close(PyObject* self, PyObject* /*unused*/) {
    core_of<StateHandle>(self).close();
    return new_none();
}

PyObject* region_still_named(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) { return new_bool(state.region_still_named()); });
}

PyObject* region_closed(PyObject* self, void* /*closure*/) {
    return new_bool(core_of<StateHandle>(self).open() == nullptr);
}

#ifdef VELMORQUIST_TEST_HOOKS
const Signature kParkHoldingLock("HostRegion._park_holding_lock()", 2, "p", "ready_fd");

// Parks this thread holding provider p's lock until the process is killed.
PyObject* region_park_holding_lock(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    BoundArgs bound(kParkHoldingLock);
    std::size_t p = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p)) return nullptr;
    const int ready_fd = PyLong_AsInt(bound[1]);
    if (ready_fd == -1 && PyErr_Occurred()) return nullptr;
    SharedState* state = open_state(self);
    if (state == nullptr) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    state->park_holding_lock(p, ready_fd);
    Py_END_ALLOW_THREADS
}
#endif

// ---- the type -----------------------------------------------------------------

constexpr const char kRankDoc[] =
    "rank($self, candidates)\n--\n\n"
    "The candidate provider indices best first (all providers when empty).";
constexpr const char kPosteriorDoc[] = "posterior($self, p)\n--\n\n(alpha, beta) of provider p.";
constexpr const char kRewardDoc[] =
    "reward($self, p, reward)\n--\n\n"
    "Decays provider p's posterior and adds the reward; counted for the fleet too\n"
    "when the state's limits are fleet leases.";
constexpr const char kLearnFromFleetDoc[] =
    "learn_from_fleet($self, p, reward)\n--\n\n"
    "Another host's outcome: the posterior learns it, the fleet's count does not.";
constexpr const char kResetPosteriorDoc[] =
    "reset_posterior($self, p)\n--\n\nProvider p's posterior back to Beta(1, 1).";
constexpr const char kTryBreakerDoc[] =
    "try_breaker($self, p)\n--\n\nREFUSED, ALLOWED or TRIAL (module constants).";
constexpr const char kBreakerOutcomeDoc[] =
    "breaker_outcome($self, p, trial, outcome, kind='unknown')\n--\n\n"
    "Records SUCCESS, FAILURE or NEUTRAL; the new state's text when it changed, else None.";
constexpr const char kResetBreakerDoc[] =
    "reset_breaker($self, p)\n--\n\n"
    "Closed, failures forgotten (an operator's reset); True when it was not closed.";
constexpr const char kStillNamedDoc[] =
    "still_named($self)\n--\n\n"
    "False once the region's path no longer names this region's file.";
constexpr const char kTrialCandidatesDoc[] =
    "trial_candidates($self)\n--\n\nProviders whose breaker would answer TRIAL now.";
constexpr const char kBreakerStateDoc[] =
    "breaker_state($self, p)\n--\n\n'closed', 'open' or 'half_open', after the recovery check.";
constexpr const char kBreakerReadyInDoc[] =
    "breaker_ready_in($self, p)\n--\n\nSeconds until try_breaker would stop refusing.";
constexpr const char kTryLimitsDoc[] =
    "try_limits($self, p, tokens)\n--\n\n"
    "Takes one request and `tokens` tokens, both or neither: 0.0 when taken, else the wait.";
constexpr const char kLimitsReadyInDoc[] =
    "limits_ready_in($self, p, tokens)\n--\n\nThe wait try_limits would report, taking nothing.";
constexpr const char kReleaseLimitsDoc[] =
    "release_limits($self, p, tokens)\n--\n\nGives back what a successful try_limits took.";
constexpr const char kSettleTokensDoc[] =
    "settle_tokens($self, p, reserved, used)\n--\n\n"
    "Returns the unused part of a reservation, or takes the excess.";
constexpr const char kBucketLevelsDoc[] =
    "bucket_levels($self, p)\n--\n\n(request level, token level); None where unlimited.";
constexpr const char kSelectKeyDoc[] =
    "select_key($self, p)\n--\n\nThe index of the key the strategy picks, or -1 when none is usable.";
constexpr const char kKeysReadyInDoc[] =
    "keys_ready_in($self, p)\n--\n\nSeconds until a key is usable; inf when none is cooling.";
constexpr const char kKeyOutcomeDoc[] =
    "key_outcome($self, p, k, outcome, latency_ms=0.0, cooldown_s=0.0)\n--\n\n"
    "Records a KEY_* outcome; True when a success made the key reach its daily limit.";
constexpr const char kKeySummariesDoc[] =
    "key_summaries($self, p)\n--\n\n"
    "Per key: {'status', 'health', 'requests', 'errors', 'avg_latency_ms'}.";
constexpr const char kDailyResetDueDoc[] =
    "daily_reset_due($self, day)\n--\n\n"
    "True exactly once per new day, for the caller that has just reset the keys.";
constexpr const char kCloseDoc[] = "close($self)\n--\n\nDetaches from the region.";
constexpr const char kFleetNoteDoc[] =
    "fleet_note($self, p, k, what)\n--\n\n"
    "Marks a change for the fleet's syncer: a NOTE_* constant; a trip or reset takes k = -1.";
constexpr const char kFleetChangesDoc[] =
    "fleet_changes($self)\n--\n\n[(what, p, k, value)] noted since the last call (cleared).";
constexpr const char kFleetHoldingsDoc[] =
    "fleet_holdings($self)\n--\n\n[(what, p, k, value)] of everything the region holds.";
constexpr const char kFleetTakeOutcomesDoc[] =
    "fleet_take_outcomes($self)\n--\n\n[(successes, failures)] per provider since the last call.";
constexpr const char kFleetLeaseAsksDoc[] =
    "fleet_lease_asks($self, elapsed, every_lease)\n--\n\n"
    "[(p, limit, want, back, capacity, rate)]; the hand-backs are already taken.";
constexpr const char kFleetHandBackDoc[] =
    "fleet_hand_back($self)\n--\n\n[(p, limit, 0, back, capacity, rate)]: the whole tokens held.";
constexpr const char kFleetGrantDoc[] =
    "fleet_grant($self, p, limit, amount, leased)\n--\n\n"
    "Adds to the lease of LIMIT_REQUESTS or LIMIT_TOKENS.";
constexpr const char kFleetStatusDoc[] = "fleet_status($self)\n--\n\n(degraded, hosts).";
constexpr const char kFleetSetDegradedDoc[] =
    "fleet_set_degraded($self, degraded)\n--\n\nDegraded: every provider spends its share.";
constexpr const char kFleetSetHostsDoc[] =
    "fleet_set_hosts($self, hosts)\n--\n\nA new count of live hosts starts each share afresh.";
constexpr const char kParkHoldingLockDoc[] =
    "_park_holding_lock($self, p, ready_fd)\n--\n\n"
    "Test builds only: parks holding provider p's lock until the process is killed.";

constexpr const char kLearnLatencyDoc[] =
    "learn_latency($self, p, latency_ms, first_chunk)\n--\n\n"
    "A measured latency for the router; with first_chunk also a stream's time to first chunk.";
constexpr const char kAbsorbLatencyDoc[] =
    "absorb_latency($self, p, mean_ms, count)\n--\n\nLatencies other hosts measured.";
constexpr const char kChunkGapsDoc[] =
    "chunk_gaps($self, p, gaps_ms)\n--\n\nTimes between a stream's chunks.";
constexpr const char kStreamStatsDoc[] =
    "stream_stats($self, p)\n--\n\n"
    "(latency_ms, (p50, p95, samples) to first chunk, (p50, p95, samples) between chunks).";
constexpr const char kFleetTakeLatenciesDoc[] =
    "fleet_take_latencies($self)\n--\n\n[(sum ms, count)] per provider since the last call.";

constexpr int kKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef region_methods[] = {
    {"rank", as_method(region_rank), kKeywords, kRankDoc},
    {"posterior", as_method(on_provider<kPosterior, posterior_of>), kKeywords, kPosteriorDoc},
    {"reward", as_method(on_reward<kReward, &SharedState::reward>), kKeywords, kRewardDoc},
    {"learn_from_fleet", as_method(on_reward<kLearnFromFleet, &SharedState::learn_from_fleet>),
     kKeywords, kLearnFromFleetDoc},
    {"reset_posterior", as_method(on_provider<kResetPosterior, reset_posterior_of>), kKeywords,
     kResetPosteriorDoc},
    {"try_breaker", as_method(on_provider<kTryBreaker, try_breaker_of>), kKeywords,
     kTryBreakerDoc},
    {"breaker_outcome", as_method(region_breaker_outcome), kKeywords, kBreakerOutcomeDoc},
    {"trial_candidates", as_method(region_trial_candidates), METH_NOARGS, kTrialCandidatesDoc},
    {"reset_breaker", as_method(on_provider<kResetBreaker, reset_breaker_of>), kKeywords,
     kResetBreakerDoc},
    {"breaker_state", as_method(on_provider<kBreakerState, breaker_state_of>), kKeywords,
     kBreakerStateDoc},
    {"breaker_ready_in", as_method(on_provider<kBreakerReadyIn, breaker_ready_in_of>), kKeywords,
     kBreakerReadyInDoc},
    {"try_limits", as_method(on_provider_tokens<kTryLimits, try_limits_of>), kKeywords,
     kTryLimitsDoc},
    {"limits_ready_in", as_method(on_provider_tokens<kLimitsReadyIn, limits_ready_in_of>),
     kKeywords, kLimitsReadyInDoc},
    {"release_limits", as_method(on_provider_tokens<kReleaseLimits, release_limits_of>),
     kKeywords, kReleaseLimitsDoc},
    {"settle_tokens", as_method(region_settle_tokens), kKeywords, kSettleTokensDoc},
    {"bucket_levels", as_method(on_provider<kBucketLevels, bucket_levels_of>), kKeywords,
     kBucketLevelsDoc},
    {"select_key", as_method(on_provider<kSelectKey, select_key_of>), kKeywords, kSelectKeyDoc},
    {"keys_ready_in", as_method(on_provider<kKeysReadyIn, keys_ready_in_of>), kKeywords,
     kKeysReadyInDoc},
    {"key_outcome", as_method(region_key_outcome), kKeywords, kKeyOutcomeDoc},
    {"key_summaries", as_method(on_provider<kKeySummaries, key_summaries_of>), kKeywords,
     kKeySummariesDoc},
    {"daily_reset_due", as_method(region_daily_reset_due), kKeywords, kDailyResetDueDoc},
    {"still_named", as_method(region_still_named), METH_NOARGS, kStillNamedDoc},
    {"close", as_method(region_close), METH_NOARGS, kCloseDoc},
    {"fleet_note", as_method(region_fleet_note), kKeywords, kFleetNoteDoc},
    {"fleet_changes", as_method(region_fleet_changes), METH_NOARGS, kFleetChangesDoc},
    {"fleet_holdings", as_method(region_fleet_holdings), METH_NOARGS, kFleetHoldingsDoc},
    {"fleet_take_outcomes", as_method(region_fleet_take_outcomes), METH_NOARGS,
     kFleetTakeOutcomesDoc},
    {"fleet_lease_asks", as_method(region_fleet_lease_asks), kKeywords, kFleetLeaseAsksDoc},
    {"fleet_hand_back", as_method(region_fleet_hand_back), METH_NOARGS, kFleetHandBackDoc},
    {"fleet_grant", as_method(region_fleet_grant), kKeywords, kFleetGrantDoc},
    {"fleet_status", as_method(region_fleet_status), METH_NOARGS, kFleetStatusDoc},
    {"fleet_set_degraded", as_method(region_fleet_set_degraded), kKeywords, kFleetSetDegradedDoc},
    {"fleet_set_hosts", as_method(region_fleet_set_hosts), kKeywords, kFleetSetHostsDoc},
    {"learn_latency", as_method(region_learn_latency), kKeywords, kLearnLatencyDoc},
    {"absorb_latency", as_method(region_absorb_latency), kKeywords, kAbsorbLatencyDoc},
    {"chunk_gaps", as_method(region_chunk_gaps), kKeywords, kChunkGapsDoc},
    {"stream_stats", as_method(region_stream_stats), kKeywords, kStreamStatsDoc},
    {"fleet_take_latencies", as_method(region_fleet_take_latencies), METH_NOARGS,
     kFleetTakeLatenciesDoc},
#ifdef VELMORQUIST_TEST_HOOKS
    {"_park_holding_lock", as_method(region_park_holding_lock), kKeywords, kParkHoldingLockDoc},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef region_properties[] = {
    {"closed", region_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kRegionDoc[] =
    "The gateway's state in a region: host-shared, or in private memory.";

PyType_Slot region_slots[] = {
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<StateHandle>)},
    {Py_tp_doc, const_cast<char*>(kRegionDoc)},
    {Py_tp_methods, region_methods},
    {Py_tp_getset, region_properties},
    {0, nullptr},
};

PyType_Spec region_spec = {"velmorquist_proxy._host.HostRegion", sizeof(Instance<StateHandle>),
                           0, Py_TPFLAGS_DEFAULT, region_slots};

}  // namespace

PyObject* new_host_region(std::unique_ptr<SharedState> state) {
    PyTypeObject* type = type_from_spec(region_type_slot, region_spec);
    if (type == nullptr) return nullptr;
    return new_instance<StateHandle>(type, std::move(state));
}

}  // namespace velmorquist::binding
