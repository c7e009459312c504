#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "flat_map.hpp"
#include "readers.hpp"

namespace fennik::report {
namespace {

// An object is parsed once it lies whole in the window; a window this big
// holds any object a writer of ours makes, and grows for larger ones.
constexpr std::size_t JSON_WINDOW_BYTES = std::size_t{1} << 16;
constexpr std::uint64_t NS_PER_US = 1000;
constexpr unsigned NS_DIGITS = 3;  // of a microsecond count's fraction
constexpr unsigned MAX_SKIPPED_DEPTH = 256;

// What a reader of trace events needs of one object.
struct Object {
  std::string name, ph, file, thread_name;
  std::uint64_t ts_ns = 0, count = 0, line = 0;
  std::int64_t pid = 0, tid = 0;
};

enum class Parse { Ok, Incomplete, Bad };

class Parser {
 public:
  Parser(const char* p, const char* end) : p_(p), end_(end) {}
  const char* at() const noexcept { return p_; }
  bool at_end() const noexcept { return p_ >= end_; }

  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  // The next character, or 0 at the end of the window.
  char peek() {
    space();
    return p_ < end_ ? *p_ : 0;
  }
  Parse expect(char c) {
    if (peek() == 0) return Parse::Incomplete;
    if (*p_ != c) return Parse::Bad;
    ++p_;
    return Parse::Ok;
  }

  Parse string(std::string* out) {
    if (Parse r = expect('"'); r != Parse::Ok) return r;
    if (out != nullptr) out->clear();
    while (p_ < end_) {
      const char c = *p_++;
      if (c == '"') return Parse::Ok;
      if (c != '\\') {
        if (out != nullptr) out->push_back(c);
        continue;
      }
      if (p_ >= end_) return Parse::Incomplete;
      const char e = *p_++;
      std::uint32_t cp;
      switch (e) {
        case 'n':
          cp = '\n';
          break;
        case 't':
          cp = '\t';
          break;
        case 'r':
          cp = '\r';
          break;
        case 'b':
          cp = '\b';
          break;
        case 'f':
          cp = '\f';
          break;
        case 'u':
          if (Parse r = hex4(cp); r != Parse::Ok) return r;
          if (cp >= 0xD800 && cp < 0xDC00 && end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u') {
            p_ += 2;
            std::uint32_t low;
            if (Parse r = hex4(low); r != Parse::Ok) return r;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xD800 && cp < 0xDC00 && end_ - p_ < 2) {
            return Parse::Incomplete;
          }
          break;
        default:
          cp = static_cast<unsigned char>(e);
          break;
      }
      if (out != nullptr) utf8(*out, cp);
    }
    return Parse::Incomplete;
  }

  // A number's text, as written.
  Parse number(std::string_view& text) {
    space();
    const char* s = p_;
    while (p_ < end_ && (std::isdigit(static_cast<unsigned char>(*p_)) || *p_ == '-' ||
                         *p_ == '+' || *p_ == '.' || *p_ == 'e' || *p_ == 'E')) {
      ++p_;
    }
    if (p_ >= end_) return Parse::Incomplete;
    if (p_ == s) return Parse::Bad;
    text = std::string_view(s, static_cast<std::size_t>(p_ - s));
    return Parse::Ok;
  }

  // Any value, passed over; nested deeper than any writer nests is refused
  // rather than followed down the stack.
  Parse skip(unsigned depth = 0) {
    const char c = peek();
    if (c == 0) return Parse::Incomplete;
    if (depth > MAX_SKIPPED_DEPTH) return Parse::Bad;
    if (c == '"') return string(nullptr);
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++p_;
      if (peek() == close) return ++p_, Parse::Ok;
      for (;;) {
        if (c == '{') {
          if (Parse r = string(nullptr); r != Parse::Ok) return r;
          if (Parse r = expect(':'); r != Parse::Ok) return r;
        }
        if (Parse r = skip(depth + 1); r != Parse::Ok) return r;
        const char n = peek();
        if (n == 0) return Parse::Incomplete;
        ++p_;
        if (n == close) return Parse::Ok;
        if (n != ',') return Parse::Bad;
      }
    }
    if (c == 't' || c == 'f' || c == 'n') {
      while (p_ < end_ && std::isalpha(static_cast<unsigned char>(*p_))) ++p_;
      return p_ < end_ ? Parse::Ok : Parse::Incomplete;
    }
    std::string_view ignored;
    return number(ignored);
  }

 private:
  Parse hex4(std::uint32_t& cp) {
    if (end_ - p_ < 4) return Parse::Incomplete;
    cp = 0;
    const auto [e, ec] = std::from_chars(p_, p_ + 4, cp, 16);
    if (ec != std::errc() || e != p_ + 4) return Parse::Bad;
    p_ += 4;
    return Parse::Ok;
  }
  static void utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  const char* p_;
  const char* end_;
};

template <class Int>
bool integer(std::string_view text, Int& out) {
  const auto [e, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && e == text.data() + text.size();
}

// Microseconds as written ("1234.567") to whole nanoseconds, exactly when
// the text has at most three decimals.
bool micros_to_ns(std::string_view text, std::uint64_t& ns) {
  const std::size_t dot = text.find('.');
  std::uint64_t whole = 0, frac = 0;
  if (text.find_first_of("eE-") == std::string_view::npos && integer(text.substr(0, dot), whole)) {
    std::string_view f = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    unsigned digits = 0;
    for (const char c : f.substr(0, NS_DIGITS)) {
      if (c < '0' || c > '9') return false;
      frac = frac * 10 + static_cast<unsigned>(c - '0');
      ++digits;
    }
    for (; digits < NS_DIGITS; ++digits) frac *= 10;
    ns = whole * NS_PER_US + frac;
    return true;
  }
  const double us = std::strtod(std::string(text).c_str(), nullptr);
  ns = us > 0 ? static_cast<std::uint64_t>(us * static_cast<double>(NS_PER_US)) : 0;
  return true;
}

Parse read_object(Parser& in, Object& o) {
  if (Parse r = in.expect('{'); r != Parse::Ok) return r;
  if (in.peek() == '}') return in.expect('}');
  std::string key, inner;
  for (;;) {
    if (Parse r = in.string(&key); r != Parse::Ok) return r;
    if (Parse r = in.expect(':'); r != Parse::Ok) return r;
    std::string_view num;
    Parse r = Parse::Ok;
    if (key == "name") {
      r = in.peek() == '"' ? in.string(&o.name) : in.skip();
    } else if (key == "ph") {
      r = in.peek() == '"' ? in.string(&o.ph) : in.skip();
    } else if (key == "ts" || key == "pid" || key == "tid") {
      if ((r = in.number(num)) == Parse::Ok) {
        const bool ok = key == "ts"    ? micros_to_ns(num, o.ts_ns)
                        : key == "pid" ? integer(num, o.pid)
                                       : integer(num, o.tid);
        if (!ok) return Parse::Bad;
      }
    } else if (key == "args" && in.peek() == '{') {
      in.expect('{');
      if (in.peek() == '}') {
        r = in.expect('}');
      } else {
        for (;;) {
          if ((r = in.string(&inner)) != Parse::Ok || (r = in.expect(':')) != Parse::Ok) return r;
          if (inner == "file" && in.peek() == '"') {
            r = in.string(&o.file);
          } else if (inner == "name" && in.peek() == '"') {
            r = in.string(&o.thread_name);
          } else if ((inner == "line" || inner == "count") && in.peek() != '"') {
            if ((r = in.number(num)) == Parse::Ok &&
                !integer(num, inner == "line" ? o.line : o.count)) {
              return Parse::Bad;
            }
          } else {
            r = in.skip();
          }
          if (r != Parse::Ok) return r;
          const char n = in.peek();
          if (n == '}') {
            r = in.expect('}');
            break;
          }
          if ((r = in.expect(',')) != Parse::Ok) return r;
        }
      }
    } else {
      r = in.skip();
    }
    if (r != Parse::Ok) return r;
    const char n = in.peek();
    if (n == '}') return in.expect('}');
    if (Parse c = in.expect(','); c != Parse::Ok) return c;
  }
}

class JsonReader {
 public:
  explicit JsonReader(CallTable& table) : table_(table) {}

  void take(const Object& o) {
    const std::uint64_t key =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(o.pid)) << 32) |
        static_cast<std::uint32_t>(o.tid);
    if (o.ph == "M") {
      if (o.name == "fennik_dropped_events") table_.note_dropped(o.count);
      if (o.name != "thread_name") return;
      // Written when the thread ended (or at the end): a later event with its
      // id is another thread's.
      const std::uint32_t t = thread(key, o, "");
      table_.name_thread(t, o.thread_name);
      table_.end_thread(t);
      close(key);
      return;
    }
    if (o.ph == "B") {
      table_.begin(thread(key, o, ""),
                   table_.functions().id(o.name, o.file, static_cast<std::uint32_t>(o.line)),
                   o.ts_ns);
    } else if (o.ph == "E") {
      table_.end(thread(key, o, ""), o.ts_ns);
    } else if (o.ph == "i" || o.ph == "I") {
      if (const auto n = loss_count(o.name, "lost")) table_.gap(thread(key, o, ""), o.ts_ns, *n);
    }
  }

 private:
  struct Entry {
    std::uint32_t thread;
    bool closed;
  };
  std::uint32_t thread(std::uint64_t key, const Object& o, const std::string& name) {
    Entry* found = threads_.find(key);
    if (found != nullptr && !found->closed) return found->thread;
    const std::uint32_t t = table_.add_thread(static_cast<std::uint32_t>(o.pid),
                                              static_cast<std::uint32_t>(o.tid), name);
    if (found != nullptr) {
      *found = Entry{t, false};
    } else {
      threads_.insert(key, Entry{t, false});
    }
    return t;
  }
  void close(std::uint64_t key) { threads_.find(key)->closed = true; }

  CallTable& table_;
  FlatMap<std::uint64_t, Entry> threads_;
};

}  // namespace

ReadOutcome read_trace_json(ByteStream& in, CallTable& table) {
  ReadOutcome out;
  JsonReader reader(table);
  std::size_t window = JSON_WINDOW_BYTES;
  in.need(window);
  {
    Parser head(reinterpret_cast<const char*>(in.data()),
                reinterpret_cast<const char*>(in.data()) + in.available());
    if (head.expect('[') != Parse::Ok) {
      out.error = "not a trace-event array";
      return out;
    }
    in.consume(static_cast<std::size_t>(head.at() - reinterpret_cast<const char*>(in.data())));
  }
  Object o;
  for (;;) {
    const std::size_t have = in.need(window);
    const char* start = reinterpret_cast<const char*>(in.data());
    Parser p(start, start + have);
    const char c = p.peek();
    if (c == 0 || c == ']') break;  // the end, closed or left open
    if (c == ',') {
      in.consume(static_cast<std::size_t>(p.at() - start) + 1);
      continue;
    }
    o = Object{};
    const Parse r = read_object(p, o);
    if (r == Parse::Incomplete && have >= window) {
      window *= 2;  // an object larger than the window
      continue;
    }
    if (r == Parse::Incomplete) {
      out.notes.push_back("the file ends inside an object: its last " + std::to_string(have) +
                          " bytes were left out");
      break;
    }
    if (r == Parse::Bad) {
      out.error = "malformed JSON at byte " + std::to_string(in.offset() + (p.at() - start));
      return out;
    }
    reader.take(o);
    in.consume(static_cast<std::size_t>(p.at() - start));
    window = JSON_WINDOW_BYTES;
  }
  return out;
}

}  // namespace fennik::report
