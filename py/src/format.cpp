#include "format.hpp"

#include <array>
#include <cstddef>

#include "json_exporter.hpp"
#include "output.hpp"
#include "pprof.hpp"
#include "proto_exporter.hpp"
#include "writer_tag.hpp"

namespace fennik {
namespace {

constexpr std::size_t MAX_NAMES = 3;
constexpr std::size_t MAX_SUFFIXES = 3;
constexpr std::string_view FILE_MARK = "{}";  // stands for the file in a viewer hint
// JSON written as gzip members, which Perfetto and chrome://tracing open.
constexpr std::string_view JSON_GZIP_SUFFIX = ".json.gz";
constexpr char NO_ZLIB[] = "this build has no zlib, so it cannot write gzip output";

struct Facts {
  Format::Value value;
  std::array<std::string_view, MAX_NAMES> names;  // the canonical one first
  const char* extension;                          // of a dump file
  // File-name endings that ask for the format, matched without regard to case.
  std::array<std::string_view, MAX_SUFFIXES> suffixes;
  std::string_view viewer;
};

constexpr std::array<Facts, 3> FORMATS = {{
    {Format::Json,
     {"json"},
     "json",
     {".json", JSON_GZIP_SUFFIX},
     "open it in chrome://tracing or the Perfetto UI, https://ui.perfetto.dev"},
    {Format::Protobuf,
     {"protobuf", "pb", "proto"},
     "pb",
     {".pb", ".pftrace", ".perfetto-trace"},
     "open it in the Perfetto UI, https://ui.perfetto.dev"},
    {Format::Pprof,
     {"pprof"},
     "pprof",
     {".pprof", ".prof", ".pb.gz"},
     "open it with: go tool pprof -http=: {}"},
}};

const Facts& facts(Format format) {
  for (const Facts& f : FORMATS) {
    if (f.value == format) return f;
  }
  return FORMATS[1];
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ends_with_folded(std::string_view text, std::string_view suffix) {
  if (suffix.empty() || text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (lower(tail[i]) != suffix[i]) return false;
  }
  return true;
}

// The format whose extension ends `path`, if any.
const Facts* named_by(std::string_view path) {
  for (const Facts& f : FORMATS) {
    for (std::string_view suffix : f.suffixes) {
      if (ends_with_folded(path, suffix)) return &f;
    }
  }
  return nullptr;
}

}  // namespace

std::variant<Format, std::string> Format::parse(std::string_view text) {
  std::string accepted;
  for (const Facts& f : FORMATS) {
    for (std::string_view name : f.names) {
      if (!name.empty() && name == text) return Format(f.value);
    }
    accepted += accepted.empty() ? "" : f.value == FORMATS.back().value ? ", and " : ", ";
    accepted += f.names[0];
    if (!f.names[1].empty()) {
      accepted += ", also named " + std::string(f.names[1]);
      if (!f.names[2].empty()) accepted += " or " + std::string(f.names[2]);
    }
  }
  return "unknown format: " + std::string(text) + " (the formats are " + accepted + ")";
}

std::string Format::names() {
  std::string out;
  for (const Facts& f : FORMATS) out += (out.empty() ? "" : ", ") + std::string(f.names[0]);
  return out;
}

Format Format::for_output(std::string_view path) {
  const Facts* named = named_by(path);
  return named != nullptr ? named->value : Protobuf;
}

std::optional<Format> Format::contradicted_by(std::string_view path) const {
  const Facts* named = named_by(path);
  if (named == nullptr || named->value == value_) return std::nullopt;
  return named->value;
}

const char* Format::name() const noexcept {
  return facts(*this).names[0].data();
}

const char* Format::extension() const noexcept {
  return facts(*this).extension;
}

std::string Format::viewer_hint(std::string_view file) const {
  std::string hint(facts(*this).viewer);
  if (const std::size_t at = hint.find(FILE_MARK); at != std::string::npos) {
    hint.replace(at, FILE_MARK.size(), file);
  }
  return hint;
}

namespace {

template <class T>
IoResult<std::unique_ptr<Exporter>> as_exporter(IoResult<std::unique_ptr<T>> r) {
  if (!r.ok()) return r.error();
  return std::unique_ptr<Exporter>(std::move(r).value());
}

}  // namespace
IoResult<std::unique_ptr<Exporter>> Format::open(Format format, const std::string& path,
                                                 std::uint32_t writer_tag, bool append) {
  const bool gzip = format == Json && ends_with_folded(path, JSON_GZIP_SUFFIX);
  if (gzip && !Deflater::available()) return IoError::other(NO_ZLIB);
  if (append && format == Json) return as_exporter(JsonExporter::append(path, gzip));
  // A profile file holds one profile: an appending writer gets its own file.
  // A protobuf output opened without truncation is appended to: the file
  // keeps what other writers put there and every flush lands at its end.
  const bool own_file = append && format == Pprof;
  IoResult<SharedFile> file =
      SharedFile::open(own_file ? path + "." + std::to_string(writer_tag) : path,
                       /*truncate=*/!append || own_file);
  if (!file.ok()) return file.error();
  if (gzip) file.value().compress_each_flush();
  if (append && format == Protobuf) writer_tag = claim_writer_tag(file.value().fd(), writer_tag);
  return adopt(format, std::move(file).value(), writer_tag);
}

IoResult<std::unique_ptr<Exporter>> Format::adopt(Format format, SharedFile file,
                                                  std::uint32_t writer_tag) {
  switch (format) {
    case Json:
      return as_exporter(JsonExporter::create(std::move(file)));
    case Protobuf: {
      auto exporter = std::make_unique<ProtoExporter>(std::move(file));
      exporter->set_sequence_base(writer_tag);
      return std::unique_ptr<Exporter>(std::move(exporter));
    }
    case Pprof:
      return std::unique_ptr<Exporter>(std::make_unique<PprofExporter>(std::move(file)));
  }
  return IoError::other("unknown format");
}

}  // namespace fennik
