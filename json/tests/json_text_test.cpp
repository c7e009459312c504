#include "json_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fennik::json {
namespace {

std::string string_of(std::string_view text) {
  ByteBuffer b(0);
  push_string(b, text);
  return std::string(b.view());
}

std::string micros_of(std::uint64_t ns) {
  ByteBuffer b(0);
  push_micros(b, ns);
  return std::string(b.view());
}

using Cases = std::vector<std::pair<std::string_view, std::string_view>>;

void expect_strings(const Cases& cases) {
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(string_of(in), want) << "input bytes of length " << in.size();
  }
}

TEST(PushString, EscapesQuotesBackslashesAndControlBytes) {
  using namespace std::string_view_literals;
  expect_strings({
      {""sv, R"("")"sv},
      {"plain"sv, R"("plain")"sv},
      {"a\"b"sv, R"("a\"b")"sv},
      {"a\\b"sv, R"("a\\b")"sv},
      {"\b\t\n\f\r"sv, R"("\b\t\n\f\r")"sv},
      {"\x00"sv, R"("\u0000")"sv},
      {"\x01"sv, R"("\u0001")"sv},
      {"\x0b"sv, R"("\u000b")"sv},
      {"\x1b[0m"sv, R"("\u001b[0m")"sv},
      {"\x1f"sv, R"("\u001f")"sv},
      {" ~/"sv, R"(" ~/")"sv},
      {"\x7f"sv, "\"\x7f\""sv},
  });
}

TEST(PushString, CopiesWellFormedUtf8ByteForByte) {
  expect_strings({
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                // U+00E9
      {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},              // U+20AC
      {"\xED\x9F\xBF", "\"\xED\x9F\xBF\""},              // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", "\"\xEE\x80\x80\""},              // U+E000, just above them
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},      // U+1F600
      {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},      // U+10FFFF
      {"\xE6\x97\xA5\"\\", "\"\xE6\x97\xA5\\\"\\\\\""},  // escapes still apply after UTF-8
  });
}

// Raw ill-formed bytes would make the whole file undecodable; each maximal
// ill-formed subpart becomes one U+FFFD, the same split Python's decoder makes.
TEST(PushString, ReplacesIllFormedUtf8) {
  expect_strings({
      {"\x80", "\"\xEF\xBF\xBD\""},
      {"\xFF", "\"\xEF\xBF\xBD\""},
      {"\xF5", "\"\xEF\xBF\xBD\""},
      {"a\xC3", "\"a\xEF\xBF\xBD\""},                                // cut at the end
      {"\xC3\"", "\"\xEF\xBF\xBD\\\"\""},                            // cut by a quote
      {"\xE2\x82x", "\"\xEF\xBF\xBDx\""},                            // 2-byte subpart
      {"\xF0\x9F\x98", "\"\xEF\xBF\xBD\""},                          // 3-byte subpart
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {"\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // > U+10FFFF
  });
}

TEST(PushNumbers, MicrosecondsWithThreeDecimals) {
  EXPECT_EQ(micros_of(0), "0.000");
  EXPECT_EQ(micros_of(5), "0.005");
  EXPECT_EQ(micros_of(50), "0.050");
  EXPECT_EQ(micros_of(999), "0.999");
  EXPECT_EQ(micros_of(1000), "1.000");
  EXPECT_EQ(micros_of(12005), "12.005");
  EXPECT_EQ(micros_of(1234567), "1234.567");
  EXPECT_EQ(micros_of(std::numeric_limits<std::uint64_t>::max()), "18446744073709551.615");
}

}  // namespace
}  // namespace fennik::json
