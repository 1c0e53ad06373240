// The write-ahead log of an open segment: wal.bin in the segment directory holds one
// self-checking frame per logged add or delete since the last checkpoint.
//
// Frame, back to back from offset 0 (no file header, no trailer):
//   u32 magic 0x52425157 ("WQBR"), u32 payload length L, u32 CRC-32 of the payload, payload.
// Payload (the record encoding, little-endian, no padding):
//   Add    : u32 0, text id, f32 list vector, text metadata, list of (u32 term, f32 weight)
//   Delete : u32 1, text id
// with a text as u64 byte length + UTF-8 bytes and a list as u64 count + elements.
//
// Replay tells damage from a torn tail: a frame is good only when its magic, its length
// (inside the file) and its CRC all hold. Damage in the middle is skipped by searching
// forward one byte at a time for the next good frame; a tail without any later good frame
// is a torn last write and ends the replay silently.
//
// The pure byte-level parts (encoding, the frame test, payload decoding, the scan) take no
// index and are tested on their own; wal_write and the replay bind them to an IvfIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::index {
class IvfIndex;
}  // namespace ivf_rabitq::index

namespace ivf_rabitq::live {

inline constexpr uint32_t kWalMagic = 0x52425157u;  // bytes "WQBR"
inline constexpr size_t kWalHeader = 12;
// A payload must fit the u32 length field.
inline constexpr uint64_t kWalMaxPayload = 0xFFFFFFFFull;

// One logged operation. The record only borrows its texts and lists from the caller.
struct WalAdd {
  std::string_view id;
  std::span<const float> vector;
  std::string_view meta;  // compact JSON text ("null" for a row without metadata)
  std::span<const std::pair<uint32_t, float>> sparse;
};
struct WalDelete {
  std::string_view id;
};
using WalOp = std::variant<WalAdd, WalDelete>;

// Exact payload size: Add 36 + id + 4 x vector + meta + 8 x pairs, Delete 12 + id
// (computed in 64 bits; may exceed the frame limit).
uint64_t wal_payload_size(const WalOp& op);

// The whole frame of op in one buffer. A payload of 4 GiB or more cannot be framed (its
// length would not fit the u32 field): invalid-input error "add: ..." / "delete: ...".
Result<std::vector<uint8_t>> encode_wal_frame(const WalOp& op);

// The size 12 + L of the intact frame starting at pos, or none when no complete, intact
// frame starts there (short header, wrong magic, length past the end, CRC mismatch).
std::optional<size_t> wal_frame_ok_at(std::span<const uint8_t> bytes, size_t pos);

// A decoded payload (owning its data).
struct DecodedWalOp {
  enum class Kind : uint8_t { Add = 0, Delete = 1 };
  Kind kind = Kind::Add;
  std::string id;
  std::vector<float> vector;
  std::string meta;
  storage::SparsePairs sparse;
};
// Decodes one payload. Failure (too short, invalid UTF-8 in a text, a tag other than 0/1)
// gives the decoder's text. Bytes after a complete record are ignored.
Result<DecodedWalOp, std::string> decode_wal_payload(std::span<const uint8_t> payload);

// What the visitor of scan_wal made of one decoded operation.
enum class WalApply : uint8_t {
  Applied,  // applied (or ignored as harmless, such as a delete of an unknown id)
  Skipped,  // not applied: the frame counts as damage (wrong vector length, a non-finite
            // component, slot space)
};

struct WalScanResult {
  uint64_t end = 0;      // end of the last byte accounted for (start of a torn tail)
  bool damaged = false;  // a frame was skipped or bytes were searched past
  uint64_t applied = 0;  // frames the visitor applied
  bool operator==(const WalScanResult&) const = default;
};

// Walks a whole log image: every intact frame is decoded and handed to visit in file
// order; an undecodable payload is skipped as damage; bytes that are no frame are
// searched past to the next intact frame (damage) or, without one, end the scan at the
// start of that tail (no damage). Prints nothing.
WalScanResult scan_wal(std::span<const uint8_t> bytes, const std::function<WalApply(DecodedWalOp&)>& visit);

// The warning line replay prints after damage (without the newline), for directory dir.
std::string wal_damage_warning(const std::string& dir);

// ---- bound to an open index ----

// Appends one frame of op to dir/wal.bin (opening it in append mode on first use, created
// when missing with mode 0666 before umask; the directory is fsynced when this call created
// the file) and adds its size to wal_bytes. No sync. On a failed write the descriptor stays
// open and wal_bytes is unchanged. Callers hold the index's checkpoint_mutex.
Status wal_write(index::IvfIndex& ix, const WalOp& op);

}  // namespace ivf_rabitq::live
