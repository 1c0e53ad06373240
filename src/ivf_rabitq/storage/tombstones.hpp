// The tombstone set of a segment: u32 slots of deleted or superseded rows, held in a
// Roaring bitmap, and its `deleted.bin` body in the standard Roaring portable
// serialisation.
//
// The set never holds run containers in memory (nothing here creates them: no range
// insertion, no run optimisation), and the writer produces the no-run form byte for
// byte from the values themselves, so the bytes never depend on how the library
// happens to lay out its containers. The reader accepts both the no-run form (cookie
// 12346) and the form with run containers (cookie 12347), validates every count,
// offset, key, value and cardinality against the input before trusting it, and expands
// run containers into plain values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ivf_rabitq/common/error.hpp"

struct roaring_bitmap_s;

namespace ivf_rabitq::storage {

class Tombstones {
 public:
  Tombstones() noexcept = default;
  Tombstones(const Tombstones& other);
  Tombstones& operator=(const Tombstones& other);
  Tombstones(Tombstones&& other) noexcept = default;  // leaves `other` empty
  Tombstones& operator=(Tombstones&& other) noexcept = default;
  ~Tombstones() = default;

  // Builds a set from slots in any order (duplicates allowed).
  static Tombstones from_slots(std::span<const uint32_t> slots);

  // Adds a slot; true when it was not in the set before.
  bool insert(uint32_t slot);
  bool contains(uint32_t slot) const noexcept;
  uint64_t cardinality() const noexcept;
  bool empty() const noexcept;
  // The largest slot; none for the empty set.
  std::optional<uint32_t> maximum() const noexcept;
  // True when every slot of this set is in `other`.
  bool is_subset_of(const Tombstones& other) const noexcept;
  // Removes every slot in [begin, end); end may be 2^32. Empty or reversed ranges do nothing.
  void remove_range(uint64_t begin, uint64_t end);
  // Adds every slot of `other`.
  void union_with(const Tombstones& other);
  void clear() noexcept;
  // All slots ascending.
  std::vector<uint32_t> to_vector() const;

  bool operator==(const Tombstones& other) const noexcept;

  // Forward cursor over the slots in ascending order. Invalidated by any change to the
  // set it walks.
  class Cursor {
   public:
    bool valid() const noexcept { return has_value_; }
    uint32_t value() const noexcept { return value_; }
    void next() noexcept;
    // Moves to the first slot >= x (x may lie behind the current position); returns valid().
    bool seek(uint32_t x) noexcept;
    // Copies up to out.size() slots from the current position on and moves past them;
    // returns the number copied (fewer only at the end).
    size_t read(std::span<uint32_t> out) noexcept;

   private:
    friend class Tombstones;
    explicit Cursor(const roaring_bitmap_s* bm) noexcept;
    void sync() noexcept;
    // Storage for the library's iterator (kept opaque to keep its header out of ours).
    alignas(8) unsigned char it_[64];
    const roaring_bitmap_s* bm_;
    uint32_t value_ = 0;
    bool has_value_ = false;
  };
  // A cursor at the first slot >= from.
  Cursor cursor(uint32_t from = 0) const noexcept;

  // The `deleted.bin` body: the portable serialisation without run containers.
  std::vector<uint8_t> serialize() const;
  size_t serialized_size() const;
  // Reads a portable serialisation (with or without run containers). Errors are
  // invalid-data errors whose text says what is wrong; trailing bytes after the
  // bitmap are ignored, as every portable reader does.
  static Result<Tombstones> deserialize(std::span<const uint8_t> body);

 private:
  struct Free {
    void operator()(roaring_bitmap_s* bm) const noexcept;
  };
  roaring_bitmap_s* mut();  // allocates on first change
  std::unique_ptr<roaring_bitmap_s, Free> bm_;  // null: empty set
};

}  // namespace ivf_rabitq::storage
