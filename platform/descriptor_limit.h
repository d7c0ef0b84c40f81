#pragma once
// The process's limit on open descriptors. The proxy holds one descriptor per
// client connection (two while it forwards one), so it takes all it may have.
#include <cstdint>

namespace hbt {

// Raises the soft limit to the hard limit and returns the soft limit in
// effect afterwards (the old one when the system refused the raise).
uint64_t RaiseDescriptorLimit();

}  // namespace hbt
