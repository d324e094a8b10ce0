# SPDX-License-Identifier: MIT
"""Short motion-sensor and position samples as text and JSON."""

import os
from typing import Callable, Optional, Union

__version__: str
"""The library's version, "major.minor.patch"."""

class ScenarioError(ValueError):
    """A scenario that cannot be read. The message is the sample host's one line, naming the
    file and the place in it, e.g. "s.json: location.colour: unknown key"."""

class Platform:
    """What a collector reaches outside itself: a dispatcher, a clock, motion and location."""

    @staticmethod
    def default() -> "Platform":
        """The process default platform: real time, the best providers on this machine."""

    @staticmethod
    def simulated(
        scenario: Union[str, "os.PathLike[str]", None] = None, virtual_time: bool = False
    ) -> "Platform":
        """The simulated device on the built-in scenario (None) or a scenario file.

        Raises ScenarioError for a bad scenario and FileNotFoundError for a missing file. In
        virtual time nothing happens until the clock moves: advance(), or process_sensors(),
        which drives it itself."""

    @property
    def virtual_time(self) -> bool:
        """Whether the platform runs in virtual time."""

    def advance(self, seconds: float) -> None:
        """Virtual time only: runs what is due and moves the clock by seconds; completions of
        callback runs are called inside. RuntimeError on a real-time platform, ValueError for a
        negative or non-finite amount."""

    def __str__(self) -> str:
        """"motion: NAME, location: NAME"."""

class Collector:
    """Takes short samples of the motion sensors and one coarse position."""

    def __init__(self, platform: Optional[Platform] = None) -> None:
        """A collector on platform, or on the process default platform."""

    def available_sensors(self) -> str:
        """"Sensors" followed by "Accelerometer", "Gyro", "Magnetometer" for each available."""

    def is_location_service_available(self) -> bool:
        """Whether the platform's location services are enabled."""

    def get_current_time(self) -> str:
        """The platform's wall clock in milliseconds since 1970, as decimal digits."""

    def process_sensors_with_callback(
        self, fn: Callable[[str, str, Optional[str]], object]
    ) -> None:
        """Starts a callback run. fn(latitude, longitude, json) is called once, on a library
        thread, with the GIL held; json is None when it could not be made. An exception it
        raises goes to sys.unraisablehook. Dropping the collector first drops the call."""

    def process_sensors(self, timeout: float = 30.0) -> tuple[str, str, Optional[str]]:
        """Runs a callback run and returns (latitude, longitude, json), waiting with the GIL
        released. In virtual time it drives the clock (at most timeout virtual seconds) and
        returns at once. TimeoutError past timeout; KeyboardInterrupt on Ctrl-C, leaving the
        run to end by itself."""

    def start_sensors(self, limit: int = 10) -> None:
        """Starts a sync run keeping up to limit timestamped readings per stream."""

    def get_sensor_data(self) -> dict[str, Union[str, list[str]]]:
        """A copy of the sync data: "la", "lo", "Time" as strings and "Accelerometer",
        "Gyroscope", "Magnetometer", "Gravity" as lists of record texts, each present exactly
        when the collector holds it."""

    def finish_sensors(self) -> None:
        """Ends the sync run."""

def json_string_with_dictionary(d: Union[dict, list]) -> Optional[str]:
    """Compact JSON text of d, or None for what JSON cannot carry (a non-finite number, a
    non-string key, a value of another type, nesting deeper than 512)."""

def parse_json_string(text: str) -> Optional[object]:
    """The value of a strict JSON text, or None when it is not one (JSON null also gives
    None)."""
