// Typed schema growth: grow_for_row, and the regrowth of the schema over the checkpointed
// delta rows at open.
#include "ivf_rabitq/predicate/schema_growth.hpp"

#include <string>
#include <unordered_set>


namespace ivf_rabitq::predicate {

using storage::Delta;
using storage::FieldSchema;

namespace {

const json::Value::object_t& members(const json::Value& obj) { return obj.get_ref<const json::Value::object_t&>(); }

}  // namespace

bool has_field(const std::vector<FieldSchema>& fields, const std::string& name, bool numeric) {
  for (const auto& f : fields)
    if (f.numeric == numeric && f.name == name) return true;
  return false;
}

void grow_for_row(std::vector<FieldSchema>& fields, const SkipSet* skip, const json::Value& object,
                  bool typed_keys) {
  if (!object.is_object()) return;
  const auto& obj = members(object);
  // 1. Names of the numeric entries before anything is added.
  std::unordered_set<std::string> numeric_names;
  for (const auto& f : fields)
    if (f.numeric) numeric_names.insert(f.name);
  // 2-3. New dictionary keys of existing string entries, in list order.
  std::vector<std::pair<size_t, std::string>> noted;
  for (size_t i = 0; i < fields.size(); ++i) {
    const auto& f = fields[i];
    if (f.numeric) continue;
    auto it = obj.find(f.name);
    if (it == obj.end() || it->second.is_null()) continue;
    if (it->second.is_number() && numeric_names.count(f.name) != 0) continue;
    noted.emplace_back(i, make_key(it->second, typed_keys));
  }
  for (auto& [i, key] : noted) {
    auto& dict = fields[i].dict;
    if (dict.find(key) == dict.end()) {
      const auto code = static_cast<uint32_t>(dict.size());
      dict.emplace(std::move(key), code);
    }
  }
  // 4-5. New entries, only with a skip set, in ascending byte order of the keys.
  if (skip == nullptr || obj.empty()) return;
  for (const auto& [k, v] : obj) {
    if (v.is_null() || skip->count(k) != 0) continue;
    const bool numeric = v.is_number();
    if (has_field(fields, k, numeric)) continue;
    FieldSchema f;
    f.name = k;
    f.numeric = numeric;
    if (!numeric) f.dict.emplace(make_key(v, typed_keys), 0u);
    fields.push_back(std::move(f));
  }
}

std::optional<std::vector<FieldSchema>> rebuild_delta_schema(const std::vector<FieldSchema>& fields,
                                                             const std::optional<SkipSet>& skip, Delta& delta,
                                                             bool typed_keys) {
  const size_t R = delta.ids.size();
  if (R == 0) return std::nullopt;
  // A delta whose metadata or sparse list was stored empty gets one entry per row, so that
  // rows added later stay aligned with their texts and terms.
  if (delta.meta.empty()) delta.meta.assign(R, "null");
  if (delta.sparse.empty()) delta.sparse.assign(R, {});
  if (delta.meta.size() != R) return std::nullopt;

  std::vector<FieldSchema> F = storage::to_vec(fields);
  std::vector<json::Value> docs(R);
  for (size_t r = 0; r < R; ++r) {
    auto parsed = json::parse(delta.meta[r]);
    if (parsed.ok()) docs[r] = std::move(parsed).value();
  }
  const SkipSet* sk = skip ? &*skip : nullptr;
  for (const auto& d : docs)
    if (d.is_object()) grow_for_row(F, sk, d, typed_keys);

  bool grew = F.size() != fields.size();
  for (size_t i = 0; !grew && i < F.size(); ++i) grew = F[i].dict.size() != fields[i].dict.size();
  if (!grew) return std::nullopt;

  size_t a = 0;
  for (const auto& f : F) a += f.numeric ? 1 : 0;
  const size_t b = F.size() - a;
  std::vector<std::vector<double>> num(a, std::vector<double>(R, kAbsentNum));
  std::vector<std::vector<uint32_t>> str(b, std::vector<uint32_t>(R, kAbsentCode));
  for (size_t r = 0; r < R; ++r) {
    if (!docs[r].is_object()) continue;
    auto row = try_resolve(F, &docs[r], typed_keys);
    if (!row) continue;
    for (size_t k = 0; k < a; ++k) num[k][r] = row->num[k];
    for (size_t k = 0; k < b; ++k) str[k][r] = row->str[k];
  }
  delta.num_cols = std::move(num);
  delta.str_cols = std::move(str);
  return F;
}

}  // namespace ivf_rabitq::predicate
