// The constant pool of a block of machine code (see jit_constants.hpp).
#if defined(ZAREL_HAVE_XBYAK) && defined(__x86_64__)
#include "jit_constants.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <stdexcept>

namespace zarel::jit {

namespace {

// The byte offset of the double at index k of out.
std::int32_t double_offset(std::uint64_t k) {
    if (k > INT32_MAX / 8 - 1) throw std::length_error("slot beyond a 32-bit displacement");
    return static_cast<std::int32_t>(8 * k);
}

}  // namespace

// Constant results (most Jacobian entries) are written before anything is computed, in runs:
// equal values by rep stosq, other runs copied from the block by rep movsq, short ones one by
// one, so code stays small however large the list.
void ConstantPool::put_constants(Xbyak::CodeGenerator& code, const Xbyak::Reg64& out, const Graph& g, int lanes) {
    using namespace Xbyak::util;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> puts;  // slot, bits
    for (const Step& s : g.steps)
        if (s.kind == Step::Store && g.values[s.value].op == Op::Const)
            for (int lane = 0; lane < lanes; ++lane)  // a packed slot is `lanes` consecutive doubles
                puts.emplace_back(s.slot * lanes + lane, g.values[s.value].bits);
    const auto by_slot = [](const auto& l, const auto& r) { return l.first < r.first; };
    if (!std::is_sorted(puts.begin(), puts.end(), by_slot)) std::stable_sort(puts.begin(), puts.end(), by_slot);
    constexpr std::size_t kFill = 8, kCopy = 4;
    std::size_t k = 0;
    while (k < puts.size()) {
        // [k, e): equal values in consecutive slots
        std::size_t e = k + 1;
        while (e < puts.size() && puts[e].first == puts[e - 1].first + 1 && puts[e].second == puts[k].second) ++e;
        if (e - k >= kFill) {
            code.mov(rax, puts[k].second);
            code.lea(rdi, ptr[out + double_offset(puts[k].first)]);
            code.mov(rcx, e - k);
            code.rep(), code.stosq();
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
            code.lea(rsi, ptr[rip + label]);
            code.lea(rdi, ptr[out + double_offset(puts[k].first)]);
            code.mov(rcx, e - k);
            code.rep(), code.movsq();
        } else {
            for (std::size_t j = k; j < e; ++j) {
                const auto bits = static_cast<std::int64_t>(puts[j].second);
                if (bits >= INT32_MIN && bits <= INT32_MAX) {
                    code.mov(qword[out + double_offset(puts[j].first)], puts[j].second);
                } else {
                    code.mov(rax, puts[j].second);
                    code.mov(ptr[out + double_offset(puts[j].first)], rax);
                }
            }
        }
        k = e;
    }
}

void ConstantPool::write(Xbyak::CodeGenerator& code, int lanes) {
    // each constant on a line of its own width, so that no read of it straddles two cache lines
    const int width = std::max(lanes, 4);
    const auto wide = [&](Xbyak::Label& label, std::uint64_t bits) {
        code.align(8 * width);
        code.L(label);
        for (int k = 0; k < width; ++k) code.dq(bits);
    };
    wide(sign_, 0x8000000000000000ull);
    wide(magnitude_, 0x7FFFFFFFFFFFFFFFull);
    wide(one_, std::bit_cast<std::uint64_t>(1.0));
    for (auto& [bits, label] : constants_) wide(label, bits);
    for (auto& [label, run] : runs_) {
        code.L(label);
        for (std::uint64_t bits : run) code.dq(bits);
    }
}

}  // namespace zarel::jit

#endif
