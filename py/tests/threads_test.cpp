#include "threads.hpp"

#include <gtest/gtest.h>

namespace fennik {
namespace {

auto named(const char* name) {
  return [name]() -> std::optional<std::string> { return std::string(name); };
}

TEST(ThreadRegistry, RegistersRealNamesOnly) {
  ThreadRegistry r;
  EXPECT_TRUE(r.ensure(1, named("worker")));
  EXPECT_FALSE(r.ensure(2, named("Dummy-1")));
  EXPECT_FALSE(r.ensure(3, named("")));
  EXPECT_FALSE(r.ensure(4, [] { return std::optional<std::string>(); }));
  EXPECT_TRUE(r.ensure(5, named("Dummy")));
  EXPECT_TRUE(r.ensure(6, named("Dummy_1")));
  EXPECT_EQ(r.name(1), "worker");
  EXPECT_EQ(r.name(2), std::nullopt);
  EXPECT_EQ(r.name(5), "Dummy");
}

TEST(ThreadRegistry, TheFirstNameStaysAndNoLookupAfterIt) {
  ThreadRegistry r;
  ASSERT_TRUE(r.ensure(7, named("first")));
  bool asked = false;
  EXPECT_TRUE(r.ensure(7, [&] {
    asked = true;
    return std::optional<std::string>("renamed");
  }));
  EXPECT_FALSE(asked) << "a registered thread is not asked again";
  EXPECT_EQ(r.name(7), "first");
}

TEST(ThreadRegistry, SnapshotIsSortedByTid) {
  ThreadRegistry r;
  EXPECT_TRUE(r.snapshot().empty());
  for (std::uint32_t tid : {900u, 3u, 4'000'000'000u, 42u}) {
    r.ensure(tid, named(("t" + std::to_string(tid)).c_str()));
  }
  auto all = r.snapshot();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].first, 3u);
  EXPECT_EQ(all[1].first, 42u);
  EXPECT_EQ(all[2].first, 900u);
  EXPECT_EQ(all[3].first, 4'000'000'000u);
  EXPECT_EQ(all[3].second, "t4000000000");
}

}  // namespace
}  // namespace fennik
