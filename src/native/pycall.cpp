#include "orvanta/pycall.h"

#include <limits>
#include <string>

namespace orvanta {

nb::object import_attr(const char* module, const char* attr) {
    return nb::module_::import_(module).attr(attr);
}

nb::bytes to_bytes(std::string_view data) { return nb::bytes(data.data(), data.size()); }

nb::str to_str(std::string_view data) { return nb::str(data.data(), data.size()); }

nb::object infinities_to_nan(nb::handle obj) {
    const double inf = std::numeric_limits<double>::infinity();
    nb::list infinities;
    infinities.append(inf);
    infinities.append(-inf);
    return obj.attr("replace")(infinities, std::numeric_limits<double>::quiet_NaN());
}

bool truthy(nb::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

std::string_view bytes_view(nb::handle obj) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &size) != 0) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

nb::object from_import(const char* module, const char* name) {
    nb::module_ mod = nb::module_::import_(module);
    if (!nb::hasattr(mod, name)) {
        std::string msg = std::string("cannot import name '") + name + "' from '" + module + "'";
        throw nb::import_error(msg.c_str());
    }
    return mod.attr(name);
}

}  // namespace orvanta
