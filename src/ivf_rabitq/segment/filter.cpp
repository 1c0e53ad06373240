// Filter evaluation bound to the rows of an open segment, and the per-index cache of
// compiled filters.
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"

namespace ivf_rabitq::index {

using predicate::kAbsentCode;
using predicate::kAbsentNum;
using predicate::Predicate;

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
    auto cache = filter_cache.lock();
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
    auto schema = live_schema.read();
    predicate::SchemaRef ref;
    ref.fields = schema->has_value() ? &**schema : &manifest.fields;
    ref.skip = skip ? &*skip : nullptr;
    ref.typed_keys = format_version >= 3;
    compiled = predicate::compile(ref, *doc, false);
  }
  if (!compiled.ok()) return std::move(compiled).error();
  PredicatePtr ptr = std::make_shared<const Predicate>(std::move(compiled).value());
  {
    auto cache = filter_cache.lock();
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
