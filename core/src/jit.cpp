// The machine-code emitter: x86-64 for the value graphs of jit_values, one function per source,
// all in one block of code written while read-write and then made read-and-execute.
//
// One emitter per family of the operator table writes each step; it asks the register file
// (jit_registers) for its operands and a result register, reads constants from the block's
// constant pool (jit_constants) and writes its instructions in the form's width
// (jit_instructions). Calls clobber every xmm register (SysV), so the values that outlive a
// call wait in stack slots. env and out stay in callee-saved rbx and r12.
//
// The same emitters write the packed forms: a register then holds one value of every lane
// (two in an xmm register with SSE2, four in a ymm register with AVX2, eight in a zmm register
// with AVX-512F), environment slots, outputs, stack slots and constants are as many doubles wide,
// and the instruction helpers (load, put, arithmetic, bitwise, compare) pick the scalar, SSE2,
// AVX or AVX-512 encoding of the same IEEE operation. Calls into C run once per lane on that
// lane's operands.
#include "zarel/jit.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "jit_values.hpp"

#if defined(ZAREL_HAVE_XBYAK) && defined(__x86_64__)
#define ZAREL_NATIVE 1
#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <stdexcept>

#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include "jit_constants.hpp"
#include "jit_instructions.hpp"
#include "jit_registers.hpp"
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

// The widest packed form this processor runs. xbyak's Cpu reports AVX2 only where XCR0 has the
// xmm and ymm state (bits 1-2) and AVX-512F only where it also has the mask and zmm state (bits
// 5-7): an operating system that does not save a state leaves its instructions faulting.
std::size_t widest_lanes() {
    static const std::size_t widest = [] {
        const Xbyak::util::Cpu cpu;
        if (cpu.has(Xbyak::util::Cpu::tAVX512F)) return 8;
        return cpu.has(Xbyak::util::Cpu::tAVX2) ? 4 : 2;
    }();
    return widest;
}

}  // namespace

std::size_t native_lanes() {
    const char* v = std::getenv("ZAREL_LANES");
    const std::string_view s = v ? v : "";
    if (s == "1") return 1;
    if (s == "2") return 2;
    if (s == "4") return std::min<std::size_t>(4, widest_lanes());
    return widest_lanes();
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

class Emitter : public Instructions {
public:
    explicit Emitter(std::size_t estimate) : Instructions(estimate) {}

    // Emits one function computing g, for `lanes` lanes (1: the scalar form); returns its offset
    // in the block.
    std::size_t function(const Graph& g, std::vector<const PwTable*> tables, int lanes) {
        g_ = &g;
        lanes_ = lanes;
        tables_ = std::move(tables);
        regs_.start(g);

        align(16);
        const std::size_t entry = getSize();
        const bool packed = lanes_ > 1;
        push(rbx);
        push(r12);
        if (packed) {
            // the packed forms' stack slots start on a cache line, so that no slot straddles two
            // (a load or store split across lines costs two); rbp keeps the caller's rsp
            push(result_);
            push(rbp);
            mov(rbp, rsp);
            and_(rsp, -64);
        }
        mov(env_, rdi);
        mov(out_, rsi);
        if (packed) mov(result_, rdx);
        // sub rsp, imm32: the frame size is written once the spills are known
        db(0x48), db(0x81), db(0xEC);
        const std::size_t frame_at = getSize();
        dd(0);
        pool_.put_constants(*this, out_, g, lanes_);
        for (const Step& s : g.steps) {
            step(s);
            regs_.retire();
        }
        // the frame keeps rsp 16-aligned at calls (after the scalar form's three pushes, on the
        // packed forms' line) and the packed forms' slots on their line
        std::uint32_t frame = static_cast<std::uint32_t>(slot_bytes()) * regs_.slots();
        if (packed) {
            frame = (frame + 63) / 64 * 64;
        } else if ((24 + frame) % 16 != 0) {
            frame += 8;
        }
        rewrite(frame_at, frame, 4);
        if (packed) {
            mov(rsp, rbp);
            pop(rbp);
            pop(result_);
        } else {
            add(rsp, frame);
        }
        pop(r12);
        pop(rbx);
        if (avx()) vzeroupper();
        ret();
        return entry;
    }

    // Appends the constants every function reads and makes the block read-and-execute; `lanes`:
    // its widest form.
    void finish(int lanes) {
        pool_.write(*this, lanes);
        readyRE();
    }

private:
    // Registers, named once.
    const Xbyak::Reg64 env_{Xbyak::Operand::RBX};
    const Xbyak::Reg64 out_{Xbyak::Operand::R12};
    const Xbyak::Reg64 result_{Xbyak::Operand::R13};  // packed forms: where the result goes

    const Value& value(std::uint32_t v) const { return g_->values[v]; }
    bool is_const(std::uint32_t v) const { return value(v).op == Op::Const; }

    void step(const Step& s) {
        const std::uint32_t v = s.value;
        if (s.kind == Step::Store) {
            if (!is_const(v)) store(v, s.slot);
        } else if (s.kind == Step::Return && lanes_ > 1) {
            put(ptr[result_], regs_.in_register(v));
        } else if (s.kind == Step::Return) {
            if (regs_.reg_of(v) < 0) {
                movsd(xmm0, regs_.home(v));
            } else if (regs_.reg_of(v) != 0) {
                movapd(xmm0, xmm(regs_.reg_of(v)));
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
        regs_.prefer_register(v);
        if (lanes_ > 1) {
            put(at, regs_.in_register(v));
        } else if (regs_.reg_of(v) >= 0) {
            movsd(at, xmm(regs_.reg_of(v)));
        } else {
            mov(rax, regs_.home(v));
            mov(at, rax);
        }
    }

    // add, sub, mul, div: the IEEE instruction, a as the destination operand, so that of two
    // NaN operands a's payload comes out, as in the evaluator's own code.
    void arithmetic(const Value& x, std::uint32_t v) {
        regs_.source(x.b, [&](const Xbyak::Operand& b) {
            const Xbyak::Xmm r = regs_.destination(x.a);
            arith(x.op, r, b);
            regs_.bind(r, v);
        });
    }

    // neg and abs flip or clear the sign bit, as the compiled evaluator does; sqrt is sqrtsd.
    void in_place(const Value& x, std::uint32_t v) {
        const Xbyak::Xmm r = regs_.destination(x.a);
        if (x.op == Op::Neg) {
            bit_xor(r, ptr[rip + pool_.sign()]);
        } else if (x.op == Op::Abs) {
            bit_and(r, ptr[rip + pool_.magnitude()]);
        } else {
            root(r);
        }
        regs_.bind(r, v);
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
        const Xbyak::Xmm a = regs_.in_register(x.a);
        if (x.op == Op::Sign) {
            // a == 0 ? 0.0 : isnan(a) ? a : copysign(1, a)
            const Xbyak::Xmm r = regs_.take(), t = regs_.take();
            copy(r, a);
            bit_and(r, ptr[rip + pool_.sign()]);
            bit_or(r, ptr[rip + pool_.one()]);
            copy(t, a);
            cmp(t, a, kOrd);
            bit_and(r, t);
            bit_andn(t, a);
            bit_or(r, t);
            copy(t, a);
            cmp(t, ptr[rip + pool_.constant(0)], kNeq);
            bit_and(r, t);
            regs_.bind(r, v);
            return;
        }
        const Xbyak::Xmm b = regs_.in_register(x.b);
        if (x.op == Op::Where) {
            // a != 0.0 ? b : c, NaN counting as true
            const Xbyak::Xmm c = regs_.in_register(x.c);
            const Xbyak::Xmm t = regs_.take(), r = regs_.take();
            copy(t, a);
            cmp(t, ptr[rip + pool_.constant(0)], kNeq);
            select(r, t, b, c);
            regs_.bind(r, v);
            return;
        }
        const Xbyak::Xmm t = regs_.take();
        if (x.op == Op::Gt) {
            // a > b ? 1.0 : 0.0
            copy(t, b);
            cmp(t, a, kLt);
            bit_and(t, ptr[rip + pool_.one()]);
            regs_.bind(t, v);
            return;
        }
        const Xbyak::Xmm r = regs_.take();
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
        regs_.bind(r, v);
    }

    // exp, log, sin, cos, tanh, pow and the tables: a call with the operands in xmm0 (and xmm1).
    void call(const Value& x, std::uint32_t v) {
        if (lanes_ > 1) return call_per_lane(x, v);
        regs_.spill_across_call();
        const auto place = [&](std::uint32_t w, int r) {
            if (regs_.reg_of(w) == r) return;
            if (regs_.reg_of(w) >= 0) {
                movapd(xmm(r), xmm(regs_.reg_of(w)));
            } else {
                movsd(xmm(r), regs_.home(w));
            }
        };
        if (x.op == Op::Pow) {
            if (regs_.reg_of(x.a) == 1 && regs_.reg_of(x.b) == 0) {
                movapd(xmm2, xmm1);
                movapd(xmm1, xmm0);
                movapd(xmm0, xmm2);
            } else if (regs_.reg_of(x.a) == 1) {
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
        regs_.clobbered();
        regs_.bind(xmm0, v);
    }

    // The packed call: every live value, the operands included, waits in its stack slot; the
    // function is called once per lane on that lane's operands, and each lane's result goes to
    // the result's own slot.
    void call_per_lane(const Value& x, std::uint32_t v) {
        regs_.spill_all();
        regs_.give_slot(v);
        if (avx()) vzeroupper();
        const void* fn = callee(x.op, x.op == Op::Pow && is_const(x.b));
        for (int lane = 0; lane < lanes_; ++lane) {
            movsd(xmm0, regs_.home(x.a, lane));
            if (x.op == Op::Pow) movsd(xmm1, regs_.home(x.b, lane));
            if (x.op == Op::Pw) mov(rdi, reinterpret_cast<std::uintptr_t>(tables_[x.bits]));
            mov(rax, reinterpret_cast<std::uintptr_t>(fn));
            Xbyak::CodeGenerator::call(rax);
            movsd(regs_.home(v, lane), xmm0);
        }
    }

    const Graph* g_ = nullptr;
    std::vector<const PwTable*> tables_;
    ConstantPool pool_;
    Registers regs_{*this, pool_, env_};
};

// What a NativeCode owns: the code and the tables its calls read.
struct Block {
    std::deque<PwTable> tables;
    std::unique_ptr<Emitter> code;
};

}  // namespace
}  // namespace jit

NativeCode compile_native(std::span<const NativeSource> sources, std::size_t lanes) {
    if (lanes > 2) lanes = std::min<std::size_t>(lanes > 4 ? 8 : 4, widest_lanes());
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
            offsets.push_back(g.steps.size() <= sources[k].scalar_limit ? block->code->function(g, tables, 1) : kNone);
            if (lanes > 1)
                packed_offsets.push_back(sources[k].packed ? block->code->function(g, std::move(tables), static_cast<int>(lanes))
                                                           : kNone);
        }
        block->code->finish(static_cast<int>(lanes));
        NativeCode out;
        auto* base = const_cast<std::uint8_t*>(block->code->getCode());
        for (std::size_t offset : offsets)
            out.entries.push_back(offset == kNone ? nullptr : reinterpret_cast<NativeFn>(base + offset));
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
