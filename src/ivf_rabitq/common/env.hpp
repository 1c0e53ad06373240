// Reading configuration from environment variables. Each variable is read lazily by the part
// that uses it and kept for the process; these helpers are what the readers share: the value
// as text (a value that is not valid UTF-8 counts as unset), white space trimming, and
// unsigned decimal numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ivf_rabitq::env {

// A C string as a value: nullptr is unset.
std::optional<std::string_view> view(const char* raw);
// The raw value of environment variable `name` (unset: nullopt).
std::optional<std::string_view> get(const char* name);
// The value when it is set and valid UTF-8; nullopt otherwise.
std::optional<std::string_view> as_text(std::optional<std::string_view> raw);
// as_text with Unicode White_Space trimmed at both ends.
std::optional<std::string_view> trimmed(std::optional<std::string_view> raw);

// An unsigned decimal: an optional leading '+', then one or more ASCII digits, the value
// fitting 64 bits; nullopt for anything else (empty, a lone sign, another character, overflow).
std::optional<uint64_t> parse_unsigned(std::string_view s);
// A signed decimal: an optional leading '+' or '-', then one or more ASCII digits, the value
// fitting 64 bits; nullopt for anything else.
std::optional<int64_t> parse_signed(std::string_view s);

}  // namespace ivf_rabitq::env
