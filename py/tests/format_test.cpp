#include "format.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <sstream>
#include <string>

namespace fennik {
namespace {

TEST(FormatTest, TheOutputsNameAsksForAFormatAGivenOneMayContradict) {
  struct Case {
    const char* path;
    Format asked;
    bool named;  // by an extension of its own, rather than by default
  };
  for (auto [path, asked, named] :
       {Case{"t.json", Format::Json, true}, Case{"out.d/T.JSON", Format::Json, true},
        Case{"p.pprof", Format::Pprof, true}, Case{"p.prof", Format::Pprof, true},
        Case{"cpu.pb.gz", Format::Pprof, true}, Case{"t.pb", Format::Protobuf, true},
        Case{"t.pftrace", Format::Protobuf, true}, Case{"trace", Format::Protobuf, false},
        Case{"json", Format::Protobuf, false}, Case{"t.json.txt", Format::Protobuf, false},
        Case{"", Format::Protobuf, false}}) {
    EXPECT_EQ(Format::for_output(path), asked) << path;
    for (Format given : {Format::Json, Format::Protobuf, Format::Pprof}) {
      const std::optional<Format> contradiction = given.contradicted_by(path);
      EXPECT_EQ(contradiction.has_value(), named && given != asked) << path << " " << given.name();
      EXPECT_EQ(contradiction.value_or(asked), asked) << path;
    }
  }
}

TEST(FormatTest, EachNameParsesToAFormatOfItsOwnExtension) {
  std::istringstream names(Format::names());
  std::set<std::string> extensions;
  for (std::string name; std::getline(names >> std::ws, name, ',');) {
    const auto parsed = Format::parse(name);
    ASSERT_TRUE(std::holds_alternative<Format>(parsed)) << name;
    EXPECT_EQ(std::get<Format>(parsed).name(), name);
    EXPECT_TRUE(extensions.insert(std::get<Format>(parsed).extension()).second) << name;
  }
  EXPECT_EQ(extensions.size(), 3u);
  EXPECT_NE(Format(Format::Pprof).viewer_hint("a.pprof").find("a.pprof"), std::string::npos);
}

}  // namespace
}  // namespace fennik
