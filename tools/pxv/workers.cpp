// Worker processes: see workers.h.
#include "workers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>

namespace pxv_cli {

namespace {

constexpr int kSignalBase = 128;
constexpr int kForkFailed = 127;

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return kSignalBase + (WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0);
}

}  // namespace

void run_jobs(int count, int workers, const std::function<int(int)> &job,
              const std::function<void(int, int)> &finished) {
  if (workers <= 1) {
    for (int i = 0; i < count; ++i) finished(i, job(i));
    return;
  }
  std::map<pid_t, int> running;  // worker process -> job
  int next = 0;
  while (next < count || !running.empty()) {
    while (next < count && int(running.size()) < workers) {
      // Nothing buffered may be written twice, by the parent and again by a child.
      std::fflush(stdout);
      std::fflush(stderr);
      pid_t pid = fork();
      if (pid == 0) {
        int status = job(next);
        std::fflush(nullptr);
        _exit(status);
      }
      if (pid < 0) {
        finished(next++, kForkFailed);
        continue;
      }
      running[pid] = next++;
    }
    int wait_status = 0;
    pid_t pid = waitpid(-1, &wait_status, 0);
    if (pid < 0) break;  // no children left to wait for
    auto it = running.find(pid);
    if (it == running.end()) continue;
    int index = it->second;
    running.erase(it);
    finished(index, status_of(wait_status));
  }
}

bool run_quietly(const std::vector<std::string> &argv) {
  std::vector<char *> pointers;
  for (const std::string &a : argv) pointers.push_back(const_cast<char *>(a.c_str()));
  pointers.push_back(nullptr);
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(pointers[0], pointers.data());
    _exit(kForkFailed);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace pxv_cli
