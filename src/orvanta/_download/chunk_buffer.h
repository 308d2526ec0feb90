// Bytes received from upstream and not yet handed out, kept as the chunks themselves.
//
// Appending keeps a reference to the chunk (no copy); handing out the front copies exactly the
// bytes handed out and advances an offset, so the rest is never moved. Every byte is copied
// once on its way through, however small the reads.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <deque>

namespace orvanta::download {

namespace nb = nanobind;

class ChunkBuffer {
   public:
    std::size_t size() const { return size_; }

    // Appends a bytes-like chunk: a bytes object is kept as it is, any other buffer (which
    // could change later) is copied. Empty chunks add nothing. TypeError for non-buffers.
    void append(nb::handle chunk);

    // The first min(n, size()) bytes as a new bytes object, removed from the front.
    nb::bytes take(std::size_t n);

    // Copies the first min(n, size()) bytes to `out`, removes them, returns the count.
    std::size_t take_into(char* out, std::size_t n);

    // Everything held, as one bytes object.
    nb::bytes take_all() { return take(size_); }

    // A copy of everything held, leaving it in place.
    nb::bytes peek_all() const;

   private:
    std::deque<nb::bytes> chunks_;
    std::size_t head_ = 0;  // bytes of chunks_.front() already handed out
    std::size_t size_ = 0;  // bytes held and not yet handed out
};

}  // namespace orvanta::download
