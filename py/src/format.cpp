#include "format.hpp"

#include "json_exporter.hpp"
#include "output.hpp"
#include "pprof.hpp"
#include "proto_exporter.hpp"

namespace fennik {

std::variant<Format, std::string> Format::parse(std::string_view text) {
  if (text == "json") return Format(Json);
  if (text == "pb" || text == "proto" || text == "protobuf") return Format(Protobuf);
  if (text == "pprof") return Format(Pprof);
  return "unknown format: " + std::string(text) +
         " (the formats are json, protobuf, also named pb or proto, and pprof)";
}

const char* Format::name() const noexcept {
  switch (value_) {
    case Json:
      return "json";
    case Protobuf:
      return "protobuf";
    case Pprof:
      return "pprof";
  }
  return "protobuf";
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
  switch (format) {
    case Json:
      return as_exporter(append ? JsonExporter::append(path) : JsonExporter::create(path));
    case Protobuf: {
      // Opening without truncation is the append-mode open: the file keeps
      // what other writers put there and every flush lands at its end.
      IoResult<SharedFile> file = SharedFile::open(path, /*truncate=*/!append);
      if (!file.ok()) return file.error();
      auto exporter = std::make_unique<ProtoExporter>(std::move(file).value());
      exporter->set_sequence_base(writer_tag);
      return std::unique_ptr<Exporter>(std::move(exporter));
    }
    case Pprof:
      // A profile file holds one profile: an appending writer gets its own file.
      return as_exporter(
          PprofExporter::create(append ? path + "." + std::to_string(writer_tag) : path));
  }
  return IoError::other("unknown format");
}

}  // namespace fennik
