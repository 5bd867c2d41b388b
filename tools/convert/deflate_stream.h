// A zlib deflate stream that is ended however its user leaves.
#pragma once

#include <zlib.h>

namespace conv {

class DeflateStream {
public:
    DeflateStream(int level, int windowBits, int memLevel, int strategy) {
        ok_ = deflateInit2(&z_, level, Z_DEFLATED, windowBits, memLevel, strategy) == Z_OK;
    }
    ~DeflateStream() {
        if (ok_) deflateEnd(&z_);
    }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    bool ok() const { return ok_; }  // false: zlib could not start (out of memory)
    z_stream* get() { return &z_; }

private:
    z_stream z_{};
    bool ok_ = false;
};

}  // namespace conv
