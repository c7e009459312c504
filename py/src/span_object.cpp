#include "span_object.hpp"

#include <cstddef>

#include "annotations.hpp"
#include "process_type.hpp"

namespace fennik::py {
namespace {

// A span's name and arguments, and its site in the session it last recorded
// into. Reusable and reentrant: entering records a begin, leaving an end,
// and an end closes whatever frame is innermost on its thread.
struct SpanObject {
  PyObject_VAR_HEAD PyObject* name;
  PyObject* keys;  // a tuple of the argument names, or null
  std::uint64_t queue_id;
  std::uint32_t site;
  PyObject* values[1];  // ob_size of them
};

// What a decorated function becomes: the span around each call of it.
struct SpanCall {
  PyObject_HEAD PyObject* span;
  PyObject* func;
  vectorcallfunc vectorcall;
  PyObject* dict;
};

Py_ssize_t value_count(PyObject* self) {
  return Py_SIZE(self);
}

// The span's site in `hub`'s session, looked up once per session.
bool span_site(SpanObject* s, SessionHub& hub) {
  if (s->queue_id == hub.queue_id) return true;
  const std::optional<std::uint32_t> site = site_for(hub, s->name, s->keys);
  if (!site) return false;
  s->site = *site;
  s->queue_id = hub.queue_id;
  return true;
}

void span_begin(PyObject* self) {
  SessionHub* hub = annotating();
  auto* s = reinterpret_cast<SpanObject*>(self);
  if (hub == nullptr || !span_site(s, *hub)) return;
  record_annotation(*hub, KIND_SPAN_BEGIN, s->site, s->values,
                    static_cast<std::size_t>(value_count(self)));
}

void span_end(PyObject* self) {
  SessionHub* hub = annotating();
  auto* s = reinterpret_cast<SpanObject*>(self);
  if (hub == nullptr || !span_site(s, *hub)) return;
  record_annotation(*hub, KIND_SPAN_END, s->site, nullptr, 0);
}

PyObject* span_enter(PyObject* self, PyObject*) {
  span_begin(self);
  return Py_NewRef(self);
}

PyObject* span_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!exit_arguments(args, nargs)) return nullptr;
  span_end(self);
  Py_RETURN_FALSE;
}

int span_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* s = reinterpret_cast<SpanObject*>(self);
  for (Py_ssize_t i = 0; i < value_count(self); ++i) Py_VISIT(s->values[i]);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int span_clear(PyObject* self) {
  auto* s = reinterpret_cast<SpanObject*>(self);
  for (Py_ssize_t i = 0; i < value_count(self); ++i) Py_CLEAR(s->values[i]);
  return 0;
}

void span_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* s = reinterpret_cast<SpanObject*>(self);
  span_clear(self);
  Py_CLEAR(s->name);
  Py_CLEAR(s->keys);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* span_repr(PyObject* self) {
  return PyUnicode_FromFormat("<fennik.span %R>", reinterpret_cast<SpanObject*>(self)->name);
}

PyObject* span_decorate(PyObject* self, PyObject* args, PyObject* kwargs);

PyMethodDef SPAN_METHODS[] = {
    {"__enter__", span_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(span_exit), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SPAN_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(span_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(span_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(span_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(span_repr)},
    {Py_tp_call, reinterpret_cast<void*>(span_decorate)},
    {Py_tp_methods, SPAN_METHODS},
    {Py_tp_doc, const_cast<char*>("A span: a context manager, and a decorator of functions.")},
    {0, nullptr},
};

PyType_Spec SPAN_SPEC = {
    "fennik.span",
    static_cast<int>(offsetof(SpanObject, values)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SPAN_SLOTS,
};
constinit ProcessType SPAN_TYPE{SPAN_SPEC};

PyObject* span_call_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) {
  auto* c = reinterpret_cast<SpanCall*>(self);
  span_begin(c->span);
  PyObject* result = PyObject_Vectorcall(c->func, args, nargsf, kwnames);
  // The end is recorded however the call left, its exception kept.
  PyObject* raised = result == nullptr ? PyErr_GetRaisedException() : nullptr;
  span_end(c->span);
  if (raised != nullptr) PyErr_SetRaisedException(raised);
  return result;
}

PyObject* span_call_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int span_call_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* c = reinterpret_cast<SpanCall*>(self);
  Py_VISIT(c->span);
  Py_VISIT(c->func);
  Py_VISIT(c->dict);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int span_call_clear(PyObject* self) {
  auto* c = reinterpret_cast<SpanCall*>(self);
  Py_CLEAR(c->span);
  Py_CLEAR(c->func);
  Py_CLEAR(c->dict);
  return 0;
}

void span_call_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  span_call_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef SPAN_CALL_MEMBERS[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(SpanCall, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SpanCall, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef SPAN_CALL_GETSET[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SPAN_CALL_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(span_call_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(span_call_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(span_call_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(span_call_get)},
    {Py_tp_members, SPAN_CALL_MEMBERS},
    {Py_tp_getset, SPAN_CALL_GETSET},
    {0, nullptr},
};

PyType_Spec SPAN_CALL_SPEC = {
    "fennik.span_call",
    sizeof(SpanCall),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SPAN_CALL_SLOTS,
};
constinit ProcessType SPAN_CALL_TYPE{SPAN_CALL_SPEC};

PyObject* span_decorate(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* func = nullptr;
  if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
      !PyArg_UnpackTuple(args, "span", 1, 1, &func)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a span decorates one callable");
    return nullptr;
  }
  if (!PyCallable_Check(func)) {
    PyErr_Format(PyExc_TypeError, "a span decorates a callable, not %.200s",
                 Py_TYPE(func)->tp_name);
    return nullptr;
  }
  PyRef type_ref = PyRef::steal(SPAN_CALL_TYPE.get());
  if (!type_ref) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
  PyRef wrapper = PyRef::steal(type->tp_alloc(type, 0));
  if (!wrapper) return nullptr;
  auto* c = reinterpret_cast<SpanCall*>(wrapper.get());
  c->span = Py_NewRef(self);
  c->func = Py_NewRef(func);
  c->vectorcall = span_call_vectorcall;
  // The function's name, qualified name, module and documentation, as
  // functools.wraps gives them.
  PyRef functools = PyRef::steal(PyImport_ImportModule("functools"));
  if (!functools || !PyRef::steal(PyObject_CallMethod(functools.get(), "update_wrapper", "OO",
                                                      wrapper.get(), func))) {
    return nullptr;
  }
  return wrapper.release();
}

}  // namespace

PyObject* span_type() {
  return SPAN_TYPE.get();
}

PyObject* span_call_type() {
  return SPAN_CALL_TYPE.get();
}

PyObject* span(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!check_name(args, nargs, 1, "span")) return nullptr;
  const Py_ssize_t n = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  PyRef type_ref = PyRef::steal(SPAN_TYPE.get());
  if (!type_ref) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
  auto* s = PyObject_GC_NewVar(SpanObject, type, n);
  if (s == nullptr) return nullptr;
  s->name = Py_NewRef(args[0]);
  s->keys = n != 0 ? Py_NewRef(kwnames) : nullptr;
  s->queue_id = 0;
  s->site = 0;
  for (Py_ssize_t i = 0; i < n; ++i) s->values[i] = Py_NewRef(args[1 + i]);
  // Only a span holding values can be part of a cycle.
  if (n != 0) PyObject_GC_Track(s);
  return reinterpret_cast<PyObject*>(s);
}

}  // namespace fennik::py
