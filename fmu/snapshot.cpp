// The saved states of an instance and their serialized bytes.
#include "snapshot.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace zarel::fmu {
namespace {

constexpr std::uint64_t kSnapshotTag = 0x7a6172656c464d55u;  // "zarelFMU"

}  // namespace

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

void save(const Instance& inst, int phase, Snapshot& into) {
    into.t = inst.t;
    into.phase = phase;
    into.x = inst.x;
    into.u = inst.u;
    into.params = inst.params;
}

void restore(const Snapshot& snap, Instance& inst) {
    inst.t = snap.t;
    std::copy(snap.x.begin(), snap.x.end(), inst.x.begin());
    std::copy(snap.u.begin(), snap.u.end(), inst.u.begin());
    std::copy(snap.params.begin(), snap.params.end(), inst.params.begin());
    inst.changed();
}

std::size_t serialized_size(const Layout& l) {
    return 5 * sizeof(std::uint64_t) + (1 + l.n + l.m + l.p) * sizeof(double);
}

void serialize(const Snapshot& snap, const Layout& l, unsigned char* out) {
    const std::uint64_t head[5] = {kSnapshotTag, l.n, l.m, l.p, static_cast<std::uint64_t>(snap.phase)};
    std::memcpy(out, head, sizeof head);
    out += sizeof head;
    std::memcpy(out, &snap.t, sizeof(double));
    out += sizeof(double);
    for (const std::vector<double>* v : {&snap.x, &snap.u, &snap.params}) {
        if (!v->empty()) std::memcpy(out, v->data(), v->size() * sizeof(double));
        out += v->size() * sizeof(double);
    }
}

std::unique_ptr<Snapshot> deserialize(const unsigned char* bytes, std::size_t size, const Layout& l, int phases) {
    if (!bytes || size != serialized_size(l)) return nullptr;
    std::uint64_t head[5];
    std::memcpy(head, bytes, sizeof head);
    if (head[0] != kSnapshotTag || head[1] != l.n || head[2] != l.m || head[3] != l.p ||
        head[4] >= static_cast<std::uint64_t>(phases))
        return nullptr;
    auto snap = std::make_unique<Snapshot>();
    snap->phase = static_cast<int>(head[4]);
    const unsigned char* at = bytes + sizeof head;
    std::memcpy(&snap->t, at, sizeof(double));
    at += sizeof(double);
    for (auto [v, n] : {std::pair{&snap->x, l.n}, {&snap->u, l.m}, {&snap->params, l.p}}) {
        v->resize(n);
        if (n) std::memcpy(v->data(), at, n * sizeof(double));
        at += n * sizeof(double);
    }
    return snap;
}

}  // namespace zarel::fmu
