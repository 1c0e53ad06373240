// The names of the files in a segment directory. Every engine path that creates, opens,
// checks or removes one of them names it through these constants, so a file is spelled once.
// The names are part of the stored format (crcs.bin records them) and of error texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ivf_rabitq::storage {

// Row data, one record per slot.
inline constexpr char kCodesFile[] = "codes.bin";          // binary codes, n_bits planes per row
inline constexpr char kMetasFile[] = "metas.bin";          // four row factors per row
inline constexpr char kOrigFile[] = "orig.bin";            // int8 rerank codes
inline constexpr char kOrigScaleFile[] = "origscale.bin";  // (energy, exponent) per row
// Typed metadata columns: num_{i}.bin and str_{j}.bin, numbered per kind in schema order.
inline constexpr std::string_view kNumColumnPrefix = "num_";
inline constexpr std::string_view kStrColumnPrefix = "str_";
// Metadata texts and ids: concatenated bytes and their n + 1 offsets.
inline constexpr char kMetaFile[] = "meta.bin";
inline constexpr char kMetaOffFile[] = "meta_off.bin";
inline constexpr char kIdsFile[] = "ids.bin";
inline constexpr char kIdsOffFile[] = "ids_off.bin";
inline constexpr char kIdHashFile[] = "idhash.bin";  // (hash, slot) records sorted by hash
inline constexpr char kSparseFile[] = "sparse.bin";  // postings per term
// The closing files, written last in this order (manifest.bin makes the directory a segment).
inline constexpr char kCrcsFile[] = "crcs.bin";
inline constexpr char kFormatFile[] = "format.bin";
inline constexpr char kGenerationFile[] = "generation";
inline constexpr char kManifestFile[] = "manifest.bin";
// The live files beside a segment: the log, a damaged log set aside, the checkpointed delta
// rows and tombstones.
inline constexpr char kWalFile[] = "wal.bin";
inline constexpr char kWalCorruptFile[] = "wal.corrupt.bin";
inline constexpr char kDeltaFile[] = "delta.bin";
inline constexpr char kDeletedFile[] = "deleted.bin";

// num_{i}.bin: numeric column i.
inline std::string num_column_file(size_t i) { return std::string(kNumColumnPrefix) + std::to_string(i) + ".bin"; }
// str_{j}.bin: string (dictionary code) column j.
inline std::string str_column_file(size_t j) { return std::string(kStrColumnPrefix) + std::to_string(j) + ".bin"; }

}  // namespace ivf_rabitq::storage
