// The bit-parallel step shared by the SIMD variants: given, for a block of up to 64 bytes,
// one bit per byte for quotes, backslashes, commas, colons and openers, it finds the escaped
// bytes, the bytes inside strings and the structural characters outside them, all with
// 64-bit integer arithmetic.
//
// Escapes are worked out as if every backslash escaped the byte after it. That matches the
// byte-by-byte scanner exactly as long as no backslash stands outside a string (outside
// strings the scanner ignores backslashes); a block with such a backslash is reported back
// so the caller scans it with the scalar reference instead. Valid JSON never has one.
//
// Included only by the *_avx2.cpp / *_avx512.cpp files; everything here has internal
// linkage so that code compiled with different ISA flags is never merged by the linker.
#pragma once

#include <bit>
#include <cstdint>

#include "json_scan/scan.hpp"

namespace json_scan::detail {
namespace {

struct BlockMasks {
  uint64_t quote = 0;
  uint64_t backslash = 0;
  uint64_t comma = 0;
  uint64_t colon = 0;
  uint64_t opener = 0;
};

// The scanner state between blocks, in mask form.
struct Carry {
  uint64_t inside = 0;   // all ones when the block starts inside a string, else 0
  uint64_t escaped = 0;  // 1 when the block's first byte is escaped, else 0

  static Carry from_state(uint8_t s) {
    s = start_state(s);
    return {(s & kInString) ? ~uint64_t{0} : 0, (s & kEscaped) ? uint64_t{1} : 0};
  }
  uint8_t state() const {
    return static_cast<uint8_t>((inside & 1) | (escaped << 1));
  }
};

constexpr uint64_t kEvenBits = 0x5555555555555555ull;
constexpr uint64_t kOddBits = ~kEvenBits;

// Bit i = XOR of bits 0..i.
inline uint64_t prefix_xor(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// One block of n bytes (1..64; every mask bit at n or above is zero). Adds the block's
// counts to `acc` and advances `carry`; returns false, changing nothing, when a backslash
// stands outside a string.
inline bool scan_block(const BlockMasks& m, unsigned n, Carry& carry, Counts& acc) {
  if ((m.backslash | carry.escaped) == 0) {
    // No escapes in this block (the common case): strings are just spans between quotes.
    const uint64_t outside = ~(prefix_xor(m.quote) ^ carry.inside);
    acc.commas += static_cast<size_t>(std::popcount(m.comma & outside));
    acc.openers += static_cast<size_t>(std::popcount(m.opener & outside));
    acc.colons += static_cast<size_t>(std::popcount(m.colon & outside));
    carry.inside = static_cast<uint64_t>(static_cast<int64_t>(~outside) >> 63);
    return true;
  }
  // A backslash that is itself escaped (the block's first byte after an odd run) starts no
  // escape; the run of backslashes after it starts one byte later.
  const uint64_t bs = m.backslash & ~carry.escaped;
  const uint64_t starts = bs & ~(bs << 1);
  // Adding a run's start bit to the run carries out to the byte after the run. That byte is
  // escaped when the run has odd length, i.e. when it and the run's start differ in parity.
  const uint64_t even_starts = starts & kEvenBits;
  const uint64_t odd_starts = starts & kOddBits;
  const uint64_t even_run_ends = (bs + even_starts) & ~bs;
  uint64_t odd_sum = 0;
  // A run from an odd start reaching the last bit has odd length up to bit 64: its carry out
  // escapes the next block's first byte (runs from even starts have even length there).
  const bool odd_run_carries_out = __builtin_add_overflow(bs, odd_starts, &odd_sum);
  const uint64_t odd_run_ends = odd_sum & ~bs;
  const uint64_t escaped = (even_run_ends & kOddBits) | (odd_run_ends & kEvenBits) | carry.escaped;

  const uint64_t quotes = m.quote & ~escaped;
  // Inside after each byte; for a non-quote byte that is also its state before it.
  const uint64_t inside = prefix_xor(quotes) ^ carry.inside;
  if (m.backslash & ~inside) return false;

  const uint64_t outside = ~inside;
  acc.commas += static_cast<size_t>(std::popcount(m.comma & outside));
  acc.openers += static_cast<size_t>(std::popcount(m.opener & outside));
  acc.colons += static_cast<size_t>(std::popcount(m.colon & outside));

  carry.inside = static_cast<uint64_t>(static_cast<int64_t>(inside) >> 63);
  if (n == 64) {
    carry.escaped = odd_run_carries_out ? 1 : 0;
  } else {
    // The bytes past n are zero, so a run ending at byte n - 1 ends at n: bit n tells
    // whether the byte after the block is escaped.
    carry.escaped = (escaped >> n) & 1;
  }
  return true;
}

// Scans a block with the scalar reference from the carried state (the fallback when
// `scan_block` refuses it).
inline void scan_block_scalar(const uint8_t* p, unsigned n, Carry& carry, Counts& acc) {
  const ScanResult r = scan_scalar(p, n, carry.state());
  acc += r.counts;
  carry = Carry::from_state(r.state);
}

}  // namespace
}  // namespace json_scan::detail
