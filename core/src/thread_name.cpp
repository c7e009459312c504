#include "thread_name.hpp"

#include <pthread.h>

#include <cstring>

namespace fennik {

void name_current_thread(const char* name) noexcept {
#if defined(__APPLE__)
  pthread_setname_np(name);
#else
  constexpr std::size_t LINUX_THREAD_NAME_MAX = 15;
  char shortened[LINUX_THREAD_NAME_MAX + 1] = {};
  std::strncpy(shortened, name, LINUX_THREAD_NAME_MAX);
  pthread_setname_np(pthread_self(), shortened);
#endif
}

}  // namespace fennik
