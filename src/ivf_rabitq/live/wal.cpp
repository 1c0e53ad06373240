// Write-ahead log: frame encoding, the frame test, payload decoding, the scan of a log
// image, and the append of one frame to an open index's wal.bin.
#include "ivf_rabitq/live/wal.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::live {

using index::IvfIndex;

namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

// The payload, written through the record writer (which appends to its own buffer).
template <bool M>
void put_payload(storage::BasicWriter<M>& w, const WalOp& op) {
  std::visit(Overload{[&](const WalAdd& a) {
                        w.variant_index(0);
                        w.text(a.id);
                        w.plain_list(a.vector);
                        w.text(a.meta);
                        w.count(a.sparse.size());
                        for (const auto& [t, wt] : a.sparse) {
                          w.u32(t);
                          w.f32(wt);
                        }
                      },
                      [&](const WalDelete& d) {
                        w.variant_index(1);
                        w.text(d.id);
                      }},
             op);
}

}  // namespace

uint64_t wal_payload_size(const WalOp& op) {
  return std::visit(Overload{[](const WalAdd& a) -> uint64_t {
                               return 36 + static_cast<uint64_t>(a.id.size()) + 4 * static_cast<uint64_t>(a.vector.size()) +
                                      static_cast<uint64_t>(a.meta.size()) + 8 * static_cast<uint64_t>(a.sparse.size());
                             },
                             [](const WalDelete& d) -> uint64_t { return 12 + static_cast<uint64_t>(d.id.size()); }},
                    op);
}

Result<std::vector<uint8_t>> encode_wal_frame(const WalOp& op) {
  const uint64_t L = wal_payload_size(op);
  if (L > kWalMaxPayload) {
    const char* what = std::holds_alternative<WalAdd>(op) ? "add: " : "delete: ";
    return invalid_input(std::string(what) + "log record of " + std::to_string(L) +
                         " bytes exceeds the largest write-ahead-log frame payload (" + std::to_string(kWalMaxPayload) +
                         " bytes)");
  }
  storage::Writer w(static_cast<size_t>(kWalHeader + L));
  w.u32(kWalMagic);
  w.u32(static_cast<uint32_t>(L));
  w.u32(0);  // CRC, patched below
  put_payload(w, op);
  std::vector<uint8_t> frame = w.take();
  storage::store_u32(frame.data() + 8, storage::crc32(frame.data() + kWalHeader, frame.size() - kWalHeader));
  return frame;
}

std::optional<size_t> wal_frame_ok_at(std::span<const uint8_t> bytes, size_t pos) {
  const size_t n = bytes.size();
  if (pos > n || n - pos < kWalHeader) return std::nullopt;
  const uint8_t* p = bytes.data() + pos;
  if (storage::load_u32(p) != kWalMagic) return std::nullopt;
  const uint64_t L = storage::load_u32(p + 4);
  if (L > n - pos - kWalHeader) return std::nullopt;
  if (storage::crc32(p + kWalHeader, static_cast<size_t>(L)) != storage::load_u32(p + 8)) return std::nullopt;
  return static_cast<size_t>(kWalHeader + L);
}

Result<DecodedWalOp, std::string> decode_wal_payload(std::span<const uint8_t> payload) {
  storage::Reader r(payload);
  DecodedWalOp op;
  uint32_t tag = 0;
  if (!r.variant_index(tag, 2)) return r.error();
  op.kind = static_cast<DecodedWalOp::Kind>(tag);
  if (!r.text(op.id)) return r.error();
  if (tag == 0) {
    if (!r.plain_list(op.vector) || !r.text(op.meta) || !storage::get_sparse_pairs(r, op.sparse)) return r.error();
  }
  return op;
}

WalScanResult scan_wal(std::span<const uint8_t> bytes, const std::function<WalApply(DecodedWalOp&)>& visit) {
  WalScanResult res;
  const size_t n = bytes.size();
  size_t pos = 0;
  while (pos < n) {
    std::optional<size_t> size = wal_frame_ok_at(bytes, pos);
    if (!size) {
      // Search forward for the next intact frame.
      size_t q = pos + 1;
      for (; n >= kWalHeader && q <= n - kWalHeader; ++q) {
        size = wal_frame_ok_at(bytes, q);
        if (size) break;
      }
      if (!size) break;  // a torn tail: stop at its start
      res.damaged = true;
      pos = q;
    }
    const size_t next = pos + *size;
    auto op = decode_wal_payload(bytes.subspan(pos + kWalHeader, *size - kWalHeader));
    if (!op.ok()) {
      res.damaged = true;
    } else if (visit(op.value()) == WalApply::Applied) {
      ++res.applied;
    } else {
      res.damaged = true;
    }
    pos = next;
  }
  res.end = pos;
  return res;
}

std::string wal_damage_warning(const std::string& dir) {
  return "Tandrel: wal.bin at " + storage::quoted_path(dir) +
         " had a corrupt/torn record mid-file \u2014 recovered by resyncing past it (one op may be lost); a "
         "checkpoint will quarantine the raw WAL and rewrite it clean";
}

namespace {

// Opens dir/wal.bin for appending. When the file is empty at that moment (this call created
// it, or an earlier creation's directory sync failed) the directory is fsynced, so an
// acknowledged operation cannot vanish with the file's directory entry.
Result<int> open_wal_for_append(const std::string& dir) {
  const std::string path = storage::join_path(dir, storage::kWalFile);
  int fd = fileops::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (fd < 0) return IoError::last_os();
  fileops::Fd guard(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  if (st.st_size == 0) TANDREL_TRY(storage::sync_parent_dir(path));
  return guard.release();
}

}  // namespace

Status wal_write(IvfIndex& ix, const WalOp& op) {
  TANDREL_ASSIGN(const std::vector<uint8_t> frame, encode_wal_frame(op));
  auto w = ix.locks().wal.lock();
  if (!w->valid()) {
    TANDREL_ASSIGN(const int fd, open_wal_for_append(ix.dir));
    w->reset(fd);
  }
  TANDREL_TRY(fileops::write_all(w->get(), frame.data(), frame.size()));
  ix.wal_bytes.fetch_add(frame.size());
  return {};
}

}  // namespace ivf_rabitq::live
