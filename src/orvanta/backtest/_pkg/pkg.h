// The benchmark data package: resumable download, safe unpacking and the orchestration
// that ties them to the data service.
#pragma once

#include <nanobind/nanobind.h>

namespace orvanta::pkg {

namespace nb = nanobind;

// A global of this module, looked up at call time (so a patched constant takes effect).
nb::object global(const char* name);

void stream_download(nb::handle url, nb::handle dest);
void extract_zip(nb::handle archive, nb::handle store_dir);
void flatten_single_subdir(nb::handle store_dir);
nb::object download_benchmark_package(nb::handle http, nb::handle store_dir);

}  // namespace orvanta::pkg
