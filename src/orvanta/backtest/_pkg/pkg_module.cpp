// orvanta.backtest._pkg: the benchmark data package (download, unpacking, orchestration).
#include <nanobind/nanobind.h>

#include "orvanta/pycall.h"
#include "pkg.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace orvanta::pkg {

nb::object global(const char* name) {
    return nb::module_::import_("orvanta.backtest._pkg").attr(name);
}

}  // namespace orvanta::pkg

NB_MODULE(_pkg, m) {
    using namespace orvanta;
    m.doc() = "Benchmark data package: resumable download, safe unpacking, installation.";

    // The names the functions use, bound here as module globals and looked up at call time.
    nb::object httpx = nb::module_::import_("httpx");
    m.attr("httpx") = httpx;
    m.attr("tqdm") = from_import("tqdm", "tqdm");
    m.attr("API_PREFIX") = from_import("orvanta._http", "API_PREFIX");
    m.attr("QuantError") = from_import("orvanta.exceptions", "QuantError");
    m.attr("NetworkError") = from_import("orvanta.exceptions", "NetworkError");
    m.attr("logger") = from_import("orvanta.logger", "logger");

    m.attr("_DOWNLOAD_TIMEOUT") = httpx.attr("Timeout")(300.0, "connect"_a = 10.0);
    m.attr("_DOWNLOAD_CHUNK_SIZE") = 1048576;
    m.attr("_SSL_CONTEXT") = nb::none();  // built on the first download
    m.attr("_BENCHMARK_DATA_PATH") =
        m.attr("API_PREFIX") + nb::str("/backtest-data/benchmark-data");
    m.attr("_CONTENT_TYPE_ZIP") = "application/zip";
    m.attr("_TEMP_DIR_NAME") = "temp";
    m.attr("_PART_FILE_NAME") = "benchmark.part";

    m.def("_stream_download", &pkg::stream_download, "url"_a.none(), "dest"_a.none(),
          nb::sig("def _stream_download(url: str, dest: pathlib.Path) -> None"),
          "Copy ``url`` into the part file ``dest`` with a progress bar, resuming from its "
          "size.\n\nTransport failures and non-2xx answers raise NetworkError; the part file "
          "keeps every chunk written.");
    m.def("_extract_zip", &pkg::extract_zip, "archive"_a.none(), "store_dir"_a.none(),
          nb::sig("def _extract_zip(archive: pathlib.Path, store_dir: pathlib.Path) -> None"),
          "Unpack the zip ``archive`` into the existing ``store_dir``.\n\nEvery entry is "
          "checked first: one that would land outside ``store_dir`` (climbing out with "
          "``..``, absolute, or through a symbolic link) raises QuantError before anything "
          "is written; a damaged archive raises QuantError too.");
    m.def("flatten_single_subdir", &pkg::flatten_single_subdir, "store_dir"_a.none(),
          nb::sig("def flatten_single_subdir(store_dir: pathlib.Path) -> None"),
          "Lift the contents of a single visible subdirectory of ``store_dir`` into it, "
          "unless ``metadata.pkl`` is already at its root.");
    m.def("download_benchmark_package", &pkg::download_benchmark_package, "http"_a.none(),
          "store_dir"_a.none(),
          nb::sig("def download_benchmark_package(http: orvanta._http.HttpClient, "
                  "store_dir: str | os.PathLike[str]) -> pathlib.Path"),
          "Download the benchmark data package the data service points to and unpack it "
          "into ``store_dir`` (``~`` expanded, created if missing); return that directory.\n\n"
          "The transfer goes through ``temp/benchmark.part`` beside ``store_dir``, resumes "
          "an interrupted earlier attempt and is removed after a successful unpacking.");
}
