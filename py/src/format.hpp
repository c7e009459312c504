// The output formats: what is known of each (its names, its file
// extensions, how to open its files), and the one place where an exporter is
// chosen and opened.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "io_error.hpp"
#include "output.hpp"
#include "sink.hpp"

namespace fennik {

class Format {
 public:
  enum Value : std::uint8_t { Json, Protobuf, Pprof };

  constexpr Format(Value v) noexcept : value_(v) {}  // NOLINT: implicit on purpose
  constexpr operator Value() const noexcept { return value_; }

  // Exact, case-sensitive; "pb" and "proto" also name Protobuf. An unknown
  // name gives "unknown format: " followed by it and the accepted names.
  static std::variant<Format, std::string> parse(std::string_view text);
  // The canonical names, in the order of the table: "json, protobuf, pprof".
  static std::string names();

  // The format an output's file name asks for: ".json" or ".json.gz" JSON
  // (the second gzip-compressed); ".pprof", ".prof" or ".pb.gz" pprof;
  // anything else protobuf.
  static Format for_output(std::string_view path);
  // The format `path`'s extension names when that is not this one; a name
  // without an extension of any format contradicts none.
  std::optional<Format> contradicted_by(std::string_view path) const;

  // The canonical name: "json", "protobuf" or "pprof".
  const char* name() const noexcept;
  // The extension of a dump file, without its dot.
  const char* extension() const noexcept;
  // How to look at `file`: "open it in ...".
  std::string viewer_hint(std::string_view file) const;

  // A fresh output, or (append) one that adds to a file another writer
  // started; `writer_tag` separates writers sharing one output (an
  // appending protobuf writer claims a shorter one when it can, see
  // claim_writer_tag).
  static IoResult<std::unique_ptr<Exporter>> open(Format format, const std::string& path,
                                                  std::uint32_t writer_tag, bool append);
  // The exporter for `file`, which it takes over: a fresh output, already
  // open and empty. open ends here once it has the file (a protobuf writer
  // starts the same way whether or not others wrote before it).
  static IoResult<std::unique_ptr<Exporter>> adopt(Format format, SharedFile file,
                                                   std::uint32_t writer_tag);

 private:
  Value value_;
};

}  // namespace fennik
