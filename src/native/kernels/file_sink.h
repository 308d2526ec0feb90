// A file written sequentially, for streaming downloads: no Python, so the writes run with
// the GIL released.
#pragma once

#include <cstddef>
#include <string>

namespace orvanta::kernels {

class FileSink {
   public:
    enum class Mode { truncate, append };

    // Opens (creating with 0666 & ~umask) `path`; std::system_error carries errno on failure.
    FileSink(const std::string& path, Mode mode);
    ~FileSink();
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Writes all `size` bytes, retrying short and interrupted writes.
    void write_all(const char* data, std::size_t size);

    // Closes the file, reporting a failed close (deferred write errors) by std::system_error.
    void close();

   private:
    int fd_ = -1;
};

}  // namespace orvanta::kernels
