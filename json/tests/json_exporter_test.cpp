#include "json_exporter.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_lookups.hpp"

namespace fennik {
namespace {

using testing::FakeCodes;
using testing::FakeThreads;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "fennik-json-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

#define EXPECT_OK(expr)                                   \
  do {                                                    \
    const IoStatus status_ = (expr);                      \
    EXPECT_FALSE(status_.has_value()) << status_->text(); \
  } while (0)
#define ASSERT_OK(expr)                                   \
  do {                                                    \
    const IoStatus status_ = (expr);                      \
    ASSERT_FALSE(status_.has_value()) << status_->text(); \
  } while (0)

Event ev(std::uint64_t ns, std::uint32_t tid, std::uint8_t kind, std::uint32_t code) {
  return {ns, tid, make_word(kind, code)};
}

// Counts lookups, to show each code is resolved once per exporter.
class CountingCodes : public CodeLookup {
 public:
  FakeCodes codes;
  std::uint64_t generation = 0;
  mutable std::map<std::uint32_t, int> asked;
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    ++asked[id];
    return codes.code(id);
  }
  std::uint64_t reuse_generation() const override { return generation; }
};

class JsonExporterTest : public ::testing::Test {
 protected:
  std::unique_ptr<JsonExporter> make(const std::string& target) {
    auto r = JsonExporter::create(target);
    if (!r) ADD_FAILURE() << r.error().text();
    return r ? std::move(r).value() : nullptr;
  }
  // The object an event of code f (a.py:3) renders as.
  std::string f_object(const char* ph, const char* ts, std::uint32_t tid, const char* kind) {
    std::ostringstream s;
    s << R"({"name":"f","cat":"py","ph":")" << ph << R"(","ts":)" << ts << R"(,"pid":)" << pid
      << R"(,"tid":)" << tid << R"(,"args":{"file":"a.py","line":3,"kind":")" << kind << R"("}},)";
    return s.str();
  }

  TempDir dir;
  std::string path = dir.file("out.json");
  FakeCodes codes{{1, CodeInfo{"f", "a.py", 3}}, {2, CodeInfo{"g", "b.py", 10}}};
  FakeThreads threads;
  std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
};

TEST_F(JsonExporterTest, NewFileWithNothingToWriteHoldsOnlyTheBracket) {
  spit(path, "stale contents");
  auto x = make(path);
  ASSERT_TRUE(x);
  EXPECT_EQ(x->pid(), pid);
  EXPECT_EQ(slurp(path), "[");  // written at create, before any batch
  EXPECT_OK(x->finish(codes, threads, 0));
  x.reset();
  EXPECT_EQ(slurp(path), "[");
}

TEST_F(JsonExporterTest, EventObjectsRenderExactly) {
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event batch[] = {ev(1'234'567, 7, KIND_START, 1), ev(1'300'000, 7, KIND_START, 2),
                         ev(1'300'005, 7, KIND_RETURN, 2), ev(1'301'000, 7, KIND_RETURN, 1)};
  ASSERT_OK(x->write_batch(batch, codes, threads));
  const std::string p = std::to_string(pid);
  const std::string want = "[" + f_object("B", "1234.567", 7, "start") +
                           R"({"name":"g","cat":"py","ph":"B","ts":1300.000,"pid":)" + p +
                           R"(,"tid":7,"args":{"file":"b.py","line":10,"kind":"start"}},)" +
                           R"({"name":"g","cat":"py","ph":"E","ts":1300.005,"pid":)" + p +
                           R"(,"tid":7,"args":{"file":"b.py","line":10,"kind":"return"}},)" +
                           f_object("E", "1301.000", 7, "return");
  // Each batch reaches the file when written, not at finish.
  EXPECT_EQ(slurp(path), want);
}

TEST_F(JsonExporterTest, KindsMapToPhaseAndText) {
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event batch[] = {
      ev(0, 1, 0, 1),          ev(0, 1, KIND_START, 1),  ev(0, 1, KIND_RETURN, 1),
      ev(0, 1, KIND_YIELD, 1), ev(0, 1, KIND_RESUME, 1), ev(0, 1, KIND_UNWIND, 1),
      ev(0, 1, KIND_THROW, 1), ev(0, 1, 7, 1),           ev(0, 1, 255, 1)};
  ASSERT_OK(x->write_batch(batch, codes, threads));
  const std::string want =
      "[" + f_object("B", "0.000", 1, "start") + f_object("B", "0.000", 1, "start") +
      f_object("E", "0.000", 1, "return") + f_object("E", "0.000", 1, "yield") +
      f_object("B", "0.000", 1, "resume") + f_object("E", "0.000", 1, "unwind") +
      f_object("B", "0.000", 1, "throw") + f_object("B", "0.000", 1, "start") +
      f_object("B", "0.000", 1, "start");
  EXPECT_EQ(slurp(path), want);
}

TEST_F(JsonExporterTest, EscapedNamesAndLargestValues) {
  codes.add(0xFF'FFFF, CodeInfo{"a\"b\\c\td\x01\xC3\xA9", "d\xE2\x82\xAC/x.py", 4'294'967'295u});
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event batch[] = {ev(UINT64_MAX, UINT32_MAX, KIND_START, 0xFF'FFFF)};
  ASSERT_OK(x->write_batch(batch, codes, threads));
  EXPECT_EQ(slurp(path),
            "[{\"name\":\"a\\\"b\\\\c\\td\\u0001\xC3\xA9\",\"cat\":\"py\",\"ph\":\"B\","
            "\"ts\":18446744073709551.615,\"pid\":" +
                std::to_string(pid) +
                ",\"tid\":4294967295,\"args\":{\"file\":\"d\xE2\x82\xAC/x.py\","
                "\"line\":4294967295,\"kind\":\"start\"}},");
}

TEST_F(JsonExporterTest, UnknownCodeStaysUnknownAndEachCodeIsLookedUpOnce) {
  CountingCodes counting;
  counting.codes.add(1, CodeInfo{"f", "a.py", 3});
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event first[] = {ev(1000, 4, KIND_START, 99), ev(2000, 4, KIND_START, 1),
                         ev(3000, 4, KIND_RETURN, 1), ev(4000, 4, KIND_RETURN, 99)};
  ASSERT_OK(x->write_batch(first, counting, threads));
  // Registered too late: the exporter keeps what it saw first.
  counting.codes.add(99, CodeInfo{"late", "late.py", 5});
  const Event second[] = {ev(5000, 4, KIND_START, 99)};
  ASSERT_OK(x->write_batch(second, counting, threads));

  const std::string p = std::to_string(pid);
  auto unknown = [&](const char* ph, const char* ts, const char* kind) {
    return std::string(R"({"name":"<unknown>","cat":"py","ph":")") + ph + R"(","ts":)" + ts +
           R"(,"pid":)" + p + R"(,"tid":4,"args":{"file":"","line":0,"kind":")" + kind + R"("}},)";
  };
  EXPECT_EQ(slurp(path), "[" + unknown("B", "1.000", "start") + f_object("B", "2.000", 4, "start") +
                             f_object("E", "3.000", 4, "return") + unknown("E", "4.000", "return") +
                             unknown("B", "5.000", "start"));
  EXPECT_EQ(counting.asked, (std::map<std::uint32_t, int>{{1, 1}, {99, 1}}));
}

TEST_F(JsonExporterTest, EndedThreadsCloseTheirCallsAndReusedCodeIdsAreReadAgain) {
  CountingCodes counting;
  counting.codes.add(1, CodeInfo{"f", "a.py", 3});
  counting.codes.add(2, CodeInfo{"g", "b.py", 10});
  threads.add(4, "old");
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event first[] = {ev(1000, 4, KIND_START, 1), ev(2000, 4, KIND_START, 2),
                         ev(3000, 4, KIND_RETURN, 2)};
  ASSERT_OK(x->write_batch(first, counting, threads));
  ASSERT_OK(x->end_thread(4, counting, threads));
  EXPECT_EQ(x->live_threads(), 0u);
  // Id 1 passes to another code; thread id 4 comes back under a new name.
  counting.codes.add(1, CodeInfo{"f2", "c.py", 8});
  ++counting.generation;
  threads.add(4, "new");
  const Event second[] = {ev(5000, 4, KIND_START, 1), ev(6000, 4, KIND_RETURN, 1)};
  ASSERT_OK(x->write_batch(second, counting, threads));
  ASSERT_OK(x->end_thread(4, counting, threads));

  const std::string p = std::to_string(pid);
  auto g = [&](const char* ph, const char* ts, const char* kind) {
    return std::string(R"({"name":"g","cat":"py","ph":")") + ph + R"(","ts":)" + ts + R"(,"pid":)" +
           p + R"(,"tid":4,"args":{"file":"b.py","line":10,"kind":")" + kind + R"("}},)";
  };
  auto f2 = [&](const char* ph, const char* ts, const char* kind) {
    return std::string(R"({"name":"f2","cat":"py","ph":")") + ph + R"(","ts":)" + ts +
           R"(,"pid":)" + p + R"(,"tid":4,"args":{"file":"c.py","line":8,"kind":")" + kind +
           R"("}},)";
  };
  auto name = [&](const char* n) {
    return std::string(R"({"args":{"name":")") + n + R"("},"name":"thread_name","ph":"M","pid":)" +
           p + R"(,"tid":4},)";
  };
  EXPECT_EQ(slurp(path), "[" + f_object("B", "1.000", 4, "start") + g("B", "2.000", "start") +
                             g("E", "3.000", "return") + name("old") +
                             f_object("E", "3.000", 4, "unwind") + f2("B", "5.000", "start") +
                             f2("E", "6.000", "return") + name("new"));
}

TEST_F(JsonExporterTest, ManyCodesAndOversizedBatchesRenderEachOwnName) {
  // More distinct codes than the template index starts with, names long enough
  // that one batch outgrows the batch buffer.
  constexpr std::uint32_t CODES = 3000;
  const std::string pad(200, 'n');
  for (std::uint32_t i = 0; i < CODES; ++i)
    codes.add(i * 977, CodeInfo{pad + std::to_string(i), "m.py", i});
  auto x = make(path);
  ASSERT_TRUE(x);
  std::vector<Event> batch;
  for (std::uint32_t i = 0; i < CODES; ++i) batch.push_back(ev(i, 1, KIND_START, i * 977));
  ASSERT_OK(x->write_batch(batch, codes, threads));
  ASSERT_OK(x->write_batch(batch, codes, threads));

  const std::string out = slurp(path);
  EXPECT_GT(out.size(), 2 * JSON_BATCH_BUFFER_BYTES);
  std::size_t at = 1;
  for (int round = 0; round < 2; ++round) {
    for (std::uint32_t i = 0; i < CODES; ++i) {
      const std::string head = R"({"name":")" + pad + std::to_string(i) + "\",";
      ASSERT_EQ(out.compare(at, head.size(), head), 0) << "code " << i << " round " << round;
      const std::string line = "\"line\":" + std::to_string(i) + ",";
      const std::size_t end = out.find("}},", at);
      ASSERT_NE(out.find(line, at), std::string::npos);
      ASSERT_LT(out.find(line, at), end) << "code " << i;
      at = end + 3;
    }
  }
  EXPECT_EQ(at, out.size());
}

TEST_F(JsonExporterTest, EmptyBatchWritesNothing) {
  auto x = make(path);
  ASSERT_TRUE(x);
  ASSERT_OK(x->write_batch({}, codes, threads));
  EXPECT_EQ(slurp(path), "[");
}

TEST_F(JsonExporterTest, FinishNamesThreadsByTidThenCountsLoss) {
  threads.add(9, "nine");
  threads.add(3, "th\"ree\n\xC3\xA9");
  auto x = make(path);
  ASSERT_TRUE(x);
  const Event batch[] = {ev(5, 9, KIND_START, 1)};
  ASSERT_OK(x->write_batch(batch, codes, threads));
  ASSERT_OK(x->finish(codes, threads, 5));
  const std::string p = std::to_string(pid);
  EXPECT_EQ(slurp(path),
            "[" + f_object("B", "0.005", 9, "start") +
                "{\"args\":{\"name\":\"th\\\"ree\\n\xC3\xA9\"},\"name\":\"thread_name\","
                "\"ph\":\"M\",\"pid\":" +
                p + ",\"tid\":3}," +
                R"({"args":{"name":"nine"},"name":"thread_name","ph":"M","pid":)" + p +
                R"(,"tid":9},)" +
                R"({"args":{"count":5},"name":"fennik_dropped_events","ph":"M","pid":)" + p +
                R"(,"tid":0},)");
}

TEST_F(JsonExporterTest, FinishWithoutLossWritesOnlyThreadNames) {
  threads.add(1, "MainThread");
  auto x = make(path);
  ASSERT_TRUE(x);
  ASSERT_OK(x->finish(codes, threads, 0));
  EXPECT_EQ(slurp(path), R"([{"args":{"name":"MainThread"},"name":"thread_name","ph":"M","pid":)" +
                             std::to_string(pid) + R"(,"tid":1},)");
}

TEST_F(JsonExporterTest, AppendContinuesAnotherWritersFile) {
  auto first = make(path);
  ASSERT_TRUE(first);
  const Event a[] = {ev(1000, 1, KIND_START, 1)};
  ASSERT_OK(first->write_batch(a, codes, threads));

  auto second = JsonExporter::append(path);
  ASSERT_TRUE(second) << second.error().text();
  const Event b[] = {ev(2000, 2, KIND_START, 1)};
  ASSERT_OK(second.value()->write_batch(b, codes, threads));
  ASSERT_OK(second.value()->finish(codes, threads, 0));
  const Event c[] = {ev(3000, 1, KIND_RETURN, 1)};
  ASSERT_OK(first->write_batch(c, codes, threads));

  EXPECT_EQ(slurp(path), "[" + f_object("B", "1.000", 1, "start") +
                             f_object("B", "2.000", 2, "start") +
                             f_object("E", "3.000", 1, "return"));
}

// A file that only appending writers ever saw must still open with "[";
// without it no reader takes the file for a JSON array.
TEST_F(JsonExporterTest, AppendToMissingOrEmptyFileOpensTheArray) {
  for (const bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "empty file" : "missing file");
    std::filesystem::remove(path);
    if (exists) spit(path, "");
    for (int writer = 0; writer < 2; ++writer) {
      auto x = JsonExporter::append(path);
      ASSERT_TRUE(x) << x.error().text();
      const Event e[] = {ev(1000, 1, KIND_START, 1)};
      ASSERT_OK(x.value()->write_batch(e, codes, threads));
    }
    EXPECT_EQ(slurp(path),
              "[" + f_object("B", "1.000", 1, "start") + f_object("B", "1.000", 1, "start"));
  }
}

TEST_F(JsonExporterTest, OpenErrorsCarryTheSystemErrorNumber) {
  const std::string missing = dir.file("no/such/dir/out.json");
  auto created = JsonExporter::create(missing);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().text(), "No such file or directory (os error 2)");
  auto appended = JsonExporter::append(missing);
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error().text(), "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

TEST_F(JsonExporterTest, WriteErrorsAreReturned) {
  // /dev/full accepts the open and fails every write with ENOSPC.
  auto created = JsonExporter::create("/dev/full");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().os_code, ENOSPC);
  EXPECT_NE(created.error().text().find("(os error 28)"), std::string::npos);

  auto file = SharedFile::open("/dev/full", false);
  ASSERT_TRUE(file) << file.error().text();
  JsonExporter x(std::move(file).value());
  const Event e[] = {ev(1000, 1, KIND_START, 1)};
  const IoStatus written = x.write_batch(e, codes, threads);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->os_code, ENOSPC);
  threads.add(1, "t");
  const IoStatus finished = x.finish(codes, threads, 0);
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->os_code, ENOSPC);
}

}  // namespace
}  // namespace fennik
