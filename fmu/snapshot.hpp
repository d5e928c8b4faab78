// The saved states of an instance (its time, states, inputs and their slopes, parameters, the
// step-size control and the mode), kept by the instance that saved them, and their bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "instance.hpp"

namespace zarel::fmu {

struct Snapshot {
    double t = 0.0;
    int phase = 0;
    std::vector<double> x, u, u_rate, params;
    Work::StepCarry carry;  // the step-size control the next communication step starts from

    // Its bytes: a tag, the sizes n, m, p and the mode, t, then x, u, u_rate and the parameters,
    // then the step-size control.
    static std::size_t serialized_size(const Layout& layout);
    void serialize(const Layout& layout, void* out) const;
    // The snapshot `size` bytes hold; null unless they are one of this layout with a mode below
    // `phases`.
    static std::unique_ptr<Snapshot> deserialize(const void* bytes, std::size_t size, const Layout& layout,
                                                 int phases);
};

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

}  // namespace zarel::fmu
