// Metadata status: how the row a segment holds for an id compares with metadata a caller
// is about to write. 0: no live row here (or the row's metadata reads as null); 1: the same
// metadata; 2: different metadata.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::scan {

inline constexpr uint8_t kStatusAbsent = 0;
inline constexpr uint8_t kStatusSame = 1;
inline constexpr uint8_t kStatusDifferent = 2;

// Ids from which meta_status runs on the pool (with `parallel`), in chunks of this size.
inline constexpr size_t kStatusParallelIds = 256;
inline constexpr size_t kStatusChunk = 128;

// A caller's metadata text (borrowed: the caller keeps it alive) with its canonical form
// (parsed, printed compactly with keys sorted; none when the text is not valid JSON)
// computed on first use. Safe to share between threads: the form is computed once and
// every caller sees the same result.
class CanonMeta {
 public:
  explicit CanonMeta(std::string_view text) : text_(text) {}
  CanonMeta(const CanonMeta&) = delete;
  CanonMeta& operator=(const CanonMeta&) = delete;

  std::string_view text() const { return text_; }
  const std::optional<std::string>& get() const;

 private:
  std::string_view text_;
  mutable std::once_flag once_;
  mutable std::optional<std::string> canon_;
};

// JSON equality in which every number compares as f64 (so 3 equals 3.0 and 0 equals -0.0);
// arrays by position, objects by key; otherwise plain equality.
bool json_eq_numeric(const json::Value& a, const json::Value& b);

// One status per (id, metadata) pair; the longer list's extra entries are ignored. Takes the
// id-map, tombstone and delta read locks in recursive mode for the whole call. With
// `parallel` and at least kStatusParallelIds pairs, chunks of kStatusChunk pairs run on the
// calling thread's pool. Rows rebuilt from typed columns (no meta.bin) compare with
// json_eq_numeric; all others compare canonical texts byte for byte.
std::vector<uint8_t> meta_status(const index::IvfIndex& ix, std::span<const std::string_view> ids,
                                 std::span<const CanonMeta* const> metas, bool parallel);

// The status over several segments of one column, newest first: each id's status comes
// from the first segment whose `meta_status` answers non-zero for it; an id answered 0
// (no live row there, or a stored "null") passes on to the next older segment, which sees
// only the ids still undecided, in their order. Undecided ids keep 0.
std::vector<uint8_t> meta_status_across(std::span<const index::IvfIndex* const> sources,
                                        std::span<const std::string_view> ids, std::span<const CanonMeta* const> metas,
                                        bool parallel);

}  // namespace ivf_rabitq::scan
