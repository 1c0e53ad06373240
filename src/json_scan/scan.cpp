#include "json_scan/scan.hpp"

#include <cstring>

namespace json_scan {

namespace detail {

namespace {

constexpr uint32_t kOnes = 0x01010101u;
constexpr uint32_t kHighs = 0x80808080u;
constexpr uint32_t kQuotes = 0x22222222u;      // '"' in every byte
constexpr uint32_t kBackslashes = 0x5C5C5C5Cu;  // '\\' in every byte

inline uint32_t load_word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Nonzero when some byte of w is zero. Exact as to whether one exists (which byte it flags
// may be wrong above the first zero byte, which is why callers rescan the word byte by byte).
inline uint32_t has_zero_byte(uint32_t w) { return (w - kOnes) & ~w & kHighs; }

// Nonzero when some byte of w may be a quote or a backslash.
inline uint32_t may_hold_quote_or_backslash(uint32_t w) {
  return has_zero_byte(w ^ kQuotes) | has_zero_byte(w ^ kBackslashes);
}

inline size_t find_byte_by_byte(const uint8_t* p, size_t i, size_t n) {
  for (; i < n; ++i) {
    if (p[i] == '"' || p[i] == '\\') return i;
  }
  return n;
}

// Position of the first quote or backslash at i or later, or n. Skips four bytes at a time:
// the four bytes at i first, then whole aligned words, then byte by byte from the first word
// that may hold either character.
size_t find_quote_or_backslash(const uint8_t* p, size_t i, size_t n) {
  if (n - i < 4) return find_byte_by_byte(p, i, n);
  if (may_hold_quote_or_backslash(load_word(p + i))) return find_byte_by_byte(p, i, n);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p + i);
  size_t j = i + (4 - (addr & 3));  // next 4-byte-aligned address after p + i
  while (j + 4 <= n) {
    if (may_hold_quote_or_backslash(load_word(p + j))) break;
    j += 4;
  }
  return find_byte_by_byte(p, j, n);
}

}  // namespace

ScanResult scan_scalar(const uint8_t* p, size_t n, uint8_t start) {
  ScanResult r;
  uint8_t state = start_state(start);
  size_t i = 0;
  while (i < n) {
    if (!(state & kInString)) {
      switch (p[i]) {
        case '"': state = kInString; break;
        case ',': ++r.counts.commas; break;
        case ':': ++r.counts.colons; break;
        case '[':
        case '{': ++r.counts.openers; break;
        default: break;
      }
      ++i;
    } else if (state & kEscaped) {
      state = kInString;  // this byte is the escaped one
      ++i;
    } else {
      const size_t j = find_quote_or_backslash(p, i, n);
      if (j == n) break;
      state = p[j] == '\\' ? static_cast<uint8_t>(kInString | kEscaped) : 0;
      i = j + 1;
    }
  }
  r.state = state;
  return r;
}

}  // namespace detail

namespace {

using ScanFn = ScanResult (*)(const uint8_t*, size_t, uint8_t);
using ivf_rabitq::simd::Level;

ScanFn scan_for(Level level) {
  if (!ivf_rabitq::simd::cpu_supports(level)) level = Level::Scalar;
  switch (level) {
    case Level::Avx512: return &detail::scan_avx512;
    case Level::Avx2: return &detail::scan_avx2;
    case Level::Scalar: break;
  }
  return &detail::scan_scalar;
}

}  // namespace

ScanResult scan(const char* data, size_t len, uint8_t start) {
  static const ScanFn fn = scan_for(ivf_rabitq::simd::active_level());
  return fn(reinterpret_cast<const uint8_t*>(data), len, start);
}

ScanResult scan_at(Level level, const char* data, size_t len, uint8_t start) {
  return scan_for(level)(reinterpret_cast<const uint8_t*>(data), len, start);
}

}  // namespace json_scan
