#include "proto_exporter.hpp"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_lookups.hpp"
#include "temp_dir.hpp"

namespace fennik {
namespace {

using testing::FakeCodes;
using testing::FakeThreads;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

// Expected bytes are assembled from hand-computed tags with these helpers.
Bytes V(std::uint64_t v) {
  Bytes out;
  do {
    out.push_back(static_cast<std::uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    v >>= 7;
  } while (v != 0);
  return out;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes S(std::string_view s) {
  return {s.begin(), s.end()};
}
Bytes Len(Bytes tag, const Bytes& body) {
  return std::move(tag) + V(body.size()) + body;
}
Bytes Record(const Bytes& packet) {
  return Len({0x0A}, packet);
}

const std::uint32_t PID = static_cast<std::uint32_t>(::getpid());
const std::uint64_t PROCESS_UUID = (std::uint64_t{PID} << 32) | 1;

Bytes process_descriptor(std::uint32_t base) {
  return Record(
      Bytes{0x40, 0x00, 0x50} + V((base << 7) | 1) +
      Len({0xE2, 0x03}, Bytes{0x08} + V(PROCESS_UUID) +
                            Len({0x12}, S("python:" + std::to_string(PID))) +
                            Len({0x1A}, Bytes{0x08} + V(PID) + Len({0x32}, S("python")))) +
      Bytes{0x68, 0x01});
}

Bytes thread_descriptor(std::uint32_t seq, std::uint64_t uuid, std::uint32_t tid,
                        std::optional<std::string> name) {
  Bytes thread = Bytes{0x08} + V(PID) + Bytes{0x10} + V(tid);
  if (name) thread = thread + Len({0x2A}, S(*name));
  return Record(Bytes{0x40, 0x00, 0x50} + V(seq) +
                Len({0xE2, 0x03},
                    Bytes{0x08} + V(uuid) + Len({0x22}, thread) + Bytes{0x28} + V(PROCESS_UUID)) +
                Len({0x62}, Len({0x0A}, Bytes{0x08, 0x01} + Len({0x12}, S("py")))) +
                Bytes{0x68, 0x01} + Len({0xDA, 0x03}, Len({0x5A}, Bytes{0x58} + V(uuid))));
}

struct Location {
  std::string file;
  std::uint32_t line;
};
Bytes interning(std::uint32_t seq, std::uint64_t iid, std::string_view name,
                std::optional<Location> loc) {
  Bytes data = Len({0x12}, Bytes{0x08} + V(iid) + Len({0x12}, S(name)));
  if (loc) {
    data = data + Len({0x22}, Bytes{0x08} + V(iid) + Len({0x12}, S(loc->file)) + Bytes{0x20} +
                                  V(loc->line));
  }
  return Record(Bytes{0x40, 0x00, 0x50} + V(seq) + Len({0x62}, data) + Bytes{0x68, 0x02});
}

Bytes begin_event(std::uint64_t ts, std::uint32_t seq, std::uint64_t iid, bool located) {
  Bytes te = Bytes{0x48, 0x01, 0x18, 0x01, 0x50} + V(iid);
  if (located) te = te + Bytes{0x90, 0x02} + V(iid);
  return Record(Bytes{0x40} + V(ts) + Bytes{0x50} + V(seq) + Bytes{0x68, 0x02} + Len({0x5A}, te));
}

Bytes end_event(std::uint64_t ts, std::uint32_t seq) {
  return Record(Bytes{0x40} + V(ts) + Bytes{0x50} + V(seq) +
                Bytes{0x68, 0x02, 0x5A, 0x02, 0x48, 0x02});
}

Bytes dropped_packet(std::uint32_t base, std::uint64_t n) {
  return Record(
      Bytes{0x40, 0x00, 0x50} + V((base << 7) | 1) +
      Len({0x5A}, Bytes{0x48, 0x03, 0x58} + V(PROCESS_UUID) + Len({0xB2, 0x01}, S("py")) +
                      Len({0xB2, 0x01}, S("dropped")) +
                      Len({0xBA, 0x01}, S("fennik: " + std::to_string(n) + " events dropped"))));
}

Event ev(std::uint64_t ts, std::uint32_t tid, std::uint8_t kind, std::uint32_t code) {
  return Event{ts, tid, make_word(kind, code)};
}

// Lookups that count how often the exporter asks.
class CountingCodes : public FakeCodes {
 public:
  using FakeCodes::FakeCodes;
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    ++calls;
    return FakeCodes::code(id);
  }
  mutable int calls = 0;
};
class CountingThreads : public FakeThreads {
 public:
  using FakeThreads::FakeThreads;
  std::optional<std::string> name(std::uint32_t tid) const override {
    ++calls;
    return FakeThreads::name(tid);
  }
  mutable int calls = 0;
};

// Top-level varint fields of each record of a trace file, in order; a
// minimal reader for the tests that look at ids rather than whole bytes.
struct Packet {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> varints;
  std::optional<std::uint64_t> get(std::uint32_t field) const {
    for (const auto& [f, v] : varints) {
      if (f == field) return v;
    }
    return std::nullopt;
  }
};
std::uint64_t read_varint(const Bytes& b, std::size_t& i) {
  std::uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = b.at(i++);
    v |= std::uint64_t{byte & 0x7Fu} << shift;
    if (!(byte & 0x80)) return v;
  }
}
std::vector<Packet> packets(const Bytes& file) {
  std::vector<Packet> out;
  std::size_t i = 0;
  while (i < file.size()) {
    EXPECT_EQ(file[i++], 0x0A);
    const std::size_t end = i + read_varint(file, i);
    Packet p;
    while (i < end) {
      const std::uint64_t tag = read_varint(file, i);
      const auto field = static_cast<std::uint32_t>(tag >> 3);
      if ((tag & 7) == 0) {
        p.varints.emplace_back(field, read_varint(file, i));
      } else {
        EXPECT_EQ(tag & 7, 2u);
        i += read_varint(file, i);
      }
    }
    EXPECT_EQ(i, end);
    out.push_back(std::move(p));
  }
  return out;
}

class ProtoExporterTest : public ::testing::Test {
 protected:
  ProtoExporter& open(std::uint32_t base = 0) {
    auto file = SharedFile::open(path_, true);
    EXPECT_TRUE(file.ok());
    exporter_ = std::make_unique<ProtoExporter>(std::move(file).value());
    exporter_->set_sequence_base(base);
    return *exporter_;
  }
  void write(std::vector<Event> events) {
    ASSERT_EQ(exporter_->write_batch(events, codes_, threads_), IO_OK);
  }
  Bytes contents() const {
    const std::string s = testing::read_file(path_);
    return {s.begin(), s.end()};
  }

  TempDir dir_;
  std::string path_ = dir_.file("out.pftrace");
  std::unique_ptr<ProtoExporter> exporter_;
  CountingCodes codes_{{5, {"mod.f", "/src/mod.py", 12}}, {6, {"Klass.g", "/src/k.py", 300}}};
  CountingThreads threads_{{77, "worker"}};
};

TEST_F(ProtoExporterTest, NoBatchAndNoDropsLeaveTheFileEmpty) {
  ProtoExporter& ex = open();
  ASSERT_EQ(ex.finish(codes_, threads_, 0), IO_OK);
  exporter_.reset();
  EXPECT_TRUE(contents().empty());
}

TEST_F(ProtoExporterTest, EmptyBatchesAnnounceTheProcessOnce) {
  open();
  write({});
  EXPECT_EQ(contents(), process_descriptor(0));  // flushed by the batch itself
  write({});
  ASSERT_EQ(exporter_->finish(codes_, threads_, 0), IO_OK);
  EXPECT_EQ(contents(), process_descriptor(0));
}

TEST_F(ProtoExporterTest, DropsAreRecordedAtFinish) {
  // Without any batch: the process descriptor, then the dropped record.
  ProtoExporter& ex = open(3);
  ASSERT_EQ(ex.finish(codes_, threads_, 12'345), IO_OK);
  EXPECT_EQ(contents(), process_descriptor(3) + dropped_packet(3, 12'345));

  // After batches: only the dropped record is added.
  open(0);
  write({ev(10, 77, KIND_START, 5)});
  const Bytes before = contents();
  ASSERT_EQ(exporter_->finish(codes_, threads_, 1), IO_OK);
  EXPECT_EQ(contents(), before + dropped_packet(0, 1));
}

TEST_F(ProtoExporterTest, FirstEventOfAThreadWritesDescriptorInterningThenEvent) {
  open();
  write({ev(0, 77, KIND_START, 5)});
  const Bytes event = {0x0A, 0x11,                     // Trace.packet, 17 bytes
                       0x40, 0x00,                     // timestamp 0
                       0x50, 0x02, 0x68, 0x02,         // sequence 2, needs incremental state
                       0x5A, 0x09,                     // track_event, 9 bytes
                       0x48, 0x01, 0x18, 0x01,         // slice begin, category iid 1
                       0x50, 0x01, 0x90, 0x02, 0x01};  // name iid 1, location iid 1
  EXPECT_EQ(contents(), process_descriptor(0) +
                            thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
                            interning(2, 1, "mod.f", Location{"/src/mod.py", 12}) + event);

  // The same function again: its event packet and nothing else.
  const Bytes before = contents();
  write({ev(1'000, 77, KIND_START, 5)});
  EXPECT_EQ(contents(),
            before + Bytes({0x0A, 0x12, 0x40, 0xE8, 0x07, 0x50, 0x02, 0x68, 0x02, 0x5A,
                            0x09, 0x48, 0x01, 0x18, 0x01, 0x50, 0x01, 0x90, 0x02, 0x01}));
  EXPECT_EQ(codes_.calls, 1);
  EXPECT_EQ(threads_.calls, 1);
}

TEST_F(ProtoExporterTest, EndEventsOfAThreadShareOneTail) {
  open();
  write({ev(1, 77, KIND_START, 5), ev(2, 77, KIND_START, 6), ev(3, 77, KIND_RETURN, 6),
         ev(4, 77, KIND_YIELD, 5), ev(5, 77, KIND_UNWIND, 9), ev(0, 77, KIND_RETURN, 6)});
  EXPECT_EQ(contents(), process_descriptor(0) +
                            thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
                            interning(2, 1, "mod.f", Location{"/src/mod.py", 12}) +
                            interning(2, 2, "Klass.g", Location{"/src/k.py", 300}) +
                            begin_event(1, 2, 1, true) + begin_event(2, 2, 2, true) +
                            end_event(3, 2) + end_event(4, 2) + end_event(5, 2) + end_event(0, 2));
  // End events never resolve their code.
  EXPECT_EQ(codes_.calls, 2);
  EXPECT_EQ(end_event(0, 2),
            (Bytes{0x0A, 0x0A, 0x40, 0x00, 0x50, 0x02, 0x68, 0x02, 0x5A, 0x02, 0x48, 0x02}));
}

TEST_F(ProtoExporterTest, EveryKindOutsideReturnYieldUnwindBeginsASlice) {
  open();
  std::vector<Event> events;
  std::uint64_t ts = 0;
  for (const std::uint8_t kind :
       {KIND_START, KIND_RESUME, KIND_THROW, std::uint8_t{0}, std::uint8_t{7}, std::uint8_t{255}}) {
    events.push_back(ev(++ts, 77, kind, 5));
  }
  write(events);
  Bytes want = process_descriptor(0) + thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
               interning(2, 1, "mod.f", Location{"/src/mod.py", 12});
  for (std::uint64_t t = 1; t <= ts; ++t) want = want + begin_event(t, 2, 1, true);
  EXPECT_EQ(contents(), want);
}

TEST_F(ProtoExporterTest, UnknownCodesAreNamedUnknownWithoutLocation) {
  open();
  write({ev(1, 77, KIND_START, 40), ev(2, 77, KIND_START, 5), ev(3, 77, KIND_START, 41),
         ev(4, 77, KIND_START, 40)});
  EXPECT_EQ(contents(), process_descriptor(0) +
                            thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
                            interning(2, 1, "<unknown>", std::nullopt) +
                            interning(2, 2, "mod.f", Location{"/src/mod.py", 12}) +
                            interning(2, 3, "<unknown>", std::nullopt) +
                            begin_event(1, 2, 1, false) + begin_event(2, 2, 2, true) +
                            begin_event(3, 2, 3, false) + begin_event(4, 2, 1, false));
  // An unknown code is remembered like any other.
  EXPECT_EQ(codes_.calls, 3);
}

TEST_F(ProtoExporterTest, EachThreadInternsOnItsOwnSequence) {
  open();
  write({ev(1, 77, KIND_START, 6)});
  write({ev(2, 88, KIND_START, 6), ev(3, 88, KIND_START, 5)});
  threads_.add(77, "renamed");  // names are read once per thread
  write({ev(4, 77, KIND_START, 6), ev(5, 77, KIND_RETURN, 6)});
  const Location g{"/src/k.py", 300};
  EXPECT_EQ(contents(),
            process_descriptor(0) + thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
                interning(2, 1, "Klass.g", g) + begin_event(1, 2, 1, true) +
                thread_descriptor(3, PROCESS_UUID + 2, 88, std::nullopt) +
                interning(3, 1, "Klass.g", g) +
                interning(3, 2, "mod.f", Location{"/src/mod.py", 12}) + begin_event(2, 3, 1, true) +
                begin_event(3, 3, 2, true) + begin_event(4, 2, 1, true) + end_event(5, 2));
  EXPECT_EQ(threads_.calls, 2);
}

TEST_F(ProtoExporterTest, DescriptorsAndInterningPrecedeTheBatchEvents) {
  // Two threads within one batch: both threads' setup packets come first.
  open();
  write({ev(1, 77, KIND_START, 5), ev(2, 88, KIND_START, 5), ev(3, 77, KIND_RETURN, 5)});
  const Location f{"/src/mod.py", 12};
  EXPECT_EQ(contents(), process_descriptor(0) +
                            thread_descriptor(2, PROCESS_UUID + 1, 77, "worker") +
                            interning(2, 1, "mod.f", f) +
                            thread_descriptor(3, PROCESS_UUID + 2, 88, std::nullopt) +
                            interning(3, 1, "mod.f", f) + begin_event(1, 2, 1, true) +
                            begin_event(2, 3, 1, true) + end_event(3, 2));
}

// Sequence ids of the thread descriptors, in file order, and the first
// record's (the process descriptor's).
struct SequenceIds {
  std::uint64_t process;
  std::vector<std::uint64_t> threads;
};
SequenceIds sequence_ids(const Bytes& file, std::uint32_t threads) {
  SequenceIds out{};
  const std::vector<Packet> ps = packets(file);
  EXPECT_EQ(ps.size(), 1 + 3 * std::size_t{threads});  // descriptor, interning, event
  if (ps.empty()) return out;
  out.process = ps[0].get(10).value_or(0);
  for (std::size_t i = 1; i + 2 < ps.size(); i += 3) {
    const std::uint64_t seq = ps[i].get(10).value_or(0);
    EXPECT_EQ(ps[i].get(13), 1u);
    EXPECT_EQ(ps[i + 1].get(10), seq);  // interning on the same sequence
    EXPECT_EQ(ps[i + 2].get(10), seq);  // and the event
    out.threads.push_back(seq);
  }
  return out;
}

TEST_F(ProtoExporterTest, SequenceIdsForBaseZero) {
  open();
  for (std::uint32_t tid = 1; tid <= 3; ++tid) write({ev(tid, tid, KIND_START, 5)});
  const SequenceIds ids = sequence_ids(contents(), 3);
  EXPECT_EQ(ids.process, 1u);
  EXPECT_EQ(ids.threads, (std::vector<std::uint64_t>{2, 3, 4}));
}

TEST_F(ProtoExporterTest, SequenceIdsForBaseBMoveToTheirOwnOverflowRangeAfterTheBlock) {
  const std::uint32_t b = 4242;
  open(b);
  constexpr std::uint32_t threads = 130;
  for (std::uint32_t tid = 1; tid <= threads; ++tid) write({ev(tid, tid, KIND_START, 5)});
  const SequenceIds ids = sequence_ids(contents(), threads);
  EXPECT_EQ(ids.process, (b << 7) | 1);
  ASSERT_EQ(ids.threads.size(), threads);
  for (std::uint32_t n = 0; n < 126; ++n) EXPECT_EQ(ids.threads[n], (b << 7) + n + 2) << n;
  // The 127th thread does not spill into the block of writer b + 1.
  for (std::uint32_t n = 126; n < threads; ++n) {
    EXPECT_EQ(ids.threads[n], (1u << 29) + b * 896 + (n - 126)) << n;
  }
}

TEST_F(ProtoExporterTest, SequenceIdsUseTheLow22BitsOfTheTag) {
  const std::uint32_t b = (1u << 25) + 1;  // b << 7 would overflow 32 bits
  open(b);
  write({ev(1, 1, KIND_START, 5)});
  const SequenceIds ids = sequence_ids(contents(), 1);
  EXPECT_EQ(ids.process, 0x81u);
  EXPECT_EQ(ids.threads, std::vector<std::uint64_t>{0x82});
}

TEST_F(ProtoExporterTest, ThreadsBeyondTheLiveLimitAreCountedAsDroppedUntilAnIdIsFreed) {
  open();
  for (std::uint32_t tid = 1; tid <= PROTO_MAX_LIVE_THREADS + 1; ++tid) {
    write({ev(tid, tid, KIND_START, 5)});
  }
  ASSERT_EQ(exporter_->end_thread(1, codes_, threads_), IO_OK);  // ends its slice, frees id 2
  write({ev(9, 5000, KIND_START, 5)});
  ASSERT_EQ(exporter_->finish(codes_, threads_, 2), IO_OK);
  const Bytes file = contents();
  const std::vector<Packet> ps = packets(file);
  ASSERT_GE(ps.size(), 5u);
  EXPECT_EQ(ps[ps.size() - 5].get(10), 2u);  // thread 1's slice ends at its last event
  EXPECT_EQ(ps[ps.size() - 5].get(8), 1u);
  EXPECT_EQ(ps[ps.size() - 4].get(10), 2u);  // the next thread starts the sequence afresh
  EXPECT_EQ(ps[ps.size() - 4].get(13), 1u);
  const Bytes dropped = dropped_packet(0, 3);
  EXPECT_TRUE(std::equal(dropped.rbegin(), dropped.rend(), file.rbegin()));
}

TEST(ProtoExporterErrors, WriteFailuresAreReturned) {
  FakeCodes codes;
  FakeThreads threads;
  const auto read_only = [] {
    return SharedFile::adopt(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
  };
  ProtoExporter batch_fails(read_only());
  const std::vector<Event> events{ev(1, 2, KIND_START, 3)};
  const IoStatus st = batch_fails.write_batch(events, codes, threads);
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(st->kind, IoErrorKind::Os);
  EXPECT_EQ(st->os_code, EBADF);

  ProtoExporter finish_fails(read_only());
  const IoStatus fin = finish_fails.finish(codes, threads, 4);
  ASSERT_TRUE(fin.has_value());
  EXPECT_EQ(fin->os_code, EBADF);

  // Nothing to write: nothing can fail.
  ProtoExporter idle(read_only());
  EXPECT_EQ(idle.finish(codes, threads, 0), IO_OK);
}

}  // namespace
}  // namespace fennik
