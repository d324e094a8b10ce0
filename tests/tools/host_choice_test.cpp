// SPDX-License-Identifier: MIT
// The sample host's pure parts without running it: how it chooses providers from what was asked
// and what was found, and how its command line reads a command table.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ProviderChoice.h"

namespace pemdor::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The message of the UsageError `run` throws, with whether it asks to point at --help.
template <typename Run>
std::pair<std::string, bool> usageErrorOf(Run run) {
  try {
    run();
  } catch (const UsageError& error) {
    return {error.what(), error.hint()};
  }
  return {"(no error)", false};
}

Options optionsFor(Command command) {
  Options options;
  options.command = command;
  return options;
}

TEST(ProviderChoice, AutoTakesWhatIsFoundAndOtherwiseSaysWhyItSimulates) {
  const ProviderRequest automatic = providerRequest(optionsFor(Command::snapshot));

  const auto real = chooseProviders(automatic, {Finding::present, Finding::present});
  EXPECT_EQ(real.motion, MotionChoice::iio);
  EXPECT_EQ(real.location, LocationChoice::gpsd);
  EXPECT_EQ(real.note, "");
  EXPECT_EQ(real.motionReport, "iio (found)");
  EXPECT_EQ(real.locationReport, "gpsd localhost:2947 (answers)");

  Findings absent{Finding::absent, Finding::absent};
  absent.evdev = Finding::absent;
  const auto nothing = chooseProviders(automatic, absent);
  EXPECT_EQ(nothing.motion, MotionChoice::sim);
  EXPECT_EQ(nothing.location, LocationChoice::sim);
  EXPECT_EQ(nothing.note,
            "no IIO motion devices found and no usable input motion devices found and no gpsd "
            "answers at localhost:2947; using the simulated device");
  EXPECT_EQ(nothing.motionReport, "simulated (IIO: no devices; input devices: none usable)");
  EXPECT_EQ(nothing.locationReport,
            "simulated (GeoClue2: not probed; gpsd localhost:2947: no answer)");

  // A build without the providers says so rather than "not found".
  const auto unbuilt = chooseProviders(automatic, {Finding::notBuilt, Finding::present});
  EXPECT_EQ(unbuilt.motion, MotionChoice::sim);
  EXPECT_EQ(unbuilt.location, LocationChoice::gpsd);
  EXPECT_EQ(unbuilt.note, "this build has no IIO motion provider; using the simulated device");
  EXPECT_EQ(unbuilt.motionReport, "simulated (IIO: not built; input devices: not probed)");

  // Auto with real motion devices serves each stream from IIO where it can and from input
  // devices otherwise; the report names the providers that were found.
  Findings both{Finding::present, Finding::absent};
  both.evdev = Finding::present;
  const auto combined = chooseProviders(automatic, both);
  EXPECT_TRUE(combined.motionCombined);
  EXPECT_EQ(combined.motionReport, "iio+evdev (found)");
  Findings inputOnly{Finding::absent, Finding::absent};
  inputOnly.evdev = Finding::present;
  const auto controller = chooseProviders(automatic, inputOnly);
  EXPECT_EQ(controller.motion, MotionChoice::evdev);
  EXPECT_TRUE(controller.motionCombined);
  EXPECT_EQ(controller.motionReport, "evdev (found)");

  // Asked for by name, the input-device provider serves alone.
  Options evdev = optionsFor(Command::sync);
  evdev.motion = MotionChoice::evdev;
  const auto alone = chooseProviders(providerRequest(evdev), inputOnly);
  EXPECT_EQ(alone.motion, MotionChoice::evdev);
  EXPECT_FALSE(alone.motionCombined);
  EXPECT_EQ(usageErrorOf([&] { chooseProviders(providerRequest(evdev), absent); }).first,
            "--motion evdev: no usable input motion devices found");
}

TEST(ProviderChoice, AProviderAskedForByNameMustBeThere) {
  Options iio = optionsFor(Command::sync);
  iio.motion = MotionChoice::iio;
  const auto absent = usageErrorOf([&] {
    chooseProviders(providerRequest(iio), {Finding::absent, Finding::absent});
  });
  EXPECT_EQ(absent.first, "--motion iio: no IIO motion devices found");
  EXPECT_FALSE(absent.second);
  EXPECT_EQ(usageErrorOf([&] {
              chooseProviders(providerRequest(iio), {Finding::notBuilt, Finding::absent});
            }).first,
            "--motion iio: this build has no IIO motion provider (libiio was not found when it "
            "was built)");

  Options gpsd = optionsFor(Command::info);
  gpsd.location = LocationChoice::gpsd;
  gpsd.gpsd = GpsdEndpoint{"::1", "3000"};
  EXPECT_EQ(usageErrorOf([&] {
              chooseProviders(providerRequest(gpsd), {Finding::present, Finding::absent});
            }).first,
            "--location gpsd: no gpsd answers at [::1]:3000");
  const auto found = chooseProviders(providerRequest(gpsd), {Finding::absent, Finding::present});
  EXPECT_EQ(found.location, LocationChoice::gpsd);
  EXPECT_EQ(found.gpsd.host, "::1");
  EXPECT_EQ(found.locationReport, "gpsd [::1]:3000 (answers)");
  // Motion was "auto" and found nothing: the note names only that.
  EXPECT_EQ(found.note, "no IIO motion devices found; using the simulated device");

  // Asking for the simulated device or for no location needs nothing found, and says nothing.
  Options chosen = optionsFor(Command::snapshot);
  chosen.motion = MotionChoice::sim;
  chosen.location = LocationChoice::none;
  const auto quiet = chooseProviders(providerRequest(chosen), {});
  EXPECT_EQ(quiet.note, "");
  EXPECT_EQ(quiet.locationReport, "none (GeoClue2: not probed; gpsd localhost:2947: not probed)");
}

// "auto" uses every location service found, GeoClue2 first; what the look at the system bus
// found is reported and, when a choice cannot be made, named.
TEST(ProviderChoice, AutoCombinesWhatIsFoundAndTheBusIsReported) {
  const ProviderRequest automatic = providerRequest(optionsFor(Command::info));
  GeoclueProbe running;
  running.bus = running.running = true;
  const auto both =
      chooseProviders(automatic, {Finding::absent, Finding::present, Finding::present, running});
  EXPECT_EQ(both.location, LocationChoice::combined);
  EXPECT_THAT(both.locationMembers, ElementsAre(LocationChoice::geoclue, LocationChoice::gpsd));
  EXPECT_EQ(both.locationReport,
            "combined (geoclue: running on the system bus; gpsd localhost:2947: answers)");
  const auto geoclueAlone =
      chooseProviders(automatic, {Finding::absent, Finding::absent, Finding::present, running});
  EXPECT_EQ(geoclueAlone.location, LocationChoice::geoclue);
  EXPECT_EQ(geoclueAlone.locationReport, "geoclue (running on the system bus)");

  GeoclueProbe activatable;
  activatable.bus = activatable.activatable = true;
  EXPECT_EQ(
      chooseProviders(automatic, {Finding::absent, Finding::absent, Finding::present, activatable})
          .locationReport,
      "geoclue (activatable on the system bus)");

  GeoclueProbe emptyBus;
  emptyBus.bus = true;
  const auto toGpsd =
      chooseProviders(automatic, {Finding::absent, Finding::present, Finding::absent, emptyBus});
  EXPECT_EQ(toGpsd.location, LocationChoice::gpsd);
  const auto nothing = chooseProviders(
      automatic, {Finding::absent, Finding::absent, Finding::absent, GeoclueProbe{}});
  EXPECT_EQ(nothing.locationReport,
            "simulated (GeoClue2: no system bus; gpsd localhost:2947: no answer)");
  EXPECT_EQ(nothing.note,
            "no IIO motion devices found and no system bus for GeoClue2 and no gpsd answers at "
            "localhost:2947; using the simulated device");

  Options geoclue = optionsFor(Command::snapshot);
  geoclue.location = LocationChoice::geoclue;
  EXPECT_EQ(usageErrorOf([&] {
              chooseProviders(providerRequest(geoclue),
                              {Finding::present, Finding::present, Finding::absent, emptyBus});
            }).first,
            "--location geoclue: GeoClue2 is not on the system bus");
  EXPECT_EQ(usageErrorOf([&] {
              chooseProviders(providerRequest(geoclue),
                              {Finding::present, Finding::absent, Finding::notBuilt, {}});
            }).first,
            "--location geoclue: this build has no GeoClue2 location provider (libsystemd was "
            "not found when it was built)");
  geoclue.virtualTime = true;
  EXPECT_THAT(usageErrorOf([&] { providerRequest(geoclue); }).first,
              HasSubstr("cannot drive --location geoclue"));
}

// A list is used together; each real member must be there, and a list with the simulated
// device may run on a scenario.
TEST(ProviderChoice, AListOfLocationServicesIsCombinedAndEachMemberChecked) {
  const std::vector<CommandEntry> commands = {
      {Command::snapshot, "snapshot", declareSnapshotOptions, nullptr}};
  const Options listed =
      parseCommandLine({"snapshot", "--location", "geoclue,gpsd=127.0.0.1:2948"}, commands);
  EXPECT_EQ(listed.location, LocationChoice::combined);
  EXPECT_THAT(listed.locationMembers, ElementsAre(LocationChoice::geoclue, LocationChoice::gpsd));
  EXPECT_EQ(listed.gpsd.host, "127.0.0.1");
  EXPECT_EQ(listed.gpsd.port, "2948");
  // The last --location counts, whole.
  const Options single =
      parseCommandLine({"snapshot", "--location", "sim,gpsd", "--location", "gpsd"}, commands);
  EXPECT_EQ(single.location, LocationChoice::gpsd);
  EXPECT_TRUE(single.locationMembers.empty());

  const auto parseError = [&](std::vector<std::string> args) {
    return usageErrorOf([&] { parseCommandLine(args, commands); }).first;
  };
  EXPECT_EQ(parseError({"snapshot", "--location", "gpsd,geoclue,gpsd=h:1"}),
            "--location: 'gpsd=h:1' is listed twice in 'gpsd,geoclue,gpsd=h:1'");
  EXPECT_THAT(parseError({"snapshot", "--location", "geoclue,auto"}),
              HasSubstr("'auto' cannot be listed with other services"));
  EXPECT_THAT(parseError({"snapshot", "--location", "geoclue,"}),
              HasSubstr("expected auto, sim, gpsd[=HOST:PORT], geoclue or none, got ''"));
  EXPECT_THAT(parseError({"snapshot", "--location", "sim,gpsd=nohost"}),
              HasSubstr("cannot read 'nohost' as a host and a port"));

  const ProviderRequest request = providerRequest(listed);
  GeoclueProbe emptyBus;
  emptyBus.bus = true;
  // Only the members are looked for... and each must be there.
  EXPECT_EQ(
      usageErrorOf([&] {
        chooseProviders(request, {Finding::absent, Finding::present, Finding::absent, emptyBus});
      }).first,
      "--location geoclue: GeoClue2 is not on the system bus");
  GeoclueProbe running;
  running.bus = running.running = true;
  const auto chosen =
      chooseProviders(request, {Finding::absent, Finding::present, Finding::present, running});
  EXPECT_EQ(chosen.location, LocationChoice::combined);
  EXPECT_EQ(chosen.gpsd.port, "2948");
  EXPECT_EQ(chosen.locationReport,
            "combined (geoclue: running on the system bus; gpsd 127.0.0.1:2948: answers)");

  Options withSim = listed;
  withSim.locationMembers = {LocationChoice::sim, LocationChoice::gpsd};
  withSim.motion = MotionChoice::iio;
  withSim.scenarioPath = "device.json";
  const auto simAndGpsd =
      chooseProviders(providerRequest(withSim), {Finding::present, Finding::present});
  EXPECT_EQ(simAndGpsd.locationReport, "combined (simulated; gpsd 127.0.0.1:2948: answers)");
  withSim.virtualTime = true;
  withSim.motion = MotionChoice::sim;
  EXPECT_THAT(usageErrorOf([&] { providerRequest(withSim); }).first,
              HasSubstr("cannot drive --location gpsd"));
}

TEST(ProviderChoice, ScenarioAndVirtualTimeMeanTheSimulatedDevice) {
  Options scenario = optionsFor(Command::snapshot);
  scenario.scenarioPath = "device.json";
  const ProviderRequest simulated = providerRequest(scenario);
  EXPECT_EQ(simulated.motion, MotionChoice::sim);
  EXPECT_EQ(simulated.location, LocationChoice::sim);
  // Nothing real is looked for, so a run on a scenario never waits for a gpsd that is not there.
  const Findings findings = lookForProviders(simulated);
  EXPECT_EQ(findings.iio, Finding::notLooked);
  EXPECT_EQ(findings.gpsd, Finding::notLooked);
  EXPECT_EQ(findings.geoclue, Finding::notLooked);
  EXPECT_EQ(chooseProviders(simulated, findings).note, "");

  // A scenario may drive only one of the two.
  scenario.location = LocationChoice::none;
  EXPECT_EQ(providerRequest(scenario).motion, MotionChoice::sim);
  scenario.motion = MotionChoice::iio;
  EXPECT_THAT(usageErrorOf([&] { providerRequest(scenario); }).first,
              HasSubstr("neither --motion nor --location uses it"));

  Options virtualTime = optionsFor(Command::sync);
  virtualTime.virtualTime = true;
  virtualTime.location = LocationChoice::gpsd;
  EXPECT_THAT(usageErrorOf([&] { providerRequest(virtualTime); }).first,
              HasSubstr("cannot drive --location gpsd"));
  virtualTime.location = LocationChoice::automatic;
  virtualTime.motion = MotionChoice::iio;
  EXPECT_THAT(usageErrorOf([&] { providerRequest(virtualTime); }).first,
              HasSubstr("cannot drive --motion iio"));

  EXPECT_TRUE(providerRequest(optionsFor(Command::info)).lookEverywhere);
  EXPECT_FALSE(providerRequest(optionsFor(Command::sync)).lookEverywhere);
}

// A command added to the table is parsed, listed and told apart like the built-in ones.
void declareRecordOptions(CLI::App& command, Options& options) {
  declareProviderOptions(command, options);
  command.add_option_function<std::string>(
      "--output", [&options](const std::string& value) { options.scenarioPath = value; });
}

TEST(CommandLine, ReadsWhateverCommandTableItIsGiven) {
  const std::vector<CommandEntry> commands = {
      {Command::sync, "sync", declareSyncOptions, nullptr},
      {Command::info, "record", declareRecordOptions, nullptr},
  };
  const Options record =
      parseCommandLine({"record", "--output", "x.json", "--virtual-time"}, commands);
  EXPECT_EQ(record.command, Command::info);
  EXPECT_EQ(record.scenarioPath, "x.json");
  EXPECT_TRUE(record.virtualTime);

  const auto parseError = [&](std::vector<std::string> args) {
    return usageErrorOf([&] { parseCommandLine(args, commands); }).first;
  };
  EXPECT_EQ(parseError({"sync", "--output", "x"}), "option '--output' does not apply to sync");
  EXPECT_EQ(parseError({"--limit"}), "expected a command (sync or record) before '--limit'");
  EXPECT_EQ(parseError({"sync", "record"}), "unexpected argument 'record'");
  EXPECT_EQ(parseError({"record", "--output"}), "option '--output' needs a value");

  // "help" ends the command line; the last of repeated values counts.
  EXPECT_EQ(parseCommandLine({"help", "--bogus"}, commands).command, Command::help);
  const Options sync = parseCommandLine({"sync", "--limit=1", "--limit", "-7"}, commands);
  EXPECT_EQ(sync.command, Command::sync);
  EXPECT_EQ(sync.limit, -7);
}

}  // namespace
}  // namespace pemdor::host
