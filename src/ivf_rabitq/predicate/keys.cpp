#include "ivf_rabitq/predicate/keys.hpp"

#include <algorithm>
#include <map>

namespace ivf_rabitq::predicate {

namespace {

// Appends the untyped key text of v; returns the prefix the typed form puts before it.
char append_key_body(std::string& out, const json::Value& v) {
  using T = json::Value::value_t;
  switch (v.type()) {
    case T::string: out += v.get_ref<const std::string&>(); return 0;
    case T::boolean: out += v.get_ref<const bool&>() ? "true" : "false"; return kBoolPrefix;
    case T::number_integer:
    case T::number_unsigned:
    case T::number_float: json::append_compact(out, v); return kNumberPrefix;
    default: json::append_compact(out, v); return kCompoundPrefix;
  }
}

}  // namespace

std::string str_key_typed(const json::Value& v) {
  if (v.is_string()) return v.get_ref<const std::string&>();
  std::string out(1, '\0');  // placeholder for the prefix
  const char prefix = append_key_body(out, v);
  out[0] = prefix;
  return out;
}

std::string str_key(const json::Value& v) {
  std::string out;
  append_key_body(out, v);
  return out;
}

json::Value dict_key_value(std::string_view key) {
  if (key.empty()) return json::Value(std::string());
  if (key[0] == kBoolPrefix) return json::Value(key.substr(1) == "true");
  if (key[0] == kCompoundPrefix || key[0] == kNumberPrefix) {
    auto parsed = json::parse(key.substr(1));
    if (parsed.ok()) return std::move(parsed).value();
  }
  return json::Value(std::string(key));
}

TypedRow absent_row(const std::vector<FieldSchema>& fields) {
  size_t nnum = 0;
  for (const auto& f : fields) nnum += f.numeric ? 1 : 0;
  TypedRow row;
  row.num.assign(nnum, kAbsentNum);
  row.str.assign(fields.size() - nnum, kAbsentCode);
  return row;
}

std::optional<TypedRow> try_resolve(const std::vector<FieldSchema>& fields, const json::Value* object,
                                    bool typed_keys) {
  TypedRow row = absent_row(fields);
  if (object == nullptr || !object->is_object()) return row;
  const auto& obj = object->get_ref<const json::Value::object_t&>();
  // Names that have a numeric entry: a number is never keyed into their string column.
  std::unordered_set<std::string_view> numeric_names;
  for (const auto& f : fields)
    if (f.numeric) numeric_names.insert(f.name);
  size_t i = 0, j = 0;
  for (const auto& f : fields) {
    auto it = obj.find(f.name);
    if (f.numeric) {
      if (it != obj.end() && it->second.is_number()) row.num[i] = json::number_as_f64(it->second);
      ++i;
      continue;
    }
    if (it != obj.end() && !it->second.is_null() &&
        !(it->second.is_number() && numeric_names.count(f.name) != 0)) {
      std::string key = make_key(it->second, typed_keys);
      auto code = f.dict.find(key);
      if (code == f.dict.end()) return std::nullopt;
      row.str[j] = code->second;
    }
    ++j;
  }
  return row;
}

std::unordered_map<uint32_t, std::string> reverse_dictionary_of(const FieldSchema& f) {
  std::unordered_map<uint32_t, std::string> rev;
  rev.reserve(f.dict.size());
  for (const auto& [k, c] : f.dict) rev.emplace(c, k);
  return rev;
}

std::vector<std::unordered_map<uint32_t, std::string>> reverse_dictionaries(const std::vector<FieldSchema>& fields) {
  std::vector<std::unordered_map<uint32_t, std::string>> out;
  for (const auto& f : fields)
    if (!f.numeric) out.push_back(reverse_dictionary_of(f));
  return out;
}

TypedTable type_rows(const std::vector<const json::Value*>& rows, const SkipSet* skip, bool typed_keys) {
  // Discovery: per name, whether some row held a number and whether some held another value.
  struct Kinds {
    bool num = false, other = false;
    int64_t num_col = -1, str_col = -1;
  };
  std::map<std::string, Kinds> names;  // ascending byte order
  for (const json::Value* r : rows) {
    if (r == nullptr || !r->is_object()) continue;
    for (const auto& [k, v] : r->get_ref<const json::Value::object_t&>()) {
      if (v.is_null() || (skip != nullptr && skip->count(k) != 0)) continue;
      Kinds& kinds = names[k];
      (v.is_number() ? kinds.num : kinds.other) = true;
    }
  }
  TypedTable t;
  const size_t n = rows.size();
  for (auto& [name, kinds] : names) {
    if (kinds.num) {
      kinds.num_col = static_cast<int64_t>(t.num_cols.size());
      t.fields.push_back(FieldSchema{name, true, {}});
      t.num_cols.emplace_back(n, kAbsentNum);
    }
    if (kinds.other) {
      kinds.str_col = static_cast<int64_t>(t.str_cols.size());
      t.fields.push_back(FieldSchema{name, false, {}});
      t.str_cols.emplace_back(n, kAbsentCode);
    }
  }
  // The string entries in column order, for their dictionaries.
  std::vector<FieldSchema*> str_fields;
  for (auto& f : t.fields)
    if (!f.numeric) str_fields.push_back(&f);
  for (size_t r = 0; r < n; ++r) {
    const json::Value* row = rows[r];
    if (row == nullptr || !row->is_object()) continue;
    for (const auto& [k, v] : row->get_ref<const json::Value::object_t&>()) {
      if (v.is_null()) continue;
      auto it = names.find(k);
      if (it == names.end()) continue;  // skipped name
      const Kinds& kinds = it->second;
      if (v.is_number()) {
        if (kinds.num_col >= 0) t.num_cols[kinds.num_col][r] = json::number_as_f64(v);
        continue;
      }
      if (kinds.str_col < 0) continue;
      auto& dict = str_fields[kinds.str_col]->dict;
      auto [pos, inserted] = dict.try_emplace(make_key(v, typed_keys), static_cast<uint32_t>(dict.size()));
      t.str_cols[kinds.str_col][r] = pos->second;
    }
  }
  return t;
}

}  // namespace ivf_rabitq::predicate
