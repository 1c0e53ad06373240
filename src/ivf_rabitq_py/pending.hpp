// Placeholders for what the engine does not offer yet. Each is replaced by the real call
// when its engine part lands; none of them is part of the module's intended behaviour.
#pragma once

#include "ivf_rabitq/error.hpp"
#include "ivf_rabitq_py/handle.hpp"

namespace ivf_rabitq_py {

// The constructor's first open of a built segment (`IvfIndex::open_with_skip`).
ivf_rabitq::Status open_segment(const RabitqIndex& h);

}  // namespace ivf_rabitq_py
