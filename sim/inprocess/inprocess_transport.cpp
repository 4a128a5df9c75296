#include "inprocess/inprocess_transport.h"

#include <cstring>

namespace dravenholt::sim {

size_t InProcessTransport::write(const uint8_t* data, size_t length) {
    if (!client_) return 0;
    pending_ = engine_->process(client_->id(), data, length);
    return length;
}

size_t InProcessTransport::write(const std::string& data) {
    return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

size_t InProcessTransport::read(uint8_t* buffer, size_t capacity) {
    std::vector<uint8_t> reply = std::move(pending_);
    pending_.clear();
    if (reply.empty() || reply.size() > capacity) return 0;
    std::memcpy(buffer, reply.data(), reply.size());
    return reply.size();
}

}  // namespace dravenholt::sim
