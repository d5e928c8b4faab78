// The register file of the machine-code emitter: which register holds which value, the stack
// slots of values pushed out of registers, and where every value is read next.
//
// Code is straight-line, so registers are allocated in one pass: values stay in the sixteen
// xmm registers and, when those run out, the value whose next use is furthest away gives its
// register up (Belady). Environment slots and constants are never stored on eviction: they are
// reloaded from where they live. In the packed forms a register, a stack slot and a value's
// home hold one double of every lane. The only instructions written here are the spills,
// reloads and copies, through the width's own moves.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <xbyak/xbyak.h>

#include "jit_constants.hpp"
#include "jit_instructions.hpp"
#include "jit_values.hpp"

namespace zarel::jit {

class Registers {
public:
    // Values live in the registers of `code`; environment slots at env, constants in `pool`.
    Registers(Instructions& code, ConstantPool& pool, const Xbyak::Reg64& env) : code_(code), pool_(pool), env_(env) {}

    // Starts a function computing g: every register free, no stack slot, the first step current.
    void start(const Graph& g);
    // After the current step: operands read for the last time give up their register and slot;
    // the step's temporary registers are free again; the next step becomes current.
    void retire();

    // The stack slots the function has used, each slot_bytes() wide.
    std::uint32_t slots() const { return slots_; }

    // The register holding v, or -1.
    int reg_of(std::uint32_t v) const { return reg_of_[v]; }
    // Where v lives in memory: a constant in the pool, an environment slot, or its stack slot;
    // for a packed form, the double of one lane.
    Xbyak::Address home(std::uint32_t v, int lane = 0);
    bool dies_here(std::uint32_t v) const { return next_use(v) == kNever; }

    // A register for the current step: a free one, else the one whose value is read last.
    Xbyak::Xmm take();
    // r now holds v.
    void bind(const Xbyak::Xmm& r, std::uint32_t v) {
        held_[r.getIdx()] = v;
        reg_of_[v] = r.getIdx();
    }
    // A stack slot for v.
    void give_slot(std::uint32_t v);

    Xbyak::Xmm in_register(std::uint32_t v);
    // A value read again later is loaded into a register while registers are plentiful, so an
    // environment slot is read once per evaluation.
    void prefer_register(std::uint32_t v);

    // v as an instruction's source: its register, or its place in memory.
    // SSE2's packed instructions fault on memory that is not 16-aligned, which the caller's
    // arrays need not be: that form reads its operands from registers.
    template <class F>
    void source(std::uint32_t v, F&& f) {
        prefer_register(v);
        if (code_.lanes() == 2) in_register(v);
        if (reg_of_[v] >= 0) {
            f(code_.xmm(reg_of_[v]));
        } else {
            f(home(v));
        }
    }

    // A register holding a's value that the current step may overwrite: a's own when this step
    // reads a last, else a copy.
    Xbyak::Xmm destination(std::uint32_t a);

    // Calls clobber every xmm register (SysV). Before a call once per value: the values read
    // after it that live nowhere else are stored.
    void spill_across_call();
    // Before calls once per lane: every value, the operands included, waits in its home and no
    // register holds anything.
    void spill_all();
    // After a call: no register holds anything.
    void clobbered();

private:
    static constexpr int kRegisters = 16;                   // xmm0 to xmm15 (ymm0 to ymm15)
    static constexpr std::uint32_t kFree = UINT32_MAX;      // an empty register
    static constexpr std::uint32_t kTemp = UINT32_MAX - 1;  // a register taken for the current step
    static constexpr std::uint32_t kNever = UINT32_MAX;     // no further use

    const Value& value(std::uint32_t v) const { return g_->values[v]; }
    // constants and environment slots are reloaded where they live; nothing needs storing
    bool reloads(std::uint32_t v) const { return value(v).op == Op::Const || value(v).op == Op::Ref; }

    int operands(const Step& s, std::array<std::uint32_t, 3>& ops) const;
    void number_uses();
    std::uint32_t next_use(std::uint32_t v) const;
    bool operand_of_step(std::uint32_t v) const;
    int free_registers() const;
    void evict(int r);

    Instructions& code_;
    ConstantPool& pool_;
    const Xbyak::Reg64 env_;
    const Graph* g_ = nullptr;
    std::size_t cur_ = 0;  // the current step
    // uses: for each value, the steps that read it, in order
    std::vector<std::uint32_t> use_begin_, uses_, cursor_;
    std::array<std::uint32_t, kRegisters> held_{};
    std::vector<int> reg_of_;
    std::vector<std::int32_t> slot_of_;
    std::vector<std::int32_t> free_slots_;
    std::uint32_t slots_ = 0;
};

}  // namespace zarel::jit
