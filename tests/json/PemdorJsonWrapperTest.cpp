// SPDX-License-Identifier: MIT
#include "SkipOrFail.h"
#include "pemdor/PemdorJsonWrapper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace pemdor {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::optional<Json> parse(std::string_view text) {
  return PemdorJsonWrapper::convertoDictionaryWithJsonData(bytesOf(text));
}

Json nestedArrays(std::size_t depth) {
  Json value = Json::array();
  for (std::size_t i = 1; i < depth; ++i) value = Json::array({std::move(value)});
  return value;
}

TEST(PemdorJsonWrapper, writesCompactTextInKeyOrder) {
  const Json value = {{"b", {1, -2.5, "x", true, nullptr, {{"c", Json::object()}}}},
                      {"a", "\xC3\xA9\"\\\n\x01"},
                      {"Gyroscope", {"[0.10, -0.20, 0.30]", ""}}};
  const std::string expected = R"({"Gyroscope":["[0.10, -0.20, 0.30]",""],"a":"é\"\\\n\u0001",)"
                               R"("b":[1,-2.5,"x",true,null,{"c":{}}]})";
  EXPECT_EQ(PemdorJsonWrapper::convertToJsonStringWithDictionary(value), expected);
  EXPECT_EQ(PemdorJsonWrapper::convertToJsonDataWithDictionary(value), bytesOf(expected));
  EXPECT_EQ(PemdorJsonWrapper::convertToJsonStringWithDictionary(Json::array()), "[]");
}

TEST(PemdorJsonWrapper, refusesWhatJsonCannotCarry) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<const char*, std::optional<Json>>> refused = {
      {"absent", std::nullopt},
      {"top-level string", Json("text")},
      {"top-level number", Json(1)},
      {"top-level null", Json(nullptr)},
      {"top-level bool", Json(true)},
      {"NaN", Json::array({1, nan})},
      {"infinity nested", Json{{"a", {{"b", Json::array({inf})}}}}},
      {"negative infinity", Json{{"a", -inf}}},
      {"invalid UTF-8 value", Json{{"a", "ok\xFF"}}},
      {"overlong UTF-8 value", Json::array({"\xC0\xAF"})},
      {"UTF-8 surrogate value", Json::array({"\xED\xA0\x80"})},
      {"invalid UTF-8 key", Json{{"\xC3", 1}}},
      {"binary nested", Json{{"a", Json::array({Json::binary({1, 2})})}}},
      {"discarded nested", Json{{"a", Json(Json::value_t::discarded)}}},
      {"top-level binary", Json::binary({1})},
      {"too deep", nestedArrays(PemdorJsonWrapper::kMaxDepth + 1)},
  };
  for (const auto& [name, value] : refused) {
    EXPECT_EQ(PemdorJsonWrapper::convertToJsonDataWithDictionary(value), std::nullopt) << name;
    EXPECT_EQ(PemdorJsonWrapper::convertToJsonStringWithDictionary(value), std::nullopt) << name;
  }
  EXPECT_TRUE(PemdorJsonWrapper::convertToJsonStringWithDictionary(
      nestedArrays(PemdorJsonWrapper::kMaxDepth)));
}

TEST(PemdorJsonWrapper, roundTripsThroughBytesAndText) {
  const Json value = {
      {"strings", {"", "plain", "tab\tquote\"", std::string("zero\0byte", 9), "\xF0\x9D\x84\x9E"}},
      {"numbers",
       {0, -0.0, 0.1, 1e300, -5e-324, std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::uint64_t>::max()}},
      {std::string("key\0with zero", 13), {{"nested", Json::array({Json::object()})}}},
      {"Acceleration", {"[0.01, -0.98, 0.12]"}},
  };
  const auto text = PemdorJsonWrapper::convertToJsonStringWithDictionary(value);
  ASSERT_TRUE(text);
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonString(text), value);
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonData(
                PemdorJsonWrapper::convertToJsonDataWithDictionary(value)),
            value);
  EXPECT_EQ(text->find('\0'), std::string::npos);
}

TEST(PemdorJsonWrapper, readsAnyTopLevelAndStopsTextAtZeroByte) {
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonData(std::nullopt), std::nullopt);
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonString(std::nullopt), std::nullopt);
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonData(Bytes{}), std::nullopt);
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonString(""), std::nullopt);

  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonString(std::string("{}\0garbage", 10)),
            Json::object());
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonString(std::string("\0{}", 3)),
            std::nullopt);
  // The bytes operation has no such cut: a zero byte after the value is trailing garbage.
  EXPECT_EQ(PemdorJsonWrapper::convertoDictionaryWithJsonData(bytesOf(std::string("{}\0", 3))),
            std::nullopt);

  const auto list = PemdorJsonWrapper::convertoDictionaryWithJsonString(R"( ["a", {"b": 2}] )");
  ASSERT_TRUE(list);
  EXPECT_TRUE(list->is_array());
  EXPECT_EQ(*list, Json::array({"a", {{"b", 2}}}));
  EXPECT_EQ(parse("-12.5e1"), Json(-125.0));
  EXPECT_EQ(parse(R"("\ud834\udd1e")"), Json("\xF0\x9D\x84\x9E"));
  EXPECT_EQ(parse("\xEF\xBB\xBF{}"), Json::object());
}

TEST(PemdorJsonWrapper, refusesNonStrictJson) {
  const char* const refused[] = {
      " ",          "[1,]",           R"({"a":1,})",   "[1] x",
      "[1]]",       "{} {}",          "[1] // note",   "/**/[]",
      "[01]",       "[.5]",           "[NaN]",         "[Infinity]",
      "['a']",      "{a:1}",          "[\"\t\"]",      "\xEF\xBB\xBF",
      "[\"\xFF\"]", "[\"\xC0\xAF\"]", R"(["\ud800"])", R"(["\udc00x"])",
      "[1e400]",    "\xEF\xBB{}",     "[\v]",          "\"\\x41\"",
      "[\"a\\\"]",
  };
  for (const char* text : refused) EXPECT_EQ(parse(text), std::nullopt) << text;
}

TEST(PemdorJsonWrapper, boundsNestingDepthWithoutCrashing) {
  const std::size_t limit = PemdorJsonWrapper::kMaxDepth;
  EXPECT_EQ(parse(std::string(100'000, '[')), std::nullopt);
  EXPECT_EQ(parse(std::string(100'000, '[') + std::string(100'000, ']')), std::nullopt);
  EXPECT_EQ(parse(std::string(50'000, '{') + "\"a\":1" + std::string(50'000, '}')), std::nullopt);
  EXPECT_EQ(parse(std::string(limit + 1, '[') + std::string(limit + 1, ']')), std::nullopt);
  EXPECT_EQ(parse(std::string(limit, '[') + std::string(limit, ']')), nestedArrays(limit));

  // Brackets inside strings, also after an escaped quote, are text and do not nest.
  const std::string brackets(10'000, '[');
  EXPECT_EQ(parse("[\"" + brackets + "\"]"), Json::array({brackets}));
  EXPECT_EQ(parse("[\"\\\"" + brackets + "\\\\\"]"), Json::array({"\"" + brackets + "\\"}));
}

// Every y_ file must parse, every n_ file must be refused, and no i_ file may crash.
TEST(PemdorJsonWrapper, followsJsonTestSuiteCorpus) {
  const std::filesystem::path folder = PEMDOR_TEST_DATA_DIR "/JSONTestSuite/test_parsing";
  if (!std::filesystem::is_directory(folder)) {
    PEMDOR_SKIP_OR_FAIL_IN_CI(folder.string() + " is missing");
  }
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto value = PemdorJsonWrapper::convertoDictionaryWithJsonData(bytes);
    if (name.starts_with("y_")) {
      EXPECT_TRUE(value) << name;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(value) << name;
    }
    ++files;
  }
  EXPECT_GT(files, 300u);
}

}  // namespace
}  // namespace pemdor
