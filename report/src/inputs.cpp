#include "inputs.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "byte_stream.hpp"
#include "readers.hpp"
#include "wire_reader.hpp"

namespace fennik::report {
namespace {

namespace fs = std::filesystem;

// How much of a file's start is looked at to tell the formats apart.
constexpr std::size_t SNIFF_BYTES = std::size_t{1} << 16;
constexpr std::uint8_t GZIP_MAGIC[] = {0x1F, 0x8B};
constexpr char DAMAGED_GZIP[] = "a damaged gzip stream";
constexpr std::uint32_t TRACE_PACKET_FIELD = 1;
constexpr std::uint32_t LAST_PROFILE_FIELD = 14;

// The system's message for an errno, as a lower-case phrase.
std::string os_phrase(int code) {
  std::string s = std::strerror(code);
  if (!s.empty()) s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
  return s;
}

enum class Kind { Perfetto, Json, Pprof, Unknown };

// A Perfetto trace is packets only (field 1 of Trace, each a message); a
// profile always has more than its sample types (field 1 too), its string
// table first of all.
Kind sniff(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && (p[i] == ' ' || p[i] == '\n' || p[i] == '\r' || p[i] == '\t')) ++i;
  if (i < n && p[i] == '[') return Kind::Json;
  if (n == 0 || p[0] != 0x0A) return Kind::Unknown;
  Fields fs(p, p + n);
  Field f;
  bool other = false;
  while (fs.next(f)) {
    if (f.number == 0 || f.number > LAST_PROFILE_FIELD) return Kind::Unknown;
    other |= f.number != TRACE_PACKET_FIELD;
  }
  return other ? Kind::Pprof : Kind::Perfetto;
}

}  // namespace

std::variant<std::vector<std::string>, std::string> input_files(const std::string& path,
                                                                bool all_dumps, bool children) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec) return os_phrase(ec.value());
  std::vector<std::string> out;
  if (fs::is_directory(st)) {
    std::vector<std::pair<fs::file_time_type, std::string>> dumps;
    for (const fs::directory_entry& e : fs::directory_iterator(path, ec)) {
      std::error_code e2;
      if (e.is_regular_file(e2)) dumps.emplace_back(e.last_write_time(e2), e.path().string());
    }
    if (ec) return os_phrase(ec.value());
    if (dumps.empty()) return std::string("a directory without dumps");
    if (all_dumps) {
      std::ranges::sort(dumps, {}, [](const auto& d) { return d.second; });
      for (auto& d : dumps) out.push_back(std::move(d.second));
    } else {
      out.push_back(std::ranges::max(dumps).second);  // the newest; of equals, the last named
    }
    return out;
  }
  out.push_back(path);
  if (!children) return out;
  const fs::path p(path);
  const std::string prefix = p.filename().string() + ".";
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::vector<std::string> found;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() > prefix.size() && name.starts_with(prefix) &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
      found.push_back(e.path().string());
    }
  }
  std::ranges::sort(found);
  out.insert(out.end(), found.begin(), found.end());
  return out;
}

FileRead read_file(const std::string& path, CallTable& table) {
  FileRead r;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    r.error = os_phrase(errno);
    return r;
  }
  ByteStream in(std::move(fd));
  std::size_t n = in.need(SNIFF_BYTES);
  if (in.error()) {
    r.error = os_phrase(*in.error());
    return r;
  }
  if (n == 0) {
    r.error = "the file is empty";
    return r;
  }
  const bool compressed =
      n >= sizeof GZIP_MAGIC && std::memcmp(in.data(), GZIP_MAGIC, sizeof GZIP_MAGIC) == 0;
  if (compressed && !Inflater::available()) {
    r.error = "gzip-compressed, and this build reads no gzip";
    return r;
  }
  if (compressed) {
    n = in.decompress() ? in.need(SNIFF_BYTES) : 0;
    if (in.damaged() || in.error() || n == 0) {
      r.error = in.error() ? os_phrase(*in.error()) : std::string(DAMAGED_GZIP);
      return r;
    }
  }
  ReadOutcome out;
  switch (sniff(in.data(), n)) {
    case Kind::Json:
      r.format = "trace-event JSON";
      out = read_trace_json(in, table);
      break;
    case Kind::Perfetto:
      r.format = "Perfetto protobuf";
      out = read_perfetto(in, table);
      break;
    case Kind::Pprof:
      r.format = "pprof profile";
      r.profile = true;
      out = read_pprof(in, table);
      break;
    case Kind::Unknown:
      r.error = NOT_OURS;
      return r;
  }
  if (compressed) r.format += ", gzip-compressed";
  if (in.error()) out.error = os_phrase(*in.error());
  if (in.damaged()) out.error = DAMAGED_GZIP;
  r.notes = std::move(out.notes);
  r.error = std::move(out.error);
  return r;
}

}  // namespace fennik::report
