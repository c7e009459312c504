#include "c_calls.hpp"

#include <string>
#include <string_view>

#include "py_text.hpp"
#include "pyref.hpp"

namespace fennik::py {
namespace {

// Names of the package's functions and types begin so (`fennik.span`,
// `fennik._core.instant`).
constexpr std::string_view OWN_PREFIX = "fennik.";

// The type of bound slot wrappers (`[].__len__`), which the C API does not
// name: taken from one such object the first time it is needed.
PyTypeObject* method_wrapper_type() noexcept {
  static PyTypeObject* const type = [] {
    PyRef probe = PyRef::steal(PyObject_GetAttrString(Py_None, "__repr__"));
    PyErr_Clear();
    return probe ? Py_TYPE(probe.get()) : nullptr;
  }();
  return type;
}

// Classes a `class` statement made can be changed and freed, and their calls
// run Python code the function events show; C classes cannot.
bool c_class(PyTypeObject* type) noexcept {
  return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
}

std::string attr_text(PyObject* obj, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
  PyErr_Clear();
  return text_of(value.get());
}

// "module." for a module other than builtins, whose names users write bare.
std::string module_prefix(const std::string& module) {
  return module.empty() || module == "builtins" ? "" : module + ".";
}

std::string class_name(PyTypeObject* type) {
  auto* obj = reinterpret_cast<PyObject*>(type);
  return module_prefix(attr_text(obj, "__module__")) + attr_text(obj, "__qualname__");
}

// The class along `owner`'s MRO whose method table holds `def`: a method of
// dict is dict's, whatever subclass it was called on.
PyTypeObject* defining_class(PyTypeObject* owner, PyMethodDef* def) {
  PyObject* mro = owner->tp_mro;  // borrowed
  if (mro == nullptr || !PyTuple_Check(mro)) return owner;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    PyRef dict = PyRef::steal(PyType_GetDict(base));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemStringRef(dict.get(), def->ml_name, &found) <= 0) continue;
    PyRef held = PyRef::steal(found);
    const PyTypeObject* kind = Py_TYPE(found);
    if ((kind == &PyMethodDescr_Type || kind == &PyClassMethodDescr_Type) &&
        reinterpret_cast<PyMethodDescrObject*>(found)->d_method == def) {
      return base;
    }
  }
  PyErr_Clear();
  return owner;
}

std::string function_name(PyObject* callable) {
  auto* fn = reinterpret_cast<PyCFunctionObject*>(callable);
  const std::string name = fn->m_ml->ml_name != nullptr ? fn->m_ml->ml_name : "<unknown>";
  PyObject* self = fn->m_self;  // borrowed; a module for a module's function
  if (self == nullptr || PyModule_Check(self)) {
    PyRef module = PyRef::steal(self != nullptr ? PyModule_GetNameObject(self)
                                                : PyObject_GetAttrString(callable, "__module__"));
    PyErr_Clear();
    return module_prefix(text_of(module.get())) + name;
  }
  PyTypeObject* owner = PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self);
  return class_name(defining_class(owner, fn->m_ml)) + "." + name;
}

}  // namespace

namespace detail {

std::uint64_t object_key(PyObject* callable, PyTypeObject* type) noexcept {
  if (PyCFunction_Check(callable)) {
    return reinterpret_cast<std::uint64_t>(reinterpret_cast<PyCFunctionObject*>(callable)->m_ml) |
           METHOD_KEY;
  }
  if (PyType_Check(callable)) {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    return c_class(cls) ? reinterpret_cast<std::uint64_t>(cls) | CLASS_KEY : 0;
  }
  if (type == &PyMethod_Type || type == &PyWrapperDescr_Type || type == method_wrapper_type() ||
      !c_class(type)) {
    return 0;
  }
  return reinterpret_cast<std::uint64_t>(type) | OBJECT_KEY;
}

}  // namespace detail

CodeInfo c_call_info(PyObject* callable) {
  CodeInfo info;
  PyTypeObject* type = Py_TYPE(callable);
  if (PyCFunction_Check(callable)) {
    info.qualname = function_name(callable);
  } else if (type == &PyMethodDescr_Type || type == &PyClassMethodDescr_Type) {
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(callable);
    info.qualname = class_name(PyDescr_TYPE(callable)) + "." + descr->d_method->ml_name;
  } else if (PyType_Check(callable)) {
    info.qualname = class_name(reinterpret_cast<PyTypeObject*>(callable));
  } else {
    info.qualname = class_name(type) + ".__call__";
  }
  PyErr_Clear();
  return info;
}

bool fennik_own_call(const CodeInfo& info) noexcept {
  return info.qualname.starts_with(OWN_PREFIX);
}

}  // namespace fennik::py
