#include "ivf_rabitq/maintain/rebuild.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/maintain/live_rows.hpp"
#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/framed.hpp"

namespace ivf_rabitq::maintain {

Result<GatheredRows> gather_live_rows(const index::IvfIndex& ix) {
  const LiveRows rows(ix);
  TANDREL_TRY(check_row_sources(rows));
  GatheredRows g;
  g.dim = rows.dim();
  const size_t live = static_cast<size_t>(rows.live_count());
  g.vectors.resize(live * g.dim);
  g.ids.reserve(live);
  g.meta.reserve(live);
  g.sparse.reserve(live);
  auto main_sparse = rows.main_sparse_by_slot();
  const bool meta_mapped = ix.meta_bin.has_value() && ix.meta_off_bin.has_value();
  index::IvfIndex::ReverseDicts rdicts;
  if (!meta_mapped) rdicts = predicate::reverse_dictionaries(ix.manifest.fields);
  static const std::vector<std::string> kNoTexts;
  size_t at = 0;
  TANDREL_TRY(rows.for_each([&](RowRef r) -> Status {
    TANDREL_ASSIGN(const std::string_view id, rows.id(r));
    g.ids.emplace_back(id);
    rows.dequantise(r, g.vectors.data() + at * g.dim);
    ++at;
    if (r.delta) {
      const std::string* text = rows.delta_meta(r.index);
      json::Value v;
      if (text != nullptr) {
        auto doc = json::parse(*text);
        if (doc.ok()) v = std::move(doc).value();
      }
      g.meta.push_back(std::move(v));
      auto sp = rows.delta_sparse(r.index);
      g.sparse.emplace_back(sp.begin(), sp.end());
    } else {
      g.meta.push_back(ix.row_meta(r.index, rdicts, kNoTexts));
      auto it = main_sparse.find(r.index);
      g.sparse.push_back(it == main_sparse.end() ? storage::SparsePairs{} : std::move(it->second));
    }
    return {};
  }));
  return g;
}

uint32_t rebuild_clusters(std::optional<uint32_t> n_clusters, uint64_t live_rows) {
  if (n_clusters) return std::max<uint32_t>(*n_clusters, 1);
  const double k = std::floor(std::sqrt(static_cast<double>(live_rows)));
  const uint32_t kc = k >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(k);
  return std::max<uint32_t>(kc, 1);
}

std::vector<std::string> rebuild_skip_fields(const std::optional<predicate::SkipSet>& skip, const GatheredRows& rows,
                                             const std::vector<storage::FieldSchema>& live_fields) {
  std::set<std::string> out;
  if (skip) {
    out.insert(skip->begin(), skip->end());
    return {out.begin(), out.end()};
  }
  std::set<std::string_view> typed;
  for (const auto& f : live_fields) typed.insert(f.name);
  for (const json::Value& v : rows.meta) {
    if (!v.is_object()) continue;
    for (const auto& [key, val] : v.items()) {
      (void)val;
      if (typed.count(key) == 0) out.insert(key);
    }
  }
  return {out.begin(), out.end()};
}

Status rebuild_to(const index::IvfIndex& ix, const std::string& out, std::optional<uint32_t> n_clusters,
                  const std::optional<predicate::SkipSet>& skip, uint64_t generation) {
  // Damaged source files would be rebuilt under fresh checksums: refuse before writing.
  TANDREL_TRY(ix.verify_sources());
  const uint32_t k = rebuild_clusters(n_clusters, ix.live_count());
  TANDREL_ASSIGN(GatheredRows g, gather_live_rows(ix));
  const std::vector<std::string> skip_fields = rebuild_skip_fields(skip, g, ix.effective_fields());
  const size_t n = g.rows();
  const uint32_t clusters = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(n, 1), k));
  const storage::Manifest& m = ix.manifest;
  TANDREL_TRY(index::IvfIndex::build(out, g.vectors, n, g.dim, std::move(g.ids), g.meta, g.sparse, skip_fields,
                                     m.pca_mean, m.pca_comps, clusters, static_cast<uint32_t>(m.n_bits), m.seed,
                                     m.quant_scale));
  return storage::write_generation(out, generation);
}

}  // namespace ivf_rabitq::maintain
