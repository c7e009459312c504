// The process hooks of the extension module, and the table of every piece of
// process-wide state it has, with its guard and what becomes of it when the
// process forks (in the child; the parent keeps everything).
//
// clang-format off
//   state                     defined in          guarded by             in a forked child
//   ------------------------  ------------------  ---------------------  ------------------------------------------
//   ACTIVE                    installed.cpp       its lock (GIL held)    the child's own session, or null
//   LIVE                      installed.cpp       its lock               emptied: the parent's sessions abandoned
//   EXIT_HOOK_RAN             process_hooks.cpp   atomic                 inherited
//   PROCESS_HOOKS             process_hooks.cpp   atomic claims          inherited; a claim of a vanished thread taken over
//   ORIGINAL_OS_EXIT          process_hooks.cpp   os_exit's claim        inherited
//   RECORDERS                 core tls.cpp        its lock               held across the fork, then replaced
//   FIRST_OWN_QUEUE_ID        core tls.cpp        atomic                 moved past every queue of the parent
//   HOT, COLD (per thread)    core tls.cpp        owner + seq counter    the forking thread's reset
//   CACHES, CODE_SLOTS        thread_caches.cpp   owner thread           the forking thread's, reset by its first session
//   WATCHED                   codewatch.cpp       its lock (GIL held)    its sessions stop recording
//   WATCHER                   codewatch.cpp       atomic                 inherited
//   GENERATION                codewatch.cpp       atomic                 inherited
//   NEXT_QUEUE_ID             core evqueue.cpp    atomic                 inherited
//   NEXT_WINDOW               core control.cpp    atomic                 inherited
//   SAVED (signal handlers)   signals.cpp         its lock (GIL held)    inherited
//   the module's types       tracer.cpp, ...     atomic (ProcessType)   inherited
//   TARGET                    annotations.cpp     the GIL                null once monitoring is off for the fork;
//                                                                        a parent's session kept in LEFT_BY_PARENT
//   SITE_CACHE                annotations.cpp     the GIL                inherited (keyed by queue id: no match)
//   SITES, CALLBACK (gc)      gc_slices.cpp       the GIL                inherited (keyed by queue id: no match)
// clang-format on
//
// The hooks: at the interpreter's exit, and when os._exit is called, every
// live session ends; around a fork monitoring is off (before_fork), on again
// in the parent, and in the child the native hook (pthread_atfork) abandons
// the parent's recording before any Python code runs, then
// after_fork_in_child abandons the parent's sessions and may start the
// child's own.
#pragma once

#include <atomic>

#include "pyref.hpp"

namespace fennik::py {

// Set once the at-exit hook has ended every session: a session started after
// it (from an at-exit handler that runs later) would outlive the interpreter.
extern std::atomic<bool> EXIT_HOOK_RAN;

// Registers the at-exit hook and the fork hooks, once per process; before any
// session starts, so that importing atexit is not traced. False with an
// exception.
bool register_process_hooks();

// Nothing is recorded while a process forks: monitoring is off from here
// until the fork is over, in the parent and in the child.
// Nothing is recorded while a process forks: monitoring is off from here
// until the fork is over, in the parent and in the child.
PyObject* before_fork(PyObject*, PyObject*);
// The parent records again. A failure is kept and raised when the session
// ends, so that a session that recorded nothing since is not reported as a
// success.
// The parent records again. A failure is kept and raised when the session
// ends, so that a session that recorded nothing since is not reported as a
// success.
PyObject* after_fork_in_parent(PyObject*, PyObject*);
// In a forked child, once the interpreter runs Python again: every session
// of the parent is abandoned (its threads do not exist here), and the
// installed tracer, if it traces subprocesses, starts a session of the
// child's own on the parent's timeline, adding to the parent's output.
// In a forked child, once the interpreter runs Python again: every session
// of the parent is abandoned (its threads do not exist here), and the
// installed tracer, if it traces subprocesses, starts a session of the
// child's own on the parent's timeline, adding to the parent's output.
PyObject* after_fork_in_child(PyObject*, PyObject*);

// Ends the session of the tracer installed last, with `reason` naming a
// flight recorder's final dump; no lock of ours is held while it finishes.
// False when there is none, or null with an exception.
PyObject* end_active_tracer(const char* reason);

}  // namespace fennik::py
