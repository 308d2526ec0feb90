#include "orvanta/pyerrors.h"

#include <cerrno>

namespace orvanta {

void raise_os_error(const std::system_error& error, nb::handle filename) {
    errno = error.code().value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

void raise_from(nb::handle exc, const nb::python_error& cause) {
    // Both setters steal a reference; setting the cause also suppresses the context display.
    PyException_SetContext(exc.ptr(), cause.value().inc_ref().ptr());
    PyException_SetCause(exc.ptr(), cause.value().inc_ref().ptr());
    raise_object(exc);
}

}  // namespace orvanta
