#include "frame/port_table.h"

namespace dravenholt {

void PortTable::build(const std::vector<uint64_t>& ids, const TransportFactory& factory, const Settings& settings,
                      LogTarget& log) {
    ports_.clear();
    for (size_t i = 0; i < ids.size(); ++i) {
        std::unique_ptr<Transport> transport = factory(ids[i], settings, log);
        if (!transport) continue;
        transport->setTimeout(settings.timeoutMs);
        ports_[static_cast<int32_t>(i)] = std::move(transport);
    }
}

Transport* PortTable::find(int32_t index) const {
    auto it = ports_.find(index);
    return it == ports_.end() ? nullptr : it->second.get();
}

bool PortTable::has(CK_SLOT_ID slot) const {
    if (slot > 0x7FFFFFFF) return false;  // a slot identifier is a non-negative 32-bit index
    return ports_.count(static_cast<int32_t>(slot)) != 0;
}

std::vector<int32_t> PortTable::indices() const {
    std::vector<int32_t> out;
    for (const auto& [index, transport] : ports_) out.push_back(index);
    return out;
}

void PortTable::abandonAll() noexcept {
    for (auto& [index, transport] : ports_) transport->abandon();
    ports_.clear();
}

}  // namespace dravenholt
