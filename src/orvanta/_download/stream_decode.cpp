#include "stream_decode.h"

#include "orvanta/args.h"
#include "orvanta/context.h"
#include "orvanta/pycall.h"

namespace orvanta::download {

using namespace nb::literals;

namespace {

// The next record batch, or None at the end of the stream (the reader raises StopIteration).
nb::object next_batch(nb::handle read_next_batch) {
    PyObject* batch = PyObject_CallNoArgs(read_next_batch.ptr());
    if (batch) return nb::steal(batch);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

}  // namespace

nb::tuple stream_decode(nb::handle reader_class, nb::handle http, nb::handle api_path,
                        nb::handle body) {
    require_str(api_path, "api_path");
    require_dict(body, "body");

    nb::list frames;
    nb::object schema = nb::none();
    nb::object open_stream = import_attr("pyarrow.ipc", "open_stream");
    with_context(http.attr("stream_post_iter")(api_path, body), [&](nb::handle chunks) {
        nb::object reader = open_stream(reader_class(chunks));
        schema = reader.attr("schema");
        nb::object read_next_batch = reader.attr("read_next_batch");
        for (nb::object batch = next_batch(read_next_batch); !batch.is_none();
             batch = next_batch(read_next_batch)) {
            // The body comes from the network: a batch whose offsets or sizes lie would
            // make the conversion read out of bounds, so every batch is checked in full.
            batch.attr("validate")("full"_a = true);
            frames.append(batch.attr("to_pandas")());
        }
    });
    return nb::make_tuple(frames, schema);
}

}  // namespace orvanta::download
