// The register file of the machine-code emitter (see jit_registers.hpp).
#if defined(ZAREL_HAVE_XBYAK) && defined(__x86_64__)
#include "jit_registers.hpp"

#include <algorithm>

namespace zarel::jit {

void Registers::start(const Graph& g) {
    g_ = &g;
    cur_ = 0;
    number_uses();
    held_.fill(kFree);
    reg_of_.assign(g.values.size(), -1);
    slot_of_.assign(g.values.size(), -1);
    free_slots_.clear();
    slots_ = 0;
}

// The operands a step reads.
int Registers::operands(const Step& s, std::array<std::uint32_t, 3>& ops) const {
    if (s.kind == Step::Compute) {
        const Value& x = value(s.value);
        ops = {x.a, x.b, x.c};
        return consumed(x.op);
    }
    ops[0] = s.value;
    return s.kind == Step::Store && value(s.value).op == Op::Const ? 0 : 1;
}

void Registers::number_uses() {
    const std::size_t n = g_->values.size();
    use_begin_.assign(n + 1, 0);
    std::array<std::uint32_t, 3> ops;
    for (const Step& s : g_->steps)
        for (int k = operands(s, ops); k-- > 0;) ++use_begin_[ops[k] + 1];
    for (std::size_t v = 0; v < n; ++v) use_begin_[v + 1] += use_begin_[v];
    uses_.resize(use_begin_[n]);
    cursor_.assign(use_begin_.begin(), use_begin_.end() - 1);
    for (std::uint32_t pos = 0; pos < g_->steps.size(); ++pos)
        for (int k = 0, m = operands(g_->steps[pos], ops); k < m; ++k) uses_[cursor_[ops[k]]++] = pos;
    cursor_.assign(use_begin_.begin(), use_begin_.end() - 1);
}

// The first step after the current one that reads v.
std::uint32_t Registers::next_use(std::uint32_t v) const {
    for (std::uint32_t k = cursor_[v]; k < use_begin_[v + 1]; ++k)
        if (uses_[k] > cur_) return uses_[k];
    return kNever;
}

bool Registers::operand_of_step(std::uint32_t v) const {
    std::array<std::uint32_t, 3> ops;
    const int m = operands(g_->steps[cur_], ops);
    return std::find(ops.begin(), ops.begin() + m, v) != ops.begin() + m;
}

void Registers::retire() {
    std::array<std::uint32_t, 3> ops;
    for (int k = operands(g_->steps[cur_], ops); k-- > 0;) {
        const std::uint32_t v = ops[k];
        while (cursor_[v] < use_begin_[v + 1] && uses_[cursor_[v]] <= cur_) ++cursor_[v];
        if (cursor_[v] < use_begin_[v + 1]) continue;
        if (reg_of_[v] >= 0) held_[reg_of_[v]] = kFree, reg_of_[v] = -1;
        if (slot_of_[v] >= 0) free_slots_.push_back(slot_of_[v]), slot_of_[v] = -1;
    }
    for (std::uint32_t& h : held_)
        if (h == kTemp) h = kFree;
    ++cur_;
}

Xbyak::Address Registers::home(std::uint32_t v, int lane) {
    using namespace Xbyak::util;
    const Value& x = value(v);
    if (x.op == Op::Const) return ptr[rip + pool_.constant(x.bits) + 8 * lane];
    if (x.op == Op::Ref) return ptr[env_ + code_.displacement(x.bits, lane)];
    return ptr[rsp + static_cast<std::int32_t>(code_.slot_bytes()) * slot_of_[v] + 8 * lane];
}

int Registers::free_registers() const { return static_cast<int>(std::count(held_.begin(), held_.end(), kFree)); }

Xbyak::Xmm Registers::take() {
    int best = -1;
    std::uint32_t best_next = 0;
    for (int r = 0; r < kRegisters; ++r) {
        const std::uint32_t v = held_[r];
        if (v == kFree) {
            held_[r] = kTemp;
            return code_.xmm(r);
        }
        if (v == kTemp || operand_of_step(v)) continue;
        const std::uint32_t next = next_use(v);
        // among equals, prefer a value that costs no store
        if (best < 0 || next > best_next || (next == best_next && (reloads(v) || slot_of_[v] >= 0))) {
            best = r;
            best_next = next;
        }
    }
    evict(best);
    held_[best] = kTemp;
    return code_.xmm(best);
}

void Registers::give_slot(std::uint32_t v) {
    if (free_slots_.empty()) {
        slot_of_[v] = static_cast<std::int32_t>(slots_++);
    } else {
        slot_of_[v] = free_slots_.back();
        free_slots_.pop_back();
    }
}

void Registers::evict(int r) {
    const std::uint32_t v = held_[r];
    if (!reloads(v) && slot_of_[v] < 0) {
        give_slot(v);
        code_.put(home(v), code_.xmm(r));
    }
    reg_of_[v] = -1;
    held_[r] = kFree;
}

Xbyak::Xmm Registers::in_register(std::uint32_t v) {
    if (reg_of_[v] >= 0) return code_.xmm(reg_of_[v]);
    const Xbyak::Xmm r = take();
    code_.load(r, home(v));
    bind(r, v);
    return r;
}

void Registers::prefer_register(std::uint32_t v) {
    if (reg_of_[v] < 0 && !dies_here(v) && free_registers() > 2) in_register(v);
}

Xbyak::Xmm Registers::destination(std::uint32_t a) {
    if (reg_of_[a] >= 0 && dies_here(a)) {
        const int r = reg_of_[a];
        reg_of_[a] = -1;
        held_[r] = kTemp;
        return code_.xmm(r);
    }
    prefer_register(a);
    const Xbyak::Xmm r = take();
    if (reg_of_[a] >= 0) {
        code_.copy(r, code_.xmm(reg_of_[a]));
    } else {
        code_.load(r, home(a));
    }
    return r;
}

void Registers::spill_across_call() {
    for (int r = 0; r < kRegisters; ++r) {
        const std::uint32_t w = held_[r];
        if (w == kFree || w == kTemp || reloads(w) || slot_of_[w] >= 0 || dies_here(w)) continue;
        evict(r);  // stores it; the register is rewritten by the call anyway
    }
}

void Registers::spill_all() {
    for (int r = 0; r < kRegisters; ++r) {
        const std::uint32_t w = held_[r];
        if (w == kFree || w == kTemp) continue;
        if (reloads(w) || slot_of_[w] >= 0 || (dies_here(w) && !operand_of_step(w))) {
            reg_of_[w] = -1;
            held_[r] = kFree;
            continue;
        }
        evict(r);
    }
}

void Registers::clobbered() {
    for (int r = 0; r < kRegisters; ++r) {
        if (held_[r] != kFree && held_[r] != kTemp) reg_of_[held_[r]] = -1;
        held_[r] = kFree;
    }
}

}  // namespace zarel::jit

#endif
