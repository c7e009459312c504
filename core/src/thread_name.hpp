// Names the calling thread for the operating system (ps, top, debuggers).
#pragma once

namespace fennik {

// Linux keeps at most 15 characters of a thread's name; longer names are
// truncated there rather than rejected.
void name_current_thread(const char* name) noexcept;

}  // namespace fennik
