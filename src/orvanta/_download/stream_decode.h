#pragma once

#include <nanobind/nanobind.h>

namespace orvanta::download {

namespace nb = nanobind;

// POSTs `body` through http.stream_post_iter(api_path, body) and decodes the Arrow IPC stream
// of the answer as it arrives: (list of one DataFrame per record batch, schema).
// `reader_class` wraps the chunk iterator as the file object the Arrow reader reads.
nb::tuple stream_decode(nb::handle reader_class, nb::handle http, nb::handle api_path,
                        nb::handle body);

}  // namespace orvanta::download
