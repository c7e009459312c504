// Garbage collections as slices on the thread that ran them ("gc: generation
// N", with the collected and uncollectable counts as arguments of its end),
// from gc.callbacks. A callback runs only when a collection does, so a
// program that collects nothing pays nothing.
#pragma once

namespace fennik::py {

// Adds fennik's callback to gc.callbacks unless it is there already; a
// failure is left unraised (the trace then shows no collections).
void gc_slices_on();
// Takes it out again.
void gc_slices_off();

}  // namespace fennik::py
