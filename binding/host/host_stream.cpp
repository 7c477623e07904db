#include "binding/host/host_stream.hpp"

#include <cstddef>
#include <vector>

#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

// (p, latency_ms, first_chunk) of learn_latency and fleet_learn_latency.
bool latency_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, const char* name,
                  std::size_t& p, double& latency_ms, bool& first_chunk) {
    return arg_count(name, 3, nargs) && provider_arg(self, args[0], p) &&
           to_double(args[1], latency_ms) && to_bool(args[2], first_chunk);
}

PyObject* region_learn_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double latency_ms = 0.0;
    bool first_chunk = false;
    if (!latency_args(self, args, nargs, "learn_latency", p, latency_ms, first_chunk))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.learn_latency(p, latency_ms, first_chunk);
        return new_none();
    });
}

PyObject* region_fleet_learn_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double latency_ms = 0.0;
    bool first_chunk = false;
    if (!latency_args(self, args, nargs, "fleet_learn_latency", p, latency_ms, first_chunk))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_learn_latency(p, latency_ms, first_chunk);
        return new_none();
    });
}

PyObject* region_absorb_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double mean_ms = 0.0;
    std::uint32_t count = 0;
    if (!arg_count("absorb_latency", 3, nargs) || !provider_arg(self, args[0], p) ||
        !to_double(args[1], mean_ms) || !to_u32(args[2], count))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.absorb_latency(p, mean_ms, count);
        return new_none();
    });
}

PyObject* region_chunk_gaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!arg_count("chunk_gaps", 2, nargs) || !provider_arg(self, args[0], p)) return nullptr;
    PyRef sequence(PySequence_Fast(args[1], "chunk_gaps() gaps must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    std::vector<double> gaps(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!to_double(items[i], gaps[static_cast<std::size_t>(i)])) return nullptr;
    }
    return with_state(self, [&](SharedState& state) {
        state.chunk_gaps(p, gaps);
        return new_none();
    });
}

// (latency_ms, (first chunk p50, p95, samples), (chunk gap p50, p95, samples)).
PyObject* region_stream_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "stream_stats", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        const StreamView view = state.stream_view(p);
        return Py_BuildValue("(d(ddd)(ddd))", view.latency_ms, view.first_chunk.p50_ms,
                             view.first_chunk.p95_ms, view.first_chunk.samples,
                             view.chunk_gap.p50_ms, view.chunk_gap.p95_ms, view.chunk_gap.samples);
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

}  // namespace

PyMethodDef region_stream_methods[] = {
    fast<region_learn_latency>(
        "learn_latency",
        "learn_latency($self, p, latency_ms, first_chunk, /)\n--\n\n"
        "A measured latency for the router; with first_chunk also a stream's time to first chunk."),
    fast<region_absorb_latency>(
        "absorb_latency",
        "absorb_latency($self, p, mean_ms, count, /)\n--\n\nLatencies measured elsewhere."),
    fast<region_chunk_gaps>(
        "chunk_gaps", "chunk_gaps($self, p, gaps_ms, /)\n--\n\nTimes between a stream's chunks."),
    fast<region_stream_stats>(
        "stream_stats",
        "stream_stats($self, p, /)\n--\n\n"
        "(latency_ms, (p50, p95, samples) to first chunk, (p50, p95, samples) between chunks)."),
    fast<region_fleet_learn_latency>(
        "fleet_learn_latency",
        "fleet_learn_latency($self, p, latency_ms, first_chunk, /)\n--\n\n"
        "learn_latency, summed for the syncer."),
    no_args<region_fleet_take_latencies>(
        "fleet_take_latencies",
        "fleet_take_latencies($self, /)\n--\n\n(sum ms, count) per provider since the last call."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmorquist::binding
