// Helpers shared by the durability tests: opening a fixture segment, deterministic vectors,
// logged adds, and a snapshot of the live rows (id -> rerank bytes and metadata text) to
// compare with what was acknowledged.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/live/checkpoint.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/live/group_commit.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/wal.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "support/segment_fixture.hpp"

namespace durable_test {

using namespace ivf_rabitq;
using index::IvfIndex;

inline std::shared_ptr<IvfIndex> must_open(const std::string& dir,
                                          std::optional<predicate::SkipSet> skip = std::nullopt) {
  auto r = IvfIndex::open_with_skip(dir, std::move(skip));
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  if (!r.ok()) return nullptr;
  return std::move(r).value();
}

// A small segment: dim 8, two clusters, ten main rows "id0".."id9", typed metadata
// {"n": i, "s": "v{i%3}"}.
inline tandrel_test::SegmentSpec small_spec(size_t rows = 10) {
  tandrel_test::SegmentSpec s;
  s.ids = tandrel_test::make_ids(rows);
  for (size_t i = 0; i < rows; ++i)
    s.metas.push_back("{\"n\":" + std::to_string(i) + ",\"s\":\"v" + std::to_string(i % 3) + "\"}");
  return s;
}

inline std::vector<float> vec_for(uint64_t seed, size_t dim = 8) {
  std::vector<float> v(dim);
  uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& x : v) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    x = static_cast<float>(static_cast<int64_t>(s >> 40) - (1 << 23)) / static_cast<float>(1 << 22);
  }
  return v;
}

inline json::Value parse_or_null(const std::string& text) {
  auto p = json::parse(text);
  return p.ok() ? std::move(p).value() : json::Value();
}

// add_logged with the metadata given as text (parsed and printed compactly like the
// handle does).
inline Status add(IvfIndex& ix, const std::string& id, const std::vector<float>& v, const std::string& meta = "null",
                  const storage::SparsePairs& sparse = {}) {
  json::Value doc = parse_or_null(meta);
  return live::add_logged(ix, id, v, doc, json::to_compact(doc), sparse);
}

// What a live row looks like from outside: its rerank bytes (a function of its vector) and
// its metadata text.
struct RowView {
  std::vector<uint8_t> rerank;
  std::string meta;
  bool operator==(const RowView&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const RowView& r) {
  os << "{meta=" << r.meta << " rerank=";
  for (auto b : r.rerank) os << int(b) << ",";
  return os << "}";
}

// Expected view of a delta row holding vector v and metadata text meta.
inline RowView expected_row(const IvfIndex& ix, const std::vector<float>& v, const std::string& meta) {
  RowView r;
  r.rerank.resize(ix.manifest.dim + 1);
  quant::encode_delta_row(v.data(), ix.manifest.dim, ix.origscale_bin.has_value(), ix.manifest.quant_scale,
                          r.rerank.data());
  r.meta = meta;
  return r;
}

// Live delta rows by id (each id must resolve to the row listed), plus the live main ids
// with an empty view.
inline std::map<std::string, RowView> live_rows(const IvfIndex& ix) {
  std::map<std::string, RowView> out;
  const uint32_t n = ix.main_rows();
  auto t = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  for (uint32_t s = 0; s < n; ++s) {
    if (t->contains(s)) continue;
    auto id = ix.main_id(s);
    if (id) out[std::string(*id)] = RowView{};
  }
  const size_t dim1 = ix.manifest.dim + 1;
  for (size_t r = 0; r < d->rows(); ++r) {
    const uint32_t s = static_cast<uint32_t>(n + r);
    if (t->contains(s)) continue;
    RowView v;
    v.rerank.assign(d->rerank.begin() + r * dim1, d->rerank.begin() + (r + 1) * dim1);
    v.meta = r < d->meta.size() ? d->meta[r] : "null";
    EXPECT_EQ(out.count(d->ids[r]), 0u) << "two live rows for " << d->ids[r];
    out[d->ids[r]] = std::move(v);
  }
  return out;
}

}  // namespace durable_test
