#include "ivf_rabitq/predicate/compile.hpp"

#include <algorithm>

namespace ivf_rabitq::predicate {

namespace {

using json::Value;
using Object = Value::object_t;
using PResult = Result<Predicate, FilterError>;

FilterError fail(std::string text) { return FilterError{std::move(text)}; }

std::string scalar_operand_error(std::string_view op, std::string_view field, const Value& operand) {
  std::string s(op);
  s += " on field ";
  s += field;
  s += " requires a scalar or null operand, got ";
  s += json::type_phrase(operand);
  s += " (compound equality is not supported)";
  return s;
}

bool is_compound(const Value& v) { return v.is_array() || v.is_object(); }

// The truth of an $exists operand: false for null, false and numbers equal to zero.
bool truthy(const Value& v) {
  if (v.is_null()) return false;
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return json::number_as_f64(v) != 0.0;
  return true;
}

Predicate combine_or(std::vector<Predicate> parts) {
  if (parts.empty()) return Predicate::make_false();
  if (parts.size() == 1) return std::move(parts.front());
  return Predicate::make_or(std::move(parts));
}

Predicate combine_and(std::vector<Predicate> parts) {
  if (parts.empty()) return Predicate::make_true();
  if (parts.size() == 1) return std::move(parts.front());
  return Predicate::make_and(std::move(parts));
}

Predicate constant(bool b) { return b ? Predicate::make_true() : Predicate::make_false(); }

// The typed columns of one field name: the first entry of each kind with that name.
struct FieldCols {
  bool has_num = false;
  uint32_t num_col = 0;
  bool has_str = false;
  uint32_t str_col = 0;
  const FieldSchema* str_entry = nullptr;
};

FieldCols field_cols(const std::vector<FieldSchema>& fields, std::string_view name) {
  FieldCols c;
  uint32_t i = 0, j = 0;
  for (const auto& f : fields) {
    if (f.numeric) {
      if (!c.has_num && f.name == name) {
        c.has_num = true;
        c.num_col = i;
      }
      ++i;
    } else {
      if (!c.has_str && f.name == name) {
        c.has_str = true;
        c.str_col = j;
        c.str_entry = &f;
      }
      ++j;
    }
  }
  return c;
}

// The code of a key in the field's dictionary, if any.
const uint32_t* lookup_code(const FieldCols& cols, const std::string& key) {
  if (cols.str_entry == nullptr || cols.str_entry->dict.empty()) return nullptr;
  auto it = cols.str_entry->dict.find(key);
  return it == cols.str_entry->dict.end() ? nullptr : &it->second;
}

Predicate leaf_exists(const FieldCols& cols, bool want) {
  std::vector<Predicate> parts;
  if (cols.has_num) parts.push_back(Predicate::exists(cols.num_col, true, want));
  if (cols.has_str) parts.push_back(Predicate::exists(cols.str_col, false, want));
  return want ? combine_or(std::move(parts)) : combine_and(std::move(parts));
}

PResult leaf_eq(bool typed_keys, std::string_view name, const FieldCols& cols, const Value& value) {
  if (is_compound(value)) return fail(scalar_operand_error("equality", name, value));
  if (value.is_null()) return leaf_exists(cols, false);
  std::vector<Predicate> parts;
  if (value.is_number() && cols.has_num)
    parts.push_back(Predicate::num_cmp(cols.num_col, CmpOp::Eq, json::number_as_f64(value)));
  if (cols.has_str) {
    if (const uint32_t* code = lookup_code(cols, make_key(value, typed_keys)))
      parts.push_back(Predicate::str_eq(cols.str_col, *code));
  }
  return combine_or(std::move(parts));
}

PResult leaf_in(const SchemaRef& schema, std::string_view name, const FieldCols& cols, const Value& value, bool nin) {
  if (!value.is_array()) {
    std::string s = nin ? "$nin" : "$in";
    s += " requires an array on field ";
    s += name;
    return fail(std::move(s));
  }
  const auto& arr = value.get_ref<const Value::array_t&>();
  for (const auto& e : arr)
    if (is_compound(e)) return fail(scalar_operand_error(nin ? "$nin" : "$in", name, e));
  std::vector<Predicate> parts;
  bool has_null = false;
  std::vector<double> nums;
  for (const auto& e : arr) {
    if (e.is_null()) has_null = true;
    else if (e.is_number()) nums.push_back(json::number_as_f64(e));
  }
  if (cols.has_num && !nums.empty()) {
    for (double& d : nums)
      if (d == 0.0) d = 0.0;  // -0 -> +0
    std::sort(nums.begin(), nums.end(), [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    nums.erase(std::unique(nums.begin(), nums.end(),
                           [](double a, double b) { return total_order_key(a) == total_order_key(b); }),
               nums.end());
    parts.push_back(Predicate::num_in(cols.num_col, std::move(nums)));
  }
  if (cols.has_str) {
    std::vector<uint32_t> codes;
    for (const auto& e : arr) {
      if (e.is_null()) continue;
      if (const uint32_t* code = lookup_code(cols, make_key(e, schema.typed_keys))) codes.push_back(*code);
    }
    if (!codes.empty()) {
      std::sort(codes.begin(), codes.end());
      codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
      parts.push_back(Predicate::str_in(cols.str_col, std::move(codes)));
    }
  }
  if (has_null) parts.push_back(leaf_exists(cols, false));
  Predicate r = combine_or(std::move(parts));
  return nin ? Predicate::make_not(std::move(r)) : std::move(r);
}

// A field without any typed column: every row lacks it.
PResult compile_missing_field(std::string_view name, const Value& value) {
  if (value.is_null()) return Predicate::make_true();
  if (!is_compound(value)) return Predicate::make_false();
  if (value.is_array()) return fail("array equality on field " + std::string(name) + " is not supported");
  const auto& obj = value.get_ref<const Object&>();
  if (obj.empty()) return fail("empty operator object on field " + std::string(name));
  std::vector<Predicate> parts;
  for (const auto& [op, operand] : obj) {
    if (op == "$eq" || op == "$ne") {
      if (is_compound(operand)) return fail(scalar_operand_error(op, name, operand));
      const bool eq_result = operand.is_null();  // the field is absent on every row
      parts.push_back(constant(op == "$eq" ? eq_result : !eq_result));
    } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      parts.push_back(Predicate::make_false());
    } else if (op == "$in" || op == "$nin") {
      if (!operand.is_array()) return fail("$in/$nin requires an array on field " + std::string(name));
      bool has_null = false;
      for (const auto& e : operand.get_ref<const Value::array_t&>()) {
        if (is_compound(e)) return fail(scalar_operand_error("$in/$nin", name, e));
        has_null = has_null || e.is_null();
      }
      parts.push_back(constant(op == "$in" ? has_null : !has_null));
    } else if (op == "$not") {
      PResult inner = compile_missing_field(name, operand);
      if (!inner.ok()) return inner;
      parts.push_back(Predicate::make_not(std::move(inner).value()));
    } else if (op == "$exists") {
      parts.push_back(constant(!truthy(operand)));
    } else {
      return fail("unknown operator " + op + " on field " + std::string(name));
    }
  }
  return combine_and(std::move(parts));
}

PResult compile_field(const SchemaRef& schema, const std::string& name, const Value& value, bool negated) {
  const FieldCols cols = field_cols(*schema.fields, name);
  if (!cols.has_num && !cols.has_str) {
    if (schema.skip != nullptr && !schema.skip->empty() && schema.skip->count(name) != 0) return constant(negated);
    return compile_missing_field(name, value);
  }
  if (!is_compound(value)) return leaf_eq(schema.typed_keys, name, cols, value);
  if (value.is_array()) return fail("array equality on field " + name + " is not supported");
  const auto& obj = value.get_ref<const Object&>();
  if (obj.empty()) return fail("empty operator object on field " + name);
  std::vector<Predicate> parts;
  parts.reserve(obj.size());
  for (const auto& [op, operand] : obj) {
    if (op == "$eq") {
      PResult r = leaf_eq(schema.typed_keys, name, cols, operand);
      if (!r.ok()) return r;
      parts.push_back(std::move(r).value());
    } else if (op == "$ne") {
      if (is_compound(operand)) return fail(scalar_operand_error("$ne", name, operand));
      if (operand.is_null()) {
        parts.push_back(leaf_exists(cols, true));
      } else {
        PResult r = leaf_eq(schema.typed_keys, name, cols, operand);
        if (!r.ok()) return r;
        parts.push_back(Predicate::make_not(std::move(r).value()));
      }
    } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      if (operand.is_number() && cols.has_num) {
        const CmpOp cmp = op == "$gt" ? CmpOp::Gt : op == "$gte" ? CmpOp::Gte : op == "$lt" ? CmpOp::Lt : CmpOp::Lte;
        parts.push_back(Predicate::num_cmp(cols.num_col, cmp, json::number_as_f64(operand)));
      } else {
        parts.push_back(Predicate::make_false());
      }
    } else if (op == "$in" || op == "$nin") {
      PResult r = leaf_in(schema, name, cols, operand, op == "$nin");
      if (!r.ok()) return r;
      parts.push_back(std::move(r).value());
    } else if (op == "$not") {
      PResult r = compile_field(schema, name, operand, !negated);
      if (!r.ok()) return r;
      parts.push_back(Predicate::make_not(std::move(r).value()));
    } else if (op == "$exists") {
      parts.push_back(leaf_exists(cols, truthy(operand)));
    } else {
      return fail("unknown operator " + op + " on field " + name);
    }
  }
  return combine_and(std::move(parts));
}

Result<std::vector<Predicate>, FilterError> compile_clauses(const SchemaRef& schema, std::string_view op,
                                                            const Value& value, bool negated) {
  if (!value.is_array()) return fail(std::string(op) + " requires an array");
  const auto& arr = value.get_ref<const Value::array_t&>();
  if (arr.empty()) return fail(std::string(op) + " requires a non-empty array");
  std::vector<Predicate> out;
  out.reserve(arr.size());
  for (const auto& e : arr) {
    PResult r = compile(schema, e, negated);
    if (!r.ok()) return std::move(r).error();
    out.push_back(std::move(r).value());
  }
  return out;
}

}  // namespace

Result<Predicate, FilterError> compile(const SchemaRef& schema, const json::Value& filter, bool negated) {
  if (!filter.is_object()) return fail(std::string("filter must be an object, got ") + json::type_phrase(filter));
  const auto& obj = filter.get_ref<const Object&>();
  std::vector<Predicate> clauses;
  clauses.reserve(obj.size());
  for (const auto& [key, operand] : obj) {
    if (key == "$and" || key == "$or" || key == "$nor") {
      auto list = compile_clauses(schema, key, operand, key == "$nor" ? !negated : negated);
      if (!list.ok()) return std::move(list).error();
      if (key == "$and") clauses.push_back(Predicate::make_and(std::move(list).value()));
      else if (key == "$or") clauses.push_back(Predicate::make_or(std::move(list).value()));
      else clauses.push_back(Predicate::make_not(Predicate::make_or(std::move(list).value())));
    } else if (key == "$not") {
      PResult r = compile(schema, operand, !negated);
      if (!r.ok()) return r;
      clauses.push_back(Predicate::make_not(std::move(r).value()));
    } else if (!key.empty() && key[0] == '$') {
      return fail("unknown top-level operator " + key);
    } else {
      PResult r = compile_field(schema, key, operand, negated);
      if (!r.ok()) return r;
      clauses.push_back(std::move(r).value());
    }
  }
  if (clauses.size() == 1) return std::move(clauses.front());
  return Predicate::make_and(std::move(clauses));
}

Result<Predicate, FilterError> compile_filter_text(const SchemaRef& schema, std::string_view text) {
  auto doc = json::parse(text);
  if (!doc.ok()) return fail("bad filter: " + doc.error().text);
  return compile(schema, *doc, false);
}

// ---- Predicate equality and printing ----

bool operator==(const Predicate& a, const Predicate& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case PredKind::And:
    case PredKind::Or:
    case PredKind::Not: return a.children == b.children;
    case PredKind::True:
    case PredKind::False: return true;
    case PredKind::NumCmp:
      return a.col == b.col && a.op == b.op && std::bit_cast<uint64_t>(a.value) == std::bit_cast<uint64_t>(b.value);
    case PredKind::NumIn:
      return a.col == b.col && a.nums.size() == b.nums.size() &&
             std::equal(a.nums.begin(), a.nums.end(), b.nums.begin(),
                        [](double x, double y) { return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y); });
    case PredKind::StrEq:
    case PredKind::StrNe: return a.col == b.col && a.code == b.code;
    case PredKind::StrIn: return a.col == b.col && a.codes == b.codes;
    case PredKind::Exists: return a.col == b.col && a.is_num == b.is_num && a.want == b.want;
  }
  return false;
}

namespace {

void print(std::string& out, const Predicate& p) {
  static constexpr const char* kOps[] = {"Eq", "Ne", "Gt", "Gte", "Lt", "Lte"};
  auto list = [&](const char* name) {
    out += name;
    out += '(';
    for (size_t i = 0; i < p.children.size(); ++i) {
      if (i) out += ',';
      print(out, p.children[i]);
    }
    out += ')';
  };
  switch (p.kind) {
    case PredKind::And: list("And"); return;
    case PredKind::Or: list("Or"); return;
    case PredKind::Not: list("Not"); return;
    case PredKind::True: out += "True"; return;
    case PredKind::False: out += "False"; return;
    case PredKind::NumCmp:
      out += "NumCmp(" + std::to_string(p.col) + ' ' + kOps[static_cast<int>(p.op) % 6] + ' ';
      json::append_f64(out, p.value);
      out += ')';
      return;
    case PredKind::NumIn:
      out += "NumIn(" + std::to_string(p.col) + " [";
      for (size_t i = 0; i < p.nums.size(); ++i) {
        if (i) out += ',';
        json::append_f64(out, p.nums[i]);
      }
      out += "])";
      return;
    case PredKind::StrEq: out += "StrEq(" + std::to_string(p.col) + ' ' + std::to_string(p.code) + ')'; return;
    case PredKind::StrNe: out += "StrNe(" + std::to_string(p.col) + ' ' + std::to_string(p.code) + ')'; return;
    case PredKind::StrIn:
      out += "StrIn(" + std::to_string(p.col) + " [";
      for (size_t i = 0; i < p.codes.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(p.codes[i]);
      }
      out += "])";
      return;
    case PredKind::Exists:
      out += std::string("Exists(") + (p.is_num ? "num " : "str ") + std::to_string(p.col) +
             (p.want ? " true)" : " false)");
      return;
  }
}

}  // namespace

std::string to_string(const Predicate& p) {
  std::string s;
  print(s, p);
  return s;
}

}  // namespace ivf_rabitq::predicate
