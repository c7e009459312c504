// The program's annotations as trace-event objects.
#include <charconv>
#include <cmath>
#include <string_view>

#include "json_exporter.hpp"

namespace fennik {
namespace {

// The longest shortest round-trip form of a double.
constexpr std::size_t MAX_DOUBLE_CHARS = 32;
// The one argument of a counter value.
constexpr std::string_view COUNTER_KEY = "value";

// JSON has no NaN or infinity: those go as strings.
void push_value(ByteBuffer& out, const ArgValue& v) {
  switch (v.type) {
    case ArgValue::Type::None:
      out.append("null");
      break;
    case ArgValue::Type::Bool:
      out.append(v.integer != 0 ? "true" : "false");
      break;
    case ArgValue::Type::Int: {
      char* p = out.claim(json::MAX_U64_DIGITS + 1);
      out.commit(std::to_chars(p, p + json::MAX_U64_DIGITS + 1, v.integer).ptr);
      break;
    }
    case ArgValue::Type::Float:
      if (std::isfinite(v.real)) {
        char* p = out.claim(MAX_DOUBLE_CHARS);
        out.commit(std::to_chars(p, p + MAX_DOUBLE_CHARS, v.real).ptr);
      } else {
        json::push_string(out, std::isnan(v.real) ? "nan" : (v.real > 0 ? "inf" : "-inf"));
      }
      break;
    case ArgValue::Type::Text:
      json::push_string(out, v.text);
      break;
  }
}

}  // namespace

void JsonExporter::render_annotation(const Event& e, std::span<const Event> args,
                                     const CodeLookup& codes) {
  const std::uint32_t id = word_code(e.code_kind);
  auto found = sites_.find(id);
  if (found == sites_.end()) {
    found = sites_.emplace(id, codes.site(id).value_or(SiteInfo{"<unknown>", {}})).first;
  }
  const SiteInfo& site = found->second;
  const std::uint8_t kind = word_kind(e.code_kind);
  ByteBuffer& out = file_.buffer();
  out.append("{\"name\":");
  json::push_string(out, site.name);
  switch (kind) {
    case KIND_SPAN_BEGIN:
      out.append(",\"cat\":\"span\",\"ph\":\"B\"");
      break;
    case KIND_SPAN_END:
      out.append(",\"cat\":\"span\",\"ph\":\"E\"");
      break;
    case KIND_INSTANT:
      out.append(",\"cat\":\"instant\",\"ph\":\"i\",\"s\":\"t\"");
      break;
    default:
      out.append(",\"cat\":\"counter\",\"ph\":\"C\"");
      break;
  }
  out.append(",\"ts\":");
  json::push_micros(out, e.ts_ns);
  out.append(pid_text_);
  json::push_u64(out, e.tid);
  const std::vector<ArgValue> values = decode_args(args);
  if (!values.empty()) {
    out.append(",\"args\":{");
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out.push_back(',');
      const std::string_view key =
          kind == KIND_COUNTER ? COUNTER_KEY
                               : (i < site.keys.size() ? std::string_view(site.keys[i]) : "?");
      json::push_string(out, key);
      out.push_back(':');
      push_value(out, values[i]);
    }
    out.push_back('}');
  }
  out.append("},");
}

}  // namespace fennik
