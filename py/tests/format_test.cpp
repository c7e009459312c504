#include "format.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

namespace fennik {
namespace {

// Each name, the format it asks for, and whether an extension of its own
// names it (rather than the default), so that another given format
// contradicts it.
TEST(FormatTest, TheOutputsNameAsksForAFormatAGivenOneMayContradict) {
  const std::tuple<const char*, Format, bool> cases[] = {
      {"t.json", Format::Json, true},        {"out.d/T.JSON", Format::Json, true},
      {"p.pprof", Format::Pprof, true},      {"p.prof", Format::Pprof, true},
      {"cpu.pb.gz", Format::Pprof, true},    {"t.pb", Format::Protobuf, true},
      {"t.pftrace", Format::Protobuf, true}, {"trace", Format::Protobuf, false},
      {"json", Format::Protobuf, false},     {"t.json.txt", Format::Protobuf, false},
      {"", Format::Protobuf, false}};
  for (const auto& [path, asked, named] : cases) {
    EXPECT_EQ(Format::for_output(path), asked) << path;
    for (const Format given : {Format::Json, Format::Protobuf, Format::Pprof}) {
      EXPECT_EQ(given.contradicted_by(path),
                named && given != asked ? std::optional(asked) : std::nullopt)
          << path << " " << given.name();
    }
  }
}

}  // namespace
}  // namespace fennik
