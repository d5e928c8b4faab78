// The calls FMI 2.0 and 3.0 share, written once over either version's instance record C:
// C::error(function, message) reports a fault and returns the version's error status, and C has
// its instance `inst`, its mode `phase`, its saved states `snapshots` and its `logging` switch.
// Each returns the version's status (OK is 0 in both, Error 3, Fatal 4).
#pragma once

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "registry.hpp"
#include "snapshot.hpp"

namespace zarel::fmu::calls {

template <class C>
using StatusOf = decltype(std::declval<const C&>().error("", std::string()));

template <class C>
StatusOf<C> ok() {
    return static_cast<StatusOf<C>>(0);
}

// Runs `body` on the record behind the host's handle `c`, found among `live`, turning every
// exception into a reported status (Fatal for exhausted memory, else Error) and the record's mode
// into its error mode. A handle that is no live record gets Error: no logger to report to.
template <class C, class F>
StatusOf<C> guarded(const Registry<C>& live, const void* c, const char* function, F&& body) noexcept {
    constexpr auto kError = static_cast<StatusOf<C>>(3), kFatal = static_cast<StatusOf<C>>(4);
    C* comp = live.find(c);
    if (!comp) return kError;
    try {
        return body(*comp);
    } catch (const std::bad_alloc&) {
        comp->log(kFatal, "logStatusFatal", std::string(function) + ": out of memory");
        comp->phase = decltype(comp->phase)::Error;
        return kFatal;
    } catch (const std::exception& e) {
        comp->phase = decltype(comp->phase)::Error;
        return comp->error(function, e.what());
    } catch (...) {
        comp->phase = decltype(comp->phase)::Error;
        return comp->error(function, "an unexpected fault");
    }
}

// Logging on or off, for the categories of the model description (all of them when none).
template <class C>
StatusOf<C> debug_logging(C& comp, const char* function, bool on, std::size_t n, const char* const* categories) {
    if (n > 0 && !categories) return comp.error(function, "null categories");
    for (std::size_t k = 0; k < n; ++k) {
        const char* cat = categories[k];
        if (!cat || (std::strcmp(cat, "logStatusError") != 0 && std::strcmp(cat, "logStatusFatal") != 0 &&
                     std::strcmp(cat, "logAll") != 0))
            return comp.error(function, std::string("unknown log category ") + (cat ? cat : "(null)") +
                                            "; categories are logStatusError, logStatusFatal and logAll");
    }
    comp.logging = on;
    return ok<C>();
}

// The saved states: a new one into *handle, or the one *handle names overwritten.
template <class C>
StatusOf<C> get_state(C& comp, const char* function, void** handle) {
    if (!handle) return comp.error(function, "null pointer for the state");
    Snapshot* snap = nullptr;
    if (*handle) {
        snap = comp.snapshots.find(*handle);
        if (!snap) return comp.error(function, "the state given to overwrite is not one of this instance's");
    } else {
        snap = comp.snapshots.add(std::make_unique<Snapshot>());
    }
    comp.inst->save(*snap);
    snap->phase = static_cast<int>(comp.phase);
    *handle = snap;
    return ok<C>();
}

template <class C>
StatusOf<C> set_state(C& comp, const char* function, const void* handle) {
    const Snapshot* snap = comp.snapshots.find(handle);
    if (!snap) return comp.error(function, "the state is not one this instance saved (or it was freed)");
    comp.inst->restore(*snap);
    comp.phase = static_cast<decltype(comp.phase)>(snap->phase);
    return ok<C>();
}

template <class C>
StatusOf<C> free_state(C& comp, const char* function, void** handle) {
    if (!handle) return comp.error(function, "null pointer for the state");
    if (!*handle) return ok<C>();
    if (!comp.snapshots.free(*handle))
        return comp.error(function, "the state is not one this instance saved (or it was freed)");
    *handle = nullptr;
    return ok<C>();
}

template <class C>
StatusOf<C> state_size(C& comp, const char* function, const void* handle, std::size_t* size) {
    if (!size) return comp.error(function, "null pointer for the size");
    if (!comp.snapshots.find(handle)) return comp.error(function, "the state is not one this instance saved");
    *size = Snapshot::serialized_size(comp.inst->layout);
    return ok<C>();
}

template <class C>
StatusOf<C> serialize_state(C& comp, const char* function, const void* handle, void* bytes, std::size_t size) {
    const Snapshot* snap = comp.snapshots.find(handle);
    if (!snap) return comp.error(function, "the state is not one this instance saved");
    const Layout& l = comp.inst->layout;
    if (!bytes || size != Snapshot::serialized_size(l))
        return comp.error(function,
                          "the buffer must hold exactly " + std::to_string(Snapshot::serialized_size(l)) + " bytes");
    snap->serialize(l, bytes);
    return ok<C>();
}

// The state `size` bytes hold, saved anew into *handle; its mode is one of the first `phases`.
template <class C>
StatusOf<C> deserialize_state(C& comp, const char* function, const void* bytes, std::size_t size, void** handle,
                        int phases) {
    const Layout& l = comp.inst->layout;
    if (!handle) return comp.error(function, "null pointer for the state");
    auto snap = Snapshot::deserialize(bytes, size, l, phases);
    if (!snap)
        return comp.error(function, "the " + std::to_string(size) + " bytes are not a saved state of this model " +
                                        "(which has " + std::to_string(Snapshot::serialized_size(l)) + ")");
    *handle = comp.snapshots.add(std::move(snap));
    return ok<C>();
}

}  // namespace zarel::fmu::calls
