// The instructions of one width: xbyak's code generator with the moves, arithmetic, bitwise and
// compare instructions the emitters write, each in the encoding of the form being written.
//
// The scalar form holds one value in the low double of an xmm register (sd instructions); the
// packed forms hold one value of every lane, two in an xmm register with SSE2, four in a ymm
// register with AVX, eight in a zmm register with AVX-512F (pd instructions). Every helper is the
// same IEEE operation in each form. AVX-512F alone has no pd bitwise instructions (those are DQ)
// and its compares write a mask register: the eight-lane form takes the integer bitwise ones,
// which act on the same bits, and turns a compare's mask into the all-ones or zero lanes the
// other forms' compares write, so that the emitters' selects read the same in every form.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <xbyak/xbyak.h>

#include "zarel/expr.hpp"

namespace zarel::jit {

// The comparison predicates of cmpsd, cmppd and vcmppd.
enum Predicate : std::uint8_t { kLt = 1, kLe = 2, kNeq = 4, kOrd = 7 };

class Instructions : public Xbyak::CodeGenerator {
public:
    // AutoGrow: the buffer grows as needed in read-write memory and turns read-and-execute only
    // once the code is complete.
    explicit Instructions(std::size_t estimate) : CodeGenerator(estimate, Xbyak::AutoGrow) {}

    int lanes() const { return lanes_; }
    // the three-operand VEX or EVEX encodings; wide(): EVEX on zmm registers
    bool avx() const { return lanes_ >= 4; }
    bool wide() const { return lanes_ == 8; }
    std::size_t slot_bytes() const { return 8 * static_cast<std::size_t>(lanes_); }

    Xbyak::Xmm xmm(int r) const {
        if (wide()) return Xbyak::Zmm(r);
        return avx() ? Xbyak::Ymm(r) : Xbyak::Xmm(r);
    }

    // The byte offset of an environment or output slot, its lane included.
    std::int32_t displacement(std::uint64_t slot, int lane = 0) const {
        if (slot > INT32_MAX / slot_bytes() - 1) throw std::length_error("slot beyond a 32-bit displacement");
        return static_cast<std::int32_t>(slot_bytes() * slot + 8 * static_cast<std::size_t>(lane));
    }

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
    void bit_and(const Xbyak::Xmm& r, const Xbyak::Operand& b) {
        wide() ? vpandq(r, r, b) : avx() ? vandpd(r, r, b) : andpd(r, b);
    }
    void bit_andn(const Xbyak::Xmm& r, const Xbyak::Operand& b) {
        wide() ? vpandnq(r, r, b) : avx() ? vandnpd(r, r, b) : andnpd(r, b);
    }
    void bit_or(const Xbyak::Xmm& r, const Xbyak::Operand& b) { wide() ? vporq(r, r, b) : avx() ? vorpd(r, r, b) : orpd(r, b); }
    void bit_xor(const Xbyak::Xmm& r, const Xbyak::Operand& b) {
        wide() ? vpxorq(r, r, b) : avx() ? vxorpd(r, r, b) : xorpd(r, b);
    }
    // r = (r p b) as a mask of all-ones or zero lanes; the eight-lane form sets the lanes k1 holds
    void cmp(const Xbyak::Xmm& r, const Xbyak::Operand& b, Predicate p) {
        if (wide()) {
            vcmppd(k1, r, b, p);
            vpternlogq(r | k1 | T_z, r, r, 0xFF);
        } else {
            lanes_ == 1 ? cmpsd(r, b, p) : avx() ? vcmppd(r, r, b, p) : cmppd(r, b, p);
        }
    }

protected:
    int lanes_ = 1;  // of the function being written; 1: the scalar form
};

}  // namespace zarel::jit
