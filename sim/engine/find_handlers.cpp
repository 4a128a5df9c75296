// Object search: a template match over the objects the session may see.
#include <algorithm>

#include "attribute_rules.h"
#include "handlers.h"

namespace dravenholt::sim {
namespace {

bool matches(const Object& o, const Object& templ) {
    for (const auto& [type, value] : templ.attributes()) {
        const Bytes* have = o.find(type);
        // A sensitive value is never compared: that would reveal it bit by bit.
        if (!have || *have != value || isSensitive(o, type)) return false;
    }
    return true;
}

}  // namespace

Rv findObjectsInit(Device& d, Session& s, const Request& req, Response&) {
    if (s.find) return CKR_OPERATION_ACTIVE;
    Object templ;
    if (Rv rv = readTemplate(req.templ, templ); rv != CKR_OK) return rv;
    FindState state;
    for (const auto& [handle, stored] : d.objects.all()) {
        if (d.canSee(stored) && matches(stored.object, templ)) state.handles.push_back(handle);
    }
    s.find = std::move(state);
    return CKR_OK;
}

Rv findObjects(Device&, Session& s, const Request& req, Response& resp) {
    if (!s.find) return CKR_OPERATION_NOT_INITIALIZED;
    if (!req.length || *req.length == 0) return CKR_ARGUMENTS_BAD;
    constexpr size_t kMaxHandles = kMaxOutput / 4;
    FindState& f = *s.find;
    size_t count = std::min({size_t(*req.length), kMaxHandles, f.handles.size() - f.next});
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        Bytes h = le32(f.handles[f.next++]);
        out.insert(out.end(), h.begin(), h.end());
    }
    resp.data = std::move(out);
    return CKR_OK;
}

Rv findObjectsFinal(Device&, Session& s, const Request&, Response&) {
    if (!s.find) return CKR_OPERATION_NOT_INITIALIZED;
    s.find.reset();
    return CKR_OK;
}

}  // namespace dravenholt::sim
