// The engine behind its lock, with numbered loads.
#include "SharedEngine.h"

namespace kestrun {

uint64_t SharedEngine::Load(const std::string& path) {
    std::lock_guard lock(mutex_);
    currentLoad_ = 0;
    if (!engine_.LoadWav(path)) {
        return 0;
    }
    currentLoad_ = ++lastLoad_;
    return currentLoad_;
}

void SharedEngine::Clear() {
    std::lock_guard lock(mutex_);
    engine_.FreeAll();
    currentLoad_ = 0;
}

uint64_t SharedEngine::CurrentLoad() const {
    std::lock_guard lock(mutex_);
    return currentLoad_;
}

bool SharedEngine::WithLoad(uint64_t load, const std::function<void(CVadEngine&)>& fn) {
    std::lock_guard lock(mutex_);
    if (load == 0 || load != currentLoad_) {
        return false;
    }
    fn(engine_);
    return true;
}

} // namespace kestrun
