// Files the commands read and write: backups and seeds.
#pragma once

#include <string>

#include "orvo-admin/report.h"

namespace orvoadmin {

// The whole file, at most `limit` bytes; Failure otherwise.
Bytes readFile(const std::string& path, size_t limit);
// Replaces `path` only once the new contents are safely on disk, readable by its owner alone: a
// storage image holds the token's keys. The contents go to `path`.tmp, made afresh (never a
// file or link that lay there before), flushed and renamed; the directory is then synced.
void writePrivateFile(const std::string& path, const Bytes& contents);
// The failure when `temporary` exists already: it is left as it is.
Failure temporaryTaken(const std::string& temporary);

}  // namespace orvoadmin
