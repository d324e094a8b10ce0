// SPDX-License-Identifier: MIT
#include "pemdor/PemdorRecordList.h"

#include "ReadingFormat.h"
#include "RecordListAccess.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor {

void PemdorRecordList::append(std::string entry) {
  std::lock_guard guard(mutex_);
  entries_.emplace_back(std::move(entry));
}

bool PemdorRecordList::appendIfBelow(std::string entry, std::size_t limit) {
  std::lock_guard guard(mutex_);
  if (entries_.size() >= limit) return false;
  entries_.emplace_back(std::move(entry));
  return true;
}

bool PemdorRecordList::appendIfEmpty(std::string entry) {
  std::lock_guard guard(mutex_);
  if (!entries_.empty()) return false;
  entries_.emplace_back(std::move(entry));
  return true;
}

std::size_t PemdorRecordList::count() const {
  std::lock_guard guard(mutex_);
  return entries_.size();
}

void PemdorRecordList::clear() {
  std::lock_guard guard(mutex_);
  entries_.clear();
}

const std::string& PemdorRecordList::textOf(Entry& entry) {
  if (const auto* reading = std::get_if<Reading>(&entry)) {
    entry =
        detail::formatSyncReading({reading->x, reading->y, reading->z}, reading->secondsSince1970);
  }
  return std::get<std::string>(entry);
}

std::optional<std::string> PemdorRecordList::at(std::size_t index) const {
  std::lock_guard guard(mutex_);
  if (index >= entries_.size()) return std::nullopt;
  return textOf(entries_[index]);
}

std::vector<std::string> PemdorRecordList::snapshot() const {
  std::vector<std::string> copy;
  std::lock_guard guard(mutex_);
  copy.reserve(entries_.size());
  for (Entry& entry : entries_) copy.push_back(textOf(entry));
  return copy;
}

PEMDOR_TICK_PATH bool detail::RecordListAccess::appendSyncReadingIfBelow(PemdorRecordList& list,
                                                                         const CMVector& v,
                                                                         double secondsSince1970,
                                                                         std::size_t limit) {
  std::lock_guard guard(list.mutex_);
  if (list.entries_.size() >= limit) return false;
  list.entries_.emplace_back(PemdorRecordList::Reading{v.x, v.y, v.z, secondsSince1970});
  return true;
}

}  // namespace pemdor
