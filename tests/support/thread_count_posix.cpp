#include <dirent.h>

#include "support/thread_count.h"

namespace zephyl::test {

int processThreadCount() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;  // one directory per thread, named by its id
  }
  closedir(tasks);
  return count;
}

}  // namespace zephyl::test
