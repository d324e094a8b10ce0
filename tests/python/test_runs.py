# SPDX-License-Identifier: MIT
"""Both runs from Python, compared byte for byte with the C++ collector's, and bad input."""

import json
import math
import os

import pytest

import pemdor
from conftest import reference, scenario, scenario_files


def test_version_and_platform_text():
    assert pemdor.__version__ == os.environ["PEMDOR_EXPECTED_VERSION"]
    platform = pemdor.Platform.simulated()
    assert str(platform) == "motion: simulated, location: simulated"
    assert not platform.virtual_time
    collector = pemdor.Collector(platform)
    assert collector.available_sensors() == "SensorsAccelerometerGyroMagnetometer"
    assert collector.is_location_service_available() is True

    default = pemdor.Platform.default()
    assert str(default).startswith("motion: ")
    with pytest.raises(RuntimeError):
        default.advance(1.0)
    assert pemdor.Collector().available_sensors().startswith("Sensors")


@pytest.mark.parametrize("path", scenario_files(), ids=os.path.basename)
def test_virtual_runs_match_the_cpp_collector(path):
    expected = reference("callback", path).split("\n")
    completes = expected[0] != "no completion"

    # Driven by process_sensors itself: the same texts and the same snapshot JSON bytes.
    platform = pemdor.Platform.simulated(path, virtual_time=True)
    collector = pemdor.Collector(platform)
    if completes:
        expected_json = None if expected[2] == "(null)" else expected[2]
        assert collector.process_sensors(timeout=15.0) == (expected[0], expected[1], expected_json)
    else:
        with pytest.raises(TimeoutError):
            collector.process_sensors(timeout=15.0)

    # Driven by the host in steps, as the C++ reference is: the same clock afterwards too.
    platform = pemdor.Platform.simulated(path, virtual_time=True)
    collector = pemdor.Collector(platform)
    calls = []
    collector.process_sensors_with_callback(lambda *result: calls.append(result))
    elapsed = 0.0
    while not calls and elapsed < 15.0:
        platform.advance(0.1)
        elapsed += 0.1
    got = [*calls[0][0:2], "(null)" if calls[0][2] is None else calls[0][2]] if calls else [
        "no completion"
    ]
    assert got + [collector.get_current_time()] == expected

    # The sync run: the same keys and texts as the C++ dictionary.
    platform = pemdor.Platform.simulated(path, virtual_time=True)
    collector = pemdor.Collector(platform)
    collector.start_sensors(25)
    platform.advance(12.5)
    data = collector.get_sensor_data()
    assert data == json.loads(reference("sync", path, 25, 12.5))
    collector.finish_sensors()
    # A copy: later readings do not change it.
    before = {key: list(value) if isinstance(value, list) else value for key, value in data.items()}
    platform.advance(1.0)
    assert data == before


def test_dropped_collector_never_calls_back():
    platform = pemdor.Platform.simulated(virtual_time=True)
    collector = pemdor.Collector(platform)
    calls = []
    collector.process_sensors_with_callback(lambda *result: calls.append(result))
    platform.advance(0.55)
    del collector
    platform.advance(15.0)
    assert calls == []
    # The platform goes first; the collector keeps working.
    collector = pemdor.Collector(platform)
    del platform
    assert collector.get_sensor_data() == {}
    assert collector.available_sensors().startswith("Sensors")


def test_bad_scenarios_and_bad_amounts(tmp_path):
    cases = {
        "empty.json": "",
        "unknown-key.json": '{"location": {"colour": 1}}',
        "truncated.json": '{"motion": [1,\n 2',
    }
    for name, text in cases.items():
        (tmp_path / name).write_text(text)
    for path in [*(tmp_path / name for name in cases), tmp_path]:
        with pytest.raises(pemdor.ScenarioError) as error:
            pemdor.Platform.simulated(path, virtual_time=True)
        assert isinstance(error.value, ValueError)
        assert str(error.value) == reference("error", path)
        assert "\n" not in str(error.value)
    with pytest.raises(FileNotFoundError) as missing:
        pemdor.Platform.simulated(str(tmp_path / "missing.json"))
    assert missing.value.filename == str(tmp_path / "missing.json")

    with pytest.raises(RuntimeError):
        pemdor.Platform.simulated().advance(1.0)
    virtual = pemdor.Platform.simulated(virtual_time=True)
    for amount in (-1.0, math.nan, math.inf):
        with pytest.raises(ValueError):
            virtual.advance(amount)
    virtual.advance(0.0)


def test_json_wrapper():
    assert pemdor.json_string_with_dictionary({"b": 1, "a": [1.5, None, True]}) == (
        '{"a":[1.5,null,true],"b":1}'
    )
    assert pemdor.json_string_with_dictionary({"x": "\u00e9"}) == '{"x":"\u00e9"}'
    # What JSON cannot carry is absent.
    for refused in (
        {"x": math.nan},
        {"x": math.inf},
        {1: "a"},
        {"x": {1, 2}},
        {"x": "\ud800"},
        {"x": 2**64},
        42,
        "text",
    ):
        assert pemdor.json_string_with_dictionary(refused) is None, refused
    deep = []
    for _ in range(600):
        deep = [deep]
    assert pemdor.json_string_with_dictionary({"x": deep}) is None
    looped = []
    looped.append(looped)
    assert pemdor.json_string_with_dictionary({"x": looped}) is None

    assert pemdor.parse_json_string('{"a": [1, -2, 2.5, "x", false, null]}') == {
        "a": [1, -2, 2.5, "x", False, None]
    }
    assert pemdor.parse_json_string("18446744073709551615") == 2**64 - 1
    for refused in ("[1,]", "{} x", "// c\n{}", '"\\ud800"', "", "[" * 600 + "]" * 600):
        assert pemdor.parse_json_string(refused) is None, refused


def test_the_stub_matches_the_module():
    import ast

    stub_path = os.path.join(os.path.dirname(pemdor.__file__), "__init__.pyi")
    with open(stub_path) as stub_file:
        stub = ast.parse(stub_file.read())
    names = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {
                item.name for item in node.body if isinstance(item, ast.FunctionDef)
            }
            # Every method of the stub has a docstring.
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    assert ast.get_docstring(item), f"{node.name}.{item.name}"
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
            assert ast.get_docstring(node), node.name
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = None
    assert set(names) == set(pemdor.__all__)
    for class_name in ("Platform", "Collector"):
        public = {name for name in vars(getattr(pemdor, class_name)) if not name.startswith("_")}
        assert {name for name in names[class_name] if not name.startswith("_")} == public
    assert "__str__" in names["Platform"] and "__init__" in names["Collector"]
