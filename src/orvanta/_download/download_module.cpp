// orvanta._download: the streaming skeleton of the bulk queries. The body of a POST answer is
// an Arrow IPC stream; `_StreamReader` turns its chunk iterator into the file object the Arrow
// reader pulls from, and `stream_decode` converts each record batch as soon as it arrives.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "chunk_buffer.h"
#include "orvanta/args.h"
#include "orvanta/buffer_view.h"
#include "orvanta/pycall.h"
#include "orvanta/service.h"
#include "stream_decode.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using orvanta::download::ChunkBuffer;

// The reader's buffer, kept alive for the whole call even if upstream code run by a pull
// rebinds `_buffer`.
struct HeldBuffer {
    nb::object owner;
    ChunkBuffer& buffer;
};

HeldBuffer buffer_of(nb::handle self) {
    nb::object owner = self.attr("_buffer");
    ChunkBuffer& buffer = nb::cast<ChunkBuffer&>(owner);
    return {std::move(owner), buffer};
}

// Moves one more upstream chunk into `buffer`; false at the end of the upstream. Errors of
// the iterator pass through unchanged.
bool pull_one_into(nb::handle chunks, ChunkBuffer& buffer) {
    if (!PyIter_Check(chunks.ptr())) orvanta::raise_type_error("_chunks", "iterator", chunks);
    PyObject* chunk = PyIter_Next(chunks.ptr());
    if (!chunk) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    buffer.append(nb::steal(chunk));
    return true;
}

// Pulls until `buffer` holds `n` bytes or the upstream ends, one chunk at a time.
void fill(nb::handle self, ChunkBuffer& buffer, std::size_t n) {
    nb::object chunks = self.attr("_chunks");
    while (buffer.size() < n && pull_one_into(chunks, buffer)) {
    }
}

// `n` as a byte count; a negative count (read to the end) gives SIZE_MAX.
std::size_t byte_count(nb::handle n) {
    nb::int_ value = orvanta::to_int(n, "n");
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && count < 0)) return SIZE_MAX;
    if (overflow > 0) return SIZE_MAX - 1;
    return static_cast<std::size_t>(count);
}

void reader_init(nb::handle self, nb::handle chunks) {
    orvanta::import_attr("io", "RawIOBase").attr("__init__")(self);
    self.attr("_chunks") = chunks;
    self.attr("_buffer") = nb::cast(ChunkBuffer());
}

bool reader_pull_one(nb::handle self) {
    HeldBuffer held = buffer_of(self);
    return pull_one_into(self.attr("_chunks"), held.buffer);
}

nb::bytes reader_read(nb::handle self, nb::handle n) {
    std::size_t want = byte_count(n);
    if (want == 0) return nb::bytes("", 0);
    HeldBuffer held = buffer_of(self);
    fill(self, held.buffer, want);
    return held.buffer.take(want);
}

nb::bytes reader_readall(nb::handle self) { return reader_read(self, nb::int_(-1)); }

// Copies straight into `b`: no intermediate bytes object.
std::size_t reader_readinto(nb::handle self, nb::handle b) {
    orvanta::BufferView target(b, PyBUF_WRITABLE);
    HeldBuffer held = buffer_of(self);
    fill(self, held.buffer, target.size());
    return held.buffer.take_into(target.data(), target.size());
}

bool always_true(nb::handle) { return true; }
bool always_false(nb::handle) { return false; }

template <typename F, typename... Extra>
nb::object method(F f, const char* name, const Extra&... extra) {
    return nb::cpp_function(f, nb::is_method(), nb::name(name), extra...);
}

// io.RawIOBase supplies closed, close and the file-object checks the Arrow reader makes, so
// the class derives from it; its methods are the C++ functions above.
nb::object make_stream_reader_class() {
    nb::dict ns;
    ns["__module__"] = "orvanta._download";
    ns["__qualname__"] = "_StreamReader";
    ns["__doc__"] =
        "Read-only, forward-only file object over an iterator of bytes chunks.\n\n"
        "Bytes are pulled from upstream only as far as a read needs them.";
    ns["__init__"] = method(reader_init, "__init__", "chunks"_a.none(),
                            "Wrap the iterator ``chunks`` of bytes chunks.");
    ns["_pull_one"] = method(reader_pull_one, "_pull_one",
                             "Move one more upstream chunk into the buffer; False at the end.");
    ns["read"] = method(reader_read, "read", "n"_a.none() = -1,
                        "At most ``n`` bytes; ``n < 0`` reads to the end of the stream.");
    ns["readall"] = method(reader_readall, "readall", "Everything up to the end of the stream.");
    ns["readinto"] = method(reader_readinto, "readinto", "b"_a.none(),
                            "Fill the front of the writable buffer ``b``; return the count.");
    ns["readable"] = method(always_true, "readable", "Always True.");
    ns["writable"] = method(always_false, "writable", "Always False.");
    ns["seekable"] = method(always_false, "seekable", "Always False.");
    nb::object bases = nb::make_tuple(orvanta::import_attr("io", "RawIOBase"));
    return nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))("_StreamReader", bases, ns);
}

nb::tuple stream_decode(nb::handle http, nb::handle api_path, nb::handle body) {
    nb::object reader_class = orvanta::import_attr("orvanta._download", "_StreamReader");
    return orvanta::download::stream_decode(reader_class, http, api_path, body);
}

}  // namespace

NB_MODULE(_download, m) {
    m.doc() = "Decoding of the Arrow IPC streams the bulk queries answer with, while they arrive.";
    orvanta::import_http_names(m);
    nb::class_<ChunkBuffer>(m, "_ChunkBuffer",
                            "Bytes received and not yet handed out (held as the chunks).")
        .def(nb::init<>())
        .def("__len__", &ChunkBuffer::size)
        .def("__bytes__", &ChunkBuffer::peek_all);

    m.attr("_StreamReader") = make_stream_reader_class();

    m.def("stream_decode", &stream_decode, "http"_a.none(), "api_path"_a.none(), "body"_a.none(),
          "POST ``body`` to ``api_path`` and decode the Arrow IPC stream of the answer.\n\n"
          "Returns ``(frames, schema)``: one DataFrame per record batch, in stream order, and\n"
          "the stream's schema. Every batch is validated in full before conversion.");
}
