#include "binding/common/class_support.hpp"

#include <cerrno>
#include <cstring>
#include <exception>

#include "binding/common/exceptions.hpp"
#include "core/base/error.hpp"

namespace velmorquist::binding {

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFault& fault) {
        raise_internal_fault(fault.what());
    } catch (const DamagedState& damage) {
        // OSError(errno, text) becomes the errno's own subclass.
        PyRef arguments(Py_BuildValue("(is)", EIO, damage.what()));
        if (arguments) PyErr_SetObject(PyExc_OSError, arguments.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_fault(error.what());
    } catch (...) {
        raise_internal_fault("unknown native exception");
    }
    return nullptr;
}

PyTypeObject* type_from_spec(PyTypeObject*& slot, PyType_Spec& type_spec) {
    if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return slot;
}

PyObject* no_constructor(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    const char* dot = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s",
                 dot != nullptr ? dot + 1 : type->tp_name);
    return nullptr;
}

}  // namespace velmorquist::binding

namespace velmorquist::binding {

PyObject* cached_str(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot == nullptr ? nullptr : Py_NewRef(slot);
}

}  // namespace velmorquist::binding
