#include "support/filter_reference.hpp"

#include <string>

namespace tandrel_test {

namespace {

using ivf_rabitq::json::Value;
using ivf_rabitq::predicate::SchemaRef;
namespace json = ivf_rabitq::json;
namespace pred = ivf_rabitq::predicate;

// Evaluation result: false/true, or a compile error.
struct R {
  bool err = false;
  bool v = false;
};
R error() { return R{true, false}; }
R val(bool b) { return R{false, b}; }

// One field of one row as the typed columns see it.
struct View {
  bool has_num_col = false, has_str_col = false;
  std::optional<double> num;
  std::optional<std::string> key;
  bool present() const { return num.has_value() || key.has_value(); }
};

View view_of(const SchemaRef& s, const std::string& name, const Value* row) {
  View v;
  const pred::FieldSchema* str_entry = nullptr;
  for (const auto& f : *s.fields) {
    if (f.name != name) continue;
    if (f.numeric) v.has_num_col = true;
    else if (str_entry == nullptr) str_entry = &f;
  }
  v.has_str_col = str_entry != nullptr;
  if (row == nullptr || !row->is_object() || !row->contains(name)) return v;
  const Value& x = row->at(name);
  if (x.is_null()) return v;
  if (x.is_number() && v.has_num_col) {
    v.num = json::number_as_f64(x);
    return v;
  }
  if (str_entry != nullptr) {
    std::string k = pred::make_key(x, s.typed_keys);
    if (str_entry->dict.count(k) != 0) v.key = std::move(k);
  }
  return v;
}

bool compound(const Value& v) { return v.is_array() || v.is_object(); }

bool truthy(const Value& v) {
  if (v.is_null()) return false;
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return json::number_as_f64(v) != 0.0;
  return true;
}

// Equality of the row's field with a scalar or null operand.
bool eq(const SchemaRef& s, const View& f, const Value& operand) {
  if (operand.is_null()) return !f.present();
  if (operand.is_number() && f.num && *f.num == json::number_as_f64(operand)) return true;
  return f.key && *f.key == pred::make_key(operand, s.typed_keys);
}

R field_clause(const SchemaRef& s, const std::string& name, const Value& value, bool negated, const Value* row);

R op_clause(const SchemaRef& s, const std::string& name, const std::string& op, const Value& operand, bool negated,
            const View& f, const Value* row) {
  if (op == "$eq") return compound(operand) ? error() : val(eq(s, f, operand));
  if (op == "$ne") {
    if (compound(operand)) return error();
    return val(operand.is_null() ? f.present() : !eq(s, f, operand));
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (!operand.is_number() || !f.num) return val(false);
    const double a = *f.num, b = json::number_as_f64(operand);
    if (op == "$gt") return val(a > b);
    if (op == "$gte") return val(a >= b);
    if (op == "$lt") return val(a < b);
    return val(a <= b);
  }
  if (op == "$in" || op == "$nin") {
    if (!operand.is_array()) return error();
    bool any = false;
    for (const auto& e : operand) {
      if (compound(e)) return error();
      any = any || eq(s, f, e);
    }
    return val(op == "$in" ? any : !any);
  }
  if (op == "$not") {
    R r = field_clause(s, name, operand, !negated, row);
    return r.err ? r : val(!r.v);
  }
  if (op == "$exists") return val(f.present() == truthy(operand));
  return error();
}

R field_clause(const SchemaRef& s, const std::string& name, const Value& value, bool negated, const Value* row) {
  const View f = view_of(s, name, row);
  // A skipped field without columns never lets the row match, whatever negations enclose
  // it: the clause yields the value those negations turn into false.
  if (!f.has_num_col && !f.has_str_col && s.skip != nullptr && s.skip->count(name) != 0) return val(negated);
  if (value.is_array()) return error();
  if (!value.is_object()) return val(eq(s, f, value));
  if (value.empty()) return error();
  bool all = true;
  for (const auto& [op, operand] : value.items()) {
    R r = op_clause(s, name, op, operand, negated, f, row);
    if (r.err) return r;
    all = all && r.v;
  }
  return val(all);
}

R filter_eval(const SchemaRef& s, const Value& filter, bool negated, const Value* row) {
  if (!filter.is_object()) return error();
  bool all = true;
  for (const auto& [key, operand] : filter.items()) {
    R r;
    if (key == "$and" || key == "$or" || key == "$nor") {
      if (!operand.is_array() || operand.empty()) return error();
      const bool inner_neg = key == "$nor" ? !negated : negated;
      bool any = false, every = true;
      for (const auto& e : operand) {
        R c = filter_eval(s, e, inner_neg, row);
        if (c.err) return c;
        any = any || c.v;
        every = every && c.v;
      }
      r = val(key == "$and" ? every : key == "$or" ? any : !any);
    } else if (key == "$not") {
      R c = filter_eval(s, operand, !negated, row);
      if (c.err) return c;
      r = val(!c.v);
    } else if (!key.empty() && key[0] == '$') {
      return error();
    } else {
      r = field_clause(s, key, operand, negated, row);
      if (r.err) return r;
    }
    all = all && r.v;
  }
  return val(all);
}

}  // namespace

std::optional<bool> reference_eval(const SchemaRef& schema, const Value& filter, const Value* row) {
  R r = filter_eval(schema, filter, false, row);
  if (r.err) return std::nullopt;
  return r.v;
}

}  // namespace tandrel_test
