// SPDX-License-Identifier: MIT
// The Python module pemdor._pemdor, re-exported by the package pemdor. It is built on the C
// interface (the same handles, the same completion guard) and reaches the C++ objects behind
// the handles only to drive a virtual clock until a run ends and to copy the sync data.
//
// The GIL: every wait and every call that may run library work (advancing a virtual clock,
// releasing a handle, which may wait for a running completion) releases it; completions take
// it before they call Python code.

#include <pybind11/pybind11.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "CApiHandles.h"
#include "pemdor/PemdorJsonWrapper.h"
#include "pemdor/pemdor.h"

namespace py = pybind11;

namespace {

// Owns a string the C interface returned.
struct CText {
  char* text;
  explicit CText(char* t) : text(t) {}
  ~CText() { pemdor_free(text); }
  CText(const CText&) = delete;
  CText& operator=(const CText&) = delete;
  std::string str() const { return text ? std::string(text) : std::string(); }
};

PyObject* scenarioError = nullptr;

// The result of one process_sensors call, filled on a library thread.
struct ResultBox {
  std::mutex mutex;
  std::condition_variable delivered;
  bool ready = false;
  std::string latitude;
  std::string longitude;
  std::optional<std::string> json;

  void deliver(const char* lat, const char* lon, const char* text) {
    {
      std::lock_guard lock(mutex);
      if (ready) return;
      latitude = lat;
      longitude = lon;
      if (text != nullptr) json = text;
      ready = true;
    }
    delivered.notify_all();
  }
  bool isReady() {
    std::lock_guard lock(mutex);
    return ready;
  }
  bool waitFor(double seconds) {
    std::unique_lock lock(mutex);
    delivered.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return ready; });
    return ready;
  }
};

struct CollectorState;

// One run's user_data: a Python callable (callback runs) or a box (process_sensors).
struct Pending {
  std::shared_ptr<CollectorState> state;
  py::object callback;
  std::shared_ptr<ResultBox> box;
};

// The runs of one collector whose completion has not come yet. A completion takes its entry
// out before it runs; the collector deletes the entries left once no completion can come.
struct CollectorState {
  std::mutex mutex;
  std::set<Pending*> pending;

  bool take(Pending* p) {
    std::lock_guard lock(mutex);
    return pending.erase(p) == 1;
  }
};

bool pythonUsable() {
  return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0;
}

void onCompletion(void* userData, const char* latitude, const char* longitude, const char* json) {
  auto* p = static_cast<Pending*>(userData);
  if (!p->state->take(p)) return;
  if (p->box) {
    p->box->deliver(latitude, longitude, json);
    delete p;
    return;
  }
  if (!pythonUsable()) {
    // The interpreter is going away: the callable is leaked rather than released without it.
    p->callback.release();
    delete p;
    return;
  }
  py::gil_scoped_acquire gil;
  try {
    py::object jsonArgument = json != nullptr ? py::object(py::str(json)) : py::object(py::none());
    p->callback(py::str(latitude), py::str(longitude), jsonArgument);
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable(p->callback);
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    PyErr_WriteUnraisable(p->callback.ptr());
  }
  delete p;
}

class PyPlatform {
 public:
  explicit PyPlatform(pemdor_platform* handle) : handle_(handle) {}
  ~PyPlatform() {
    // The last holder of a platform ends its dispatcher, which waits for running completions.
    py::gil_scoped_release nogil;
    pemdor_platform_free(handle_);
  }
  PyPlatform(const PyPlatform&) = delete;
  PyPlatform& operator=(const PyPlatform&) = delete;

  static std::unique_ptr<PyPlatform> makeDefault() {
    pemdor_platform* handle = nullptr;
    {
      py::gil_scoped_release nogil;
      handle = pemdor_platform_default();
    }
    if (handle == nullptr) throw std::runtime_error("the default platform could not be made");
    return std::make_unique<PyPlatform>(handle);
  }

  static std::unique_ptr<PyPlatform> makeSimulated(const py::object& scenario, bool virtualTime) {
    std::optional<std::string> path;
    if (!scenario.is_none()) {
      path = py::str(py::module_::import("os").attr("fspath")(scenario)).cast<std::string>();
    }
    char* error = nullptr;
    pemdor_platform* handle = nullptr;
    {
      py::gil_scoped_release nogil;
      handle =
          pemdor_platform_simulated(path ? path->c_str() : nullptr, virtualTime ? 1 : 0, &error);
    }
    if (handle != nullptr) return std::make_unique<PyPlatform>(handle);
    const CText message(error);
    struct stat info {};
    if (path && ::stat(path->c_str(), &info) != 0 && errno == ENOENT) {
      PyErr_SetObject(PyExc_FileNotFoundError,
                      py::make_tuple(ENOENT, std::strerror(ENOENT), *path).ptr());
      throw py::error_already_set();
    }
    PyErr_SetString(scenarioError, message.str().c_str());
    throw py::error_already_set();
  }

  bool virtualTime() const { return pemdor_platform_is_virtual_time(handle_) != 0; }

  void advance(double seconds) {
    if (!virtualTime()) {
      throw std::runtime_error("advance needs a platform in virtual time");
    }
    if (!std::isfinite(seconds) || seconds < 0.0) {
      throw py::value_error("advance takes a finite amount of seconds, not negative");
    }
    py::gil_scoped_release nogil;
    pemdor_platform_advance(handle_, seconds);
  }

  std::string describe() const { return CText(pemdor_platform_describe(handle_)).str(); }

  pemdor_platform* handle() const { return handle_; }

 private:
  pemdor_platform* handle_;
};

class PyCollector {
 public:
  explicit PyCollector(PyPlatform* platform) {
    {
      py::gil_scoped_release nogil;
      handle_ = pemdor_collector_new(platform != nullptr ? platform->handle() : nullptr);
    }
    if (handle_ == nullptr) throw std::runtime_error("the collector could not be made");
  }

  ~PyCollector() {
    {
      // A completion running now may be waiting for the GIL.
      py::gil_scoped_release nogil;
      pemdor_collector_free(handle_);
    }
    // No completion runs any more: the runs still pending are dropped, with the GIL held for
    // their callables.
    std::set<Pending*> left;
    {
      std::lock_guard lock(state_->mutex);
      left.swap(state_->pending);
    }
    for (Pending* p : left) delete p;
  }
  PyCollector(const PyCollector&) = delete;
  PyCollector& operator=(const PyCollector&) = delete;

  std::string availableSensors() const {
    return CText(pemdor_collector_available_sensors(handle_)).str();
  }
  bool isLocationServiceAvailable() const {
    return pemdor_collector_is_location_service_available(handle_) != 0;
  }
  std::string getCurrentTime() const {
    return CText(pemdor_collector_get_current_time(handle_)).str();
  }

  void processSensorsWithCallback(py::function callback) {
    auto* p = add();
    p->callback = std::move(callback);
    start(p);
  }

  py::tuple processSensors(double timeout) {
    if (std::isnan(timeout)) throw py::value_error("timeout must be a number of seconds");
    auto box = std::make_shared<ResultBox>();
    auto* p = add();
    p->box = box;
    start(p);
    if (const auto& virtualDispatcher = handle_->core->virtualDispatcher) {
      // In virtual time the run ends inside this call: the clock is driven until it does.
      py::gil_scoped_release nogil;
      virtualDispatcher->runUntil([&] { return box->isReady(); }, std::max(0.0, timeout));
    } else {
      // Bounded waits, so that a signal (Ctrl-C) is seen within a tenth of a second.
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::duration<double>(std::max(0.0, std::min(timeout, 1e9)));
      for (;;) {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        bool ready = false;
        {
          py::gil_scoped_release nogil;
          ready = box->waitFor(std::max(0.0, std::min(0.1, left)));
        }
        if (ready) break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (left <= 0.0) break;
      }
    }
    if (!box->isReady()) {
      PyErr_SetString(PyExc_TimeoutError, "the run did not end within the timeout");
      throw py::error_already_set();
    }
    std::lock_guard lock(box->mutex);
    return py::make_tuple(box->latitude, box->longitude,
                          box->json ? py::object(py::str(*box->json)) : py::object(py::none()));
  }

  void startSensors(std::int32_t limit) {
    py::gil_scoped_release nogil;
    pemdor_collector_start_sensors(handle_, limit);
  }

  py::dict getSensorData() {
    pemdor::PemdorSensorData data;
    {
      py::gil_scoped_release nogil;
      data = handle_->collector->getSensorData();
    }
    py::dict out;
    for (const auto& [key, value] : data) {
      if (const auto* text = std::get_if<std::string>(&value)) {
        out[py::str(key)] = py::str(*text);
        continue;
      }
      const auto& list = std::get<pemdor::PemdorRecordListRef>(value);
      const std::vector<std::string> entries = list ? list->snapshot() : std::vector<std::string>{};
      py::list items(entries.size());
      for (std::size_t i = 0; i < entries.size(); ++i) {
        items[i] = py::str(entries[i]);
      }
      out[py::str(key)] = std::move(items);
    }
    return out;
  }

  void finishSensors() {
    py::gil_scoped_release nogil;
    pemdor_collector_finish_sensors(handle_);
  }

 private:
  Pending* add() {
    auto* p = new Pending;
    p->state = state_;
    std::lock_guard lock(state_->mutex);
    state_->pending.insert(p);
    return p;
  }
  void start(Pending* p) {
    py::gil_scoped_release nogil;
    pemdor_collector_process_sensors(handle_, onCompletion, p);
  }

  pemdor_collector* handle_ = nullptr;
  std::shared_ptr<CollectorState> state_ = std::make_shared<CollectorState>();
};

// ---- JSON between Python values and the wrapper. -------------------------------------------

// nullopt for what JSON cannot carry (non-string keys, other types, integers beyond 64 bits,
// strings that are not valid Unicode, nesting past the wrapper's limit).
std::optional<nlohmann::json> toJson(const py::handle& value, std::size_t depth) {
  if (value.is_none()) return nlohmann::json(nullptr);
  if (PyBool_Check(value.ptr())) return nlohmann::json(value.ptr() == Py_True);
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0 && !(number == -1 && PyErr_Occurred())) return nlohmann::json(number);
    PyErr_Clear();
    if (overflow > 0) {
      const unsigned long long big = PyLong_AsUnsignedLongLong(value.ptr());
      if (!PyErr_Occurred()) return nlohmann::json(big);
      PyErr_Clear();
    }
    return std::nullopt;
  }
  if (PyFloat_Check(value.ptr())) return nlohmann::json(PyFloat_AsDouble(value.ptr()));
  if (PyUnicode_Check(value.ptr())) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    return nlohmann::json(std::string(utf8, static_cast<std::size_t>(size)));
  }
  if (depth >= pemdor::PemdorJsonWrapper::kMaxDepth) return std::nullopt;
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : value) {
      auto converted = toJson(item, depth + 1);
      if (!converted) return std::nullopt;
      array.push_back(std::move(*converted));
    }
    return array;
  }
  if (PyDict_Check(value.ptr())) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, item] : py::reinterpret_borrow<py::dict>(value)) {
      if (!PyUnicode_Check(key.ptr())) return std::nullopt;
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
      }
      auto converted = toJson(item, depth + 1);
      if (!converted) return std::nullopt;
      object[std::string(utf8, static_cast<std::size_t>(size))] = std::move(*converted);
    }
    return object;
  }
  return std::nullopt;
}

py::object fromJson(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return py::none();
    case nlohmann::json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return py::float_(value.get<double>());
    case nlohmann::json::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
      py::list list;
      for (const auto& item : value) list.append(fromJson(item));
      return list;
    }
    case nlohmann::json::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = fromJson(item);
      return dict;
    }
    default:
      return py::none();
  }
}

py::object jsonStringWithDictionary(const py::handle& dictionary) {
  auto value = toJson(dictionary, 0);
  if (!value) return py::none();
  const auto text = pemdor::PemdorJsonWrapper::convertToJsonStringWithDictionary(value);
  return text ? py::object(py::str(*text)) : py::object(py::none());
}

py::object parseJsonString(const std::string& text) {
  const auto value = pemdor::PemdorJsonWrapper::convertoDictionaryWithJsonString(text);
  return value ? fromJson(*value) : py::object(py::none());
}

}  // namespace

PYBIND11_MODULE(_pemdor, m) {
  m.doc() = "Motion-sensor and position samples as text and JSON (see the package pemdor).";
  m.attr("__version__") = pemdor_version();

  scenarioError = PyErr_NewExceptionWithDoc(
      "pemdor.ScenarioError", "A scenario that cannot be read; the message names the place.",
      PyExc_ValueError, nullptr);
  m.attr("ScenarioError") = py::handle(scenarioError);

  py::class_<PyPlatform>(m, "Platform")
      .def_static("default", &PyPlatform::makeDefault, "The process default platform.")
      .def_static("simulated", &PyPlatform::makeSimulated, py::arg("scenario") = py::none(),
                  py::arg("virtual_time") = false,
                  "The simulated device on the built-in scenario or a scenario file.")
      .def_property_readonly("virtual_time", &PyPlatform::virtualTime)
      .def("advance", &PyPlatform::advance, py::arg("seconds"),
           "Virtual time only: runs what is due and moves the clock by seconds.")
      .def("__str__", &PyPlatform::describe)
      .def("__repr__",
           [](const PyPlatform& p) { return "<pemdor.Platform " + p.describe() + ">"; });

  py::class_<PyCollector>(m, "Collector")
      .def(py::init<PyPlatform*>(), py::arg("platform") = nullptr)
      .def("available_sensors", &PyCollector::availableSensors)
      .def("is_location_service_available", &PyCollector::isLocationServiceAvailable)
      .def("get_current_time", &PyCollector::getCurrentTime)
      .def("process_sensors_with_callback", &PyCollector::processSensorsWithCallback, py::arg("fn"))
      .def("process_sensors", &PyCollector::processSensors, py::arg("timeout") = 30.0)
      .def("start_sensors", &PyCollector::startSensors, py::arg("limit") = 10)
      .def("get_sensor_data", &PyCollector::getSensorData)
      .def("finish_sensors", &PyCollector::finishSensors);

  m.def("json_string_with_dictionary", &jsonStringWithDictionary, py::arg("d"));
  m.def("parse_json_string", &parseJsonString, py::arg("text"));
}
