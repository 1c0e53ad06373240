// Small helpers of the open path: the warning printer and the plain-name check.
#pragma once

#include <string>
#include <string_view>

namespace ivf_rabitq::segment::detail {

// Writes one whole line (text plus newline) to standard error in a single write.
void warn_line(const std::string& text);

// True when `name` is a single path component: not empty, not "." or "..", and free of
// '/' and NUL. Only such names recorded in crcs.bin are ever joined to the directory.
bool is_plain_file_name(std::string_view name);

}  // namespace ivf_rabitq::segment::detail
