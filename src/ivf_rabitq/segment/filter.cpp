// Filter evaluation bound to the rows of an open segment, and the per-index cache of
// compiled filters.
#include "ivf_rabitq/index/ivf_index.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/block_eval.hpp"

namespace ivf_rabitq::index {

using predicate::BlockEval;
using predicate::ColumnSet;
using predicate::kAbsentCode;
using predicate::kAbsentNum;
using predicate::Predicate;

namespace {

// The passing-main-rows bitmap of one cached filter, built on first demand. It travels in
// the deleter of the shared pointer that compile_filter_cached hands out, so it is found
// from the pointer alone (std::get_deleter), lives exactly as long as the predicate, and
// leaves the cache with it (size rule, schema growth). The owner check keeps a filter of
// one index from lending its bitmap to another.
struct MainBitsCell {
  explicit MainBitsCell(const IvfIndex* o) : owner(o) {}
  const IvfIndex* owner;
  std::once_flag once;
  MainRowBits bits;
};

struct CachedPredicateDeleter {
  std::shared_ptr<MainBitsCell> cell;
  void operator()(const Predicate* p) const { delete p; }
};

// One bit per main row, from the column-at-a-time evaluator (a block of rows per tree walk).
MainRowBits build_main_bits(const IvfIndex& ix, const Predicate& pred) {
  ColumnSet cols;
  cols.num.reserve(ix.num_bins.size());
  for (const auto& m : ix.num_bins) cols.num.push_back({m.view().data(), m.len()});
  cols.str.reserve(ix.str_bins.size());
  for (const auto& m : ix.str_bins) cols.str.push_back({m.view().data(), m.len()});
  static_assert(BlockEval::kBlock % 64 == 0);
  const size_t n = ix.main_rows();
  MainRowBits out;
  out.words.assign((n + 63) / 64, 0);
  BlockEval eval(pred, cols);
  alignas(64) uint8_t mask[BlockEval::kBlock];
  for (size_t at = 0; at < n; at += BlockEval::kBlock) {
    const size_t m = std::min(BlockEval::kBlock, n - at);
    eval.eval(at, m, mask);
    for (size_t i = 0; i < m; i += 64) {
      const size_t len = std::min<size_t>(64, m - i);
      uint64_t w = 0;
      for (size_t j = 0; j < len; ++j) w |= static_cast<uint64_t>(mask[i + j] & 1u) << j;
      out.words[(at + i) / 64] = w;
      out.count += static_cast<uint64_t>(std::popcount(w));
    }
  }
  return out;
}

}  // namespace

const MainRowBits* IvfIndex::main_bits(const PredicatePtr& pred) const {
  if (!pred) return nullptr;
  const auto* d = std::get_deleter<CachedPredicateDeleter>(pred);
  if (d == nullptr || !d->cell || d->cell->owner != this) return nullptr;
  MainBitsCell& cell = *d->cell;
  std::call_once(cell.once, [&] { cell.bits = build_main_bits(*this, *pred); });
  return &cell.bits;
}

bool IvfIndex::passes_main(const Predicate& pred, uint32_t slot) const {
  return predicate::eval_pred(
      pred,
      [&](uint32_t c) -> double { return c < num_bins.size() ? num_bins[c].view()[slot] : kAbsentNum; },
      [&](uint32_t c) -> uint32_t { return c < str_bins.size() ? str_bins[c].view()[slot] : kAbsentCode; });
}

bool IvfIndex::passes_delta(const Delta& d, const Predicate& pred, uint32_t row) {
  return predicate::eval_columns(pred, d.num_cols, d.str_cols, row);
}

Result<PredicatePtr, predicate::FilterError> IvfIndex::compile_filter_cached(std::string_view text) const {
  {
    auto cache = locks_.filter_cache.lock();
    if (!cache->empty()) {
      auto it = cache->find(std::string(text));
      if (it != cache->end()) return it->second;
    }
  }
  const uint64_t e0 = schema_epoch.load(std::memory_order_acquire);
  auto doc = json::parse(text);
  if (!doc.ok()) return predicate::FilterError{"bad filter: " + doc.error().text};
  Result<Predicate, predicate::FilterError> compiled = predicate::FilterError{};
  {
    auto schema = locks_.live_schema.read();
    predicate::SchemaRef ref;
    ref.fields = schema->has_value() ? &**schema : &manifest.fields;
    ref.skip = skip ? &*skip : nullptr;
    ref.typed_keys = format_version >= 3;
    compiled = predicate::compile(ref, *doc, false);
  }
  if (!compiled.ok()) return std::move(compiled).error();
  CachedPredicateDeleter owner{std::make_shared<MainBitsCell>(this)};
  PredicatePtr ptr(new Predicate(std::move(compiled).value()), std::move(owner));
  {
    auto cache = locks_.filter_cache.lock();
    if (schema_epoch.load(std::memory_order_acquire) == e0) {
      bool clear = cache->size() >= kFilterCacheMaxEntries;
      if (!clear && !cache->empty()) {
        uint64_t bytes = text.size();
        for (const auto& [k, v] : *cache) bytes += k.size();
        clear = bytes > kFilterCacheMaxKeyBytes;
      }
      if (clear) cache->clear();
      cache->insert_or_assign(std::string(text), ptr);
    }
  }
  return ptr;
}

}  // namespace ivf_rabitq::index
