// SPDX-License-Identifier: MIT
#include "GpsdReport.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace pemdor::gpsd {

std::optional<CLLocationCoordinate2D> positionOfReport(const gps_data_t& data) {
  constexpr gps_mask_t kFixFields = MODE_SET | LATLON_SET;
  if ((data.set & kFixFields) != kFixFields) return std::nullopt;
  if (data.fix.mode != MODE_2D && data.fix.mode != MODE_3D) return std::nullopt;
  const double latitude = data.fix.latitude;
  const double longitude = data.fix.longitude;
  if (!std::isfinite(latitude) || !std::isfinite(longitude)) return std::nullopt;
  if (std::fabs(latitude) > 90.0 || std::fabs(longitude) > 180.0) return std::nullopt;
  return CLLocationCoordinate2D{latitude, longitude};
}

bool isVersionBanner(std::string_view line) {
  const auto report = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!report.is_object()) return false;
  const auto kind = report.find("class");
  return kind != report.end() && kind->is_string() &&
         kind->get_ref<const std::string&>() == "VERSION";
}

}  // namespace pemdor::gpsd
