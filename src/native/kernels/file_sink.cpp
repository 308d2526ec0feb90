#include "kernels/file_sink.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace orvanta::kernels {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

FileSink::FileSink(const std::string& path, Mode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::append ? O_APPEND : O_TRUNC);
    do {
        fd_ = ::open(path.c_str(), flags, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) fail("open");
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::write_all(std::vector<iovec> buffers) {
    std::size_t next = 0;
    while (next < buffers.size()) {
        int count = static_cast<int>(std::min<std::size_t>(buffers.size() - next, IOV_MAX));
        ssize_t done = ::writev(fd_, buffers.data() + next, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        auto left = static_cast<std::size_t>(done);
        while (next < buffers.size() && left >= buffers[next].iov_len) {
            left -= buffers[next].iov_len;
            ++next;
        }
        if (left > 0) {
            buffers[next].iov_base = static_cast<char*>(buffers[next].iov_base) + left;
            buffers[next].iov_len -= left;
        }
    }
}

void FileSink::close() {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) fail("close");
}

}  // namespace orvanta::kernels
