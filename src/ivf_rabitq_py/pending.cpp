#include "ivf_rabitq_py/pending.hpp"

namespace ivf_rabitq_py {

ivf_rabitq::Status open_segment(const RabitqIndex& /*h*/) {
  return ivf_rabitq::IoError::msg(ivf_rabitq::ErrorKind::Unsupported, "opening a segment is not available yet");
}

}  // namespace ivf_rabitq_py
