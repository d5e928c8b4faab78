// The saved states of an instance (its time, states, inputs, parameters and mode), kept by the
// instance that saved them, and their serialized bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "instance.hpp"

namespace zarel::fmu {

class Snapshots {
public:
    // The saved state behind `handle`, or null when this instance did not save it (or freed it).
    Snapshot* find(const void* handle) const;
    Snapshot* add(std::unique_ptr<Snapshot> snap);
    // false when `handle` is not one of these
    bool free(const void* handle);

private:
    std::vector<std::unique_ptr<Snapshot>> saved_;
};

void save(const Instance& inst, int phase, Snapshot& into);
void restore(const Snapshot& snap, Instance& inst);

// The serialized form: a tag, the sizes n, m, p, the mode, t, then x, u and the parameters as doubles.
std::size_t serialized_size(const Layout& l);
void serialize(const Snapshot& snap, const Layout& l, unsigned char* out);
// The state `bytes` (`size` of them) hold; null when they are not a state of this layout with a
// mode below `phases`.
std::unique_ptr<Snapshot> deserialize(const unsigned char* bytes, std::size_t size, const Layout& l, int phases);

}  // namespace zarel::fmu
