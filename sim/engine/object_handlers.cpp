// Object life cycle and attributes.
#include "attribute_rules.h"
#include "crypto/crypto.h"
#include "handlers.h"

namespace dravenholt::sim {
namespace {

// Replaces a stored object, persisting the change for token objects.
Rv replace(Device& d, StoredObject& stored, Object updated) {
    if (stored.owner != 0) {
        stored.object = std::move(updated);
        return CKR_OK;
    }
    Device::Snapshot before = d.snapshot();
    stored.object = std::move(updated);
    return d.commit(before);
}

}  // namespace

Rv createObject(Device& d, Session& s, const Request& req, Response& resp) {
    Object o;
    if (Rv rv = readTemplate(req.templ, o); rv != CKR_OK) return rv;
    if (Rv rv = completeObject(o, Origin::Created); rv != CKR_OK) return rv;
    if (o.isKey()) {
        if (Rv rv = checkKeyMaterial(o); rv != CKR_OK) return rv;
    }
    uint32_t handle = 0;
    Rv rv = d.addObject(s, std::move(o), handle);
    if (rv == CKR_OK) resp.handle = handle;
    return rv;
}

Rv copyObject(Device& d, Session& s, const Request& req, Response& resp) {
    StoredObject* source;
    if (Rv rv = d.visible(req.handle, source); rv != CKR_OK) return rv;
    Object changes;
    if (Rv rv = readTemplate(req.templ, changes); rv != CKR_OK) return rv;
    Object copy = source->object;
    bool so = d.login() == Login::SO;
    if (Rv rv = applyChanges(copy, changes, true, so); rv != CKR_OK) return rv;
    uint32_t handle = 0;
    Rv rv = d.addObject(s, std::move(copy), handle);
    if (rv == CKR_OK) resp.handle = handle;
    return rv;
}

Rv destroyObject(Device& d, Session& s, const Request& req, Response&) {
    StoredObject* stored;
    if (Rv rv = d.visible(req.handle, stored); rv != CKR_OK) return rv;
    if (Rv rv = d.mayWrite(s, stored->object); rv != CKR_OK) return rv;
    if (!stored->object.flag(CKA_DESTROYABLE, true)) return CKR_ACTION_PROHIBITED;
    if (stored->owner != 0) {
        d.objects.remove(*req.handle);
        return CKR_OK;
    }
    Device::Snapshot before = d.snapshot();
    d.objects.remove(*req.handle);
    return d.commit(before);
}

Rv getObjectSize(Device& d, Session&, const Request& req, Response& resp) {
    StoredObject* stored;
    if (Rv rv = d.visible(req.handle, stored); rv != CKR_OK) return rv;
    resp.length = uint32_t(stored->object.size());
    return CKR_OK;
}

Rv getAttributeValue(Device& d, Session&, const Request& req, Response& resp) {
    StoredObject* stored;
    if (Rv rv = d.visible(req.handle, stored); rv != CKR_OK) return rv;
    const Object& o = stored->object;
    Rv rv = CKR_OK;
    for (const wire::Attribute& asked : req.templ) {
        const Bytes* value = o.find(asked.type);
        if (value && isSensitive(o, asked.type)) {
            value = nullptr;
            rv = CKR_ATTRIBUTE_SENSITIVE;
        } else if (!value && rv == CKR_OK) {
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        }
        resp.attributes.push_back(attributeToWire(asked.type, value));
    }
    return rv;
}

Rv setAttributeValue(Device& d, Session& s, const Request& req, Response&) {
    StoredObject* stored;
    if (Rv rv = d.visible(req.handle, stored); rv != CKR_OK) return rv;
    if (Rv rv = d.mayWrite(s, stored->object); rv != CKR_OK) return rv;
    Object changes;
    if (Rv rv = readTemplate(req.templ, changes); rv != CKR_OK) return rv;
    Object updated = stored->object;
    if (Rv rv = applyChanges(updated, changes, false, d.login() == Login::SO); rv != CKR_OK) return rv;
    return replace(d, *stored, std::move(updated));
}

}  // namespace dravenholt::sim
