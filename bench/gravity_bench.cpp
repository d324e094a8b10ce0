// SPDX-License-Identifier: MIT
// How well gravity is derived where a device has no gravity channel, against ground truth:
// readings synthesised from motions whose true orientation is known, sampled at the providers'
// 0.1 s tick, fed to three filters:
//  - "old": the accelerometer through a 0.3 s low-pass filter, as gravity was derived before;
//  - "accel": the estimator without a gyroscope (the low-pass filter, normalised to 1 g);
//  - "fused": the estimator with the gyroscope.
// Each case reports, over every tick of its trace, the RMS and the worst angle between the
// derived gravity and the true one (degrees) and the worst departure of its magnitude from 1 g;
// the time per iteration is the cost of running the whole trace. For a table:
//   build/default/bench/pemdor_gravity_bench --benchmark_counters_tabular=true
//
// The readings carry a little noise (±0.005 g, ±0.005 rad/s) and a constant gyroscope bias of
// a few milli-rad/s, as a resting phone's do. Turns are about the sensor itself, so the
// accelerometer sees no centripetal acceleration; the true gravity is the start pose turned
// back by the device's rotation angle about its axis.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "pemdor/internal/GravityEstimator.h"
#include "pemdor/internal/VectorMath.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor {
namespace {

constexpr double kTick = 0.1;
constexpr double kPi = std::numbers::pi;
constexpr double kDegree = kPi / 180.0;

using internal::angleBetween;
using internal::cross;
using internal::dot;
using internal::length;
using internal::scaled;
using internal::sum;
using internal::turned;
using internal::unit;

// splitmix64, for noise that is the same on every machine.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}
double noise(std::uint64_t key, double amplitude) {
  return amplitude * (static_cast<double>(mix(key) >> 11) * 0x1.0p-52 - 1.0);
}
CMVector noiseVector(std::uint64_t key, double amplitude) {
  return {noise(3 * key, amplitude), noise(3 * key + 1, amplitude), noise(3 * key + 2, amplitude)};
}

constexpr double kAccelNoise = 0.005;
constexpr double kGyroNoise = 0.005;
constexpr CMVector kGyroBias = {0.004, -0.003, 0.002};

// A tilted start pose, so that a turn about any axis of the device moves gravity in its frame.
const CMVector kStartGravity = unit({0.3, -0.4, -0.866});

// One sample of a trace: what the sensors read and what gravity truly is.
struct Sample {
  CMVector acceleration;
  CMVector rotationRate;
  CMVector gravity;
};

// A motion about one device axis: the angle turned by time t (rad) and its rate (rad/s), plus a
// linear acceleration of the device (g, device frame).
struct Motion {
  CMVector axis;
  std::function<double(double)> angle;
  std::function<double(double)> rate;
  std::function<CMVector(double)> linear;
  double duration;
};

std::vector<Sample> sampled(const Motion& m) {
  std::vector<Sample> samples;
  const auto ticks = static_cast<std::size_t>(std::lround(m.duration / kTick));
  for (std::size_t k = 0; k <= ticks; ++k) {
    const double t = static_cast<double>(k) * kTick;
    // Gravity is fixed in the world, so in the device frame it turns against the device.
    const CMVector g = turned(kStartGravity, m.axis, -m.angle(t));
    const CMVector accel = sum(sum(g, m.linear(t)), noiseVector(2 * k, kAccelNoise));
    const CMVector rate =
        sum(sum(scaled(m.axis, m.rate(t)), kGyroBias), noiseVector(2 * k + 1, kGyroNoise));
    samples.push_back({accel, rate, g});
  }
  return samples;
}

CMVector none(double) {
  return {0, 0, 0};
}

// At rest for a second, then up to 90°/s within half a second (a smooth start), turning for 8 s.
Motion turning(const CMVector& axis) {
  constexpr double rest = 1.0;
  constexpr double ramp = 0.5;
  constexpr double speed = 90.0 * kDegree;
  return {axis,
          [](double t) {
            const double s = t - rest;
            if (s <= 0.0) return 0.0;
            if (s <= ramp) return speed * (s - ramp / kPi * std::sin(kPi * s / ramp)) / 2.0;
            return speed * (ramp / 2.0 + (s - ramp));
          },
          [](double t) {
            const double s = t - rest;
            if (s <= 0.0) return 0.0;
            if (s <= ramp) return speed * (1.0 - std::cos(kPi * s / ramp)) / 2.0;
            return speed;
          },
          none, rest + ramp + 8.0};
}

// Held still in the start pose and shaken sideways at 2 Hz with an amplitude of 0.5 g.
Motion shaken() {
  const CMVector sideways = unit(cross(kStartGravity, {0, 0, 1}));
  return {{1, 0, 0},
          [](double) { return 0.0; },
          [](double) { return 0.0; },
          [sideways](double t) { return scaled(sideways, 0.5 * std::sin(2 * kPi * 2.0 * t)); },
          10.0};
}

// At rest for 2 s, then turned by 90° about x within `turn` seconds (the rate rising and falling
// smoothly, at its peak twice the mean), then at rest again. The turn starts between two ticks.
Motion suddenTurn(double turn) {
  constexpr double start = 2.03;
  constexpr double quarter = kPi / 2.0;
  return {{1, 0, 0},
          [turn](double t) {
            const double u = std::clamp((t - start) / turn, 0.0, 1.0);
            return quarter * (u - std::sin(2 * kPi * u) / (2 * kPi));
          },
          [turn](double t) {
            const double u = (t - start) / turn;
            if (u <= 0.0 || u >= 1.0) return 0.0;
            return quarter / turn * (1.0 - std::cos(2 * kPi * u));
          },
          none,
          6.0};
}

// The filter gravity was derived with before: the accelerometer low-pass filtered, unnormalised.
class OldLowPass {
 public:
  CMVector update(const CMVector& a) {
    if (!g_) return *(g_ = a);
    const double alpha = kTick / (0.3 + kTick);
    g_ = CMVector{g_->x + alpha * (a.x - g_->x), g_->y + alpha * (a.y - g_->y),
                  g_->z + alpha * (a.z - g_->z)};
    return *g_;
  }

 private:
  std::optional<CMVector> g_;
};

enum class Filter { old, accel, fused };

struct Errors {
  double rms = 0.0;
  double worst = 0.0;
  double worstMagnitude = 0.0;
};

Errors run(const std::vector<Sample>& samples, Filter filter) {
  OldLowPass old;
  internal::GravityEstimator estimator;
  double squares = 0.0;
  Errors e;
  for (const Sample& s : samples) {
    CMVector g;
    switch (filter) {
      case Filter::old:
        g = old.update(s.acceleration);
        break;
      case Filter::accel:
        g = estimator.update(s.acceleration, std::nullopt, kTick);
        break;
      case Filter::fused:
        g = estimator.update(s.acceleration, s.rotationRate, kTick);
        break;
    }
    const double angle = angleBetween(g, s.gravity) / kDegree;
    squares += angle * angle;
    e.worst = std::max(e.worst, angle);
    e.worstMagnitude = std::max(e.worstMagnitude, std::abs(length(g) - 1.0));
  }
  e.rms = std::sqrt(squares / static_cast<double>(samples.size()));
  return e;
}

void BM_Gravity(benchmark::State& state, const Motion& motion, Filter filter) {
  const std::vector<Sample> samples = sampled(motion);
  Errors errors;
  for (auto _ : state) {
    errors = run(samples, filter);
    benchmark::DoNotOptimize(errors);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
  state.counters["rms_deg"] = errors.rms;
  state.counters["worst_deg"] = errors.worst;
  state.counters["worst_mag_err_g"] = errors.worstMagnitude;
}

const bool registered = [] {
  const std::array<std::pair<const char*, Motion>, 6> motions = {{
      {"turn_90dps_about_x", turning({1, 0, 0})},
      {"turn_90dps_about_y", turning({0, 1, 0})},
      {"turn_90dps_about_z", turning({0, 0, 1})},
      {"shake_2Hz_0.5g", shaken()},
      {"rest_then_90deg_in_0.5s", suddenTurn(0.5)},
      {"rest_then_90deg_in_0.25s", suddenTurn(0.25)},
  }};
  const std::array<std::pair<const char*, Filter>, 3> filters = {
      {{"old", Filter::old}, {"accel", Filter::accel}, {"fused", Filter::fused}}};
  // Plain pairs rather than structured bindings, which clang 14 cannot capture.
  for (const auto& m : motions) {
    for (const auto& f : filters) {
      const Motion& motion = m.second;
      const Filter filter = f.second;
      benchmark::RegisterBenchmark(
          (std::string("BM_Gravity/") + m.first + "/" + f.first).c_str(),
          [motion, filter](benchmark::State& state) { BM_Gravity(state, motion, filter); });
    }
  }
  return true;
}();

}  // namespace
}  // namespace pemdor
