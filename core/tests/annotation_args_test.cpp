// Argument words read back as the values written, whatever their mix, and
// a writer that runs out of room keeps what it wrote whole.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "annotation_args.hpp"

namespace fennik {
namespace {

ArgValue random_value(std::mt19937_64& rng) {
  const auto below = [&](std::uint64_t n) { return rng() % n; };
  constexpr std::int64_t EDGES[] = {0,
                                    -1,
                                    (1 << 20) - 1,
                                    -(1 << 20),
                                    1 << 20,
                                    -(1 << 20) - 1,
                                    std::numeric_limits<std::int64_t>::max(),
                                    std::numeric_limits<std::int64_t>::min()};
  ArgValue v;
  switch (below(5)) {
    case 0:
      break;
    case 1:
      v.type = ArgValue::Type::Bool;
      v.integer = static_cast<std::int64_t>(below(2));
      break;
    case 2:
      v.type = ArgValue::Type::Int;
      v.integer = below(2) ? EDGES[below(std::size(EDGES))] : static_cast<std::int64_t>(rng());
      break;
    case 3:
      v.type = ArgValue::Type::Float;
      v.real = below(4) ? std::ldexp(static_cast<double>(rng()), -static_cast<int>(below(90)))
                        : -std::numeric_limits<double>::infinity();
      break;
    default:
      v.type = ArgValue::Type::Text;
      for (std::uint64_t n = below(40); n-- > 0;) v.text.push_back(static_cast<char>(rng()));
  }
  return v;
}

bool write(ArgWriter& w, const ArgValue& v) {
  switch (v.type) {
    case ArgValue::Type::None:
      return w.none();
    case ArgValue::Type::Bool:
      return w.boolean(v.integer != 0);
    case ArgValue::Type::Int:
      return w.integer(v.integer);
    case ArgValue::Type::Float:
      return w.real(v.real);
    case ArgValue::Type::Text:
      return v.text.size() <= w.text_room() && w.text(v.text);
  }
  return false;
}

TEST(AnnotationArgs, ReadBackAsWrittenUntilTheRoomRunsOut) {
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint32_t> words(rng() % 40);
    ArgWriter w(words.data(), static_cast<std::uint32_t>(words.size()));
    std::vector<ArgValue> written;
    for (int i = 0; i < 8; ++i) {
      ArgValue v = random_value(rng);
      if (!write(w, v)) break;
      written.push_back(std::move(v));
    }
    ASSERT_LE(w.size(), words.size());
    std::vector<Event> events;
    for (std::uint32_t i = 0; i < w.size(); ++i) {
      ASSERT_EQ(word_kind(words[i]), KIND_ARG);
      events.push_back({0, 0, words[i]});
    }
    ASSERT_EQ(decode_args(events), written) << "round " << round;
    // Cut short anywhere, the words give a prefix of the values.
    const std::size_t cut = events.empty() ? 0 : rng() % events.size();
    const std::vector<ArgValue> part = decode_args(std::span(events).first(cut));
    ASSERT_LE(part.size(), written.size());
    ASSERT_TRUE(std::equal(part.begin(), part.end(), written.begin()));
  }
}

}  // namespace
}  // namespace fennik
