#include "gc_slices.hpp"

#include <array>
#include <string>

#include "annotations.hpp"

namespace fennik::py {
namespace {

constexpr long GENERATIONS = 3;
constexpr char SLICE_PREFIX[] = "gc: generation ";
constexpr char COLLECTED[] = "collected";
constexpr char UNCOLLECTABLE[] = "uncollectable";

// The sites of a collection's begin (no arguments) and end (the counts) per
// generation, in the session `queue_id` names.
struct GcSites {
  std::uint64_t queue_id = 0;
  std::array<std::array<std::uint32_t, 2>, GENERATIONS> ids{};
};
GcSites SITES;

bool gc_sites(SessionHub& hub) {
  if (SITES.queue_id == hub.queue_id) return true;
  for (long g = 0; g < GENERATIONS; ++g) {
    const std::string name = SLICE_PREFIX + std::to_string(g);
    const std::optional<std::uint32_t> begin = site_for(hub, SiteInfo{name, {}});
    const std::optional<std::uint32_t> end =
        site_for(hub, SiteInfo{name, {COLLECTED, UNCOLLECTABLE}});
    if (!begin || !end) return false;
    SITES.ids[static_cast<std::size_t>(g)] = {*begin, *end};
  }
  SITES.queue_id = hub.queue_id;
  return true;
}

// gc.callbacks' callback(phase, info).
PyObject* on_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  SessionHub* hub = annotating();
  if (hub == nullptr || nargs != 2 || !PyUnicode_Check(args[0]) || !PyDict_Check(args[1])) {
    Py_RETURN_NONE;
  }
  PyObject* generation = PyDict_GetItemString(args[1], "generation");  // borrowed
  const long g = generation != nullptr ? PyLong_AsLong(generation) : -1;
  PyErr_Clear();
  if (g < 0 || g >= GENERATIONS || !gc_sites(*hub)) Py_RETURN_NONE;
  const auto& ids = SITES.ids[static_cast<std::size_t>(g)];
  if (PyUnicode_CompareWithASCIIString(args[0], "start") == 0) {
    record_annotation(*hub, KIND_SPAN_BEGIN, ids[0], nullptr, 0);
  } else {
    std::array<PyObject*, 2> counts = {PyDict_GetItemString(args[1], COLLECTED),
                                       PyDict_GetItemString(args[1], UNCOLLECTABLE)};
    for (PyObject*& c : counts) {
      if (c == nullptr) c = Py_None;
    }
    record_annotation(*hub, KIND_SPAN_END, ids[1], counts.data(), counts.size());
  }
  Py_RETURN_NONE;
}

PyMethodDef CALLBACK_DEF = {"_fk_gc_callback", as_cfunction(on_collection), METH_FASTCALL, nullptr};
// Made once and kept: gc.callbacks must find the same object to remove it.
PyObject* CALLBACK = nullptr;

PyRef gc_callbacks() {
  PyRef gc = PyRef::steal(PyImport_ImportModule("gc"));
  PyRef list = gc ? PyRef::steal(PyObject_GetAttrString(gc.get(), "callbacks")) : PyRef();
  if (!list || !PyList_Check(list.get())) return {};
  return list;
}

}  // namespace

void gc_slices_on() {
  PendingError pending;
  if (CALLBACK == nullptr) CALLBACK = PyCFunction_New(&CALLBACK_DEF, nullptr);
  PyRef list = CALLBACK != nullptr ? gc_callbacks() : PyRef();
  if (list && PySequence_Contains(list.get(), CALLBACK) == 0) {
    (void)PyList_Append(list.get(), CALLBACK);
  }
  PyErr_Clear();
}

void gc_slices_off() {
  PendingError pending;
  PyRef list = CALLBACK != nullptr ? gc_callbacks() : PyRef();
  if (list && PySequence_Contains(list.get(), CALLBACK) == 1) {
    (void)PyRef::steal(PyObject_CallMethod(list.get(), "remove", "O", CALLBACK));
  }
  PyErr_Clear();
}

}  // namespace fennik::py
