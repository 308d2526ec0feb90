// A file written sequentially from gathered buffers, for streaming downloads: no Python, so
// the writes run with the GIL released.
#pragma once

#include <sys/uio.h>

#include <string>
#include <vector>

namespace orvanta::kernels {

class FileSink {
   public:
    enum class Mode { truncate, append };

    // Opens (creating with 0666 & ~umask) `path`; std::system_error carries errno on failure.
    FileSink(const std::string& path, Mode mode);
    ~FileSink();
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Writes all of the buffers in order, retrying short writes.
    void write_all(std::vector<iovec> buffers);

    // Closes the file, reporting a failed close (deferred write errors) by std::system_error.
    void close();

   private:
    int fd_ = -1;
};

}  // namespace orvanta::kernels
