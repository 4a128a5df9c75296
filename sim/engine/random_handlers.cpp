// Random numbers and seeding.
#include "handlers.h"

namespace dravenholt::sim {

Rv generateRandom(Device& d, Session&, const Request& req, Response& resp) {
    if (!req.length) return CKR_ARGUMENTS_BAD;
    if (*req.length > kMaxOutput) return CKR_DATA_LEN_RANGE;
    Bytes out(*req.length);
    if (!d.random.fill(out.data(), out.size())) return CKR_DEVICE_ERROR;
    resp.data = std::move(out);
    return CKR_OK;
}

Rv seedRandom(Device& d, Session&, const Request& req, Response&) {
    if (!req.data || req.data->empty()) return CKR_ARGUMENTS_BAD;
    return d.random.seed(*req.data) ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace dravenholt::sim
