// The storage image (the token record with its PINs and configuration, and every token object)
// handed out in pieces and taken back in pieces, and the factory reset.
#include <algorithm>

#include "admin_handlers.h"

namespace dravenholt::sim {
namespace {

// Larger than any image of a token with 1 MiB of object memory.
constexpr uint32_t kMaxImage = 4u << 20;

// What the checksum cannot tell: an image that would leave the token unusable.
bool consistent(const PersistentState& state, std::string& error) {
    const TokenConfig& c = state.token.config;
    if (c.maxLoginFailures == 0 || c.minPinLen == 0 || c.minPinLen > c.maxPinLen) {
        error = "configuration out of range";
        return false;
    }
    if (state.token.initialized && (state.token.label.size() != 32 || !state.token.so.set)) {
        error = "initialised token without label or SO PIN";
        return false;
    }
    for (const Object& o : state.objects) {
        if (!o.has(CKA_CLASS) || !o.isToken()) {
            error = "object that is no token object";
            return false;
        }
    }
    return true;
}

// Replaces the token with the image's; every session ends, since its login and its objects
// belonged to the token that was.
Rv takeState(Device& d, PersistentState state) {
    Device::Snapshot before = d.snapshot();
    d.token.record = std::move(state.token);
    d.objects.removeAllTokenObjects();
    for (Object& o : state.objects) d.objects.add(std::move(o), 0);
    if (Rv rv = d.commit(before); rv != CKR_OK) return rv;
    endSessions(d, std::nullopt);
    return CKR_OK;
}

}  // namespace

// The first request (without a continuation value) takes a snapshot of the image, which must
// fit the caller's capacity (field 11); each answer carries the next piece, and while more
// follow, CKR_OPERATION_ACTIVE with the continuation value for the next request.
Rv backupStorage(Device& d, const Request& req, Response& resp) {
    AdminState& admin = d.admin;
    if (!req.handle) {
        admin.backup.reset();
        if (Rv rv = officerOnly(d); rv != CKR_OK) return rv;
        Bytes image = serializeState(d.token.record, d.objects.tokenObjects());
        if (!req.length || *req.length < image.size()) {
            resp.length = uint32_t(image.size());
            wipe(image);
            return CKR_BUFFER_TOO_SMALL;
        }
        admin.backup.emplace();
        admin.backup->image = std::move(image);
        admin.backup->id = admin.nextTransfer++;
        if (admin.nextTransfer == 0) admin.nextTransfer = 1;
    } else if (!admin.backup || *req.handle != admin.backup->id) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    StorageTransfer& transfer = *admin.backup;
    size_t piece = std::min(kMaxOutput, transfer.image.size() - transfer.offset);
    auto from = transfer.image.begin() + long(transfer.offset);
    resp.data = Bytes(from, from + long(piece));
    resp.length = uint32_t(transfer.image.size());  // for the host's progress report
    transfer.offset += piece;
    if (transfer.offset < transfer.image.size()) {
        resp.handle = transfer.id;
        return CKR_OPERATION_ACTIVE;
    }
    admin.backup.reset();
    return CKR_OK;
}

// Pieces arrive in order with the image's length (field 6) and the offset just past each
// (field 12); a piece ending at offset = its length starts a new transfer. The token changes
// only when the whole image has arrived intact; anything else leaves it as it was.
Rv restoreStorage(Device& d, const Request& req, Response&) {
    AdminState& admin = d.admin;
    if (!req.data || !req.handle || !req.handle2) {
        admin.restore.reset();
        return CKR_ARGUMENTS_BAD;
    }
    const Bytes& piece = *req.data;
    const uint32_t total = *req.handle, end = *req.handle2;
    if (total == 0 || total > kMaxImage) {
        admin.restore.reset();
        return CKR_DATA_LEN_RANGE;
    }
    if (piece.empty() || end < piece.size() || end > total) {
        admin.restore.reset();
        return CKR_ARGUMENTS_BAD;
    }
    const size_t start = end - piece.size();
    if (start == 0) {
        admin.restore.reset();
        if (Rv rv = officerOnly(d); rv != CKR_OK) return rv;
        admin.restore.emplace();
        admin.restore->total = total;
    } else if (!admin.restore || admin.restore->total != total || admin.restore->image.size() != start) {
        admin.restore.reset();
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    Bytes& image = admin.restore->image;
    image.insert(image.end(), piece.begin(), piece.end());
    if (end < total) return CKR_OPERATION_ACTIVE;
    PersistentState state;
    std::string error;
    bool intact = parseState(image, state, error) && consistent(state, error);
    admin.restore.reset();
    if (!intact) {
        logEvent(d, "storage image refused: " + error);
        return CKR_DATA_INVALID;
    }
    return takeState(d, std::move(state));
}

// Back to a blank token with the default configuration. The device log stays.
Rv factoryReset(Device& d, const Request&, Response&) {
    d.admin.backup.reset();
    d.admin.restore.reset();
    Device::Snapshot before = d.snapshot();
    d.token.record = TokenRecord{};
    d.objects.removeAllTokenObjects();
    if (Rv rv = d.commit(before); rv != CKR_OK) return rv;
    endSessions(d, std::nullopt);
    return CKR_OK;
}

}  // namespace dravenholt::sim
