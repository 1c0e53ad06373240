// JSON structural scanner: counts commas, openers (`[` and `{`) and colons that stand outside
// quoted strings, without parsing or validating anything. The only state is whether the scan
// is inside a string and whether the next byte is escaped, so a byte stream can be scanned in
// chunks with the state carried from one chunk to the next.
//
// State byte: bit 0 = inside a string, bit 1 = the next byte is escaped (an odd run of
// backslashes ended the input inside a string). Produced states are 0, 1 and 3. As a start
// state any value with bit 0 clear means 0.
//
// `scan` runs the variant chosen once per process (simd::active_level, forced with
// TANDREL_SIMD); `scan_at` runs a given variant for tests and benchmarks. Every variant gives
// exactly the result of the byte-by-byte state machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ivf_rabitq/common/simd.hpp"

namespace json_scan {

struct Counts {
  size_t commas = 0;
  size_t openers = 0;
  size_t colons = 0;

  Counts& operator+=(const Counts& o) {
    commas += o.commas;
    openers += o.openers;
    colons += o.colons;
    return *this;
  }
  bool operator==(const Counts&) const = default;
};

struct ScanResult {
  Counts counts;
  uint8_t state = 0;  // 0, 1 or 3
  bool operator==(const ScanResult&) const = default;
};

inline constexpr uint8_t kInString = 1;
inline constexpr uint8_t kEscaped = 2;

// The state a scan starts from: bit 0 clear means outside strings (2 behaves as 0); 1 and 3
// are kept; higher bits are ignored.
inline uint8_t start_state(uint8_t s) { return (s & kInString) ? static_cast<uint8_t>(s & 3) : 0; }

ScanResult scan(const char* data, size_t len, uint8_t start = 0);
inline ScanResult scan(std::string_view text, uint8_t start = 0) { return scan(text.data(), text.size(), start); }

// A given variant; a level the CPU lacks falls back to the scalar reference.
ScanResult scan_at(ivf_rabitq::simd::Level level, const char* data, size_t len, uint8_t start = 0);

namespace detail {
// The scalar reference (also the fallback of the SIMD variants for blocks they cannot decide).
ScanResult scan_scalar(const uint8_t* p, size_t n, uint8_t start);
ScanResult scan_avx2(const uint8_t* p, size_t n, uint8_t start);
ScanResult scan_avx512(const uint8_t* p, size_t n, uint8_t start);
}  // namespace detail

}  // namespace json_scan
