// The process-wide code watcher: tells every live session's interner when a
// code object is destroyed, so its id is never confused with a new object's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace fennik {

class SessionHub;

// Bumped each time some interner forgot a destroyed code object; threads
// empty their code-id caches when they see it move.
extern std::atomic<std::uint64_t> GENERATION;

namespace py {

// Registers the watcher on first use and enrols `state`. False with a Python
// exception set when the interpreter refused the watcher.
bool watch(const std::shared_ptr<SessionHub>& state);

// Stops recording into every session this process knows (a forked child,
// before it runs any Python code). Allocates nothing.
void end_watched_recording() noexcept;

}  // namespace py
}  // namespace fennik
