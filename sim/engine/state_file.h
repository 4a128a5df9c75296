// The persistent state of one device in one file: the token record and the token objects,
// guarded by a checksum and replaced atomically (temporary file, flush, rename).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "object.h"
#include "token.h"

namespace dravenholt::sim {

struct PersistentState {
    TokenRecord token;
    std::vector<Object> objects;
};

// The serialised form: also what a storage image (backup and restore) carries.
Bytes serializeState(const TokenRecord& token, const std::vector<const Object*>& objects);
// False, with a reason, for anything that is not an intact state image.
bool parseState(const Bytes& image, PersistentState& out, std::string& error);

class StateFile {
public:
    explicit StateFile(std::filesystem::path path) : path_(std::move(path)) {}

    // False when the file does not exist; throws std::runtime_error when it exists but cannot
    // be read or is not an intact state image. The file is never modified here.
    bool load(PersistentState& out) const;
    // Writes the whole state; false (with the reason) when it could not be made durable, in
    // which case the previous file is still in place.
    bool save(const Bytes& image, std::string& error) const;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace dravenholt::sim
