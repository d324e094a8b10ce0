# SPDX-License-Identifier: MIT
"""Short motion-sensor and position samples as text and JSON.

A collector takes ten readings of each motion sensor and one coarse position (a callback run,
or ``process_sensors`` that waits for it), or keeps timestamped readings until it is told to
stop (a sync run). Platforms are the process default (the machine's own sensors) or a simulated
device on a scenario file, in real or virtual time.
"""

from ._pemdor import (
    Collector,
    Platform,
    ScenarioError,
    __version__,
    json_string_with_dictionary,
    parse_json_string,
)

__all__ = [
    "Collector",
    "Platform",
    "ScenarioError",
    "__version__",
    "json_string_with_dictionary",
    "parse_json_string",
]
