// SPDX-License-Identifier: MIT
#pragma once

// The collector's own way into a record list: a sync reading stored as numbers, whose text is
// written when the list is read. Internal to the collector; not installed.

#include <cstddef>

#include "pemdor/PemdorRecordList.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor::detail {

class RecordListAccess {
 public:
  // Appends the sync reading of `v` taken at `secondsSince1970` while the list holds fewer than
  // `limit` entries; returns whether it did. Its text, when read, is
  // formatSyncReading(v, formatMilliseconds(secondsSince1970)).
  static bool appendSyncReadingIfBelow(PemdorRecordList& list, const CMVector& v,
                                       double secondsSince1970, std::size_t limit);
};

}  // namespace pemdor::detail
