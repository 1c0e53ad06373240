// Read-only shared memory maps of segment data files, viewed as arrays of one element type,
// and the process-wide residency switches of the hot files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq::storage {

// How a file will be read. Plain: nothing special. Random: MADV_RANDOM over the mapping (the
// int8 rerank files). Hot: pre-faulted (MAP_POPULATE + MADV_WILLNEED) when PREWARM is on and
// locked (mlock) when MLOCK is on: a file every search scans in place. (The open maps
// codes.bin, and metas.bin where the scan copies its factors, plainly: the scan reads its own
// copy of them, which takes the residency instead; see IvfIndex::scan_codes.)
enum class Residency : uint8_t { Plain = 0, Random = 1, Hot = 2 };

// Residency switches: 0 = not yet decided, 1 = off, 2 = on. Decided from TANDREL_PREWARM /
// TANDREL_MLOCK on first use by a hot map; set_residency overwrites them.
inline std::atomic<uint8_t> PREWARM{0};
inline std::atomic<uint8_t> MLOCK{0};

// Whether an environment value turns a switch on: unset, empty after trimming whitespace, "0",
// or (ignoring ASCII case) "no", "off", "false" is off; anything else is on.
bool residency_value_on(std::optional<std::string_view> value);
// Reads a switch, deciding it from the environment variable `name` while it is 0.
bool residency_flag(const char* name, std::atomic<uint8_t>& sw);
// Sets both switches (affects maps opened afterwards only).
void set_residency(bool prewarm, bool mlock);

// What the switches ask of the data a search scans: pre-faulted, locked in memory.
struct HotPolicy {
  bool prewarm = false;
  bool mlock = false;
};
// Reads both switches (deciding each from its environment variable while it is 0).
HotPolicy hot_policy();

// One read-only shared mapping of a whole file; unmapped when dropped. Move-only.
class MmapRegion {
 public:
  MmapRegion() = default;
  MmapRegion(MmapRegion&& o) noexcept : addr_(o.addr_), len_(o.len_), locked_(o.locked_) {
    o.addr_ = nullptr;
    o.len_ = 0;
    o.locked_ = false;
  }
  MmapRegion& operator=(MmapRegion&& o) noexcept;
  MmapRegion(const MmapRegion&) = delete;
  MmapRegion& operator=(const MmapRegion&) = delete;
  ~MmapRegion() { reset(); }

  // Opens and maps `path` with the given residency; an empty file gives an empty region. Only
  // a regular file is mapped: a directory is EISDIR, a FIFO or device "not a regular file".
  // A hot map reads (and decides) both switches before it maps.
  static Result<MmapRegion> open_with(const std::string& path, Residency mode);
  // The same as a hot map under `policy` instead of the switches.
  static Result<MmapRegion> open_hot(const std::string& path, HotPolicy policy);

  // Makes the mapping resident as a hot map under `policy` is (pre-faulted when prewarm,
  // locked when mlock), for a mapping opened plainly. Failures are ignored.
  void make_hot(HotPolicy policy) const;
  // Drops this process's page-table entries for the pages overlapping bytes [offset, offset +
  // len) (unlocking them first when the mapping was locked). The file's data stays in the page
  // cache and any later read
  // faults the pages back in: safe while other threads read the mapping.
  void release(size_t offset, size_t len) const;

  const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }
  size_t size() const { return len_; }
  std::span<const uint8_t> bytes() const { return {data(), len_}; }
  void reset();

 private:
  static Result<MmapRegion> map_file(const std::string& path, bool populate);

  void* addr_ = nullptr;
  size_t len_ = 0;
  // Whether an mlock of the mapping was asked for: release need not unlock otherwise (an
  // munlock takes the process's address-space lock even when nothing is locked).
  mutable bool locked_ = false;
};

// A mapping viewed as an array of T; the element count is the byte length divided by
// sizeof(T) (the open's size checks make lengths exact).
template <class T>
class TypedMmap {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  TypedMmap() = default;
  static Result<TypedMmap> open_with(const std::string& path, Residency mode) {
    auto r = MmapRegion::open_with(path, mode);
    if (!r.ok()) return std::move(r).error();
    TypedMmap m;
    m.region_ = std::move(r).value();
    return m;
  }
  static Result<TypedMmap> open_with(const std::string& path, uint8_t mode) {
    return open_with(path, static_cast<Residency>(mode > 2 ? 0 : mode));
  }
  static Result<TypedMmap> open_hot(const std::string& path, HotPolicy policy) {
    auto r = MmapRegion::open_hot(path, policy);
    if (!r.ok()) return std::move(r).error();
    TypedMmap m;
    m.region_ = std::move(r).value();
    return m;
  }

  std::span<const T> view() const {
    return {reinterpret_cast<const T*>(region_.data()), region_.size() / sizeof(T)};
  }
  size_t len() const { return region_.size() / sizeof(T); }
  bool empty() const { return len() == 0; }
  const T& operator[](size_t i) const { return view()[i]; }
  size_t byte_len() const { return region_.size(); }
  std::span<const uint8_t> bytes() const { return region_.bytes(); }
  void make_hot(HotPolicy policy) const { region_.make_hot(policy); }
  // Releases the pages of elements [first, first + count) (see MmapRegion::release).
  void release(size_t first, size_t count) const { region_.release(first * sizeof(T), count * sizeof(T)); }
  void release_all() const { region_.release(0, region_.size()); }

 private:
  MmapRegion region_;
};

}  // namespace ivf_rabitq::storage
