// Row contents of an open segment that the maintenance paths and lookups read: metadata
// texts and values of main and delta rows.
#include <cmath>

#include "ivf_rabitq/common/utf8.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/keys.hpp"

namespace ivf_rabitq::index {

namespace {

constexpr std::string_view kNull = "null";

bool valid_json_text(std::string_view t) { return utf8::is_valid(t) && json::is_valid(t); }

}  // namespace

std::vector<FieldSchema> IvfIndex::effective_fields() const {
  auto live = locks_.live_schema.read();
  return live->has_value() ? **live : manifest.fields;
}

json::Value IvfIndex::main_meta_from_columns(uint32_t s, const ReverseDicts& rdicts) const {
  json::Value obj = json::Value::object();
  size_t num_i = 0, str_j = 0;
  for (const FieldSchema& f : manifest.fields) {
    if (f.numeric) {
      const size_t i = num_i++;
      if (i >= num_bins.size() || s >= num_bins[i].len()) continue;
      const double v = num_bins[i][s];
      if (std::isfinite(v)) obj[f.name] = v;
    } else {
      const size_t j = str_j++;
      if (j >= str_bins.size() || s >= str_bins[j].len()) continue;
      const uint32_t code = str_bins[j][s];
      if (code == predicate::kAbsentCode || j >= rdicts.size()) continue;
      auto it = rdicts[j].find(code);
      if (it == rdicts[j].end()) continue;
      obj[f.name] = format_version >= 3 ? predicate::dict_key_value(it->second) : json::Value(it->second);
    }
  }
  return obj;
}

std::string IvfIndex::row_meta_str(uint32_t slot, const ReverseDicts& rdicts,
                                   const std::vector<std::string>& delta_meta) const {
  const uint64_t n = manifest.n;
  if (slot >= n) {
    const uint64_t d = slot - n;
    if (d >= delta_meta.size()) return std::string(kNull);
    const std::string& t = delta_meta[d];
    return valid_json_text(t) ? t : std::string(kNull);
  }
  if (meta_bin && meta_off_bin) {
    const auto off = meta_off_bin->view();
    if (static_cast<uint64_t>(slot) + 1 >= off.size()) return std::string(kNull);
    const uint64_t a = off[slot], e = off[slot + 1];
    if (e < a || e > meta_bin->byte_len()) return std::string(kNull);
    const std::string_view t(reinterpret_cast<const char*>(meta_bin->bytes().data()) + a, static_cast<size_t>(e - a));
    return valid_json_text(t) ? std::string(t) : std::string(kNull);
  }
  return json::to_compact(main_meta_from_columns(slot, rdicts));
}

json::Value IvfIndex::row_meta(uint32_t slot, const ReverseDicts& rdicts,
                               const std::vector<std::string>& delta_meta) const {
  const uint64_t n = manifest.n;
  std::string_view text;
  if (slot >= n) {
    const uint64_t d = slot - n;
    if (d >= delta_meta.size()) return json::Value();
    text = delta_meta[d];
  } else if (meta_bin && meta_off_bin) {
    const auto off = meta_off_bin->view();
    if (static_cast<uint64_t>(slot) + 1 >= off.size()) return json::Value();
    const uint64_t a = off[slot], e = off[slot + 1];
    if (e < a || e > meta_bin->byte_len()) return json::Value();
    text = std::string_view(reinterpret_cast<const char*>(meta_bin->bytes().data()) + a, static_cast<size_t>(e - a));
  } else {
    return main_meta_from_columns(slot, rdicts);
  }
  if (!utf8::is_valid(text)) return json::Value();
  auto doc = json::parse(text);
  if (!doc.ok()) return json::Value();
  return std::move(doc).value();
}

}  // namespace ivf_rabitq::index
