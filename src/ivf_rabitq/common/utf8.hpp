// The one UTF-8 decoder of the engine and the Python layer, and what is built on it: validation,
// lossy conversion, Unicode White_Space trimming and the visibility test of quoted paths.
//
// Well-formed means the shortest form of a scalar value: overlong forms, surrogates
// (U+D800..U+DFFF) and code points above U+10FFFF are ill-formed, as are lead bytes 0x80..0xC1
// and 0xF5..0xFF and sequences cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ivf_rabitq::utf8 {

// One decoding step at s[i] (i < s.size()).
struct Step {
  uint32_t cp;  // the code point when ok; U+FFFD otherwise
  // ok: the sequence's length (1..4). Not ok: the length of the maximal ill-formed prefix
  // there (1..3), the bytes one replacement character stands for in a lossy conversion.
  uint8_t len;
  bool ok;
};
Step decode(std::string_view s, size_t i);

// Whether s is well-formed; when not, *bad_pos (if given) receives the offset of the first
// ill-formed sequence.
bool is_valid(std::string_view s, size_t* bad_pos = nullptr);

// s with each maximal ill-formed prefix replaced by U+FFFD (the replacement Python's
// bytes.decode("utf-8", "replace") makes).
std::string lossy(std::string_view s);

// Unicode White_Space.
bool is_white_space(uint32_t cp);

// s without the White_Space characters at either end. An ill-formed sequence counts as a
// character that is not white space.
std::string_view trim_white_space(std::string_view s);

// Whether a code point prints visibly in a quoted path: false for C0 and C1 controls, DEL,
// the soft hyphen, invisible format marks, surrogates and values above U+10FFFF.
bool prints_visibly(uint32_t cp);

}  // namespace ivf_rabitq::utf8
