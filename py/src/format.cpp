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
  if (append && format == Json) return as_exporter(JsonExporter::append(path));
  // A profile file holds one profile: an appending writer gets its own file.
  // A protobuf output opened without truncation is appended to: the file
  // keeps what other writers put there and every flush lands at its end.
  const bool own_file = append && format == Pprof;
  IoResult<SharedFile> file =
      SharedFile::open(own_file ? path + "." + std::to_string(writer_tag) : path,
                       /*truncate=*/!append || own_file);
  if (!file.ok()) return file.error();
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
