// Per-id row lookups of an open segment: whether an id has a live row, the row's vector as
// its dequantised int8 copy, and the row's sparse terms.
//
// Each call takes the id-map, tombstone and delta read locks (plain mode) in that order,
// holds them for the whole batch and releases them in reverse order, so one batch is
// answered from one state of the segment. One answer per id, in request order; an unknown
// or tombstoned id answers false or an empty list. Reads are bounds-checked against the
// mapped files and the delta's buffers; a row whose bytes lie outside them answers as if
// it had none. None of them can fail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::segment {

// Ids from which get_sparse inverts every main posting instead of keeping only the rows
// asked for.
inline constexpr size_t kSparseInvertAllIds = 64;

std::vector<bool> has_ids(const index::IvfIndex& ix, std::span<const std::string> ids);

// dim floats per live row: ((f32(code) - 128) / 127) x scale in f32, the scale being the
// row's own power of two (origscale.bin record, or a delta row's exponent byte other than 0)
// or the manifest's quant_scale.
std::vector<std::vector<float>> get_vectors(const index::IvfIndex& ix, std::span<const std::string> ids);

// (term, weight) pairs per live row: a main row's postings in the walk order of the term
// index, a delta row's terms in the order they were added.
std::vector<storage::SparsePairs> get_sparse(const index::IvfIndex& ix, std::span<const std::string> ids);

// Per-slot lists of get_sparse and the per-posting step that fills them: appends (term,
// weight) to the list of `slot` when `wanted` holds it (null: every slot is wanted).
using SlotTerms = std::unordered_map<uint32_t, storage::SparsePairs, storage::IntHasher>;
void sparse_posting_step(SlotTerms& out, const std::unordered_set<uint32_t>* wanted, uint32_t term, uint32_t slot,
                         float weight);

}  // namespace ivf_rabitq::segment
