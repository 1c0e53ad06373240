// Locks of an open index: a reader-writer lock with two read modes, a plain mutex, both
// ranked for the debug-build lock-order check (lock_order.hpp), and value wrappers whose
// RAII guards are the only way to reach the protected value.
//
// Read modes of RawRwLock:
//   - plain read (lock_shared): waits while a writer holds the lock or while a writer is
//     waiting. Writers therefore never starve under a stream of plain readers.
//   - recursive read (lock_shared_recursive): waits while a writer holds the lock; while
//     a writer only waits it is admitted when the calling thread already holds a read
//     lock of this lock, so a thread can take it again without deadlocking behind a
//     queued writer. A thread that holds no read of it yet queues like a plain reader:
//     admitting it because *other* threads hold reads would let overlapping readers (a
//     stream of searches) overtake a waiting writer forever.
// Write mode (lock) waits until no reader and no writer holds the lock.
//
// Each thread keeps a record of the read locks it holds (both modes) for that test. A
// guard is therefore released on the thread that took it (the debug lock-order record is
// per thread too); pool workers read through the caller's guard and take no lock.
//
// RawRwLock models the standard SharedMutex requirements, so std::unique_lock and
// std::shared_lock work with it; RwLock<T> wraps a value and hands out guards:
//
//   RwLock<Tombstones> tombstones{LockRank::Tombstones, this};
//   { auto t = tombstones.read_recursive(); if (t->contains(slot)) ... }
//   { auto t = tombstones.write(); t->insert(slot); }
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ivf_rabitq/index/lock_order.hpp"

namespace ivf_rabitq::index {

namespace rwlock_detail {

// The read locks the calling thread holds, with their depth (a thread holds few at once).
// Releasing a read this thread does not hold (a guard moved to another thread) is ignored.
class ThreadReads {
 public:
  bool holds(const void* lock) const noexcept {
    return std::any_of(held_.begin(), held_.end(), [&](const Entry& e) { return e.lock == lock; });
  }
  void add(const void* lock) {
    for (Entry& e : held_) {
      if (e.lock == lock) {
        ++e.depth;
        return;
      }
    }
    held_.push_back({lock, 1});
  }
  void remove(const void* lock) noexcept {
    for (Entry& e : held_) {
      if (e.lock == lock) {
        if (--e.depth == 0) {
          e = held_.back();
          held_.pop_back();
        }
        return;
      }
    }
  }

 private:
  struct Entry {
    const void* lock;
    uint32_t depth;
  };
  std::vector<Entry> held_;  // keeps its capacity: no allocation in steady state
};

inline ThreadReads& thread_reads() {
  thread_local ThreadReads reads;
  return reads;
}

}  // namespace rwlock_detail

class RawRwLock {
 public:
  explicit RawRwLock(LockRank rank = LockRank::Untracked, const void* domain = nullptr) noexcept
      : rank_(rank), domain_(domain) {}
  RawRwLock(const RawRwLock&) = delete;
  RawRwLock& operator=(const RawRwLock&) = delete;

  // Write mode.
  void lock() {
    note_acquire(LockMode::Exclusive, true);
    std::unique_lock<std::mutex> g(m_);
    ++writers_waiting_;
    writer_cv_.wait(g, [&] { return !writer_ && readers_ == 0; });
    --writers_waiting_;
    writer_ = true;
  }
  bool try_lock() {
    {
      std::lock_guard<std::mutex> g(m_);
      if (writer_ || readers_ != 0) return false;
      writer_ = true;
    }
    note_acquire(LockMode::Exclusive, false);
    return true;
  }
  void unlock() {
    note_release();
    std::lock_guard<std::mutex> g(m_);
    writer_ = false;
    if (writers_waiting_ != 0) {
      writer_cv_.notify_one();
    } else {
      reader_cv_.notify_all();
    }
  }

  // Plain read mode.
  void lock_shared() {
    note_acquire(LockMode::Shared, true);
    auto& reads = rwlock_detail::thread_reads();
    {
      std::unique_lock<std::mutex> g(m_);
      reader_cv_.wait(g, [&] { return plain_reader_admitted(); });
      ++readers_;
    }
    reads.add(this);
  }
  bool try_lock_shared() {
    auto& reads = rwlock_detail::thread_reads();
    {
      std::lock_guard<std::mutex> g(m_);
      if (!plain_reader_admitted()) return false;
      ++readers_;
    }
    reads.add(this);
    note_acquire(LockMode::Shared, false);
    return true;
  }

  // Recursive read mode.
  void lock_shared_recursive() {
    note_acquire(LockMode::SharedRecursive, true);
    auto& reads = rwlock_detail::thread_reads();
    const bool nested = reads.holds(this);
    {
      std::unique_lock<std::mutex> g(m_);
      reader_cv_.wait(g, [&] { return recursive_reader_admitted(nested); });
      ++readers_;
    }
    reads.add(this);
  }
  bool try_lock_shared_recursive() {
    auto& reads = rwlock_detail::thread_reads();
    const bool nested = reads.holds(this);
    {
      std::lock_guard<std::mutex> g(m_);
      if (!recursive_reader_admitted(nested)) return false;
      ++readers_;
    }
    reads.add(this);
    note_acquire(LockMode::SharedRecursive, false);
    return true;
  }

  // Releases either read mode.
  void unlock_shared() {
    note_release();
    rwlock_detail::thread_reads().remove(this);
    std::lock_guard<std::mutex> g(m_);
    --readers_;
    if (readers_ == 0 && writers_waiting_ != 0) writer_cv_.notify_one();
  }

  LockRank rank() const noexcept { return rank_; }
  const void* domain() const noexcept { return domain_; }

  // Number of threads waiting for write mode (a snapshot, for tests and diagnostics).
  uint32_t writers_waiting() const {
    std::lock_guard<std::mutex> g(m_);
    return writers_waiting_;
  }

 private:
  bool plain_reader_admitted() const { return !writer_ && writers_waiting_ == 0; }
  // `nested`: the calling thread holds a read of this lock (so readers_ != 0 unless a guard
  // was released on another thread; the writer goes first then).
  bool recursive_reader_admitted(bool nested) const {
    return !writer_ && (writers_waiting_ == 0 || (nested && readers_ != 0));
  }

  void note_acquire(LockMode mode, bool check) {
    if constexpr (lock_order::kEnabled) {
      if (rank_ != LockRank::Untracked) lock_order::note_acquire({rank_, mode, this, domain_}, check);
    }
  }
  void note_release() {
    if constexpr (lock_order::kEnabled) {
      if (rank_ != LockRank::Untracked) lock_order::note_release(this);
    }
  }

  mutable std::mutex m_;
  std::condition_variable reader_cv_;
  std::condition_variable writer_cv_;
  uint32_t readers_ = 0;
  uint32_t writers_waiting_ = 0;
  bool writer_ = false;
  const LockRank rank_;
  const void* const domain_;
};

// A plain mutex with a rank (for `checkpoint_mutex`, `wal`, `delta_stamp`, ...). Models
// the standard Lockable requirements.
class RankedMutex {
 public:
  explicit RankedMutex(LockRank rank = LockRank::Untracked, const void* domain = nullptr) noexcept
      : rank_(rank), domain_(domain) {}
  RankedMutex(const RankedMutex&) = delete;
  RankedMutex& operator=(const RankedMutex&) = delete;

  void lock() {
    if constexpr (lock_order::kEnabled) {
      if (rank_ != LockRank::Untracked) lock_order::note_acquire({rank_, LockMode::Exclusive, this, domain_}, true);
    }
    m_.lock();
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
    if constexpr (lock_order::kEnabled) {
      if (rank_ != LockRank::Untracked) lock_order::note_acquire({rank_, LockMode::Exclusive, this, domain_}, false);
    }
    return true;
  }
  void unlock() {
    if constexpr (lock_order::kEnabled) {
      if (rank_ != LockRank::Untracked) lock_order::note_release(this);
    }
    m_.unlock();
  }
  LockRank rank() const noexcept { return rank_; }

 private:
  std::mutex m_;
  const LockRank rank_;
  const void* const domain_;
};

template <class T>
class RwLock;
template <class T>
class Mutex;

// Guard of a held lock: access to the value (V is const T for a read), released on
// destruction or by unlock() through Release. Movable, not copyable; only RwLock and Mutex
// make one, with the lock already taken.
template <class Lock, void (Lock::*Release)(), class V>
class Guard {
 public:
  Guard(Guard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)), value_(o.value_) {}
  Guard& operator=(Guard&& o) noexcept {
    if (this != &o) {
      unlock();
      lock_ = std::exchange(o.lock_, nullptr);
      value_ = o.value_;
    }
    return *this;
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() { unlock(); }

  V& operator*() const noexcept { return *value_; }
  V* operator->() const noexcept { return value_; }
  V& get() const noexcept { return *value_; }
  bool owns_lock() const noexcept { return lock_ != nullptr; }
  // Releases the lock early; the guard must not be dereferenced afterwards.
  void unlock() noexcept {
    if (lock_ != nullptr) (std::exchange(lock_, nullptr)->*Release)();
  }

 private:
  template <class>
  friend class RwLock;
  template <class>
  friend class Mutex;
  Guard(Lock* lock, V* value) noexcept : lock_(lock), value_(value) {}
  Lock* lock_;
  V* value_;
};

// Guard of a read lock (either mode): const access to the value.
template <class T>
using ReadGuard = Guard<RawRwLock, &RawRwLock::unlock_shared, const T>;
// Guard of the write lock: mutable access to the value.
template <class T>
using WriteGuard = Guard<RawRwLock, &RawRwLock::unlock, T>;

// A value behind a reader-writer lock.
template <class T>
class RwLock {
 public:
  RwLock() = default;
  // rank and domain (the owning index) for the lock-order check; further arguments
  // construct the value.
  template <class... Args>
  explicit RwLock(LockRank rank, const void* domain, Args&&... args)
      : lock_(rank, domain), value_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  // Plain read: queues behind a waiting writer.
  ReadGuard<T> read() const {
    lock_.lock_shared();
    return ReadGuard<T>(&lock_, &value_);
  }
  // Recursive read: admitted past a waiting writer when this thread already holds a read.
  ReadGuard<T> read_recursive() const {
    lock_.lock_shared_recursive();
    return ReadGuard<T>(&lock_, &value_);
  }
  // Write access through a const reference too: the lock, not constness, guards the value.
  WriteGuard<T> write() const {
    lock_.lock();
    return WriteGuard<T>(&lock_, &value_);
  }

  std::optional<ReadGuard<T>> try_read() const {
    if (!lock_.try_lock_shared()) return std::nullopt;
    return ReadGuard<T>(&lock_, &value_);
  }
  std::optional<ReadGuard<T>> try_read_recursive() const {
    if (!lock_.try_lock_shared_recursive()) return std::nullopt;
    return ReadGuard<T>(&lock_, &value_);
  }
  std::optional<WriteGuard<T>> try_write() const {
    if (!lock_.try_lock()) return std::nullopt;
    return WriteGuard<T>(&lock_, &value_);
  }

  RawRwLock& raw() const noexcept { return lock_; }

 private:
  mutable RawRwLock lock_;
  mutable T value_{};
};

// Guard of a Mutex<T>: mutable access to the value.
template <class T>
using MutexGuard = Guard<RankedMutex, &RankedMutex::unlock, T>;

// A value behind a ranked mutex (`wal`, `delta_stamp`, `filter_cache`, ...).
template <class T>
class Mutex {
 public:
  Mutex() = default;
  template <class... Args>
  explicit Mutex(LockRank rank, const void* domain, Args&&... args)
      : lock_(rank, domain), value_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  MutexGuard<T> lock() const {
    lock_.lock();
    return MutexGuard<T>(&lock_, &value_);
  }
  std::optional<MutexGuard<T>> try_lock() const {
    if (!lock_.try_lock()) return std::nullopt;
    return MutexGuard<T>(&lock_, &value_);
  }
  RankedMutex& raw() const noexcept { return lock_; }

 private:
  mutable RankedMutex lock_;
  mutable T value_{};
};

}  // namespace ivf_rabitq::index
