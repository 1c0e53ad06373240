#include "ivf_rabitq/index/scan_copy.hpp"

#include <sys/mman.h>

namespace ivf_rabitq::index {

void ScanCopy::settle() const {
  usable_ = codes_.empty() ? nullptr : &codes_;
  if (usable_ != nullptr && policy_.mlock) {
    // A failed lock (a low limit) leaves the copy usable and says nothing, as for the maps.
    bool ok = codes_.total_bytes() == 0 || ::mlock(codes_.block_data(), codes_.total_bytes()) == 0;
    if (codes_.factor_bytes() != 0) ok = ::mlock(codes_.factor_data(), codes_.factor_bytes()) == 0 && ok;
    locked_ = ok;
  }
  ready_.store(true, std::memory_order_release);
}

ScanCopy::~ScanCopy() {
  if (usable_ == nullptr || !policy_.mlock) return;
  if (codes_.total_bytes() != 0) (void)::munlock(codes_.block_data(), codes_.total_bytes());
  if (codes_.factor_bytes() != 0) (void)::munlock(codes_.factor_data(), codes_.factor_bytes());
}

}  // namespace ivf_rabitq::index
