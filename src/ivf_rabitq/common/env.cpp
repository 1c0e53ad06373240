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

std::optional<uint64_t> parse_unsigned(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, uint64_t{10}, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

}  // namespace ivf_rabitq::env
