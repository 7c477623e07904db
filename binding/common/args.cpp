#include "binding/common/args.hpp"

#include <string>

namespace velmorquist::binding {
namespace {

const char* was_or_were(std::size_t count) { return count == 1 ? "was" : "were"; }

void raise_too_many_positional(const Signature& signature, std::size_t given) {
    if (signature.required() == signature.size()) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                     signature.function(), signature.size(), given, was_or_were(given));
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                 signature.function(), signature.required(), signature.size(), given,
                 was_or_were(given));
}

// Index of the parameter called `name`, or size() when there is none.
// Keyword names are usually the interned literals, so pointers match first.
std::size_t find_parameter(const Signature& signature, PyObject* name) {
    for (std::size_t i = 0; i < signature.size(); ++i) {
        if (signature.interned(i) == name) return i;
    }
    PyErr_Clear();  // a failed interning only costs us the fast comparison
    if (!PyUnicode_Check(name)) return signature.size();
    for (std::size_t i = 0; i < signature.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.name(i)) == 0) return i;
    }
    return signature.size();
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const char* const* missing, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    return list;
}

}  // namespace

PyObject* Signature::interned(std::size_t index) const {
    if (interned_[index] == nullptr) interned_[index] = PyUnicode_InternFromString(names_[index]);
    return interned_[index];
}

bool BoundArgs::place_keyword(PyObject* name, PyObject* value) {
    std::size_t index = find_parameter(signature_, name);
    if (index == signature_.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     signature_.function(), name);
        return false;
    }
    if (args_[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature_.function(), signature_.name(index));
        return false;
    }
    args_[index] = value;
    return true;
}

bool BoundArgs::check_required() const {
    const char* missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature_.required(); ++i) {
        if (args_[i] == nullptr) missing[count++] = signature_.name(i);
    }
    if (count == 0) return true;
    std::string list = quoted_list(missing, count);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 signature_.function(), count, count == 1 ? "" : "s", list.c_str());
    return false;
}

bool BoundArgs::bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto count = static_cast<std::size_t>(nargs);
    if (count > signature_.size()) {
        raise_too_many_positional(signature_, count);
        return false;
    }
    for (std::size_t i = 0; i < kMaxParameters; ++i) args_[i] = i < count ? args[i] : nullptr;
    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
    return check_required();
}

bool BoundArgs::bind_new(PyObject* args, PyObject* kwargs) {
    auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (count > signature_.size()) {
        raise_too_many_positional(signature_, count);
        return false;
    }
    for (std::size_t i = 0; i < kMaxParameters; ++i)
        args_[i] = i < count ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!place_keyword(name, value)) return false;
        }
    }
    return check_required();
}

bool BoundArgs::check_instance(std::size_t index, PyTypeObject* type,
                               const char* class_name) const {
    if (PyObject_TypeCheck(args_[index], type)) return true;
    raise_cannot_convert(args_[index], class_name);
    prefix_argument_error(signature_.name(index));
    return false;
}

bool to_utf8(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // lone surrogates: UnicodeEncodeError
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_string(PyObject* object, std::string& out) {
    std::string_view view;
    if (!to_utf8(object, view)) return false;
    out.assign(view);
    return true;
}

bool to_u32(PyObject* object, std::uint32_t& out) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > 0xFFFF'FFFFUL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_u64(PyObject* object, std::uint64_t& out) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

namespace {

// NumPy's boolean scalar is numpy.bool (numpy.bool_ before NumPy 2).
bool is_numpy_bool(PyObject* object) {
    std::string_view name = Py_TYPE(object)->tp_name;
    return name == "numpy.bool" || name == "numpy.bool_";
}

}  // namespace

bool to_bool(PyObject* object, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool(object)) {
        int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_cannot_convert(object, "PyBool");
    return false;
}

void raise_cannot_convert(PyObject* object, const char* target) {
    PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                 target);
}

void BoundArgs::prefix_argument_error(const char* parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    PyRef original(raised);
    PyRef message(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

bool exact_arguments(const char* function, Py_ssize_t given, Py_ssize_t wanted) {
    if (given == wanted) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", function, wanted, given);
    return false;
}

}  // namespace velmorquist::binding
