#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "readers.hpp"
#include "wire_reader.hpp"

namespace fennik::report {
namespace {

// Field numbers of pprof's profile.proto read here.
namespace profile {
constexpr std::uint32_t SAMPLE_TYPE = 1, SAMPLE = 2, LOCATION = 4, FUNCTION = 5, STRINGS = 6,
                        COMMENT = 13;
}
constexpr std::uint32_t VALUE_TYPE_TYPE = 1;
constexpr std::uint32_t SAMPLE_LOCATIONS = 1, SAMPLE_VALUES = 2;
constexpr std::uint32_t LOCATION_ID = 1, LOCATION_LINE = 4, LINE_FUNCTION = 1;
constexpr std::uint32_t FUNCTION_ID = 1, FUNCTION_NAME = 2, FUNCTION_FILE = 4, FUNCTION_LINE = 5;
constexpr std::string_view WALL = "wall";
constexpr std::size_t HEAD_BYTES = 2 * MAX_VARINT_BYTES;
constexpr std::size_t FIXED64_BYTES = 8, FIXED32_BYTES = 4;

// Hands each top-level field of the profile to `take`, whole, from a stream:
// a profile's samples come before the locations they name, so it is read
// twice rather than held. An error is a phrase.
template <class Take>
std::optional<std::string> each_field(ByteStream& in, Take&& take) {
  while (in.need(HEAD_BYTES) > 0) {
    const std::uint8_t* p = in.data();
    const std::uint8_t* end = p + in.available();
    std::uint64_t key = 0, length = 0;
    const std::uint8_t* body = read_varint(p, end, key);
    Field f;
    f.number = static_cast<std::uint32_t>(key >> 3);
    f.type = static_cast<std::uint8_t>(key & 7);
    if (body != nullptr && f.type == VARINT) body = read_varint(body, end, f.value);
    if (body != nullptr && f.type == LEN) body = read_varint(body, end, length);
    if (f.type == FIXED64 || f.type == FIXED32)
      length = f.type == FIXED64 ? FIXED64_BYTES : FIXED32_BYTES;
    if (body == nullptr || f.type > FIXED32 || (f.type > LEN && f.type < FIXED32)) {
      return "malformed profile at byte " + std::to_string(in.offset());
    }
    const std::size_t head = static_cast<std::size_t>(body - p);
    if (in.need(head + length) < head + length) return "the profile ends inside a field";
    f.bytes = std::string_view(reinterpret_cast<const char*>(in.data()) + head, length);
    if (!take(f)) return "malformed profile at byte " + std::to_string(in.offset());
    in.consume(head + length);
  }
  return std::nullopt;
}

struct FunctionRef {
  std::uint64_t name = 0, file = 0, line = 0;
};

}  // namespace

ReadOutcome read_pprof(ByteStream& in, CallTable& table) {
  ReadOutcome out;
  std::vector<std::string> strings;
  std::vector<std::uint64_t> types, comments;
  std::unordered_map<std::uint64_t, FunctionRef> functions;
  // A location's function ids, innermost first (an inlined call before its caller).
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> locations;
  Field g, h;
  auto everything_but_samples = [&](const Field& f) {
    switch (f.number) {
      case profile::STRINGS:
        strings.emplace_back(f.bytes);
        break;
      case profile::COMMENT:
        return repeated_varints(f, comments);
      case profile::SAMPLE_TYPE:
        for (Fields vt(f); vt.next(g);) {
          if (g.number == VALUE_TYPE_TYPE) types.push_back(g.value);
        }
        break;
      case profile::FUNCTION: {
        std::uint64_t id = 0;
        FunctionRef r;
        Fields fs(f);
        while (fs.next(g)) {
          if (g.number == FUNCTION_ID) id = g.value;
          if (g.number == FUNCTION_NAME) r.name = g.value;
          if (g.number == FUNCTION_FILE) r.file = g.value;
          if (g.number == FUNCTION_LINE) r.line = g.value;
        }
        functions[id] = r;
        return fs.ok();
      }
      case profile::LOCATION: {
        std::uint64_t id = 0;
        std::vector<std::uint64_t> frames;
        Fields ls(f);
        while (ls.next(g)) {
          if (g.number == LOCATION_ID) id = g.value;
          if (g.number != LOCATION_LINE || g.type != LEN) continue;
          for (Fields line(g); line.next(h);) {
            if (h.number == LINE_FUNCTION) frames.push_back(h.value);
          }
        }
        locations[id] = std::move(frames);
        return ls.ok();
      }
      default:
        break;
    }
    return true;
  };
  if (auto e = each_field(in, everything_but_samples)) {
    out.error = *e;
    return out;
  }
  auto text = [&strings](std::uint64_t i) {
    return i < strings.size() ? std::string_view(strings[i]) : std::string_view();
  };
  // The wall-time value when the profile has one, else the first.
  std::size_t value_index = 0;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (text(types[i]) == WALL) {
      value_index = i;
      break;
    }
  }
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> frames_of;
  for (const auto& [id, fn_ids] : locations) {
    std::vector<std::uint32_t>& frames = frames_of[id];
    for (const std::uint64_t fn : fn_ids) {
      auto it = functions.find(fn);
      if (it == functions.end()) {
        out.error = "malformed profile: a line names no function";
        return out;
      }
      frames.push_back(table.functions().id(text(it->second.name), text(it->second.file),
                                            static_cast<std::uint32_t>(it->second.line)));
    }
  }
  locations.clear();
  std::vector<std::uint64_t> ids, values;
  std::vector<std::uint32_t> stack;
  bool unknown_location = false;
  auto samples = [&](const Field& f) {
    if (f.number != profile::SAMPLE) return true;
    ids.clear();
    values.clear();
    for (Fields ss(f); ss.next(g);) {
      if (g.number == SAMPLE_LOCATIONS && !repeated_varints(g, ids)) return false;
      if (g.number == SAMPLE_VALUES && !repeated_varints(g, values)) return false;
    }
    stack.clear();
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) {
      auto it = frames_of.find(*id);
      if (it == frames_of.end()) return !(unknown_location = true);
      stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
    }
    const auto v = value_index < values.size() ? static_cast<std::int64_t>(values[value_index]) : 0;
    if (v > 0) table.sample(stack, static_cast<std::uint64_t>(v));
    return true;
  };
  if (!in.rewind()) {
    out.error = "cannot read the profile a second time";
  } else if (auto e = each_field(in, samples)) {
    out.error = unknown_location ? "malformed profile: a sample names no location" : *e;
  }
  for (const std::uint64_t c : comments) {
    if (const auto n = loss_count(text(c), "dropped")) table.note_dropped(*n);
  }
  return out;
}

}  // namespace fennik::report
