// A private scratch directory for a fuzz target's files, removed when the process exits.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/fuzz_input.h"

namespace fuzzin {

// A new directory named <prefix>-XXXXXX under `base` (the temporary directory by default).
inline std::filesystem::path scratchDirectory(const char* prefix,
                                              std::filesystem::path base = std::filesystem::temp_directory_path()) {
    static std::filesystem::path made;
    require(made.empty(), "one scratch directory per process");
    std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
    require(mkdtemp(pattern.data()) != nullptr, "no scratch directory");
    made = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return made;
}

}  // namespace fuzzin
