// log: the device log, one event per line.
#include <sstream>

#include "orvo-admin/commands.h"
#include "orvo-admin/token.h"
#include "orvo/admin.h"

namespace orvoadmin {

int logCommand(Invocation& inv) {
    Library library;
    Token token(inv);
    // Ask for the length first; the log may grow between the calls, so ask again then.
    Bytes log;
    uint64_t length = 0;
    bool read = bReadLogEntries(inv.slot, nullptr, &length);
    for (int attempt = 0; !read && attempt < 3 && length > 0; ++attempt) {
        log.assign(length, 0);
        read = bReadLogEntries(inv.slot, log.data(), &length);
    }
    if (!read) throw Failure("cannot read the device log of slot " + std::to_string(inv.slot));
    log.resize(length);
    std::string text(log.begin(), log.end());
    nlohmann::json entries = nlohmann::json::array();
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) entries.push_back(line);
    emit(inv, {{"slot", inv.slot}, {"entries", entries}}, text);
    return kSuccess;
}

}  // namespace orvoadmin
