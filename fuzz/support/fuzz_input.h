// Reads a fuzz input from the front: small numbers for the harness's choices and byte runs for
// what the other side sends. Past the end every number is 0 and every run is empty, so any
// input is a complete script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzzin {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ == size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    // Up to `count` bytes, fewer when the input ends.
    std::vector<uint8_t> bytes(size_t count) {
        size_t n = std::min(count, size_ - at_);
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    // A run preceded by its 16-bit little-endian length.
    std::vector<uint8_t> run() { return bytes(u16()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken promise of the code under test: printed, then the process aborts so that the fuzzer
// keeps the input.
[[noreturn]] inline void violated(const char* what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

inline void require(bool ok, const char* what) {
    if (!ok) violated(what);
}

}  // namespace fuzzin
