#include "json_text.hpp"

namespace fennik::json {
namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
// U+FFFD REPLACEMENT CHARACTER in UTF-8.
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

struct Utf8Step {
  std::size_t len;  // bytes consumed
  bool valid;       // a whole well-formed sequence, or a maximal ill-formed subpart
};

// Classifies the sequence at the start of `s` (non-empty, first byte >= 0x80)
// by the well-formed byte ranges of Unicode's table 3-7. An ill-formed
// sequence consumes its longest valid-looking prefix (at least one byte), so
// the replacement matches what strict decoders produce.
Utf8Step utf8_step(const unsigned char* s, std::size_t n) noexcept {
  const unsigned char lead = s[0];
  std::size_t trail;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead == 0xE0) {
    trail = 2;
    lo = 0xA0;  // no overlong forms
  } else if (lead == 0xED) {
    trail = 2;
    hi = 0x9F;  // no surrogates
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    trail = 2;
  } else if (lead == 0xF0) {
    trail = 3;
    lo = 0x90;  // no overlong forms
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    trail = 3;
  } else if (lead == 0xF4) {
    trail = 3;
    hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};  // a stray continuation byte, C0, C1 or F5..FF
  }
  for (std::size_t k = 1; k <= trail; ++k) {
    if (k >= n || s[k] < lo || s[k] > hi) return {k, false};
    lo = 0x80;
    hi = 0xBF;
  }
  return {trail + 1, true};
}

char* put_escape(char* out, unsigned char c) noexcept {
  switch (c) {
    case '"':
      return put_bytes(out, "\\\"");
    case '\\':
      return put_bytes(out, "\\\\");
    case '\b':
      return put_bytes(out, "\\b");
    case '\t':
      return put_bytes(out, "\\t");
    case '\n':
      return put_bytes(out, "\\n");
    case '\f':
      return put_bytes(out, "\\f");
    case '\r':
      return put_bytes(out, "\\r");
    default: {
      const char u[] = {'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0xF]};
      return put_bytes(out, {u, sizeof u});
    }
  }
}

}  // namespace

void push_string(ByteBuffer& out, std::string_view text) {
  // Both quotes plus the worst case per byte; names are short and this is off
  // the per-event path.
  char* p = out.claim(2 + text.size() * MAX_ESCAPED_BYTES_PER_BYTE);
  *p++ = '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if (c < 0x20 || c == '"' || c == '\\') {
        p = put_escape(p, c);
      } else {
        *p++ = static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const Utf8Step step = utf8_step(s + i, n - i);
    p = put_bytes(p, step.valid ? text.substr(i, step.len) : REPLACEMENT);
    i += step.len;
  }
  *p++ = '"';
  out.commit(p);
}

Template Template::of(const CodeInfo& info) {
  ByteBuffer text(ByteBuffer::MIN_CAPACITY);
  text.append("{\"name\":");
  push_string(text, info.qualname.empty() ? UNKNOWN_QUALNAME : std::string_view(info.qualname));
  text.append(",\"cat\":\"py\",\"ph\":\"");
  Template t;
  t.prefix.assign(text.view());

  text.clear();
  text.append(",\"args\":{\"file\":");
  push_string(text, info.filename);
  text.append(",\"line\":");
  push_u64(text, info.first_line);
  t.suffix.assign(text.view());
  return t;
}

}  // namespace fennik::json
