// Test helper: how much of a mapping this process has in its page table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tandrel_test {

// Pages overlapping m present in this process's page table (/proc/self/pagemap bit 63): what
// the mapping adds to the resident set, whatever the page cache holds. SIZE_MAX when the
// page map cannot be read.
size_t present_pages(std::span<const uint8_t> m);

}  // namespace tandrel_test
