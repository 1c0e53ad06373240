#include "ivf_rabitq/storage/data_files.hpp"

#include <algorithm>
#include <cstring>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::storage {

EncodedIds encode_ids(std::span<const std::string> ids) {
  EncodedIds out;
  out.offsets.reserve(ids.size() + 1);
  out.offsets.push_back(0);
  uint64_t total = 0;
  for (const std::string& id : ids) {
    total += id.size();
    out.offsets.push_back(total);
  }
  out.bytes.reserve(static_cast<size_t>(total));
  for (const std::string& id : ids) out.bytes.insert(out.bytes.end(), id.begin(), id.end());
  return out;
}

std::vector<uint8_t> encode_offsets(std::span<const uint64_t> offsets) {
  std::vector<uint8_t> out(offsets.size() * 8);
  if (!offsets.empty()) std::memcpy(out.data(), offsets.data(), out.size());
  return out;
}

EncodedIdHash encode_idhash_checked(std::span<const std::string> ids) {
  struct Rec {
    uint64_t hash;
    uint32_t slot;
  };
  const size_t n = ids.size();
  std::vector<Rec> recs(n);
  // Hashing is per-element work; the sort below fixes one order whatever the thread count.
  parallel::for_chunks(n, 16384, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) recs[i] = {fnv1a64(ids[i]), static_cast<uint32_t>(i)};
  });
  std::sort(recs.begin(), recs.end(),
            [](const Rec& a, const Rec& b) { return a.hash != b.hash ? a.hash < b.hash : a.slot < b.slot; });

  EncodedIdHash out;
  for (size_t i = 0; i < n && !out.has_duplicate;) {
    size_t j = i + 1;
    while (j < n && recs[j].hash == recs[i].hash) ++j;
    if (j - i == 2) {
      out.has_duplicate = ids[recs[i].slot] == ids[recs[i + 1].slot];
    } else if (j - i > 2) {
      std::vector<std::string_view> run;
      run.reserve(j - i);
      for (size_t k = i; k < j; ++k) run.emplace_back(ids[recs[k].slot]);
      std::sort(run.begin(), run.end());
      out.has_duplicate = std::adjacent_find(run.begin(), run.end()) != run.end();
    }
    i = j;
  }

  out.bytes.resize(n * kIdHashRecord);
  uint8_t* p = out.bytes.data();
  for (const Rec& r : recs) {
    store_u64(p, r.hash);
    store_u32(p + 8, r.slot);
    p += kIdHashRecord;
  }
  return out;
}

std::vector<uint8_t> encode_sparse_entries(std::vector<std::pair<uint32_t, const SparsePairs*>> entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t postings = 0;
  for (const auto& e : entries) postings += e.second->size();
  std::vector<uint8_t> out;
  out.reserve(8 + 8 * entries.size() + 8 * postings);
  append_u64(out, entries.size());
  for (const auto& [term, ps] : entries) {
    append_u32(out, term);
    append_u32(out, static_cast<uint32_t>(ps->size()));
  }
  for (const auto& e : entries) {
    for (const auto& [slot, weight] : *e.second) {
      append_u32(out, slot);
      uint32_t bits;
      std::memcpy(&bits, &weight, 4);
      append_u32(out, bits);
    }
  }
  return out;
}

}  // namespace ivf_rabitq::storage
