// SPDX-License-Identifier: MIT
#include "IioGravityGyro.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace pemdor::iio {
namespace {

// The inverse of `m`, or nullopt when it has none worth the name.
std::optional<MountMatrix> inverse(const MountMatrix& m) {
  const auto at = [&m](std::size_t row, std::size_t column) { return m[3 * row + column]; };
  // The cofactor of each element, by the cyclic rule that needs no signs.
  const auto cofactor = [&at](std::size_t row, std::size_t column) {
    const std::size_t r1 = (row + 1) % 3;
    const std::size_t r2 = (row + 2) % 3;
    const std::size_t c1 = (column + 1) % 3;
    const std::size_t c2 = (column + 2) % 3;
    return at(r1, c1) * at(r2, c2) - at(r1, c2) * at(r2, c1);
  };
  const double determinant =
      at(0, 0) * cofactor(0, 0) + at(0, 1) * cofactor(0, 1) + at(0, 2) * cofactor(0, 2);
  if (!std::isfinite(determinant) || std::abs(determinant) < 1e-9) return std::nullopt;
  MountMatrix result{};
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t column = 0; column < 3; ++column) {
      // The adjugate is the transposed matrix of cofactors.
      result[3 * row + column] = cofactor(column, row) / determinant;
    }
  }
  return result;
}

MountMatrix product(const MountMatrix& a, const MountMatrix& b) {
  MountMatrix result{};
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t column = 0; column < 3; ++column) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 3; ++k) sum += a[3 * row + k] * b[3 * k + column];
      result[3 * row + column] = sum;
    }
  }
  return result;
}

}  // namespace

std::optional<GravityGyro> GravityGyro::bind(const IioVectorSource& accelerometer,
                                             BufferShare* share) {
  std::optional<IioVectorSource> gyro = IioVectorSource::bind(IioKind::anglvel, nullptr, share);
  if (!gyro) return std::nullopt;
  MountMatrix toAccelerometerFrame = kIdentityMountMatrix;
  if (gyro->deviceId() == accelerometer.deviceId() &&
      gyro->mountMatrix() != accelerometer.mountMatrix()) {
    const auto undo = inverse(gyro->mountMatrix());
    if (!undo) return std::nullopt;
    toAccelerometerFrame = product(accelerometer.mountMatrix(), *undo);
  }
  return GravityGyro(std::move(*gyro), toAccelerometerFrame);
}

std::optional<CMVector> GravityGyro::read(TickReads* reads) {
  IioReading reading = source_.read(reads);
  if (!reading.vector) return std::nullopt;
  return applyMountMatrix(toAccelerometerFrame_, *reading.vector);
}

}  // namespace pemdor::iio
