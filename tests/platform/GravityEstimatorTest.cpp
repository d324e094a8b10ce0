// SPDX-License-Identifier: MIT
// The gravity estimator on synthesised readings at the providers' 0.1 s tick.
#include "pemdor/internal/GravityEstimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>

namespace pemdor {
namespace {

using internal::GravityEstimator;

constexpr double kTick = 0.1;
constexpr double kPi = std::numbers::pi;
constexpr double kDegree = kPi / 180.0;

double length(const CMVector& v) {
  return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

// The angle between two vectors, in degrees.
double degreesBetween(const CMVector& a, const CMVector& b) {
  const CMVector c{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
  return std::atan2(length(c), a.x * b.x + a.y * b.y + a.z * b.z) / kDegree;
}

CMVector scaled(const CMVector& v, double s) {
  return {v.x * s, v.y * s, v.z * s};
}

void expectVector(const CMVector& actual, const CMVector& expected, double tolerance,
                  const char* what) {
  EXPECT_NEAR(actual.x, expected.x, tolerance) << what;
  EXPECT_NEAR(actual.y, expected.y, tolerance) << what;
  EXPECT_NEAR(actual.z, expected.z, tolerance) << what;
}

// The direction of the gyroscope's propagation, for each axis: a quarter turn at 90°/s,
// right-handed about the axis, moves gravity where the device's new pose puts it. The
// accelerometer reads 2 g throughout, which the estimator does not trust, so the result is the
// gyroscope's alone.
TEST(GravityEstimatorTest, aQuarterTurnAboutEachAxisMovesGravityTheWayTheDeviceTurns) {
  struct Case {
    const char* what;
    CMVector start;
    CMVector rate;
    CMVector end;
  };
  const double quarter = kPi / 2;
  const Case cases[] = {
      // Lying flat, screen up; turned about x, the top edge rises: the device stands upright.
      {"about x", {0, 0, -1}, {quarter, 0, 0}, {0, -1, 0}},
      // Lying flat; turned about y, the right edge goes down: the device lies on its right side.
      {"about y", {0, 0, -1}, {0, quarter, 0}, {1, 0, 0}},
      // Upright; turned about z, counterclockwise as seen facing the screen: the right edge is up.
      {"about z", {0, -1, 0}, {0, 0, quarter}, {-1, 0, 0}},
  };
  for (const Case& c : cases) {
    GravityEstimator estimator;
    const CMVector untrusted = scaled(c.start, 2.0);
    expectVector(estimator.update(c.start, c.rate, kTick), c.start, 1e-12, c.what);
    CMVector g{};
    for (int tick = 0; tick < 10; ++tick) g = estimator.update(untrusted, c.rate, kTick);
    expectVector(g, c.end, 1e-9, c.what);
    EXPECT_NEAR(length(g), 1.0, 1e-12) << c.what;
  }
}

// A device turning at 90°/s: with the gyroscope gravity follows at once; without it the low-pass
// filter lags by about 25°. Either way the magnitude stays at 1 g.
TEST(GravityEstimatorTest, followsARotationAtOnceWithAGyroscopeAndLagsWithout) {
  GravityEstimator fused;
  GravityEstimator lowPass;
  const double rate = kPi / 2;
  double worstFused = 0.0;
  double lastLag = 0.0;
  for (int tick = 0; tick <= 40; ++tick) {
    const double angle = rate * kTick * tick;
    // Turning about x from flat: gravity (0, -sin, -cos), read exactly by the accelerometer.
    const CMVector truth{0, -std::sin(angle), -std::cos(angle)};
    const CMVector f = fused.update(truth, CMVector{rate, 0, 0}, kTick);
    const CMVector l = lowPass.update(truth, std::nullopt, kTick);
    worstFused = std::max(worstFused, degreesBetween(f, truth));
    lastLag = degreesBetween(l, truth);
    EXPECT_NEAR(length(f), 1.0, 1e-12);
    EXPECT_NEAR(length(l), 1.0, 1e-12);
  }
  EXPECT_LT(worstFused, 0.01);
  EXPECT_GT(lastLag, 20.0);
  EXPECT_LT(lastLag, 30.0);
}

// At rest the estimate is the accelerometer's direction at 1 g: from the first reading on, and,
// with a gyroscope that has a small bias, still within a small fraction of a degree later.
// A turn that happened between two samples, unseen by the gyroscope, is caught up within a
// second and a half once the device is still again.
TEST(GravityEstimatorTest, aDeviceAtRestGivesTheAccelerometersDirection) {
  const CMVector tilted{0.1, 0.2, -0.95};
  const CMVector direction = scaled(tilted, 1.0 / length(tilted));
  const CMVector bias{0.004, -0.003, 0.002};
  GravityEstimator withGyro;
  GravityEstimator withoutGyro;
  expectVector(withGyro.update(tilted, bias, kTick), direction, 1e-15, "first, with gyroscope");
  expectVector(withoutGyro.update(tilted, std::nullopt, kTick), direction, 1e-15,
               "first, without gyroscope");
  for (int tick = 0; tick < 50; ++tick) {
    EXPECT_LT(degreesBetween(withGyro.update(tilted, bias, kTick), direction), 0.1);
    expectVector(withoutGyro.update(tilted, std::nullopt, kTick), direction, 1e-12,
                 "at rest, without gyroscope");
  }

  const CMVector onItsSide{1, 0, 0};
  CMVector g{};
  for (int tick = 0; tick < 15; ++tick) g = withGyro.update(onItsSide, bias, kTick);
  EXPECT_LT(degreesBetween(g, onItsSide), 1.0);
}

// Lying still for a second, then shaken sideways at 2 Hz with 0.5 g, without turning: the
// accelerometer's direction swings by up to 27°, the fused gravity by a degree or two.
TEST(GravityEstimatorTest, shakingBarelyMovesTheFusedGravity) {
  GravityEstimator estimator;
  const CMVector flat{0, 0, -1};
  double worst = 0.0;
  for (int tick = 0; tick <= 100; ++tick) {
    const double shake = tick < 10 ? 0.0 : 0.5 * std::sin(2 * kPi * 2.0 * kTick * tick + 0.3);
    const CMVector g = estimator.update({shake, 0, -1}, CMVector{0, 0, 0}, kTick);
    worst = std::max(worst, degreesBetween(g, flat));
  }
  EXPECT_LT(worst, 3.0);
}

// Readings without a direction, rates that are not finite, a zero interval, a turn-over by 180°
// and a reset: the estimate stays a unit vector (or, before it starts, the reading as it came).
TEST(GravityEstimatorTest, readingsWithoutADirectionAndTurnOversKeepAUnitEstimate) {
  GravityEstimator estimator;
  const CMVector zero{0, 0, 0};
  expectVector(estimator.update(zero, std::nullopt, kTick), zero, 0.0, "zero before the start");
  EXPECT_FALSE(estimator.started());
  const CMVector nan{std::nan(""), 0, 0};
  EXPECT_TRUE(std::isnan(estimator.update(nan, std::nullopt, kTick).x));
  EXPECT_FALSE(estimator.started());

  const CMVector flat{0, 0, -1};
  expectVector(estimator.update(scaled(flat, 0.9), std::nullopt, kTick), flat, 1e-15, "start");
  EXPECT_TRUE(estimator.started());
  expectVector(estimator.update(nan, CMVector{0, 0, 0}, kTick), flat, 1e-15, "not finite");
  expectVector(estimator.update(zero, CMVector{0, 0, 0}, kTick), flat, 1e-15, "free fall");
  expectVector(estimator.update({1, 0, 0}, CMVector{1, std::nan(""), 0}, 0.0), flat, 1e-15,
               "no time has passed");

  // Turned over: the low-pass filter's output passes through zero on its way.
  const CMVector upsideDown{0, 0, 1};
  CMVector g{};
  for (int tick = 0; tick < 30; ++tick) {
    g = estimator.update(upsideDown, std::nullopt, kTick);
    ASSERT_NEAR(length(g), 1.0, 1e-12) << tick;
  }
  EXPECT_LT(degreesBetween(g, upsideDown), 1.0);
  // And back, with a gyroscope that saw nothing: the directions are exactly opposite.
  for (int tick = 0; tick < 30; ++tick) {
    g = estimator.update(flat, CMVector{0, 0, 0}, kTick);
    ASSERT_NEAR(length(g), 1.0, 1e-12) << tick;
  }
  EXPECT_LT(degreesBetween(g, flat), 1.0);

  estimator.reset();
  EXPECT_FALSE(estimator.started());
  expectVector(estimator.update(upsideDown, CMVector{1, 0, 0}, kTick), upsideDown, 1e-15,
               "after reset");
}

}  // namespace
}  // namespace pemdor
