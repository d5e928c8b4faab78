// The machine-code emitter: x86-64 for the value graphs of jit_values, one function per source,
// all in one block of code written while read-write and then made read-and-execute.
//
// Code is straight-line, so registers are allocated in one pass: values stay in the sixteen
// xmm registers and, when those run out, the value whose next use is furthest away gives its
// register up (Belady). Environment slots and constants are never stored on eviction: they are
// reloaded from where they live. Calls clobber every xmm register (SysV), so the values that
// outlive a call wait in stack slots. env and out stay in callee-saved rbx and r12.
//
// The same emitters write the packed forms: a register then holds one value of every lane
// (two in an xmm register with SSE2, four in a ymm register with AVX2), environment slots,
// outputs, stack slots and constants are as many doubles wide, and the instruction helpers
// (load, put, arithmetic, bitwise, compare) pick the scalar, SSE2 or AVX encoding of the same
// IEEE operation. Calls into C run once per lane on that lane's operands.
#include "zarel/jit.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "jit_values.hpp"

#if defined(ZAREL_HAVE_XBYAK) && defined(__x86_64__)
#define ZAREL_NATIVE 1
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <climits>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>

#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>
#endif

namespace zarel {

namespace {

bool flag_is_zero(const char* name) {
    const char* v = std::getenv(name);
    return v && std::string_view(v) == "0";
}

bool debug_log() {
    const char* v = std::getenv("ZAREL_JIT_DEBUG");
    return v && *v && !flag_is_zero("ZAREL_JIT_DEBUG");
}

}  // namespace

#if ZAREL_NATIVE

bool native_code_enabled() { return !flag_is_zero("ZAREL_JIT"); }

namespace {

bool has_avx2() {
    static const bool avx2 = Xbyak::util::Cpu().has(Xbyak::util::Cpu::tAVX2);
    return avx2;
}

}  // namespace

std::size_t native_lanes() {
    const char* v = std::getenv("ZAREL_LANES");
    const std::string_view s = v ? v : "";
    if (s == "1") return 1;
    if (s == "2" || !has_avx2()) return 2;
    return 4;
}

namespace jit {
namespace {

// The calls into C, each the function the evaluator itself calls.
double pw_at(const PwTable* table, double x) { return table->at(x); }
double pow_at(double a, double b) { return b == 2.0 ? a * a : std::pow(a, b); }

using Unary = double (*)(double);
using Binary = double (*)(double, double);

const void* callee(Op op, bool known_exponent) {
    switch (op) {
    case Op::Exp: return reinterpret_cast<const void*>(static_cast<Unary>(std::exp));
    case Op::Log: return reinterpret_cast<const void*>(static_cast<Unary>(std::log));
    case Op::Tanh: return reinterpret_cast<const void*>(static_cast<Unary>(std::tanh));
    case Op::Sin: return reinterpret_cast<const void*>(static_cast<Unary>(std::sin));
    case Op::Cos: return reinterpret_cast<const void*>(static_cast<Unary>(std::cos));
    // a known exponent other than 2 (2 became a multiplication) goes straight to pow
    case Op::Pow: return known_exponent ? reinterpret_cast<const void*>(static_cast<Binary>(std::pow))
                                        : reinterpret_cast<const void*>(&pow_at);
    default: return reinterpret_cast<const void*>(&pw_at);
    }
}

constexpr std::uint32_t kFree = UINT32_MAX;      // an empty register
constexpr std::uint32_t kTemp = UINT32_MAX - 1;  // a register taken for the current step
constexpr std::uint32_t kNever = UINT32_MAX;     // no further use
constexpr int kRegisters = 16;
constexpr int kWidest = 4;  // lanes of a ymm register: every constant is stored this wide

// The comparison predicates of cmpsd, cmppd and vcmppd.
enum Predicate : std::uint8_t { kLt = 1, kLe = 2, kNeq = 4, kOrd = 7 };

class Emitter : public Xbyak::CodeGenerator {
public:
    // AutoGrow: the buffer grows as needed in read-write memory and turns read-and-execute only
    // once the code is complete.
    explicit Emitter(std::size_t estimate) : CodeGenerator(estimate, Xbyak::AutoGrow) {}

    // Emits one function computing g, for `lanes` lanes (1: the scalar form); returns its offset
    // in the block.
    std::size_t function(const Graph& g, std::vector<const PwTable*> tables, int lanes) {
        g_ = &g;
        lanes_ = lanes;
        tables_ = std::move(tables);
        number_uses();
        held_.fill(kFree);
        reg_of_.assign(g.values.size(), -1);
        slot_of_.assign(g.values.size(), -1);
        free_slots_.clear();
        slots_ = 0;

        align(16);
        const std::size_t entry = getSize();
        const bool packed = lanes_ > 1;
        push(rbx);
        push(r12);
        if (packed) push(result_);
        mov(env_, rdi);
        mov(out_, rsi);
        if (packed) mov(result_, rdx);
        // sub rsp, imm32: the frame size is written once the spills are known
        db(0x48), db(0x81), db(0xEC);
        const std::size_t frame_at = getSize();
        dd(0);
        put_constants();
        for (cur_ = 0; cur_ < g.steps.size(); ++cur_) {
            step(g.steps[cur_]);
            retire(g.steps[cur_]);
        }
        // the pushes after the return address and the frame keep rsp 16-aligned at calls and
        // stack slots 16-aligned, as the SSE2 packed loads and stores want them
        const std::uint32_t pushed = packed ? 32 : 24;
        std::uint32_t frame = static_cast<std::uint32_t>(slot_bytes()) * slots_;
        if ((pushed + frame) % 16 != 0) frame += 8;
        rewrite(frame_at, frame, 4);
        add(rsp, frame);
        if (packed) pop(result_);
        pop(r12);
        pop(rbx);
        if (avx()) vzeroupper();
        ret();
        return entry;
    }

    // Appends the constants every function reads and makes the block read-and-execute.
    void finish() {
        const auto wide = [&](Xbyak::Label& label, std::uint64_t bits) {
            align(32);
            L(label);
            for (int k = 0; k < kWidest; ++k) dq(bits);
        };
        wide(sign_, 0x8000000000000000ull);
        wide(magnitude_, 0x7FFFFFFFFFFFFFFFull);
        wide(one_, std::bit_cast<std::uint64_t>(1.0));
        for (auto& [bits, label] : constants_) wide(label, bits);
        for (auto& [label, run] : runs_) {
            L(label);
            for (std::uint64_t bits : run) dq(bits);
        }
        readyRE();
    }

private:
    // Registers, named once.
    const Xbyak::Reg64 env_{Xbyak::Operand::RBX};
    const Xbyak::Reg64 out_{Xbyak::Operand::R12};
    const Xbyak::Reg64 result_{Xbyak::Operand::R13};  // packed forms: where the result goes

    // --- the width: instructions of the scalar or a packed form ------------------------------------

    bool avx() const { return lanes_ == 4; }
    std::size_t slot_bytes() const { return 8 * static_cast<std::size_t>(lanes_); }

    void load(const Xbyak::Xmm& r, const Xbyak::Address& a) {
        if (lanes_ == 1) movsd(r, a);
        else if (avx()) vmovupd(r, a);
        else movupd(r, a);
    }
    void put(const Xbyak::Address& a, const Xbyak::Xmm& r) {
        if (lanes_ == 1) movsd(a, r);
        else if (avx()) vmovupd(a, r);
        else movupd(a, r);
    }
    void copy(const Xbyak::Xmm& r, const Xbyak::Xmm& s) {
        if (avx()) vmovapd(r, s);
        else movapd(r, s);
    }
    void arith(Op op, const Xbyak::Xmm& r, const Xbyak::Operand& b) {
        switch (op) {
        case Op::Add: lanes_ == 1 ? addsd(r, b) : avx() ? vaddpd(r, r, b) : addpd(r, b); break;
        case Op::Sub: lanes_ == 1 ? subsd(r, b) : avx() ? vsubpd(r, r, b) : subpd(r, b); break;
        case Op::Mul: lanes_ == 1 ? mulsd(r, b) : avx() ? vmulpd(r, r, b) : mulpd(r, b); break;
        default: lanes_ == 1 ? divsd(r, b) : avx() ? vdivpd(r, r, b) : divpd(r, b); break;
        }
    }
    void root(const Xbyak::Xmm& r) { lanes_ == 1 ? sqrtsd(r, r) : avx() ? vsqrtpd(r, r) : sqrtpd(r, r); }
    // Bitwise operations act on every lane in every form; the scalar form ignores the upper one.
    void bit_and(const Xbyak::Xmm& r, const Xbyak::Operand& b) { avx() ? vandpd(r, r, b) : andpd(r, b); }
    void bit_andn(const Xbyak::Xmm& r, const Xbyak::Operand& b) { avx() ? vandnpd(r, r, b) : andnpd(r, b); }
    void bit_or(const Xbyak::Xmm& r, const Xbyak::Operand& b) { avx() ? vorpd(r, r, b) : orpd(r, b); }
    void bit_xor(const Xbyak::Xmm& r, const Xbyak::Operand& b) { avx() ? vxorpd(r, r, b) : xorpd(r, b); }
    void cmp(const Xbyak::Xmm& r, const Xbyak::Operand& b, Predicate p) {
        lanes_ == 1 ? cmpsd(r, b, p) : avx() ? vcmppd(r, r, b, p) : cmppd(r, b, p);
    }

    // --- uses: for each value, the steps that read it, in order -------------------------------

    const Value& value(std::uint32_t v) const { return g_->values[v]; }
    bool is_const(std::uint32_t v) const { return value(v).op == Op::Const; }
    // constants and environment slots are reloaded where they live; nothing needs storing
    bool reloads(std::uint32_t v) const { return value(v).op == Op::Const || value(v).op == Op::Ref; }

    // The operands a step reads.
    int operands(const Step& s, std::array<std::uint32_t, 3>& ops) const {
        if (s.kind == Step::Compute) {
            const Value& x = value(s.value);
            ops = {x.a, x.b, x.c};
            return consumed(x.op);
        }
        ops[0] = s.value;
        return s.kind == Step::Store && is_const(s.value) ? 0 : 1;
    }

    void number_uses() {
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
    std::uint32_t next_use(std::uint32_t v) const {
        for (std::uint32_t k = cursor_[v]; k < use_begin_[v + 1]; ++k)
            if (uses_[k] > cur_) return uses_[k];
        return kNever;
    }
    bool dies_here(std::uint32_t v) const { return next_use(v) == kNever; }

    bool operand_of_step(std::uint32_t v) const {
        std::array<std::uint32_t, 3> ops;
        const int m = operands(g_->steps[cur_], ops);
        return std::find(ops.begin(), ops.begin() + m, v) != ops.begin() + m;
    }

    // --- registers and stack slots -------------------------------------------------------------

    Xbyak::Xmm xmm(int r) const { return avx() ? Xbyak::Ymm(r) : Xbyak::Xmm(r); }

    // The byte offset of an environment or output slot, its lane included.
    std::int32_t displacement(std::uint64_t slot, int lane = 0) const {
        if (slot > INT32_MAX / slot_bytes() - 1) throw std::length_error("slot beyond a 32-bit displacement");
        return static_cast<std::int32_t>(slot_bytes() * slot + 8 * static_cast<std::size_t>(lane));
    }

    // The byte offset of the double at index k of out.
    std::int32_t double_offset(std::uint64_t k) const {
        if (k > INT32_MAX / 8 - 1) throw std::length_error("slot beyond a 32-bit displacement");
        return static_cast<std::int32_t>(8 * k);
    }

    Xbyak::Address home(std::uint32_t v, int lane = 0) {
        const Value& x = value(v);
        if (x.op == Op::Const) return ptr[rip + constant(x.bits) + 8 * lane];
        if (x.op == Op::Ref) return ptr[env_ + displacement(x.bits, lane)];
        return ptr[rsp + static_cast<std::int32_t>(slot_bytes()) * slot_of_[v] + 8 * lane];
    }

    Xbyak::Label& constant(std::uint64_t bits) { return constants_[bits]; }

    int free_registers() const { return static_cast<int>(std::count(held_.begin(), held_.end(), kFree)); }

    void bind(const Xbyak::Xmm& r, std::uint32_t v) {
        held_[r.getIdx()] = v;
        reg_of_[v] = r.getIdx();
    }

    // A register for the current step: a free one, else the one whose value is read last.
    Xbyak::Xmm take() {
        int best = -1;
        std::uint32_t best_next = 0;
        for (int r = 0; r < kRegisters; ++r) {
            const std::uint32_t v = held_[r];
            if (v == kFree) {
                held_[r] = kTemp;
                return xmm(r);
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
        return xmm(best);
    }

    void give_slot(std::uint32_t v) {
        if (free_slots_.empty()) {
            slot_of_[v] = static_cast<std::int32_t>(slots_++);
        } else {
            slot_of_[v] = free_slots_.back();
            free_slots_.pop_back();
        }
    }

    void evict(int r) {
        const std::uint32_t v = held_[r];
        if (!reloads(v) && slot_of_[v] < 0) {
            give_slot(v);
            put(home(v), xmm(r));
        }
        reg_of_[v] = -1;
        held_[r] = kFree;
    }

    Xbyak::Xmm in_register(std::uint32_t v) {
        if (reg_of_[v] >= 0) return xmm(reg_of_[v]);
        const Xbyak::Xmm r = take();
        load(r, home(v));
        bind(r, v);
        return r;
    }

    // A value read again later is loaded into a register while registers are plentiful, so an
    // environment slot is read once per evaluation.
    void prefer_register(std::uint32_t v) {
        if (reg_of_[v] < 0 && !dies_here(v) && free_registers() > 2) in_register(v);
    }

    // v as an instruction's source: its register, or its place in memory.
    // SSE2's packed instructions fault on memory that is not 16-aligned, which the caller's
    // arrays need not be: that form reads its operands from registers.
    template <class F>
    void source(std::uint32_t v, F&& f) {
        prefer_register(v);
        if (lanes_ == 2) in_register(v);
        if (reg_of_[v] >= 0) {
            f(xmm(reg_of_[v]));
        } else {
            f(home(v));
        }
    }

    // A register holding a's value that the current step may overwrite: a's own when this step
    // reads a last, else a copy.
    Xbyak::Xmm destination(std::uint32_t a) {
        if (reg_of_[a] >= 0 && dies_here(a)) {
            const int r = reg_of_[a];
            reg_of_[a] = -1;
            held_[r] = kTemp;
            return xmm(r);
        }
        prefer_register(a);
        const Xbyak::Xmm r = take();
        if (reg_of_[a] >= 0) {
            copy(r, xmm(reg_of_[a]));
        } else {
            load(r, home(a));
        }
        return r;
    }

    // After a step: operands read for the last time give up their register and slot; the step's
    // temporary registers are free again.
    void retire(const Step& s) {
        std::array<std::uint32_t, 3> ops;
        for (int k = operands(s, ops); k-- > 0;) {
            const std::uint32_t v = ops[k];
            while (cursor_[v] < use_begin_[v + 1] && uses_[cursor_[v]] <= cur_) ++cursor_[v];
            if (cursor_[v] < use_begin_[v + 1]) continue;
            if (reg_of_[v] >= 0) held_[reg_of_[v]] = kFree, reg_of_[v] = -1;
            if (slot_of_[v] >= 0) free_slots_.push_back(slot_of_[v]), slot_of_[v] = -1;
        }
        for (std::uint32_t& h : held_)
            if (h == kTemp) h = kFree;
    }

    // --- steps -----------------------------------------------------------------------------------

    void step(const Step& s) {
        const std::uint32_t v = s.value;
        if (s.kind == Step::Store) {
            if (!is_const(v)) store(v, s.slot);
        } else if (s.kind == Step::Return && lanes_ > 1) {
            put(ptr[result_], in_register(v));
        } else if (s.kind == Step::Return) {
            if (reg_of_[v] < 0) {
                movsd(xmm0, home(v));
            } else if (reg_of_[v] != 0) {
                movapd(xmm0, xmm(reg_of_[v]));
            }
        } else {
            compute(value(v), v);
        }
    }

    // One emitter per family of the operator table.
    void compute(const Value& x, std::uint32_t v) {
        switch (family(x.op)) {
        case OpFamily::Arithmetic: arithmetic(x, v); break;
        case OpFamily::InPlace: in_place(x, v); break;
        case OpFamily::Select: compare(x, v); break;
        default: call(x, v); break;
        }
    }

    void store(std::uint32_t v, std::uint64_t slot) {
        const Xbyak::Address at = ptr[out_ + displacement(slot)];
        prefer_register(v);
        if (lanes_ > 1) {
            put(at, in_register(v));
        } else if (reg_of_[v] >= 0) {
            movsd(at, xmm(reg_of_[v]));
        } else {
            mov(rax, home(v));
            mov(at, rax);
        }
    }

    // add, sub, mul, div: the IEEE instruction, a as the destination operand, so that of two
    // NaN operands a's payload comes out, as in the evaluator's own code.
    void arithmetic(const Value& x, std::uint32_t v) {
        source(x.b, [&](const Xbyak::Operand& b) {
            const Xbyak::Xmm r = destination(x.a);
            arith(x.op, r, b);
            bind(r, v);
        });
    }

    // neg and abs flip or clear the sign bit, as the compiled evaluator does; sqrt is sqrtsd.
    void in_place(const Value& x, std::uint32_t v) {
        const Xbyak::Xmm r = destination(x.a);
        if (x.op == Op::Neg) {
            bit_xor(r, ptr[rip + sign_]);
        } else if (x.op == Op::Abs) {
            bit_and(r, ptr[rip + magnitude_]);
        } else {
            root(r);
        }
        bind(r, v);
    }

    // r = mask ? yes : no, the mask in t (clobbered).
    void select(const Xbyak::Xmm& r, const Xbyak::Xmm& t, const Xbyak::Xmm& yes, const Xbyak::Xmm& no) {
        copy(r, yes);
        bit_and(r, t);
        bit_andn(t, no);
        bit_or(r, t);
    }

    // The evaluator's comparisons as cmpsd masks: NaN and signed zeros come out as its ternaries
    // make them (maxsd and minsd would not).
    void compare(const Value& x, std::uint32_t v) {
        const Xbyak::Xmm a = in_register(x.a);
        if (x.op == Op::Sign) {
            // a == 0 ? 0.0 : isnan(a) ? a : copysign(1, a)
            const Xbyak::Xmm r = take(), t = take();
            copy(r, a);
            bit_and(r, ptr[rip + sign_]);
            bit_or(r, ptr[rip + one_]);
            copy(t, a);
            cmp(t, a, kOrd);
            bit_and(r, t);
            bit_andn(t, a);
            bit_or(r, t);
            copy(t, a);
            cmp(t, ptr[rip + constant(0)], kNeq);
            bit_and(r, t);
            bind(r, v);
            return;
        }
        const Xbyak::Xmm b = in_register(x.b);
        if (x.op == Op::Where) {
            // a != 0.0 ? b : c, NaN counting as true
            const Xbyak::Xmm c = in_register(x.c);
            const Xbyak::Xmm t = take(), r = take();
            copy(t, a);
            cmp(t, ptr[rip + constant(0)], kNeq);
            select(r, t, b, c);
            bind(r, v);
            return;
        }
        const Xbyak::Xmm t = take();
        if (x.op == Op::Gt) {
            // a > b ? 1.0 : 0.0
            copy(t, b);
            cmp(t, a, kLt);
            bit_and(t, ptr[rip + one_]);
            bind(t, v);
            return;
        }
        const Xbyak::Xmm r = take();
        if (x.op == Op::Max) {
            // b <= a ? a : b
            copy(t, b);
            cmp(t, a, kLe);
        } else {
            // a <= b ? a : b
            copy(t, a);
            cmp(t, b, kLe);
        }
        select(r, t, a, b);
        bind(r, v);
    }

    // exp, log, sin, cos, tanh, pow and the tables: a call with the operands in xmm0 (and xmm1).
    void call(const Value& x, std::uint32_t v) {
        if (lanes_ > 1) return call_per_lane(x, v);
        for (int r = 0; r < kRegisters; ++r) {
            const std::uint32_t w = held_[r];
            if (w == kFree || w == kTemp || reloads(w) || slot_of_[w] >= 0 || dies_here(w)) continue;
            evict(r);  // stores it; the register is rewritten by the call anyway
        }
        const auto place = [&](std::uint32_t w, int r) {
            if (reg_of_[w] == r) return;
            if (reg_of_[w] >= 0) {
                movapd(xmm(r), xmm(reg_of_[w]));
            } else {
                movsd(xmm(r), home(w));
            }
        };
        if (x.op == Op::Pow) {
            if (reg_of_[x.a] == 1 && reg_of_[x.b] == 0) {
                movapd(xmm2, xmm1);
                movapd(xmm1, xmm0);
                movapd(xmm0, xmm2);
            } else if (reg_of_[x.a] == 1) {
                place(x.a, 0);
                place(x.b, 1);
            } else {
                place(x.b, 1);
                place(x.a, 0);
            }
        } else {
            place(x.a, 0);
        }
        if (x.op == Op::Pw) mov(rdi, reinterpret_cast<std::uintptr_t>(tables_[x.bits]));
        mov(rax, reinterpret_cast<std::uintptr_t>(callee(x.op, x.op == Op::Pow && is_const(x.b))));
        Xbyak::CodeGenerator::call(rax);
        for (int r = 0; r < kRegisters; ++r) {
            if (held_[r] != kFree && held_[r] != kTemp) reg_of_[held_[r]] = -1;
            held_[r] = kFree;
        }
        bind(xmm0, v);
    }

    // The packed call: every live value, the operands included, waits in its stack slot; the
    // function is called once per lane on that lane's operands, and each lane's result goes to
    // the result's own slot.
    void call_per_lane(const Value& x, std::uint32_t v) {
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
        give_slot(v);
        if (avx()) vzeroupper();
        const void* fn = callee(x.op, x.op == Op::Pow && is_const(x.b));
        for (int lane = 0; lane < lanes_; ++lane) {
            movsd(xmm0, home(x.a, lane));
            if (x.op == Op::Pow) movsd(xmm1, home(x.b, lane));
            if (x.op == Op::Pw) mov(rdi, reinterpret_cast<std::uintptr_t>(tables_[x.bits]));
            mov(rax, reinterpret_cast<std::uintptr_t>(fn));
            Xbyak::CodeGenerator::call(rax);
            movsd(home(v, lane), xmm0);
        }
    }

    // Constant results (most Jacobian entries) are written before anything is computed, in runs:
    // equal values by rep stosq, other runs copied from the block by rep movsq, short ones one by
    // one, so code stays small however large the list.
    void put_constants() {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> puts;  // slot, bits
        for (const Step& s : g_->steps)
            if (s.kind == Step::Store && is_const(s.value))
                for (int lane = 0; lane < lanes_; ++lane)  // a packed slot is lanes_ consecutive doubles
                    puts.emplace_back(s.slot * lanes_ + lane, value(s.value).bits);
        const auto by_slot = [](const auto& l, const auto& r) { return l.first < r.first; };
        if (!std::is_sorted(puts.begin(), puts.end(), by_slot)) std::stable_sort(puts.begin(), puts.end(), by_slot);
        constexpr std::size_t kFill = 8, kCopy = 4;
        std::size_t k = 0;
        while (k < puts.size()) {
            // [k, e): equal values in consecutive slots
            std::size_t e = k + 1;
            while (e < puts.size() && puts[e].first == puts[e - 1].first + 1 && puts[e].second == puts[k].second) ++e;
            if (e - k >= kFill) {
                mov(rax, puts[k].second);
                lea(rdi, ptr[out_ + double_offset(puts[k].first)]);
                mov(rcx, e - k);
                rep(), stosq();
                k = e;
                continue;
            }
            // [k, e): consecutive slots up to the next long run of equal values
            e = k + 1;
            std::size_t same = 1;
            while (e < puts.size() && puts[e].first == puts[e - 1].first + 1 && same < kFill) {
                same = puts[e].second == puts[e - 1].second ? same + 1 : 1;
                ++e;
            }
            if (same >= kFill) e -= same;
            if (e - k > kCopy) {
                auto& [label, run] = runs_.emplace_back();
                for (std::size_t j = k; j < e; ++j) run.push_back(puts[j].second);
                lea(rsi, ptr[rip + label]);
                lea(rdi, ptr[out_ + double_offset(puts[k].first)]);
                mov(rcx, e - k);
                rep(), movsq();
            } else {
                for (std::size_t j = k; j < e; ++j) {
                    const auto bits = static_cast<std::int64_t>(puts[j].second);
                    if (bits >= INT32_MIN && bits <= INT32_MAX) {
                        mov(qword[out_ + double_offset(puts[j].first)], puts[j].second);
                    } else {
                        mov(rax, puts[j].second);
                        mov(ptr[out_ + double_offset(puts[j].first)], rax);
                    }
                }
            }
            k = e;
        }
    }

    const Graph* g_ = nullptr;
    int lanes_ = 1;
    std::vector<const PwTable*> tables_;
    std::size_t cur_ = 0;
    std::vector<std::uint32_t> use_begin_, uses_, cursor_;
    std::array<std::uint32_t, kRegisters> held_{};
    std::vector<int> reg_of_;
    std::vector<std::int32_t> slot_of_;
    std::vector<std::int32_t> free_slots_;
    std::uint32_t slots_ = 0;
    Xbyak::Label sign_, magnitude_, one_;
    std::map<std::uint64_t, Xbyak::Label> constants_;
    std::deque<std::pair<Xbyak::Label, std::vector<std::uint64_t>>> runs_;
};

// What a NativeCode owns: the code and the tables its calls read.
struct Block {
    std::deque<PwTable> tables;
    std::unique_ptr<Emitter> code;
};

}  // namespace
}  // namespace jit

NativeCode compile_native(std::span<const NativeSource> sources, std::size_t lanes) {
    if (lanes > 2) lanes = has_avx2() ? 4 : 2;
    const auto start = std::chrono::steady_clock::now();
    try {
        std::vector<jit::Graph> graphs;
        std::size_t steps = 0, computed = 0;  // computed: steps other than constant entries
        for (const NativeSource& s : sources) {
            const jit::Graph& g = graphs.emplace_back(jit::build_graph(s));
            steps += g.steps.size();
            for (const jit::Step& step : g.steps)
                computed += step.kind != jit::Step::Store || g.values[step.value].op != Op::Const;
        }
        auto block = std::make_shared<jit::Block>();
        // a first guess at the size; the buffer grows if it is short
        const std::size_t forms = lanes > 1 ? 2 : 1;
        block->code = std::make_unique<jit::Emitter>(4096 + forms * (32 * computed + steps / 8));
        std::vector<std::size_t> offsets, packed_offsets;
        constexpr std::size_t kNone = SIZE_MAX;
        for (std::size_t k = 0; k < graphs.size(); ++k) {
            const jit::Graph& g = graphs[k];
            std::vector<const PwTable*> tables;
            for (const PwTable* t : g.tables) tables.push_back(&block->tables.emplace_back(*t));
            offsets.push_back(block->code->function(g, tables, 1));
            if (lanes > 1)
                packed_offsets.push_back(sources[k].packed ? block->code->function(g, std::move(tables), static_cast<int>(lanes))
                                                           : kNone);
        }
        block->code->finish();
        NativeCode out;
        auto* base = const_cast<std::uint8_t*>(block->code->getCode());
        for (std::size_t offset : offsets) out.entries.push_back(reinterpret_cast<NativeFn>(base + offset));
        for (std::size_t offset : packed_offsets)
            out.packed.push_back(offset == kNone ? nullptr : reinterpret_cast<PackedFn>(base + offset));
        out.lanes = lanes > 1 ? lanes : 1;
        if (debug_log()) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
            std::fprintf(stderr, "zarel: machine code for %zu sources, %zu steps, %zu lanes: %zu bytes in %lld us\n",
                         sources.size(), steps, out.lanes, block->code->getSize(), static_cast<long long>(us.count()));
        }
        out.code = std::move(block);
        return out;
    } catch (const std::exception& e) {
        if (debug_log()) std::fprintf(stderr, "zarel: no machine code (%s); the interpreter evaluates\n", e.what());
        return {};
    }
}

#else

bool native_code_enabled() { return false; }

std::size_t native_lanes() { return 1; }

NativeCode compile_native(std::span<const NativeSource>, std::size_t) {
    if (debug_log()) std::fprintf(stderr, "zarel: built without a code generator; the interpreter evaluates\n");
    return {};
}

#endif

}  // namespace zarel
