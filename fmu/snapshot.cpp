// The saved states of an instance and their serialized bytes.
#include "snapshot.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "run.hpp"

namespace zarel::fmu {
namespace {

constexpr std::uint64_t kSnapshotTag = 0x7a6172656c464d56u;  // "zarelFMV"

}  // namespace

std::size_t Snapshot::serialized_size(const Layout& l) {
    return 6 * sizeof(std::uint64_t) + (4 + l.n + 2 * l.m + l.p) * sizeof(double);
}

void Snapshot::serialize(const Layout& l, void* into) const {
    auto* out = static_cast<unsigned char*>(into);
    const std::uint64_t head[5] = {kSnapshotTag, l.n, l.m, l.p, static_cast<std::uint64_t>(phase)};
    std::memcpy(out, head, sizeof head);
    out += sizeof head;
    std::memcpy(out, &t, sizeof(double));
    out += sizeof(double);
    for (const std::vector<double>* v : {&x, &u, &u_rate, &params}) {
        if (!v->empty()) std::memcpy(out, v->data(), v->size() * sizeof(double));
        out += v->size() * sizeof(double);
    }
    const std::uint64_t rejected = carry.rejected;
    const double control[3] = {carry.h, carry.h_accepted, carry.err_accepted};
    std::memcpy(out, &rejected, sizeof rejected);
    std::memcpy(out + sizeof rejected, control, sizeof control);
}

std::unique_ptr<Snapshot> Snapshot::deserialize(const void* from, std::size_t size, const Layout& l, int phases) {
    const auto* bytes = static_cast<const unsigned char*>(from);
    if (!bytes || size != serialized_size(l)) return nullptr;
    std::uint64_t head[5];
    std::memcpy(head, bytes, sizeof head);
    if (head[0] != kSnapshotTag || head[1] != l.n || head[2] != l.m || head[3] != l.p ||
        head[4] >= static_cast<std::uint64_t>(phases))
        return nullptr;
    auto snap = std::make_unique<Snapshot>();
    snap->phase = static_cast<int>(head[4]);
    bytes += sizeof head;
    std::memcpy(&snap->t, bytes, sizeof(double));
    bytes += sizeof(double);
    for (auto [v, n] : {std::pair{&snap->x, l.n}, {&snap->u, l.m}, {&snap->u_rate, l.m}, {&snap->params, l.p}}) {
        v->resize(n);
        if (n) std::memcpy(v->data(), bytes, n * sizeof(double));
        bytes += n * sizeof(double);
    }
    std::uint64_t rejected = 0;
    double control[3];
    std::memcpy(&rejected, bytes, sizeof rejected);
    std::memcpy(control, bytes + sizeof rejected, sizeof control);
    if (rejected > 1 || !all_finite(control, 3) || control[0] < 0.0) return nullptr;
    snap->carry = {true, rejected != 0, control[0], control[1], control[2]};
    return snap;
}

Snapshot* Snapshots::find(const void* handle) const {
    if (!handle) return nullptr;
    auto it = std::find_if(saved_.begin(), saved_.end(), [&](const auto& s) { return s.get() == handle; });
    return it == saved_.end() ? nullptr : it->get();
}

Snapshot* Snapshots::add(std::unique_ptr<Snapshot> snap) {
    saved_.push_back(std::move(snap));
    return saved_.back().get();
}

bool Snapshots::free(const void* handle) {
    auto it = std::find_if(saved_.begin(), saved_.end(), [&](const auto& s) { return s.get() == handle; });
    if (!handle || it == saved_.end()) return false;
    saved_.erase(it);
    return true;
}

}  // namespace zarel::fmu
