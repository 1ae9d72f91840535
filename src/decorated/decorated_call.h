// decorated_call.h: the call slots of LineageStoreDecorator: a call of a
// decorated method, served from the instance's store or computed and stored
// (a method that returns its result), or the coroutine that awaits it (an
// async method, whose decorator is given async_decorator_vectorcall when made).
#pragma once

#include <Python.h>

#include <cstddef>

namespace lineage_store {

// The slots that run Python code are not noexcept: a thread ended by the
// interpreter at exit unwinds through them.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* async_decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

}  // namespace lineage_store
