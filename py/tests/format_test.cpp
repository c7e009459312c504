#include "format.hpp"

#include <gtest/gtest.h>

#include "fake_lookups.hpp"
#include "temp_dir.hpp"

namespace fennik {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(FormatParse, ExactNamesAndAliases) {
  const std::pair<const char*, Format::Value> ok[] = {{"json", Format::Json},
                                                      {"pb", Format::Protobuf},
                                                      {"proto", Format::Protobuf},
                                                      {"protobuf", Format::Protobuf},
                                                      {"pprof", Format::Pprof}};
  for (const auto& [text, want] : ok) {
    auto r = Format::parse(text);
    ASSERT_TRUE(std::holds_alternative<Format>(r)) << text;
    EXPECT_EQ(std::get<Format>(r), want) << text;
  }
  EXPECT_STREQ(Format(Format::Protobuf).name(), "protobuf");
  EXPECT_STREQ(Format(Format::Json).name(), "json");
  EXPECT_STREQ(Format(Format::Pprof).name(), "pprof");
}

TEST(FormatParse, OtherSpellingsAreRejectedWithTheNameUnchanged) {
  for (const char* text : {"JSON", "Protobuf", " json", "perfetto"}) {
    auto r = Format::parse(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(r)) << text;
    EXPECT_EQ(std::get<std::string>(r), std::string("unknown format: ") + text);
  }
  EXPECT_EQ(std::get<std::string>(Format::parse("")), "unknown format: ");
}

// Opens, writes no events, finishes: the smallest output of each format.
std::string finished_output(Format f, const std::string& path, std::uint32_t tag, bool append,
                            std::uint64_t dropped = 0) {
  auto r = Format::open(f, path, tag, append);
  if (!r.ok()) return "open failed: " + r.error().text();
  testing::FakeCodes codes;
  testing::FakeThreads threads;
  if (IoStatus err = r.value()->finish(codes, threads, dropped))
    return "finish failed: " + err->text();
  return "";
}

TEST(FormatOpen, FreshOutputsReplaceExistingFiles) {
  TempDir dir;
  for (Format f : {Format::Json, Format::Protobuf, Format::Pprof}) {
    const std::string path = dir.file(std::string("out.") + f.name());
    write_file(path, "OLD-CONTENT");
    ASSERT_EQ(finished_output(f, path, 0, false), "");
    EXPECT_EQ(read_file(path).find("OLD-CONTENT"), std::string::npos) << f.name();
  }
}

TEST(FormatOpen, AppendingKeepsWhatIsThere) {
  TempDir dir;
  const std::string pb = dir.file("out.pb");
  write_file(pb, "OLD");
  // A dropped count makes the exporter write something.
  ASSERT_EQ(finished_output(Format::Protobuf, pb, 77, true, 3), "");
  EXPECT_EQ(read_file(pb).rfind("OLD", 0), 0u) << "existing records stay first";
  EXPECT_GT(read_file(pb).size(), 3u);

  const std::string json = dir.file("out.json");
  write_file(json, "[{},");
  ASSERT_EQ(finished_output(Format::Json, json, 77, true), "");
  EXPECT_EQ(read_file(json), "[{},") << "an appending writer adds no second opening bracket";
}

TEST(FormatOpen, AppendingPprofWritesItsOwnTaggedFile) {
  TempDir dir;
  const std::string path = dir.file("out.pprof");
  write_file(path, "PARENT");
  ASSERT_EQ(finished_output(Format::Pprof, path, 77, true), "");
  EXPECT_EQ(read_file(path), "PARENT");
  EXPECT_GT(read_file(path + ".77").size(), 0u);
}

TEST(FormatOpen, AMissingDirectoryIsAnOsError) {
  TempDir dir;
  for (Format f : {Format::Json, Format::Protobuf, Format::Pprof}) {
    for (bool append : {false, true}) {
      auto r = Format::open(f, dir.file("no/such/out"), 5, append);
      ASSERT_FALSE(r.ok()) << f.name();
      EXPECT_EQ(r.error().text(), "No such file or directory (os error 2)") << f.name();
    }
  }
}

}  // namespace
}  // namespace fennik
