#include "orvo-admin/files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace orvoadmin {
namespace {

std::string reason() { return std::strerror(errno); }

}  // namespace

Bytes readFile(const std::string& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read " + path + ": " + reason());
    Bytes contents;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        contents.insert(contents.end(), chunk, chunk + in.gcount());
        if (contents.size() > limit) throw Failure(path + " is larger than " + std::to_string(limit) + " bytes");
    }
    if (in.bad()) throw Failure("cannot read " + path + ": " + reason());
    return contents;
}

Failure temporaryTaken(const std::string& temporary) {
    return Failure(temporary + " already exists (left by an interrupted backup, or put there by someone else); "
                               "it was not used: remove it and try again");
}

}  // namespace orvoadmin
