// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// A record list: the ordered list of reading strings of one sensor stream.
///
/// A list is shared by reference and stays the same object for the life of its collector: runs
/// empty it in place, and a holder of the list sees entries appended later. Every operation is
/// thread-safe and indivisible; snapshot() gives a consistent copy for iteration while handlers
/// keep appending.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pemdor {

namespace detail {
class RecordListAccess;
}

/// The ordered reading strings of one sensor stream, shared by reference and safe to use from
/// any thread (see the file's description).
class PemdorRecordList {
 public:
  /// A new empty list.
  static std::shared_ptr<PemdorRecordList> create() { return std::make_shared<PemdorRecordList>(); }

  /// Appends `entry` at the end.
  void append(std::string entry);
  /// Appends `entry` only while the list holds fewer than `limit` entries; returns whether it
  /// did. The test and the append are one step.
  bool appendIfBelow(std::string entry, std::size_t limit);
  /// Appends `entry` only when the list is empty; returns whether it did.
  bool appendIfEmpty(std::string entry);
  /// The number of entries.
  std::size_t count() const;
  /// Whether the list has no entry.
  bool empty() const { return count() == 0; }
  /// Removes every entry; the list stays the same object.
  void clear();
  /// The entry at `index`, or nullopt past the end.
  std::optional<std::string> at(std::size_t index) const;
  /// A copy of every entry, in order, taken at one instant.
  std::vector<std::string> snapshot() const;

 private:
  friend class detail::RecordListAccess;

  // A sync run's reading as it came: three axes and the time in seconds since 1970. Its text is
  // written the first time the entry is read, on the reader's thread, so that a handler that
  // runs ten times a second only stores four numbers.
  struct Reading {
    double x, y, z, secondsSince1970;
  };
  using Entry = std::variant<std::string, Reading>;

  // The entry's text, written in place first when the entry is a reading. With the lock held.
  static const std::string& textOf(Entry& entry);

  mutable std::mutex mutex_;
  // Readings become texts in place when read, which does not change what the list holds.
  mutable std::vector<Entry> entries_;
};

/// How record lists are held and handed out.
using PemdorRecordListRef = std::shared_ptr<PemdorRecordList>;

}  // namespace pemdor
