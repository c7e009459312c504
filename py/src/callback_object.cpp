#include "callback_object.hpp"

#include <cstddef>
#include <new>

#include "process_type.hpp"

namespace fennik::py {
namespace {

void callback_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<CallbackObject*>(self);
  obj->holder.~shared_ptr<SessionHub>();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* callback_repr(PyObject* self) {
  return PyUnicode_FromFormat("<fennik callback %s>",
                              reinterpret_cast<CallbackObject*>(self)->name);
}

PyMemberDef CALLBACK_MEMBERS[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CallbackObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot CALLBACK_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(callback_repr)},
    {Py_tp_members, CALLBACK_MEMBERS},
    {0, nullptr},
};

PyType_Spec CALLBACK_SPEC = {
    "fennik._core.Callback",
    sizeof(CallbackObject),
    0,
    // Immutable: assigning __call__ on the type would turn off its vectorcall
    // slot and send every event elsewhere.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    CALLBACK_SLOTS,
};

constinit ProcessType CALLBACK_TYPE{CALLBACK_SPEC};

}  // namespace

PyRef new_callback(const std::shared_ptr<SessionHub>& state, vectorcallfunc function,
                   const char* name) {
  PyRef type_ref = PyRef::steal(CALLBACK_TYPE.get());
  if (!type_ref) return {};
  auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
  PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
  if (!obj) return {};
  auto* cb = reinterpret_cast<CallbackObject*>(obj.get());
  cb->vectorcall = function;
  cb->name = name;
  new (&cb->holder) std::shared_ptr<SessionHub>(state);
  cb->state = state.get();
  return obj;
}

}  // namespace fennik::py
