#include <cstdint>
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

}  // namespace

ReadOutcome read_pprof(std::string_view bytes, CallTable& table) {
  ReadOutcome out;
  auto bad = [&out](const char* what) {
    out.error = std::string("malformed profile: ") + what;
    return out;
  };
  std::vector<std::string_view> strings;
  std::vector<std::uint64_t> types;
  std::vector<Field> samples, functions, locations;
  std::vector<std::uint64_t> comments;
  Field f, g, h;
  Fields top(bytes);
  while (top.next(f)) {
    switch (f.number) {
      case profile::STRINGS:
        strings.push_back(f.bytes);
        break;
      case profile::SAMPLE:
        samples.push_back(f);
        break;
      case profile::FUNCTION:
        functions.push_back(f);
        break;
      case profile::LOCATION:
        locations.push_back(f);
        break;
      case profile::COMMENT:
        repeated_varints(f, comments);
        break;
      case profile::SAMPLE_TYPE:
        for (Fields vt(f); vt.next(g);) {
          if (g.number == VALUE_TYPE_TYPE) types.push_back(g.value);
        }
        break;
      default:
        break;
    }
  }
  if (!top.ok()) return bad("a field runs past the end");
  auto text = [&strings](std::uint64_t i) {
    return i < strings.size() ? strings[i] : std::string_view();
  };
  // The wall-time value when the profile has one, else the first.
  std::size_t value_index = 0;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (text(types[i]) == WALL) {
      value_index = i;
      break;
    }
  }
  std::unordered_map<std::uint64_t, std::uint32_t> fn_of;
  for (const Field& fn : functions) {
    std::uint64_t id = 0, name = 0, file = 0, line = 0;
    for (Fields fs(fn); fs.next(g);) {
      if (g.number == FUNCTION_ID) id = g.value;
      if (g.number == FUNCTION_NAME) name = g.value;
      if (g.number == FUNCTION_FILE) file = g.value;
      if (g.number == FUNCTION_LINE) line = g.value;
    }
    fn_of[id] = table.functions().id(text(name), text(file), static_cast<std::uint32_t>(line));
  }
  // A location's functions, innermost first (an inlined call before its caller).
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> frames_of;
  for (const Field& loc : locations) {
    std::uint64_t id = 0;
    std::vector<std::uint32_t> frames;
    for (Fields ls(loc); ls.next(g);) {
      if (g.number == LOCATION_ID) id = g.value;
      if (g.number != LOCATION_LINE || g.type != LEN) continue;
      for (Fields line(g); line.next(h);) {
        if (h.number != LINE_FUNCTION) continue;
        auto it = fn_of.find(h.value);
        if (it == fn_of.end()) return bad("a line names no function");
        frames.push_back(it->second);
      }
    }
    frames_of[id] = std::move(frames);
  }
  std::vector<std::uint64_t> ids, values;
  std::vector<std::uint32_t> stack;
  for (const Field& s : samples) {
    ids.clear();
    values.clear();
    for (Fields ss(s); ss.next(g);) {
      if (g.number == SAMPLE_LOCATIONS && !repeated_varints(g, ids)) return bad("a sample");
      if (g.number == SAMPLE_VALUES && !repeated_varints(g, values)) return bad("a sample");
    }
    stack.clear();
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) {
      auto it = frames_of.find(*id);
      if (it == frames_of.end()) return bad("a sample names no location");
      stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
    }
    const auto v = value_index < values.size() ? static_cast<std::int64_t>(values[value_index]) : 0;
    if (v > 0) table.sample(stack, static_cast<std::uint64_t>(v));
  }
  for (const std::uint64_t c : comments) {
    if (const auto n = loss_count(text(c), "dropped")) table.note_dropped(*n);
  }
  return out;
}

}  // namespace fennik::report
