// The live instances of a runtime: a pointer the host passes is used only once found here, so a
// null, freed or foreign pointer is refused instead of followed.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace zarel::fmu {

template <class T>
class Registry {
public:
    // The instance behind `c`, or null when `c` is not a live instance.
    T* find(const void* c) const {
        if (!c) return nullptr;
        std::shared_lock hold(lock_);
        return live_.count(c) ? static_cast<T*>(const_cast<void*>(c)) : nullptr;
    }
    // Takes ownership of `owned` and returns its address, the handle the host is given.
    T* add(std::unique_ptr<T> owned) {
        std::unique_lock hold(lock_);
        live_.insert(owned.get());
        return owned.release();
    }
    // Hands the instance behind `c` back for deletion; null when `c` is not live.
    std::unique_ptr<T> remove(const void* c) {
        std::unique_lock hold(lock_);
        if (!c || !live_.erase(c)) return nullptr;
        return std::unique_ptr<T>(static_cast<T*>(const_cast<void*>(c)));
    }

private:
    mutable std::shared_mutex lock_;
    std::unordered_set<const void*> live_;
};

}  // namespace zarel::fmu
