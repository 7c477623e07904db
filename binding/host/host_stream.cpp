#include "binding/host/host_stream.hpp"

#include <cstddef>
#include <vector>

#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

// New reference: (p50, p95, samples).
PyObject* quantiles_tuple(const Quantiles& q) {
    return Py_BuildValue("(ddd)", q.p50_ms, q.p95_ms, q.samples);
}

// The doubles of a sequence; false with an error set.
bool to_doubles(PyObject* object, std::vector<double>& out) {
    PyRef sequence(PySequence_Fast(object, "gaps_ms must be a sequence of numbers"));
    if (!sequence) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    out.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!to_double(items[i], out[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

}  // namespace

const Signature kLearnLatency("HostRegion.learn_latency()", 3, "p", "latency_ms", "first_chunk");

PyObject* region_learn_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    BoundArgs bound(kLearnLatency);
    std::size_t p = 0;
    double latency_ms = 0.0;
    bool first_chunk = false;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_double, latency_ms) || !bound.convert(2, to_bool, first_chunk))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.learn_latency(p, latency_ms, first_chunk);
        return new_none();
    });
}

const Signature kAbsorbLatency("HostRegion.absorb_latency()", 3, "p", "mean_ms", "count");

PyObject* region_absorb_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    BoundArgs bound(kAbsorbLatency);
    std::size_t p = 0;
    double mean_ms = 0.0;
    std::uint32_t count = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_double, mean_ms) || !bound.convert(2, to_u32, count))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.absorb_latency(p, mean_ms, count);
        return new_none();
    });
}

const Signature kChunkGaps("HostRegion.chunk_gaps()", 2, "p", "gaps_ms");

PyObject* region_chunk_gaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    BoundArgs bound(kChunkGaps);
    std::size_t p = 0;
    std::vector<double> gaps;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !to_doubles(bound[1], gaps))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.chunk_gaps(p, gaps);
        return new_none();
    });
}

const Signature kStreamStats("HostRegion.stream_stats()", 1, "p");

// (latency_ms, (p50, p95, samples) to first chunk, (p50, p95, samples) between chunks).
PyObject* region_stream_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArgs bound(kStreamStats);
    std::size_t p = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p)) return nullptr;
    return with_state(self, [&](SharedState& state) -> PyObject* {
        const StreamView view = state.stream_view(p);
        PyRef first(quantiles_tuple(view.first_chunk));
        if (!first) return nullptr;
        PyRef gap(quantiles_tuple(view.chunk_gap));
        if (!gap) return nullptr;
        return Py_BuildValue("(dOO)", view.latency_ms, first.get(), gap.get());
    });
}

PyObject* region_fleet_take_latencies(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) -> PyObject* {
        const std::vector<std::pair<double, double>> latencies = state.fleet_take_latencies();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(latencies.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < latencies.size(); ++i) {
            PyObject* item = Py_BuildValue("(dd)", latencies[i].first, latencies[i].second);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

}  // namespace velmorquist::binding
