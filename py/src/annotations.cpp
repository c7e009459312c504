#include "annotations.hpp"

#include <unistd.h>

#include <array>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "annotation_args.hpp"
#include "evqueue.hpp"
#include "gc_slices.hpp"
#include "monitoring.hpp"

namespace fennik::py {
namespace {

// The session annotations record into, and a reference that keeps it alive
// while it is; the process that set it (a forked child never frees its
// parent's sessions: they are kept in LEFT_BY_PARENT instead).
struct Target {
  std::shared_ptr<SessionHub> hold;
  SessionHub* hub = nullptr;
  pid_t pid = 0;
  std::uint64_t serial = 0;
};
Target TARGET;
std::vector<std::shared_ptr<SessionHub>> LEFT_BY_PARENT;

void set_target(std::shared_ptr<SessionHub> state) {
  if (TARGET.hold && TARGET.pid != ::getpid()) LEFT_BY_PARENT.push_back(std::move(TARGET.hold));
  TARGET.hub = state.get();
  TARGET.hold = std::move(state);
  TARGET.pid = ::getpid();
  ++TARGET.serial;
}

// (name, keys) -> site, per session, holding both objects so that their
// addresses keep naming them. Direct-mapped; used with the interpreter lock.
constexpr std::size_t SITE_CACHE_SLOTS = 64;
struct SiteSlot {
  PyObject* name = nullptr;
  PyObject* keys = nullptr;
  std::uint64_t queue_id = 0;
  std::uint32_t site = 0;
};
std::array<SiteSlot, SITE_CACHE_SLOTS> SITE_CACHE;
constexpr std::uint64_t SLOT_MULTIPLIER = 0x9E3779B97F4A7C15ull;
constexpr unsigned SLOT_SHIFT = 58;  // 64 slots
static_assert(SITE_CACHE_SLOTS == std::size_t{1} << (64 - SLOT_SHIFT));

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unreadable>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// `text` as UTF-8, its first MAX_ARG_CHARS characters, cut further to fit.
void write_text(ArgWriter& w, PyObject* text) {
  constexpr std::size_t MAX_UTF8_BYTES = 4;
  std::array<char, MAX_ARG_CHARS * MAX_UTF8_BYTES> buf;
  std::size_t len = 0;
  const std::size_t room = std::min<std::size_t>(w.text_room(), buf.size());
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t chars = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(text), MAX_ARG_CHARS);
  for (Py_ssize_t i = 0; i < chars; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate has no UTF-8
    std::array<char, MAX_UTF8_BYTES> u;
    std::size_t n;
    if (c < 0x80) {
      u = {static_cast<char>(c)};
      n = 1;
    } else if (c < 0x800) {
      u = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
      n = 2;
    } else if (c < 0x10000) {
      u = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
           static_cast<char>(0x80 | (c & 0x3F))};
      n = 3;
    } else {
      u = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
           static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
      n = 4;
    }
    if (len + n > room) break;
    for (std::size_t b = 0; b < n; ++b) buf[len++] = u[b];
  }
  w.text(std::string_view(buf.data(), len));
}

void write_value(ArgWriter& w, PyObject* v) {
  if (v == Py_None) {
    w.none();
  } else if (PyBool_Check(v)) {
    w.boolean(v == Py_True);
  } else if (PyFloat_Check(v)) {
    w.real(PyFloat_AS_DOUBLE(v));
  } else if (PyUnicode_Check(v)) {
    write_text(w, v);
  } else {
    if (PyLong_Check(v)) {
      int overflow = 0;
      const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow == 0 && !(n == -1 && PyErr_Occurred())) {
        w.integer(n);
        return;
      }
      PyErr_Clear();  // wider than 64 bits: its repr
    }
    PyRef text = PyRef::steal(PyObject_Repr(v));
    if (!text || !PyUnicode_Check(text.get())) {
      PyErr_Clear();
      text = PyRef::steal(PyUnicode_FromString("<repr failed>"));
      if (!text) {
        PyErr_Clear();
        w.none();
        return;
      }
    }
    write_text(w, text.get());
  }
}

}  // namespace

void annotations_on(const std::shared_ptr<SessionHub>& state) {
  set_target(state);
  gc_slices_on();
}

void annotations_off() {
  set_target(nullptr);
  gc_slices_off();
}

SessionHub* annotating() noexcept {
  SessionHub* hub = TARGET.hub;
  return hub != nullptr && hub->live() ? hub : nullptr;
}

std::uint64_t annotating_serial() noexcept {
  return TARGET.serial;
}

std::optional<std::uint32_t> site_for(SessionHub& hub, SiteInfo info) {
  std::optional<std::uint32_t> site = hub.sites.intern(std::move(info));
  if (!site) hub.queue->dropped.fetch_add(1, std::memory_order_relaxed);
  return site;
}

std::optional<std::uint32_t> site_for(SessionHub& hub, PyObject* name, PyObject* keys) {
  const auto hash = (reinterpret_cast<std::uintptr_t>(name) ^
                     (reinterpret_cast<std::uintptr_t>(keys) * SLOT_MULTIPLIER)) *
                    SLOT_MULTIPLIER;
  SiteSlot& slot = SITE_CACHE[hash >> SLOT_SHIFT];
  if (slot.name == name && slot.keys == keys && slot.queue_id == hub.queue_id) return slot.site;
  SiteInfo info{utf8_of(name), {}};
  const Py_ssize_t n = keys != nullptr ? PyTuple_GET_SIZE(keys) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) info.keys.push_back(utf8_of(PyTuple_GET_ITEM(keys, i)));
  const std::optional<std::uint32_t> site = site_for(hub, std::move(info));
  if (!site) return site;
  Py_INCREF(name);
  Py_XINCREF(keys);
  const SiteSlot old = std::exchange(slot, SiteSlot{name, keys, hub.queue_id, *site});
  Py_XDECREF(old.name);
  Py_XDECREF(old.keys);
  return site;
}

void record_annotation(SessionHub& hub, std::uint8_t kind, std::uint32_t site,
                       PyObject* const* values, std::size_t count) {
  std::array<std::uint32_t, MAX_ARG_WORDS + 1> words;
  words[0] = make_word(kind, site);
  ArgWriter w(words.data() + 1, MAX_ARG_WORDS);
  const std::uint64_t serial = annotating_serial();
  for (std::size_t i = 0; i < count; ++i) write_value(w, values[i]);
  // A repr may have run anything, the end of the session included.
  if (annotating_serial() != serial || annotating() != &hub) return;
  Hot& hot = HOT;
  join_session(hub, hot);
  record_group(*hub.queue, hub.queue->clock.now_ticks(),
               std::span<const std::uint32_t>(words.data(), 1 + w.size()));
}

bool check_name(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t want, const char* function) {
  if (nargs != want) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s (%zd given)", function,
                 want, want == 1 ? "" : "s", nargs);
    return false;
  }
  if (!PyUnicode_Check(args[0])) {
    PyErr_Format(PyExc_TypeError, "%s() name must be a str, not %.200s", function,
                 Py_TYPE(args[0])->tp_name);
    return false;
  }
  return true;
}

PyObject* instant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!check_name(args, nargs, 1, "instant")) return nullptr;
  SessionHub* hub = annotating();
  if (hub == nullptr) Py_RETURN_NONE;
  const std::optional<std::uint32_t> site = site_for(*hub, args[0], kwnames);
  if (site) {
    const Py_ssize_t n = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    record_annotation(*hub, KIND_INSTANT, *site, args + 1, static_cast<std::size_t>(n));
  }
  Py_RETURN_NONE;
}

PyObject* counter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_name(args, nargs, 2, "counter")) return nullptr;
  if (!PyLong_Check(args[1]) && !PyFloat_Check(args[1])) {
    PyErr_Format(PyExc_TypeError, "counter() value must be an int or a float, not %.200s",
                 Py_TYPE(args[1])->tp_name);
    return nullptr;
  }
  SessionHub* hub = annotating();
  if (hub == nullptr) Py_RETURN_NONE;
  if (const std::optional<std::uint32_t> site = site_for(*hub, args[0], nullptr)) {
    record_annotation(*hub, KIND_COUNTER, *site, args + 1, 1);
  }
  Py_RETURN_NONE;
}

}  // namespace fennik::py
