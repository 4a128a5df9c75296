// What the fuzz targets share: an input read from the front, caller buffers of exact sizes, the
// check that stops on a broken promise, and a scratch directory.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fuzzin {

// Small numbers for the harness's choices and byte runs for what the other side sends. Past the
// end every number is 0 and every run is empty, so any input is a complete script.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ == size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
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

// A caller's buffer of exactly `size` bytes, so that the sanitizer sees any write beyond it
// (no buffer at all when `present` is false).
class Buffer {
public:
    explicit Buffer(size_t size, bool present = true) : size_(size), data_(present ? new uint8_t[size] : nullptr) {
        if (data_) std::memset(data_.get(), 0xA5, size);
    }
    uint8_t* get() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

// A broken promise of the code under test: printed, then the process aborts so that the fuzzer
// keeps the input.
inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

// The process's own new directory <prefix>-XXXXXX under `base`, removed when the process exits.
inline std::filesystem::path scratchDirectory(const char* prefix,
                                              std::filesystem::path base = std::filesystem::temp_directory_path()) {
    static std::filesystem::path made;
    std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
    require(made.empty() && mkdtemp(pattern.data()) != nullptr, "no scratch directory");
    made = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return made;
}

}  // namespace fuzzin
