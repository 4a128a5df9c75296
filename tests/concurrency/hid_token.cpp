#include "hid_token.h"

#include "vhid/engine_device.h"

namespace conc {

using dravenholt::vhid::JournalEntry;

HidToken plugInHidToken() {
    HidToken token;
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C0D0E0F";
    token.engine = std::make_shared<dravenholt::sim::Engine>(options);
    token.device = dravenholt::vhid::plugIn({.serial = L"0A0B0C0D0E0F"}, dravenholt::vhid::engineResponder(token.engine));
    return token;
}

size_t intrusions(const std::vector<JournalEntry>& journal) {
    uint32_t owner = 0;  // host whose exchange is under way, 0 for none
    size_t count = 0;
    for (const JournalEntry& entry : journal) {
        if (entry.kind == JournalEntry::Kind::Reply) {
            owner = 0;
        } else if (owner == 0) {
            owner = entry.host;
        } else if (entry.host != owner) {
            ++count;
        }
    }
    return count;
}

}  // namespace conc
