// Placeholder until the virtual dispatcher lands.
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
std::shared_ptr<VirtualDispatcher> VirtualDispatcher::create(double) { return nullptr; }
}  // namespace pemdor
