#include "ivf_rabitq/storage/column_streams.hpp"

#include <algorithm>

#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::storage {

namespace {

// Calls f(stream, file name) for every stream of `s`, in the order of open; stops at the
// first failure.
template <class Streams, class F>
Status for_each_stream(Streams& s, F&& f) {
  TANDREL_TRY(f(s.codes, kCodesFile));
  TANDREL_TRY(f(s.metas, kMetasFile));
  TANDREL_TRY(f(s.orig, kOrigFile));
  if (s.set.origscale) TANDREL_TRY(f(s.origscale, kOrigScaleFile));
  TANDREL_TRY(f(s.meta.file, kMetaFile));
  if (s.set.ids) TANDREL_TRY(f(s.ids.file, kIdsFile));
  for (size_t i = 0; i < s.set.num; ++i) TANDREL_TRY(f(s.num[i], num_column_file(i)));
  for (size_t j = 0; j < s.set.str; ++j) TANDREL_TRY(f(s.str[j], str_column_file(j)));
  return {};
}

}  // namespace

std::vector<uint8_t> TextStream::take_offsets_file() {
  std::vector<uint8_t> bytes = encode_offsets(offsets);
  offsets = {};
  return bytes;
}

Result<ColumnStreams> ColumnStreams::open(const SegmentWriter& writer, const ColumnSet& set) {
  ColumnStreams s;
  s.set = set;
  s.num.resize(set.num);
  s.str.resize(set.str);
  TANDREL_TRY(for_each_stream(s, [&](StreamFile& f, const std::string& name) -> Status {
    TANDREL_ASSIGN(f, writer.stream(name));
    return {};
  }));
  return s;
}

Status ColumnStreams::finish() {
  return for_each_stream(*this, [](StreamFile& f, const std::string&) { return f.finish(); });
}

Status ColumnStreams::record_checksums(SegmentWriter& writer, std::span<const std::string_view> leading) const {
  for (std::string_view name : leading) TANDREL_TRY(writer.record_crc_from_disk(std::string(name)));
  return for_each_stream(*this, [&](const StreamFile&, const std::string& name) -> Status {
    if (std::find(leading.begin(), leading.end(), name) != leading.end()) return {};
    return writer.record_crc_from_disk(name);
  });
}

}  // namespace ivf_rabitq::storage
