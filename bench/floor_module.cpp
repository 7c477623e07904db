// A test-only extension whose methods do nothing, one per calling convention
// the real module uses. Timing them beside the real calls, in the same run,
// gives each real call its floor: what the interpreter and our argument binder
// cost before any work is done. Built for `make bench` only, never installed.
#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"

namespace velmorquist::binding {
namespace {

struct Empty {};

const Signature kOneInteger("Floor.one_integer()", 0, "n");
const Signature kOneDouble("Floor.one_double()", 1, "x");
const Signature kOneString("Floor.one_string()", 1, "s");

PyObject* no_args(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* fast_no_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature kNone("Floor.fast_no_args()", 0);
    BoundArgs bound(kNone);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    Py_RETURN_NONE;
}

// Parses one optional unsigned 64-bit integer, as try_acquire(n=1) does.
PyObject* one_integer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kOneInteger);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t n = 1;
    if (bound[0] && !bound.convert(0, to_u64, n)) return nullptr;
    Py_RETURN_NONE;
}

// Parses one unsigned 32-bit integer, as should_retry(attempt) does.
PyObject* one_u32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature kOneU32("Floor.one_u32()", 1, "attempt");
    BoundArgs bound(kOneU32);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::uint32_t attempt = 0;
    if (!bound.convert(0, to_u32, attempt)) return nullptr;
    Py_RETURN_NONE;
}

// As one_u32, returning a new int beyond the interpreter's cached small ones,
// as delay_ms does.
PyObject* one_u32_new_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* none = one_u32(self, args, nargs, kwnames);
    if (none == nullptr) return nullptr;
    Py_DECREF(none);
    return PyLong_FromLong(1000);
}

PyObject* one_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kOneString);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string_view text;
    if (!bound.convert(0, to_utf8, text)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* one_object(PyObject*, PyObject*) { Py_RETURN_NONE; }

// No work, but a new str of an API key's usual length: what any call that
// hands a key back must pay for the result object alone.
PyObject* new_key_str(PyObject*, PyObject*) {
    static constexpr std::string_view kKey = "sk-bench-000000-0123456789abcdef0123456789abcdef";
    return new_str(kKey);
}

PyObject* static_one_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return one_string(self, args, nargs, kwnames);
}

PyObject* property_getter(PyObject*, void*) { return PyLong_FromLong(0); }

PyObject* floor_new(PyTypeObject* type, PyObject*, PyObject*) { return new_instance<Empty>(type); }

PyMethodDef floor_methods[] = {
    {"no_args", as_method(no_args), METH_NOARGS, nullptr},
    {"fast_no_args", as_method(fast_no_args), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_integer", as_method(one_integer), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_u32", as_method(one_u32), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_u32_new_int", as_method(one_u32_new_int), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_string", as_method(one_string), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one_object", as_method(one_object), METH_O, nullptr},
    {"new_key_str", as_method(new_key_str), METH_NOARGS, nullptr},
    {"static_one_string", as_method(static_one_string),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef floor_getset[] = {
    {"property", property_getter, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_new, as_slot(floor_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<Empty>)},
    {Py_tp_methods, floor_methods},
    {Py_tp_getset, floor_getset},
    {0, nullptr},
};

PyType_Spec floor_spec = {"builtins.Floor", sizeof(Instance<Empty>), 0, Py_TPFLAGS_DEFAULT,
                          floor_slots};

PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "_bench_floor", nullptr, 0,
                            nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace velmorquist::binding

PyMODINIT_FUNC PyInit__bench_floor() {
    using namespace velmorquist::binding;
    PyRef module(PyModule_Create(&floor_module));
    if (!module) return nullptr;
    PyObject* type = PyType_FromSpec(&floor_spec);
    if (type == nullptr || PyModule_AddObject(module.get(), "Floor", type) < 0) return nullptr;
    return module.release();
}
