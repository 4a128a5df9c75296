// The ports: one transport for each device found by C_Initialize, by index. Used under the
// library mutex; a transport only through Context::withTransport.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/pkcs11.h"
#include "transport/device_pair.h"

namespace dravenholt {

class PortTable {
public:
    // A port for each id the factory makes a transport for, with the settings' timeout.
    void build(const std::vector<uint64_t>& ids, const TransportFactory& factory, const Settings& settings,
               LogTarget& log);
    Transport* find(int32_t index) const;
    bool has(CK_SLOT_ID slot) const;
    std::vector<int32_t> indices() const;
    size_t size() const { return ports_.size(); }
    bool empty() const { return ports_.empty(); }
    void clear() { ports_.clear(); }
    // In a process made by fork(): each transport lets go of its connection without I/O.
    void abandonAll() noexcept;

private:
    std::map<int32_t, std::unique_ptr<Transport>> ports_;
};

}  // namespace dravenholt
