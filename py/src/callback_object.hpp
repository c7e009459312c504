// The object sys.monitoring calls for one event: the event's function,
// reached through the type's vectorcall slot, and the session it records into.
#pragma once

#include <memory>

#include "pyref.hpp"
#include "session_hub.hpp"

namespace fennik::py {

// One event's callback. The interpreter calls it through the vectorcall
// slot, straight into the function for its event: a built-in function would
// add the interpreter's own wrapper around each call (about 1 ns an event).
struct CallbackObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const char* name;
  std::shared_ptr<SessionHub> holder;
  SessionHub* state;  // holder.get(), read on every event
};

// A new callback calling `function` for `state`'s session; `name` (static)
// shows in its repr. Null with an exception.
PyRef new_callback(const std::shared_ptr<SessionHub>& state, vectorcallfunc function,
                   const char* name);

}  // namespace fennik::py
