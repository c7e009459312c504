// The tracers installed in this process and the moves between their states:
// a started session is installed (published in ACTIVE and LIVE, the deadly
// signals taken over), and exit_session takes it out of its tracer's slot and
// ends it. The state itself is listed in process_hooks.hpp.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "pyref.hpp"
#include "session.hpp"
#include "tls.hpp"

namespace fennik::py {

inline constexpr char EXIT_REASON[] = "exit";

// The tracer installed last; how process-level hooks find the running tracer.
// Like the session lock, taken only with the interpreter lock held.
struct Active {
  std::mutex lock;
  PyObject* tracer = nullptr;  // strong reference
};
extern constinit NoDestroy<Active> ACTIVE;

// Every tracer holding a session (strong references), so the interpreter's exit
// can end them all, whatever ACTIVE names by then. The lock is never held
// while a reference is released (which may run Python code).
struct Live {
  std::mutex lock;
  std::vector<PyObject*> tracers;
};
extern constinit NoDestroy<Live> LIVE;

// Adds `tracer` to LIVE (a strong reference) unless it is there.
void add_live(PyObject* tracer);
// Takes `tracer` out of LIVE, releasing LIVE's reference.
void remove_live(PyObject* tracer);
// Replaces ACTIVE's reference when it names `expected` (any tracer when
// null); the old one is released outside the lock.
// Replaces ACTIVE's reference when it names `expected` (any tracer when
// null); the old one is released outside the lock.
void set_active(PyObject* tracer, PyObject* expected = nullptr);
// Strong references to every tracer holding a session, so that the list may
// change while they are visited.
// Strong references to every tracer holding a session, so that the list may
// change while they are visited.
std::vector<PyRef> live_tracers();
// The tracer added to LIVE last, or null.
PyRef last_live();
// In a forked child: LIVE's references, LIVE left empty. Its lock is made
// anew (a thread that held it does not exist here).
std::vector<PyObject*> take_live_in_child() noexcept;
// A strong reference to ACTIVE's tracer, or null.
PyRef active_tracer();

// Publishes `running` as `self`'s session, taking over the deadly signals
// first; `self`, or null with an exception (the session then ended).
PyObject* install(PyObject* self, Running running);
// Takes `self`'s session out of its slot and ends it; False, or null with an
// exception on failure, raised after the teardown is complete.
// Takes `self`'s session out of its slot and ends it; False, or null with an
// exception on failure, raised after the teardown is complete.
PyObject* exit_session(PyObject* self, const std::string& reason);

}  // namespace fennik::py
