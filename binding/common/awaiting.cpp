#include "binding/common/awaiting.hpp"

namespace velmorquist::binding {

PyObject* await_iterator(PyObject* awaitable, const char* what) {
    if (PyCoro_CheckExact(awaitable)) return Py_NewRef(awaitable);
    const PyAsyncMethods* async = Py_TYPE(awaitable)->tp_as_async;
    PyObject* iterator =
        async != nullptr && async->am_await != nullptr ? async->am_await(awaitable) : nullptr;
    if (iterator != nullptr && PyIter_Check(iterator)) return iterator;
    Py_XDECREF(iterator);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%s gave %.200s, not an awaitable", what,
                     Py_TYPE(awaitable)->tp_name);
    return nullptr;
}

PyObject* as_generator_result(Step step, PyObject* out) {
    if (step == Step::Waiting) return out;
    if (step == Step::Gave) {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
        Py_DECREF(out);
        if (stop != nullptr) PyErr_SetRaisedException(stop);
    }
    return nullptr;
}

PyObject* raise_thrown(PyObject* const* args, Py_ssize_t nargs) {
    PyObject* error = nargs > 0 ? args[0] : Py_None;
    if (PyExceptionClass_Check(error)) {
        PyErr_SetObject(error, nargs > 1 ? args[1] : nullptr);
    } else if (PyExceptionInstance_Check(error)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "exceptions must be classes or instances deriving from BaseException");
    }
    return nullptr;
}

PyObject* throw_into(PyObject* iterator, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** value) {
    static PyObject* throw_name = PyUnicode_InternFromString("throw");
    *value = nullptr;
    if (throw_name == nullptr) return nullptr;
    PyRef held(Py_NewRef(iterator));
    PyObject* call[4] = {iterator, nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs && i < 3; ++i) call[i + 1] = args[i];
    PyObject* yielded =
        PyObject_VectorcallMethod(throw_name, call, static_cast<size_t>(nargs) + 1, nullptr);
    if (yielded != nullptr || !PyErr_ExceptionMatches(PyExc_StopIteration)) return yielded;
    PyRef stop(PyErr_GetRaisedException());
    *value = PyObject_GetAttrString(stop.get(), "value");
    return nullptr;
}

}  // namespace velmorquist::binding
