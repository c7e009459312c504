#include "intern.hpp"

#include <gtest/gtest.h>

namespace fennik {
namespace {

CodeInfo info(const char* name) {
  return CodeInfo{name, "f.py", 1};
}

TEST(CodeCapacity, ParsesStrictDecimal) {
  EXPECT_EQ(parse_code_capacity(nullptr), MAX_CODE_CAPACITY);
  for (const char* bad : {"", "abc", "-5", " 5", "5 ", "+", "4294967296", "99999999999999999999"}) {
    EXPECT_EQ(parse_code_capacity(bad), MAX_CODE_CAPACITY) << '"' << bad << '"';
  }
  EXPECT_EQ(parse_code_capacity("0"), 1u);
  EXPECT_EQ(parse_code_capacity("+7"), 7u);
  EXPECT_EQ(parse_code_capacity("4294967295"), MAX_CODE_CAPACITY);
  EXPECT_EQ(parse_code_capacity("20000000"), MAX_CODE_CAPACITY);
  EXPECT_EQ(parse_code_capacity("16777215"), 16'777'215u);
}

TEST(Interner, IdsAreDenseAndStable) {
  Interner in(100);
  EXPECT_EQ(in.insert(0x1000, info("a"), 0), 0u);
  EXPECT_EQ(in.insert(0x2000, info("b"), 0), 1u);
  EXPECT_EQ(in.insert(0x1000, info("ignored"), 0), 0u);
  EXPECT_EQ(in.lookup(0x2000), 1u);
  EXPECT_EQ(in.lookup(0x3000), std::nullopt);
  EXPECT_EQ(in.code(0)->qualname, "a");
  EXPECT_EQ(in.code(2), std::nullopt);
}

TEST(Interner, CapacityOneServesOnlyTheFirstCodeWhenStreaming) {
  Interner in(1);
  EXPECT_EQ(in.insert(0x1000, info("a"), 0), 0u);
  EXPECT_EQ(in.insert(0x2000, info("b"), 0), std::nullopt);
  // Even a destroyed code object's id is not reused with the floor at 0.
  EXPECT_TRUE(in.forget(0x1000, 5));
  EXPECT_EQ(in.insert(0x2000, info("b"), 0), std::nullopt);
}

TEST(Interner, ForgottenIdsKeepTheirInfoUntilReusedAfterTheFloor) {
  Interner in(2);
  ASSERT_EQ(in.insert(0x1000, info("a"), 0), 0u);
  ASSERT_EQ(in.insert(0x2000, info("b"), 0), 1u);
  EXPECT_TRUE(in.forget(0x1000, 50));
  EXPECT_TRUE(in.forget(0x2000, 10));
  EXPECT_FALSE(in.forget(0x1000, 60)) << "already forgotten";
  EXPECT_EQ(in.lookup(0x1000), std::nullopt);
  EXPECT_EQ(in.code(0)->qualname, "a") << "info stays until the id is reused";
  // Only ids forgotten strictly before the floor qualify.
  EXPECT_EQ(in.insert(0x3000, info("c"), 10), std::nullopt);
  EXPECT_EQ(in.insert(0x3000, info("c"), 11), 1u);
  EXPECT_EQ(in.code(1)->qualname, "c");
  EXPECT_EQ(in.insert(0x4000, info("d"), 51), 0u);
  EXPECT_EQ(in.insert(0x5000, info("e"), 1'000), std::nullopt);
}

}  // namespace
}  // namespace fennik
