#include "pprof.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "event.hpp"
#include "fake_lookups.hpp"

namespace fennik {
namespace {

using fennik::testing::FakeCodes;
using fennik::testing::FakeThreads;
using Bytes = std::vector<std::uint8_t>;
using Totals = std::vector<std::pair<std::vector<std::uint32_t>, std::int64_t>>;

constexpr std::uint32_t F = 0;  // code id 0 must still get a valid (non-zero) id
constexpr std::uint32_t G = 5;
constexpr std::uint32_t H = 9;
constexpr std::uint32_t T1 = 101;
constexpr std::uint32_t T2 = 202;

Event ev(std::uint64_t ts, std::uint32_t tid, std::uint8_t kind, std::uint32_t code) {
  return Event{ts, tid, make_word(kind, code)};
}

class Pprof : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "fennik_pprof_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
            std::to_string(::getpid()) + ".pb";
    auto created = PprofExporter::create(path_);
    ASSERT_TRUE(created) << created.error().text();
    exporter_ = std::move(created).value();
  }
  void TearDown() override {
    exporter_.reset();
    std::filesystem::remove(path_);
  }

  void write(std::vector<Event> events) {
    ASSERT_FALSE(exporter_->write_batch(events, codes_, threads_));
  }
  void finish(std::uint64_t dropped = 0) {
    const IoStatus st = exporter_->finish(codes_, threads_, dropped);
    ASSERT_FALSE(st) << st->text();
  }
  Bytes file_bytes() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  Totals totals() const { return exporter_->stack_totals(); }

  // The example of one thread: f from 100 ns, g inside it from 250 to 400,
  // f returning at 1000.
  void write_f_calls_g(std::uint32_t tid) {
    write({ev(100, tid, KIND_START, F), ev(250, tid, KIND_START, G), ev(400, tid, KIND_RETURN, G),
           ev(1000, tid, KIND_RETURN, F)});
  }

  std::string path_;
  std::unique_ptr<PprofExporter> exporter_;
  FakeCodes codes_{{F, {"f", "a.py", 3}}, {G, {"g", "a.py", 7}}};
  FakeThreads threads_{{T1, "main"}};
};

// ---- Folding: what time goes to which stack ----

TEST_F(Pprof, TimeBetweenEventsGoesToTheStackInBetween) {
  write_f_calls_g(T1);
  // [f] had 100..250 and 400..1000; [f, g] had 250..400. [f] sorts first: it begins [f, g].
  EXPECT_EQ(totals(), (Totals{{{F}, 750}, {{F, G}, 150}}));
}

TEST_F(Pprof, SameStackOnTwoThreadsAddsUpAndStacksSpanBatches) {
  write({ev(100, T1, KIND_START, F), ev(200, T1, KIND_START, G)});
  write({ev(1000, T2, KIND_START, F), ev(1030, T2, KIND_START, G), ev(1040, T2, KIND_RETURN, G)});
  // T1's stack [f, g] carries over from its previous batch.
  write({ev(260, T1, KIND_RETURN, G), ev(300, T1, KIND_RETURN, F)});
  EXPECT_EQ(totals(), (Totals{{{F}, 100 + 40 + 30}, {{F, G}, 60 + 10}}));
}

TEST_F(Pprof, ThreadsMixedInOneSpanKeepTheirOwnStacks) {
  write({ev(10, T1, KIND_START, F), ev(20, T2, KIND_START, G), ev(30, T1, KIND_START, H),
         ev(50, T2, KIND_RETURN, G), ev(80, T1, KIND_RETURN, H)});
  EXPECT_EQ(totals(), (Totals{{{F}, 20}, {{F, H}, 50}, {{G}, 30}}));
}

TEST_F(Pprof, AThreadsFirstEventChargesNothing) {
  // A return before any start: ignored, and the 500 ns before it go nowhere.
  write({ev(500, T1, KIND_RETURN, G), ev(600, T1, KIND_START, F), ev(650, T1, KIND_RETURN, F)});
  // T2's first event comes long after T1's last and still charges nothing.
  write({ev(9'000, T2, KIND_START, F), ev(9'001, T2, KIND_RETURN, F)});
  EXPECT_EQ(totals(), (Totals{{{F}, 50 + 1}}));
}

TEST_F(Pprof, EqualTimesChargeNothingAndEarlierTimesRestartTheClock) {
  write({ev(100, T1, KIND_START, F), ev(100, T1, KIND_START, G),  // [f] gets 0 ns
         ev(400, T1, KIND_START, H),                              // [f, g] gets 300
         ev(50, T1, KIND_RETURN, H),    // backwards: nothing, and the clock is now 50
         ev(80, T1, KIND_RETURN, G)});  // [f, g] gets 30 (from 50, not from 400)
  EXPECT_EQ(totals(), (Totals{{{F, G}, 330}}));
}

TEST_F(Pprof, EndEventsPopWhateverIsOnTop) {
  // The return names g but pops f: end events are not matched to their begins.
  write({ev(0, T1, KIND_START, F), ev(10, T1, KIND_RETURN, G), ev(30, T1, KIND_RETURN, G),
         ev(35, T1, KIND_START, H), ev(45, T1, KIND_RETURN, H)});
  EXPECT_EQ(totals(), (Totals{{{F}, 10}, {{H}, 10}}));
}

TEST_F(Pprof, OnlyReturnYieldAndUnwindClose) {
  // A generator: yield suspends (its time is not charged), resume and throw
  // re-enter; kinds outside the known set open frames like start.
  write({ev(0, T1, KIND_START, F), ev(10, T1, KIND_START, G), ev(20, T1, KIND_YIELD, G),
         ev(120, T1, KIND_RESUME, G), ev(125, T1, KIND_YIELD, G), ev(200, T1, KIND_THROW, G),
         ev(210, T1, KIND_UNWIND, G), ev(300, T1, 0, H), ev(301, T1, 7, H), ev(303, T1, 255, H),
         ev(306, T1, KIND_RETURN, H), ev(310, T1, KIND_RETURN, H)});
  EXPECT_EQ(totals(), (Totals{{{F}, 10 + 100 + 75 + 90},
                              {{F, G}, 10 + 5 + 10},
                              {{F, H}, 1},
                              {{F, H, H}, 2 + 4},
                              {{F, H, H, H}, 3}}));
}

TEST_F(Pprof, FinishEmptiesTheTotalsButThreadsKeepTheirStacks) {
  write({ev(0, T1, KIND_START, F), ev(10, T1, KIND_START, G)});
  finish();
  EXPECT_TRUE(totals().empty());
  write({ev(15, T1, KIND_RETURN, G)});
  EXPECT_EQ(totals(), (Totals{{{F, G}, 5}}));
}

// ---- The file ----

TEST_F(Pprof, CreateEmptiesAnExistingFileAndWritesNothingBeforeFinish) {
  exporter_.reset();
  {
    std::ofstream(path_) << "an older profile";
  }
  auto created = PprofExporter::create(path_);
  ASSERT_TRUE(created);
  exporter_ = std::move(created).value();
  EXPECT_TRUE(file_bytes().empty());
  write_f_calls_g(T1);
  EXPECT_TRUE(file_bytes().empty());
}

TEST_F(Pprof, NoEventsGiveOnlySampleTypeAndThreeStrings) {
  finish();
  const Bytes expected = {0x0A, 0x04, 0x08, 0x01, 0x10, 0x02,  // sample_type {1, 2}
                          0x32, 0x00,                          // ""
                          0x32, 0x04, 'w',  'a',  'l',  'l',  0x32, 0x0B, 'n', 'a',
                          'n',  'o',  's',  'e',  'c',  'o',  'n',  'd',  's'};
  EXPECT_EQ(file_bytes(), expected);
}

// The example, byte for byte: samples in key order, innermost frame first,
// ids one above the code ids, functions and locations by ascending code id,
// names before files in the string table.
TEST_F(Pprof, ExampleProfileBytes) {
  write_f_calls_g(T1);
  finish();
  const Bytes expected = {
      0x0A, 0x04, 0x08, 0x01, 0x10, 0x02,                                      // sample_type
      0x12, 0x07, 0x0A, 0x01, 0x01, 0x12, 0x02, 0xEE, 0x05,                    // [f] 750
      0x12, 0x08, 0x0A, 0x02, 0x06, 0x01, 0x12, 0x02, 0x96, 0x01,              // [g, f] 150
      0x22, 0x08, 0x08, 0x01, 0x22, 0x04, 0x08, 0x01, 0x10, 0x03,              // location f
      0x22, 0x08, 0x08, 0x06, 0x22, 0x04, 0x08, 0x06, 0x10, 0x07,              // location g
      0x2A, 0x0A, 0x08, 0x01, 0x10, 0x03, 0x18, 0x03, 0x20, 0x04, 0x28, 0x03,  // function f
      0x2A, 0x0A, 0x08, 0x06, 0x10, 0x05, 0x18, 0x05, 0x20, 0x04, 0x28, 0x07,  // function g
      0x32, 0x00, 0x32, 0x04, 'w',  'a',  'l',  'l',  0x32, 0x0B, 'n',  'a',
      'n',  'o',  's',  'e',  'c',  'o',  'n',  'd',  's',  0x32, 0x01, 'f',
      0x32, 0x04, 'a',  '.',  'p',  'y',  0x32, 0x01, 'g'};
  EXPECT_EQ(file_bytes(), expected);
}

TEST(PprofCreate, FailsWithTheSystemErrorInAMissingDirectory) {
  auto created = PprofExporter::create(::testing::TempDir() + "fennik-no-such-dir/out.pb");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().kind, IoErrorKind::Os);
  EXPECT_EQ(created.error().os_code, ENOENT);
}

TEST(PprofFinish, ReportsTheWriteError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  auto created = PprofExporter::create("/dev/full");
  ASSERT_TRUE(created) << created.error().text();
  const FakeCodes codes;
  const FakeThreads threads;
  const IoStatus st = created.value()->finish(codes, threads, 0);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->os_code, ENOSPC);
}

}  // namespace
}  // namespace fennik
