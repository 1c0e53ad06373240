#include "ivf_rabitq/common/env.hpp"

#include <cstdlib>

#include "ivf_rabitq/common/utf8.hpp"

namespace ivf_rabitq::env {

std::optional<std::string_view> view(const char* raw) {
  if (raw == nullptr) return std::nullopt;
  return std::string_view(raw);
}

std::optional<std::string_view> get(const char* name) { return view(std::getenv(name)); }

std::optional<std::string_view> as_text(std::optional<std::string_view> raw) {
  if (!raw || !utf8::is_valid(*raw)) return std::nullopt;
  return raw;
}

std::optional<std::string_view> trimmed(std::optional<std::string_view> raw) {
  auto v = as_text(raw);
  if (!v) return std::nullopt;
  return utf8::trim_white_space(*v);
}

namespace {

// One or more ASCII digits and nothing else, fitting 64 bits.
std::optional<uint64_t> parse_digits(std::string_view s) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, uint64_t{10}, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

}  // namespace

std::optional<uint64_t> parse_unsigned(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return parse_digits(s);
}

std::optional<int64_t> parse_signed(std::string_view s) {
  const bool neg = !s.empty() && s.front() == '-';
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
  const auto mag = parse_digits(s);
  if (!mag) return std::nullopt;
  if (neg) {
    if (*mag > uint64_t{1} << 63) return std::nullopt;
    return static_cast<int64_t>(0 - *mag);
  }
  if (*mag > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(*mag);
}

}  // namespace ivf_rabitq::env
