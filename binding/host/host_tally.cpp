#include "binding/host/host_tally.hpp"

#include <cstdint>
#include <cstring>
#include <span>

#include "binding/common/args.hpp"
#include "core/base/request_tally.hpp"

namespace velmorquist::binding {
namespace {

enum Argument : Py_ssize_t {
    Cells, RequestAt, SuccessAt, OverheadAt, OverheadS, FirstTokenAt, FirstTokenS, TokensInAt,
    TokensIn, TokensOutAt, TokensOut, Count
};

bool read_place(PyObject* object, std::size_t& out) {
    std::uint64_t value = 0;
    if (!to_u64(object, value)) return false;
    out = static_cast<std::size_t>(value);
    return true;
}

// A writable, contiguous buffer of C doubles, held until this goes.
class DoubleBuffer {
public:
    ~DoubleBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool hold(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
            return false;
        held_ = true;
        if (view_.itemsize != sizeof(double) || view_.format == nullptr ||
            std::strcmp(view_.format, "d") != 0) {
            PyErr_SetString(PyExc_TypeError, "tally_request() cells must be a buffer of doubles");
            return false;
        }
        return true;
    }

    std::span<double> span() const {
        return {static_cast<double*>(view_.buf),
                static_cast<std::size_t>(view_.len) / sizeof(double)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <std::size_t N>
PyObject* bounds_tuple(const std::array<double, N>& bounds) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* bound = PyFloat_FromDouble(bounds[i]);
        if (bound == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), bound);
    }
    return tuple.release();
}

}  // namespace

const char kTallyRequestDoc[] =
    "tally_request(cells, request_at, success_at, overhead_at, overhead_s, first_token_at,\n"
    "              first_token_s, tokens_in_at, tokens_in, tokens_out_at, tokens_out, /)\n--\n\n"
    "Adds one request into `cells`, a writable buffer of doubles: one to its count at\n"
    "request_at and at success_at (None: not a success), and its overhead, time to first\n"
    "token and token counts (None: not known) to the histograms starting at the places\n"
    "given. A place outside the cells raises IndexError, with nothing added.";

PyObject* tally_request(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!exact_arguments("tally_request", nargs, Count)) return nullptr;
    // Every argument is read before the buffer is taken: reading one may run
    // Python code (__index__, __float__).
    RequestTally tally;
    if (!read_place(args[RequestAt], tally.request) ||
        !read_place(args[OverheadAt], tally.overhead) ||
        !to_double(args[OverheadS], tally.overhead_s) ||
        !read_place(args[FirstTokenAt], tally.first_token) ||
        !read_place(args[TokensInAt], tally.tokens_in) ||
        !read_place(args[TokensOutAt], tally.tokens_out))
        return nullptr;
    if (args[SuccessAt] != Py_None) {
        std::size_t success = 0;
        if (!read_place(args[SuccessAt], success)) return nullptr;
        tally.success = success;
    }
    if (args[FirstTokenS] != Py_None) {
        double first_token_s = 0.0;
        if (!to_double(args[FirstTokenS], first_token_s)) return nullptr;
        tally.first_token_s = first_token_s;
    }
    if (args[TokensIn] != Py_None) {
        RequestTally::Tokens tokens;
        if (!to_double(args[TokensIn], tokens.input) || !to_double(args[TokensOut], tokens.output))
            return nullptr;
        tally.tokens = tokens;
    }
    DoubleBuffer cells;
    if (!cells.hold(args[Cells])) return nullptr;
    if (!velmorquist::tally_request(cells.span(), tally)) {
        PyErr_SetString(PyExc_IndexError, "tally_request() place lies outside the cells");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* overhead_bounds() { return bounds_tuple(kOverheadBoundsS); }
PyObject* first_token_bounds() { return bounds_tuple(kFirstTokenBoundsS); }
PyObject* token_bounds() { return bounds_tuple(kTokenBounds); }

}  // namespace velmorquist::binding
