// The holder of a segment's scan copy: the block-interleaved copy of codes.bin (and of the
// row factors of metas.bin) that the cluster scan reads. The copy is derived data, made once
// per open segment by the first caller that needs it; every later caller takes it with one
// acquire load. Concurrent first callers wait for the one that makes it.
#pragma once

#include <atomic>
#include <mutex>

#include "ivf_rabitq/codec/fastscan.hpp"
#include "ivf_rabitq/storage/mmap.hpp"

namespace ivf_rabitq::index {

class ScanCopy {
 public:
  ScanCopy() = default;
  ScanCopy(const ScanCopy&) = delete;
  ScanCopy& operator=(const ScanCopy&) = delete;
  // Unlocks the copy's memory before it is freed (freed heap pages must not stay locked).
  ~ScanCopy();

  // Set by the open, before the segment is shared: the residency the switches asked for when
  // the segment's hot files were mapped, and whether the row factors are copied too (else
  // the scan reads metas.bin through its mapping).
  void configure(storage::HotPolicy policy, bool copy_factors) {
    policy_ = policy;
    copy_factors_ = copy_factors;
  }
  storage::HotPolicy policy() const { return policy_; }
  bool copy_factors() const { return copy_factors_; }

  // The copy, made by make() (a codec::BlockedCodes; empty when none could be made) on the
  // first call; null when it is empty. Locked in memory when the policy asks for it.
  template <class Make>
  const codec::BlockedCodes* get(Make&& make) const {
    if (ready_.load(std::memory_order_acquire)) return usable_;
    std::lock_guard<std::mutex> g(mutex_);
    if (!ready_.load(std::memory_order_relaxed)) {
      codes_ = make();
      settle();
    }
    return usable_;
  }

  // The copy when it has been made, without making it (null otherwise).
  const codec::BlockedCodes* peek() const { return ready_.load(std::memory_order_acquire) ? usable_ : nullptr; }
  // Whether the first get() has finished (with or without a copy).
  bool made() const { return ready_.load(std::memory_order_acquire); }
  // Whether the copy's memory was locked.
  bool locked() const { return made() && locked_; }

 private:
  // Locks the new copy when asked to and publishes it.
  void settle() const;

  storage::HotPolicy policy_;
  bool copy_factors_ = false;
  mutable std::mutex mutex_;
  mutable std::atomic<bool> ready_{false};
  // Written once under mutex_ before ready_ is set; read-only afterwards.
  mutable codec::BlockedCodes codes_;
  mutable const codec::BlockedCodes* usable_ = nullptr;
  mutable bool locked_ = false;
};

}  // namespace ivf_rabitq::index
