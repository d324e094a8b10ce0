// SPDX-License-Identifier: MIT
#include "pemdor/PemdorRecordList.h"

namespace pemdor {

void PemdorRecordList::append(std::string entry) {
  std::lock_guard guard(mutex_);
  entries_.push_back(std::move(entry));
}

bool PemdorRecordList::appendIfBelow(std::string entry, std::size_t limit) {
  std::lock_guard guard(mutex_);
  if (entries_.size() >= limit) return false;
  entries_.push_back(std::move(entry));
  return true;
}

bool PemdorRecordList::appendIfEmpty(std::string entry) {
  std::lock_guard guard(mutex_);
  if (!entries_.empty()) return false;
  entries_.push_back(std::move(entry));
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

std::optional<std::string> PemdorRecordList::at(std::size_t index) const {
  std::lock_guard guard(mutex_);
  if (index >= entries_.size()) return std::nullopt;
  return entries_[index];
}

std::vector<std::string> PemdorRecordList::snapshot() const {
  std::lock_guard guard(mutex_);
  return entries_;
}

}  // namespace pemdor
