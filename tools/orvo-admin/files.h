// Files the commands read and write: backups and seeds.
#pragma once

#include <string>

#include "orvo-admin/report.h"

namespace orvoadmin {

// The whole file, at most `limit` bytes; Failure otherwise.
Bytes readFile(const std::string& path, size_t limit);
// Replaces `path` only once the new contents are safely on disk (temporary file, flush, rename),
// readable by its owner alone: a storage image holds the token's keys.
void writePrivateFile(const std::string& path, const Bytes& contents);

}  // namespace orvoadmin
