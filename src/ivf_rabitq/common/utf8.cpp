#include "ivf_rabitq/common/utf8.hpp"

#include <cstring>

namespace ivf_rabitq::utf8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr Step kIllFormedLead{0xFFFD, 1, false};

// Length of the run of ASCII bytes of s starting at i, read eight bytes at a time.
size_t ascii_run(std::string_view s, size_t i) {
  const size_t start = i;
  while (i + 8 <= s.size()) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i - start;
}

}  // namespace

Step decode(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned c = byte(i);
  if (c < 0x80) return Step{c, 1, true};
  size_t need;
  uint32_t cp;
  // The allowed range of the first continuation byte: narrower after E0 (overlong), ED
  // (surrogates), F0 (overlong) and F4 (above U+10FFFF).
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return kIllFormedLead;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return Step{0xFFFD, static_cast<uint8_t>(k), false};
    const unsigned d = byte(i + k);
    if (d < (k == 1 ? lo : 0x80u) || d > (k == 1 ? hi : 0xBFu)) return Step{0xFFFD, static_cast<uint8_t>(k), false};
    cp = (cp << 6) | (d & 0x3F);
  }
  return Step{cp, static_cast<uint8_t>(need + 1), true};
}

bool is_valid(std::string_view s, size_t* bad_pos) {
  size_t i = 0;
  while (i < s.size()) {
    i += ascii_run(s, i);
    if (i >= s.size()) break;
    const Step st = decode(s, i);
    if (!st.ok) {
      if (bad_pos != nullptr) *bad_pos = i;
      return false;
    }
    i += st.len;
  }
  return true;
}

std::string lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const size_t run = ascii_run(s, i);
    out.append(s.substr(i, run));
    i += run;
    if (i >= s.size()) break;
    const Step st = decode(s, i);
    if (st.ok) {
      out.append(s.substr(i, st.len));
    } else {
      out += kReplacement;
    }
    i += st.len;
  }
  return out;
}

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

std::string_view trim_white_space(std::string_view s) {
  size_t first = std::string_view::npos, last_end = 0;
  for (size_t i = 0; i < s.size();) {
    const Step st = decode(s, i);
    if (!st.ok || !is_white_space(st.cp)) {
      if (first == std::string_view::npos) first = i;
      last_end = i + st.len;
    }
    i += st.len;
  }
  if (first == std::string_view::npos) return s.substr(s.size());
  return s.substr(first, last_end - first);
}

bool prints_visibly(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
  if (cp == 0xAD || cp == 0x34F || cp == 0x61C || cp == 0x180E) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F)) return false;
  if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFB)) return false;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
  return true;
}

}  // namespace ivf_rabitq::utf8
