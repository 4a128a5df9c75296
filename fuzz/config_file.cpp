// The configuration file parser: any bytes as orvoconfig.json, read by a new context as the
// library reads it at load time.
//
// The file names other files (the log file, the process lock file), which the parser creates.
// So that an input cannot reach outside the scratch directory the target works in, every '/'
// and '\' of the input (the latter starts JSON escapes such as "\/") becomes '_': each file name
// is then a plain name in the working directory, which is emptied after every input.
#include <filesystem>
#include <fstream>
#include <string>

#include "frame/context.h"
#include "support/fuzz_input.h"

static std::filesystem::path scratch;
constexpr char kConfigName[] = "orvoconfig.json";

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = fuzzin::scratchDirectory("orvo-fuzz-config");
    std::filesystem::current_path(scratch);
    setenv("ORVO_CONFIG_PATH", scratch.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (char& c : text)
        if (c == '/' || c == '\\') c = '_';
    std::ofstream(scratch / kConfigName, std::ios::binary | std::ios::trunc) << text;
    { dravenholt::Context context; }
    for (const auto& entry : std::filesystem::directory_iterator(scratch))
        if (entry.path().filename() != kConfigName) std::filesystem::remove_all(entry.path());
    return 0;
}
