#include "chunk_buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "orvanta/args.h"
#include "orvanta/buffer_view.h"

namespace orvanta::download {

namespace {

std::size_t length_of(const nb::bytes& chunk) {
    return static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.ptr()));
}

nb::bytes kept_bytes(nb::handle chunk) {
    if (PyBytes_Check(chunk.ptr())) return nb::borrow<nb::bytes>(chunk);
    if (!PyObject_CheckBuffer(chunk.ptr())) raise_type_error("chunk", "bytes", chunk);
    BufferView view(chunk, PyBUF_SIMPLE);
    return nb::bytes(view.data(), view.size());
}

}  // namespace

void ChunkBuffer::append(nb::handle chunk) {
    nb::bytes kept = kept_bytes(chunk);
    std::size_t n = length_of(kept);
    if (n == 0) return;
    chunks_.push_back(std::move(kept));
    size_ += n;
}

std::size_t ChunkBuffer::take_into(char* out, std::size_t n) {
    std::size_t want = std::min(n, size_);
    std::size_t done = 0;
    while (done < want) {
        const nb::bytes& front = chunks_.front();
        std::size_t available = length_of(front) - head_;
        std::size_t step = std::min(available, want - done);
        std::memcpy(out + done, PyBytes_AS_STRING(front.ptr()) + head_, step);
        done += step;
        head_ += step;
        if (head_ == length_of(front)) {
            chunks_.pop_front();
            head_ = 0;
        }
    }
    size_ -= done;
    return done;
}

nb::bytes ChunkBuffer::take(std::size_t n) {
    std::size_t want = std::min(n, size_);
    if (want == 0) return nb::bytes("", 0);
    // A whole untouched chunk is handed out as it is: bytes objects are immutable.
    if (head_ == 0 && length_of(chunks_.front()) == want) {
        nb::bytes whole = std::move(chunks_.front());
        chunks_.pop_front();
        size_ -= want;
        return whole;
    }
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want));
    if (!raw) throw nb::python_error();
    nb::bytes out = nb::steal<nb::bytes>(raw);
    take_into(PyBytes_AS_STRING(raw), want);
    return out;
}

nb::bytes ChunkBuffer::peek_all() const {
    std::string all;
    all.reserve(size_);
    std::size_t skip = head_;
    for (const nb::bytes& chunk : chunks_) {
        all.append(PyBytes_AS_STRING(chunk.ptr()) + skip, length_of(chunk) - skip);
        skip = 0;
    }
    return nb::bytes(all.data(), all.size());
}

}  // namespace orvanta::download
