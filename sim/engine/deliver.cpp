#include "handlers.h"

namespace dravenholt::sim {

bool deliver(const Request& req, Response& resp, Bytes out, Rv& rv) {
    resp.length = uint32_t(out.size());
    if (req.lengthOnly.value_or(false)) {
        rv = CKR_OK;
        return false;
    }
    if (req.length && *req.length < out.size()) {
        rv = CKR_BUFFER_TOO_SMALL;
        return false;
    }
    if (out.size() > kMaxOutput) {
        // Too long for any reply: the operation ends as for any other error.
        resp.length.reset();
        rv = CKR_DATA_LEN_RANGE;
        return true;
    }
    resp.data = std::move(out);
    rv = CKR_OK;
    return true;
}

}  // namespace dravenholt::sim
