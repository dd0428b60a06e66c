// Worker processes on Windows: see workers.h. Without fork a worker would have to start this
// program again for each file; a batch runs its jobs one after another in this process instead.
#include "workers.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cstdio>

namespace pxv_cli {

void run_jobs(int count, int, const std::function<int(int)> &job, const std::function<void(int, int)> &finished) {
  for (int i = 0; i < count; ++i) finished(i, job(i));
}

bool run_quietly(const std::vector<std::string> &argv) {
  std::vector<const char *> pointers;
  for (const std::string &a : argv) pointers.push_back(a.c_str());
  pointers.push_back(nullptr);
  std::fflush(nullptr);
  // The child inherits standard output and error: point them at NUL for the length of the run.
  const int null = _open("NUL", _O_WRONLY), out = _dup(1), err = _dup(2);
  if (null < 0 || out < 0 || err < 0) return false;
  _dup2(null, 1);
  _dup2(null, 2);
  const intptr_t status = _spawnv(_P_WAIT, pointers[0], pointers.data());
  _dup2(out, 1);
  _dup2(err, 2);
  for (int fd : {null, out, err}) _close(fd);
  return status == 0;
}

}  // namespace pxv_cli
