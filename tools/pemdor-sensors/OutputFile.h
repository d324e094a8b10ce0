// SPDX-License-Identifier: MIT
#pragma once

// A file that appears whole or not at all: the content goes to a temporary file beside the
// destination, which takes the destination's name only once everything is written and synced.
// Until then, and whenever something fails, no half-written file is left behind.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pemdor::host {

/// An output that cannot be made or written; the message names the file and the reason.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OutputFile {
 public:
  /// Reserves `path`: refuses a directory, refuses an existing file unless `replace` is set, and
  /// creates the temporary file (so that an unwritable place is found before any work is done).
  /// `what` names the content in messages ("the scenario"). Throws OutputError.
  static std::unique_ptr<OutputFile> create(const std::string& path, bool replace,
                                            std::string what);

  /// Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  /// Where a writer that opens files by name (the plotting library) puts the content.
  const std::string& temporaryPath() const { return temporary_; }

  /// Writes `text` to the temporary file and commits it. Throws OutputError.
  void write(std::string_view text);
  /// Syncs whatever the temporary file holds and gives it the destination's name, refusing to
  /// replace a file that appeared meanwhile unless replacing was allowed. Throws OutputError.
  void commit();

  OutputFile(std::string path, std::string temporary, int fd, bool replace, std::string what)
      : path_(std::move(path)),
        temporary_(std::move(temporary)),
        fd_(fd),
        replace_(replace),
        what_(std::move(what)) {}

 private:
  [[noreturn]] void fail(const std::string& action, int error);

  std::string path_;
  std::string temporary_;
  int fd_;
  bool replace_;
  std::string what_;
  bool committed_ = false;
};

/// Writes `text` to standard output in full. Throws OutputError naming `what`.
void writeStandardOutput(std::string_view text, const std::string& what);

}  // namespace pemdor::host
