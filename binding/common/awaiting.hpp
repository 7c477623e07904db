// What the native awaitables share: driving another awaitable from C, as a
// coroutine's `await` does, without a coroutine frame of their own.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// New reference: the iterator that awaiting `awaitable` drives (a
// coroutine is its own), or nullptr with a TypeError naming `what`.
PyObject* await_iterator(PyObject* awaitable, const char* what);

// How a step of an awaitable driven from C ended.
enum class Step { Waiting, Gave, Failed };

// What a generator's send() or throw() returns for a step: the value
// yielded (Waiting), or nullptr with StopIteration(value) (Gave) or the
// failure set. Takes the reference to `out`.
PyObject* as_generator_result(Step step, PyObject* out);

// Raises what throw() was given (an exception, or its type and value) when
// nothing is awaited to throw it into. Always nullptr.
PyObject* raise_thrown(PyObject* const* args, Py_ssize_t nargs);

// throw(*args) into `iterator`: the value it yields next, or nullptr with
// `*value` a new reference to what it returned (StopIteration's value) or,
// with `*value` nullptr, its failure set.
PyObject* throw_into(PyObject* iterator, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** value);

}  // namespace velmorquist::binding
