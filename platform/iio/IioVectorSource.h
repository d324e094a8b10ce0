// SPDX-License-Identifier: MIT
#pragma once

// Reading three-axis IIO channels through libiio's local context (internal to the IIO provider).
//
// Threads: nothing here is shared. A context and the sources bound to it belong to the one thread
// that made them; another thread makes a context of its own.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "IioSysfsFile.h"
#include "pemdor/platform/CoreMotion.h"

struct iio_context;
struct iio_channel;
struct iio_device;

namespace pemdor::iio {

/// The kinds of IIO channel triples the provider reads.
enum class IioKind : std::size_t { accel = 0, anglvel = 1, magn = 2, gravity = 3 };

/// How one kind is found and converted. The channels are `<prefix>_x`, `<prefix>_y` and
/// `<prefix>_z`; a value is ((raw + offset) × scale) in IIO units, turned by the mount matrix
/// into the device frame and multiplied by `toPlatformUnits`.
struct IioKindInfo {
  IioKind kind;
  const char* prefix;
  double toPlatformUnits;
};

/// The table of kinds, indexed by IioKind.
const IioKindInfo& iioKindInfo(IioKind kind);

/// A row-major 3×3 matrix: element [3 * row + column].
using MountMatrix = std::array<double, 9>;
inline constexpr MountMatrix kIdentityMountMatrix = {1, 0, 0, 0, 1, 0, 0, 0, 1};

/// Parses the IIO text form "x1, y1, z1; x2, y2, z2; x3, y3, z3" (rows separated by ';', numbers
/// by ','; blanks and a trailing newline allowed), which udev's ACCEL_MOUNT_MATRIX shares. Returns
/// nullopt for anything else, and for a matrix that is all zeros or not finite, which would turn
/// every reading into a wrong one; `problem`, if given, then says what is wrong.
std::optional<MountMatrix> parseMountMatrix(std::string_view text, std::string* problem = nullptr);

/// The matrix in the IIO text form, with the shortest digits that read back the same.
std::string formatMountMatrix(const MountMatrix& matrix);

/// A decimal number, the whole of `text` but for surrounding blanks and a trailing newline;
/// independent of the locale.
std::optional<double> parseIioNumber(std::string_view text);

/// The text of a channel's or a device's attribute, without its trailing newline; nullopt when
/// it cannot be read.
std::optional<std::string> readChannelAttribute(const iio_channel* channel, const char* attribute);
std::optional<std::string> readDeviceAttribute(const iio_device* device, const char* attribute);

/// The product matrix × v, where v is read as a column vector.
CMVector applyMountMatrix(const MountMatrix& matrix, const CMVector& v);

struct ContextDeleter {
  void operator()(iio_context* context) const;
};
using ContextPtr = std::unique_ptr<iio_context, ContextDeleter>;

/// A new local context, which sees the IIO devices that exist now; nullptr when there are none
/// (libiio refuses a context without /sys/bus/iio).
ContextPtr makeLocalContext();

/// Whether some device of `context` can read the three channels of `kind`.
bool contextHasKind(iio_context* context, IioKind kind);

class BufferShare;
struct SharedBuffer;

/// The raw values of the sysfs sources read at one wake-up of a manager's I/O thread, for the
/// streams it reads there one after another. A source whose device and channels another stream
/// read at the same wake-up (the accelerometer gravity is derived from, the gyroscope it is fused
/// with) takes those values instead of reading the device again: on a real machine each read can
/// be a bus transaction. Belongs to one thread; emptied at each wake-up.
class TickReads {
 public:
  /// The values read for `key` at this wake-up, or null.
  const std::array<double, 3>* find(const std::string& key) const;
  void add(std::string key, const std::array<double, 3>& raw);
  /// Forgets every value; the storage is kept for the next wake-up.
  void clear() { entries_.clear(); }

 private:
  std::vector<std::pair<std::string, std::array<double, 3>>> entries_;
};

/// The outcome of one read: a vector in platform units, or an error number and a message.
struct IioReading {
  std::optional<CMVector> vector;
  int error = 0;
  std::string message;
};

/// The three channels of one kind on one device, with the scale, offset and mount matrix read
/// when the source was bound. The values come from sysfs, or from the device's buffer when the
/// channels are scan elements only. A source owns the context it was found in.
class IioVectorSource {
 public:
  IioVectorSource(IioVectorSource&&) noexcept;
  IioVectorSource& operator=(IioVectorSource&&) noexcept;
  ~IioVectorSource();

  /// Makes a fresh context and binds the device chosen for `kind` (see IioDevices.h), or returns
  /// nullopt (with the reason in `why`, if given). A buffered device's buffer is taken from
  /// `share` (or opened for this source alone without one) and enabled until its last user goes.
  static std::optional<IioVectorSource> bind(IioKind kind, std::string* why = nullptr,
                                             BufferShare* share = nullptr);

  /// Reads the raw (or processed) values now; from a buffer, the latest sample set that has
  /// come, waiting a bounded time for the first. With `reads`, sysfs values that another source
  /// read from the same channels at this wake-up are taken from there, and values read here are
  /// added to it.
  IioReading read(TickReads* reads = nullptr);

  IioKind kind() const { return kind_; }
  const std::string& deviceId() const { return deviceId_; }
  const MountMatrix& mountMatrix() const { return matrix_; }

 private:
  struct Axis {
    const iio_channel* channel = nullptr;
    const char* valueAttribute = "raw";
    // The value attribute's file, kept open for the reads of a sysfs source; when it could not
    // be opened at the binding (it has no path then), the value is read through libiio.
    SysfsFile file;
    double scale = 1.0;
    double offset = 0.0;
  };

  IioVectorSource() = default;

  IioKind kind_ = IioKind::accel;
  ContextPtr context_;
  std::string deviceId_;
  // Names the channels' value files in a TickReads: the device, the kind and the attribute.
  std::string readKey_;
  std::array<Axis, 3> axes_;
  MountMatrix matrix_ = kIdentityMountMatrix;
  std::shared_ptr<SharedBuffer> buffered_;
};

}  // namespace pemdor::iio
