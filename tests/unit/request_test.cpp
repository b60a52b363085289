// Decoding and splitting of the request text.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {
namespace {

struct DecodeCase {
  std::string encoded;
  std::string decoded;
};

class UrlDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UrlDecodeTest, DecodesInPlace) {
  std::string text = GetParam().encoded;
  UrlDecode(text);
  EXPECT_EQ(text, GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlDecodeTest,
    ::testing::Values(DecodeCase{"NAME=a+b", "NAME=a b"}, DecodeCase{"NAME=a%20b", "NAME=a b"},
                      DecodeCase{"NAME=a%2Bb", "NAME=a+b"},
                      DecodeCase{"GCOS=x%26y%3Dz", "GCOS=x&y=z"},
                      DecodeCase{"%e3%81", "\xe3\x81"},            // lower-case hex digits
                      DecodeCase{"%A4%E6", "\xa4\xe6"},            // EUC-JP bytes
                      DecodeCase{"100%", "100%"},                  // '%' at the end
                      DecodeCase{"a%4", "a%4"},                    // one digit before the end
                      DecodeCase{"%zz1", "%zz1"},                  // not hex: literal '%'
                      DecodeCase{"%4G", "%4G"},                    // second digit not hex
                      DecodeCase{"%%41", "%A"},                    // '%' then a real escape
                      DecodeCase{"a=%00&b=1", "a="},               // decoded NUL ends the text
                      DecodeCase{std::string("a=1\0b=2", 7), "a=1"},  // raw NUL ends it too
                      DecodeCase{"", ""}));

TEST(ParseParameters, SplitsAsTheFormEncodingSays) {
  const std::vector<std::pair<std::string, std::map<std::string, std::string>>> cases = {
      {"COMMAND=VIEW", {{"COMMAND", "VIEW"}}},
      {"a=1&b=2&a=3", {{"a", "3"}, {"b", "2"}}},
      {"a=x=y", {{"a", "x=y"}}},
      {"flag", {{"flag", ""}}},
      {"a=1&flag", {{"a", "1"}, {"flag", ""}}},
      {"a=", {{"a", ""}}},
      {"=v", {{"", "v"}}},
      {"a=1&&b=2", {{"a", "1"}, {"b", "2"}}},
      {"x&y=1", {{"x", ""}, {"y", "1"}}},
      {"a=1&", {{"a", "1"}}},
      {"", {}},
  };
  for (const auto& [text, expected] : cases) {
    gCGIData.clear();
    ParseParameters(text);
    EXPECT_EQ(gCGIData, expected) << "text: " << text;
  }
}

TEST(ParseParameters, DropsNamesOnlyTheEnvironmentOrSettingsMaySet) {
  gCGIData.clear();
  SetParam("REMOTE_ADDR", "192.0.2.1");
  SetParam("REQUEST_METHOD", "GET");
  ParseParameters(
      "REQUEST_METHOD=POST&REMOTE_ADDR=10.0.0.1&USERADD=/bin/sh&SORT=x&SYSTEMUID=-1&"
      "SYSTEMGID=-1&DEF_DIR=/&SHELL1=a&SHELL2=a&SHELL3=a&SHELL4=a&SHELL5=a&USE_CRYPT=NO&"
      "OPTION=-o&USERMOD=x&USERDEL=x&GROUPADD=x&GROUPDEL=x&COMMAND=VIEW");
  const std::map<std::string, std::string> expected = {
      {"REMOTE_ADDR", "192.0.2.1"}, {"REQUEST_METHOD", "GET"}, {"COMMAND", "VIEW"}};
  EXPECT_EQ(gCGIData, expected);
}

TEST(ForEachField, YieldsEveryFieldOfTheNameInOrder) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"COMMAND=WILLBEDEL&NAME=a&NAME=b&NAME=a", {"a", "b", "a"}},
      {"COMMAND=WILLBEDEL", {}},
      {"NAME=a&NAMES=b&XNAME=c&NAME=", {"a", ""}},
      {"NAME=a&", {"a"}},
      {"NAME=a&NAME", {"a", ""}},
      {"x&NAME=a", {"a"}},  // a field without '=' ends at the next '&'
      {"NAME=a=b&NAME=c", {"a=b", "c"}},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<std::string> seen;
    ForEachField(text, "NAME", [&](const std::string& value) { seen.push_back(value); });
    EXPECT_EQ(seen, expected) << "text: " << text;
  }
}

TEST(AtoiLike, ConvertsLikeTheCLibrary) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"499", 499}, {"  12", 12}, {"+7", 7}, {"-1", -1}, {"12ab", 12}, {"ab", 0},
      {"", 0},      {"0x10", 0},  {"4294967295", -1}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(AtoiLike(text), expected) << text;
}

}  // namespace
}  // namespace orvanta
