// What the private native entries (the command's and the search library's)
// share: the barrier at which a failure of work done without the
// interpreter lock becomes a Python exception, and their static types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

#include "text/match.hpp"

namespace tessarin::bindings {

// Runs `work` without the interpreter lock: the one barrier at which a
// failure of the native search becomes a Python exception (Ctrl-C as
// KeyboardInterrupt, memory as MemoryError, a failed read as OSError,
// anything else as ValueError). False once it has set one.
template <typename Work> bool run_unlocked(Work&& work)
{
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (const CallCancelled&) {
        // A signal handler that ran during the call may have raised its own.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& failed) {
        errno = failed.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::exception& failed) {
        PyErr_SetString(PyExc_ValueError, failed.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "the native search failed");
    }
    return false;
}

// A static type: it needs no reference counting of its own.
inline PyTypeObject native_type(const char* name, Py_ssize_t size, const char* doc, initproc init,
                                destructor dealloc, PyMethodDef* methods, PyGetSetDef* getset)
{
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = name;
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = doc;
    type.tp_new = PyType_GenericNew;
    type.tp_init = init;
    type.tp_dealloc = dealloc;
    type.tp_methods = methods;
    type.tp_getset = getset;
    return type;
}

} // namespace tessarin::bindings
