// What every class of the module shares: the instance layout, allocation and
// deallocation, heap-type creation, and the C++-to-Python boundary.
#pragma once

#include "binding/common/args.hpp"
#include "binding/common/py_ref.hpp"

#include <new>
#include <utility>

namespace velmorquist::binding {

// A Python object holding its core value inline after the object header.
template <class Core>
struct Instance {
    PyObject_HEAD
    Core core;
};

template <class Core>
[[nodiscard]] Core& core_of(PyObject* self) {
    return reinterpret_cast<Instance<Core>*>(self)->core;
}

// Turns the C++ exception being handled into a Python one (internal fault,
// MemoryError). Call only from a catch block. Always returns nullptr.
PyObject* raise_current_exception() noexcept;

// Runs a binding body, translating any C++ exception at the boundary. Locks
// inside the core are RAII, so they are already released when we get here.
template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return raise_current_exception();
    }
}

// New reference: an instance of `type` whose core is built from `args`.
template <class Core, class... Args>
[[nodiscard]] PyObject* new_instance(PyTypeObject* type, Args&&... args) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&core_of<Core>(self)) Core(std::forward<Args>(args)...);
    } catch (...) {
        // The core never came to be, so tp_dealloc must not destroy it.
        type->tp_free(self);
        Py_DECREF(type);
        return raise_current_exception();
    }
    return self;
}

template <class Core, class Field>
Core core_type_of(Field Core::*);

template <auto Field>
PyObject* field_getter(PyObject* self, void* /*closure*/) {
    using Core = decltype(core_type_of(Field));
    return to_python(core_of<Core>(self).*Field);
}

// A read-only property, with an empty docstring, showing one field of the core value.
template <auto Field>
[[nodiscard]] constexpr PyGetSetDef field_property(const char* name) {
    return {name, field_getter<Field>, nullptr, "", nullptr};
}

template <class Core>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    core_of<Core>(self).~Core();
    type->tp_free(self);
    Py_DECREF(type);  // heap-type instances own a reference to their type
}

// Borrowed; the type is created on first call and kept for the process.
// nullptr with an error set on failure.
[[nodiscard]] PyTypeObject* type_from_spec(PyTypeObject*& slot, PyType_Spec& type_spec);

// tp_new of classes without a constructor: "No constructor defined for X".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace velmorquist::binding

namespace velmorquist::binding {

// Method tables store every calling convention as PyCFunction; the detour
// through a generic function pointer keeps -Wcast-function-type quiet.
template <class Function>
[[nodiscard]] PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
[[nodiscard]] void* as_slot(Function* function) {
    return reinterpret_cast<void*>(function);
}

// New reference to a str that is created once and kept, for results drawn
// from a small fixed set of texts (states, failure types).
[[nodiscard]] PyObject* cached_str(PyObject*& slot, const char* text);

}  // namespace velmorquist::binding
