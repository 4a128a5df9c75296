// Runs a fuzz target over files, without libFuzzer: every file of each directory named on the
// command line (and every file named directly) is one input. This is how the committed corpus,
// the inputs that once crashed among it, is replayed by the ordinary test suite.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    // Named before the target initialises: it may change the working directory.
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path path = fs::absolute(argv[i]);
        if (!fs::is_directory(path)) files.push_back(path);
        else
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
