#include "object_store.h"

namespace dravenholt::sim {

uint32_t ObjectStore::add(Object object, uint32_t owner) {
    uint32_t handle = next_++;
    objects_.emplace(handle, StoredObject{std::move(object), owner});
    return handle;
}

StoredObject* ObjectStore::get(uint32_t handle) {
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : &it->second;
}

void ObjectStore::removeSessionObjects(uint32_t session) {
    std::erase_if(objects_, [session](const auto& e) { return e.second.owner == session; });
}

void ObjectStore::removeAllTokenObjects() {
    std::erase_if(objects_, [](const auto& e) { return e.second.owner == 0; });
}

size_t ObjectStore::tokenMemory() const {
    size_t total = 0;
    for (const auto& [handle, stored] : objects_)
        if (stored.owner == 0) total += stored.object.size();
    return total;
}

std::vector<const Object*> ObjectStore::tokenObjects() const {
    std::vector<const Object*> list;
    for (const auto& [handle, stored] : objects_)
        if (stored.owner == 0) list.push_back(&stored.object);
    return list;
}

ObjectStore::Map ObjectStore::snapshot() const {
    Map copy;
    for (const auto& [handle, stored] : objects_)
        if (stored.owner == 0) copy.emplace(handle, stored);
    return copy;
}

void ObjectStore::restore(Map tokenObjects) {
    removeAllTokenObjects();
    objects_.merge(tokenObjects);
}

}  // namespace dravenholt::sim
