// RAII view of an object's contiguous buffer (bytes, bytearray, memoryview, numpy array).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace orvanta {

namespace nb = nanobind;

class BufferView {
   public:
    // flags: PyBUF_SIMPLE to read, PyBUF_WRITABLE to write. Raises the object's own error
    // (TypeError for a non-buffer, BufferError for a read-only one asked to be written).
    BufferView(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw nb::python_error();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    char* data() const { return static_cast<char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

   private:
    Py_buffer view_{};
};

}  // namespace orvanta
