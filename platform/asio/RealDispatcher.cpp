// Placeholder until the Asio dispatcher lands.
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
std::shared_ptr<RealDispatcher> RealDispatcher::create() { return create(Options{}); }
std::shared_ptr<RealDispatcher> RealDispatcher::create(Options) { return nullptr; }
}  // namespace pemdor
