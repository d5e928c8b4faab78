// The constant pool of a block of machine code: the constants its functions read, stored once
// after the last function, and the constant results each function writes before computing.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include <xbyak/xbyak.h>

#include "jit_values.hpp"

namespace zarel::jit {

class ConstantPool {
public:
    // Where a constant's bits will be, as many times as the block's widest register has lanes
    // (a ymm register's four at least), so that every form reads it whole.
    Xbyak::Label& constant(std::uint64_t bits) { return constants_[bits]; }
    // The masks of neg and abs (the sign bit, every other bit) and 1.0, equally wide.
    const Xbyak::Label& sign() const { return sign_; }
    const Xbyak::Label& magnitude() const { return magnitude_; }
    const Xbyak::Label& one() const { return one_; }

    // Writes g's constant results to out (doubles of `lanes` lanes) before anything is computed.
    void put_constants(Xbyak::CodeGenerator& code, const Xbyak::Reg64& out, const Graph& g, int lanes);

    // Appends the pool to the code, after its last function; `lanes`: the block's widest form.
    void write(Xbyak::CodeGenerator& code, int lanes);

private:
    Xbyak::Label sign_, magnitude_, one_;
    std::map<std::uint64_t, Xbyak::Label> constants_;
    // the runs of constant results that put_constants copies from the block
    std::deque<std::pair<Xbyak::Label, std::vector<std::uint64_t>>> runs_;
};

}  // namespace zarel::jit
