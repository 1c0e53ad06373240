#include "tdql_fuse/pool.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace tdql_fuse {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kNoClause = std::numeric_limits<size_t>::max();

// IEEE total order on non-NaN doubles: -0.0 sorts before +0.0.
bool total_less(double a, double b) {
  if (a < b) return true;
  if (a > b) return false;
  return std::signbit(a) && !std::signbit(b);
}

}  // namespace

Pool::Pool(const std::vector<Clause>& clauses, std::vector<double> divs, const std::unordered_set<std::string>& ban,
           const std::optional<Gates>& gates, bool has_should)
    : divs_(std::move(divs)) {
  const size_t n_cols = divs_.size();
  size_t total_hits = 0;
  for (const Clause& cl : clauses) total_hits += cl.hits.size();
  index_.reserve(total_hits);

  // Rows, in order of first appearance.
  for (size_t i = 0; i < clauses.size(); ++i) {
    const auto& hits = clauses[i].hits;
    for (size_t h = 0; h < hits.size(); ++h) {
      auto [it, added] = index_.try_emplace(std::string_view(hits[h].id), ids_.size());
      if (added) {
        ids_.push_back(it->first);
        first_.emplace_back(i, h);
      }
    }
  }
  const size_t n_rows = ids_.size();
  size_t cells = 0;
  if (__builtin_mul_overflow(n_cols, n_rows, &cells)) throw std::bad_alloc();
  dist_.assign(cells, kNaN);
  weight_.assign(cells, 0.0);
  matched_.assign(cells, 0);
  filled_.assign(cells, 0);
  dropped_.assign(n_rows, 0);
  worst_.assign(n_cols, std::nullopt);

  // Gate counters: a required hit per cell, and per row the number of distinct
  // non-required clauses that returned it.
  std::vector<uint8_t> required_hit;
  std::vector<uint64_t> should_count;
  std::vector<size_t> last_should;
  if (gates) {
    required_hit.assign(cells, 0);
    should_count.assign(n_rows, 0);
    last_should.assign(n_rows, kNoClause);
  }

  // Cells and worst hits.
  for (size_t i = 0; i < clauses.size(); ++i) {
    const Clause& cl = clauses[i];
    if (cl.hits.empty()) continue;
    const size_t c = cl.column;
    std::optional<double> largest;
    for (const Hit& hit : cl.hits) {
      const size_t r = index_.find(std::string_view(hit.id))->second;
      const size_t at = cell(c, r);
      const double x = hit.dist / divs_[c];
      if (!matched_[at] || dist_[at] > x) {
        dist_[at] = x;
        weight_[at] = cl.weight;
      }
      matched_[at] = 1;
      if (gates) {
        if (cl.required) {
          required_hit[at] = 1;
        } else if (last_should[r] != i) {
          last_should[r] = i;
          ++should_count[r];
        }
      }
      if (!std::isnan(x) && (!largest || x > *largest)) largest = x;
    }
    if (largest && (!worst_[c] || worst_[c]->dist < *largest)) worst_[c] = Worst{cl.weight, *largest};
  }

  // Ban: banned rows stay in the pool, but are never filled nor returned.
  if (n_rows > 0 && !ban.empty()) {
    for (size_t r = 0; r < n_rows; ++r) {
      if (ban.count(std::string(ids_[r]))) dropped_[r] = 1;
    }
  }

  // Gates.
  if (gates && n_rows > 0) {
    for (size_t r = 0; r < n_rows; ++r) {
      size_t req = 0;
      for (size_t c = 0; c < n_cols; ++c) req += required_hit[cell(c, r)];
      if (gates->required_all > req) {
        dropped_[r] = 1;
      } else if (gates->minimum_required_match && static_cast<int64_t>(req) < *gates->minimum_required_match) {
        dropped_[r] = 1;
      } else if (has_should && gates->minimum_should_match != 0 &&
                 static_cast<int64_t>(should_count[r]) < gates->minimum_should_match) {
        dropped_[r] = 1;
      }
    }
  }
}

std::vector<std::pair<size_t, std::vector<size_t>>> Pool::missing() const {
  std::vector<std::pair<size_t, std::vector<size_t>>> out;
  for (size_t c = 0; c < n_cols(); ++c) {
    if (!worst_[c]) continue;
    std::vector<size_t> rows;
    for (size_t r = 0; r < n_rows(); ++r) {
      if (!matched_[cell(c, r)] && !dropped_[r]) rows.push_back(r);
    }
    if (!rows.empty()) out.emplace_back(c, std::move(rows));
  }
  return out;
}

void Pool::fill(size_t c, const std::vector<size_t>& rows,
                const std::vector<std::pair<double, std::vector<double>>>& per_query) {
  if (per_query.empty()) return;
  const Worst w = *worst_[c];
  for (size_t i = 0; i < rows.size(); ++i) {
    double best = per_query[0].second[i];
    double best_w = per_query[0].first;
    for (size_t j = 1; j < per_query.size(); ++j) {
      const double d = per_query[j].second[i];
      if (std::isnan(best) || best > d) {
        best = d;
        best_w = per_query[j].first;
      }
    }
    const size_t at = cell(c, rows[i]);
    const double x = best / divs_[c];
    if (std::isnan(x)) {
      dist_[at] = w.dist;
      weight_[at] = w.weight;
    } else {
      dist_[at] = x;
      weight_[at] = best_w;
    }
    filled_[at] = 1;
  }
}

Pool::Scored Pool::score(const std::vector<Prefer>& prefer, std::optional<size_t> top) const {
  const size_t n_rows = this->n_rows();
  const size_t n_cols = this->n_cols();
  Scored out;
  out.scores.assign(n_rows, kNaN);
  if (n_cols > 0) {
    for (size_t r = 0; r < n_rows; ++r) {
      double m_w = 0.0, m_wd = 0.0, f_w = 0.0, f_wd = 0.0;
      uint64_t m_n = 0, f_n = 0;
      for (size_t c = 0; c < n_cols; ++c) {
        const size_t at = cell(c, r);
        if (matched_[at]) {
          m_w += weight_[at];
          m_wd += weight_[at] * dist_[at];
          ++m_n;
        } else if (filled_[at]) {
          f_w += weight_[at];
          f_wd += weight_[at] * dist_[at];
          ++f_n;
        }
      }
      const double w = f_w + m_w;
      if (w != 0.0) {
        out.scores[r] = (f_wd + m_wd) / w;
      } else {
        double m_sum = 0.0, f_sum = 0.0;
        for (size_t c = 0; c < n_cols; ++c) {
          const size_t at = cell(c, r);
          if (matched_[at]) m_sum += dist_[at];
          else if (filled_[at]) f_sum += dist_[at];
        }
        out.scores[r] = (f_sum + m_sum) / static_cast<double>(m_n + f_n);
      }
    }
  }

  for (const Prefer& p : prefer) {
    if (p.hits.empty() || n_rows == 0) continue;
    double lo = p.hits[0].dist / p.divisor;
    double hi = lo;
    for (size_t h = 1; h < p.hits.size(); ++h) {
      const double x = p.hits[h].dist / p.divisor;
      if (x < lo) lo = x;
      if (x > hi) hi = x;
    }
    double span = hi - lo;
    if (span == 0.0) span = 1.0;
    for (const Hit& hit : p.hits) {
      auto it = index_.find(std::string_view(hit.id));
      if (it == index_.end()) continue;
      double x = hit.dist / p.divisor;
      if (x < 0.0) x = 0.0;
      const double t = 1.0 - (x - lo) / span;
      if (t > 0.5) out.scores[it->second] = (1.0 - t * p.factor) * out.scores[it->second];
    }
  }

  std::vector<size_t> cand;
  for (size_t r = 0; r < n_rows; ++r) {
    if (!dropped_[r]) cand.push_back(r);
  }
  bool any_nan = false;
  for (size_t r : cand) any_nan = any_nan || std::isnan(out.scores[r]);
  if (top && *top >= 1 && cand.size() > *top && !any_nan) {
    std::vector<double> s;
    s.reserve(cand.size());
    for (size_t r : cand) s.push_back(out.scores[r]);
    const size_t k = *top - 1;
    std::nth_element(s.begin(), s.begin() + static_cast<ptrdiff_t>(k), s.end(), total_less);
    const double threshold = s[k];
    size_t kept = 0;
    for (size_t r : cand) {
      if (out.scores[r] <= threshold) cand[kept++] = r;
    }
    cand.resize(kept);
  }
  out.rows = std::move(cand);
  return out;
}

}  // namespace tdql_fuse
