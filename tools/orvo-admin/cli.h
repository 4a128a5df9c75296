// orvo-admin's command line: the whole program but its terminal, so that tests run it with
// their own streams and secrets.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace orvoadmin {

struct Console {
    std::ostream& out;
    std::ostream& err;
    // Progress bars go to `err` only for a person watching.
    bool interactive = false;
    // A secret the command needs ("SO PIN", "user PIN"); none when it cannot be had.
    std::function<std::optional<std::string>(const std::string& what)> secret{};
};

// Exit codes.
constexpr int kSuccess = 0;
constexpr int kFailed = 1;    // the device or the token refused, or a file could not be used
constexpr int kUsage = 2;     // the command line was wrong

// Runs one command line (without the program name).
int run(const std::vector<std::string>& args, Console& console);

}  // namespace orvoadmin
