// Placeholder until the collector lands.
#include "pemdor/PemdorDeviceSensorInfo.h"
