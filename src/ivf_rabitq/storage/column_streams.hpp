// The column files of a segment written row by row in slot order: codes.bin, metas.bin,
// orig.bin, origscale.bin, meta.bin, ids.bin, num_{i}.bin and str_{j}.bin. The writers that
// stream a whole segment (compaction, merge) open them together, append each row's records,
// finish them together (every stream written out and fsynced) and record each file's CRC-32,
// read back from disk, into the segment writer's table. The offsets files of the text
// columns (meta_off.bin, ids_off.bin) and the closing files stay with the caller and
// SegmentWriter.
//
// crcs.bin lists the writer's checksum table in the order of its hash table, which follows
// the order the checksums were recorded; record_checksums therefore lets a writer keep the
// order it has always used, so that its crcs.bin stays the same byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"

namespace ivf_rabitq::storage {

// Which column files a segment streams. codes.bin, metas.bin, orig.bin and meta.bin are
// always streamed.
struct ColumnSet {
  bool origscale = true;  // origscale.bin (segments that store per-row exponents)
  bool ids = false;       // ids.bin (else the caller writes it whole)
  size_t num = 0;         // num_0.bin ... num_{num-1}.bin
  size_t str = 0;         // str_0.bin ... str_{str-1}.bin
};

// A text column: the texts of the rows concatenated in one streamed file, with the n + 1
// offsets kept in memory for the column's offsets file.
struct TextStream {
  StreamFile file;
  std::vector<uint64_t> offsets{0};

  Status append(std::string_view text) {
    TANDREL_TRY(file.append(text.data(), text.size()));
    offsets.push_back(offsets.back() + text.size());
    return {};
  }
  // The bytes of the offsets file; the offsets are released.
  std::vector<uint8_t> take_offsets_file();
};

struct ColumnStreams {
  ColumnSet set;
  StreamFile codes, metas, orig, origscale;
  TextStream meta, ids;
  std::vector<StreamFile> num, str;

  // Creates the files of `set` in the writer's directory, in the order codes, metas, orig,
  // origscale, meta, ids, num_*, str_*. The first failure is returned.
  static Result<ColumnStreams> open(const SegmentWriter& writer, const ColumnSet& set);

  // Writes out and fsyncs every stream, in the order of open. The first failure is returned.
  Status finish();

  // Records the CRC-32 of each file as it is on disk into the writer's table: the files named
  // in `leading` first, in that order (they need not be streamed ones), then every streamed
  // file not among them, in the order of open. The first failure is returned.
  Status record_checksums(SegmentWriter& writer, std::span<const std::string_view> leading = {}) const;
};

}  // namespace ivf_rabitq::storage
