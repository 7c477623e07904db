// velmorquist_proxy._host: `attach(...)` opens a host-shared region for a
// gateway's providers and returns a HostRegion (host_region.hpp);
// `attach_private(...)` makes the same state in this process's own memory.
#include <cerrno>
#include <cstring>
#include <memory>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_config.hpp"
#include "binding/host/host_region.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {
namespace {

PyObject* raise_region_error(const RegionError& error) {
    switch (error.fault) {
        case RegionFault::NotFound: {
            PyRef exception(PyObject_CallFunction(PyExc_FileNotFoundError, "iss", ENOENT,
                                                  std::strerror(ENOENT), error.message.c_str()));
            if (exception) PyErr_SetObject(PyExc_FileNotFoundError, exception.get());
            return nullptr;
        }
        case RegionFault::System: {
            // OSError(errno, text) becomes the errno's own subclass.
            PyRef exception(
                PyObject_CallFunction(PyExc_OSError, "is", error.os_error, error.message.c_str()));
            if (exception)
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                                exception.get());
            return nullptr;
        }
        case RegionFault::NotOurs:
        case RegionFault::Refused:
            PyErr_SetString(PyExc_ValueError, error.message.c_str());
            return nullptr;
    }
    return nullptr;
}

const Signature kAttach("attach()", 5, "path", "create", "fresh", "providers", "router");

PyObject* host_attach(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(kAttach);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::string path;
    bool create = true;
    bool fresh = false;
    HostConfig config;
    if (!bound.convert(0, to_string, path) ||
        !bound.convert(1, to_bool, create) ||
        !bound.convert(2, to_bool, fresh) ||
        !read_host_config(bound[3], bound[4], config))
        return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<std::unique_ptr<SharedState>, RegionError> attached =
            std::unexpected(RegionError{});
        // Attaching may wait for another process's attach to finish.
        Py_BEGIN_ALLOW_THREADS
        attached = SharedState::attach(path, create, fresh, std::move(config),
                                       std::make_shared<HostClock>());
        Py_END_ALLOW_THREADS
        if (!attached) return raise_region_error(attached.error());
        return new_host_region(std::move(*attached));
    });
}

const Signature kAttachPrivate("attach_private()", 2, "providers", "router");

PyObject* host_attach_private(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArgs bound(kAttachPrivate);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    HostConfig config;
    if (!read_host_config(bound[0], bound[1], config)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<std::unique_ptr<SharedState>, RegionError> attached =
            SharedState::attach_private(std::move(config), std::make_shared<HostClock>());
        if (!attached) return raise_region_error(attached.error());
        return new_host_region(std::move(*attached));
    });
}

PyMethodDef module_methods[] = {
    {"attach", as_method(host_attach), METH_FASTCALL | METH_KEYWORDS,
     "attach(path, create, fresh, providers, router)\n--\n\n"
     "A HostRegion over the region at `path` for these providers."},
    {"attach_private", as_method(host_attach_private), METH_FASTCALL | METH_KEYWORDS,
     "attach_private(providers, router)\n--\n\n"
     "A HostRegion in this process's private memory for these providers."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_host",
    "The gateway's state, in private memory or shared by every process on a host",
    0,
    module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velmorquist::binding

PyMODINIT_FUNC PyInit__host() {
    using namespace velmorquist::binding;
    return PyModule_Create(&module_definition);
}
