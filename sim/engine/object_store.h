// Every object the device holds, token and session objects alike, under 32-bit handles that
// are never reused while the device runs.
#pragma once

#include <map>
#include <vector>

#include "object.h"

namespace dravenholt::sim {

struct StoredObject {
    Object object;
    uint32_t owner = 0;  // the creating session for session objects, 0 for token objects
};

class ObjectStore {
public:
    using Map = std::map<uint32_t, StoredObject>;

    uint32_t add(Object object, uint32_t owner);
    StoredObject* get(uint32_t handle);
    void remove(uint32_t handle) { objects_.erase(handle); }
    void removeSessionObjects(uint32_t session);
    void removeAllTokenObjects();

    const Map& all() const { return objects_; }
    size_t tokenMemory() const;
    std::vector<const Object*> tokenObjects() const;

    // Token objects only, handles included: what a failed write to storage restores.
    Map snapshot() const;
    void restore(Map tokenObjects);

private:
    Map objects_;
    uint32_t next_ = 1;
};

}  // namespace dravenholt::sim
