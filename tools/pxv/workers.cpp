// Worker processes: see workers.h.
//
// A batch keeps `workers` processes for its whole length, each converting file after file, rather
// than forking a process per file: a fork per file paid, for every small file, the copying of
// the parent's page tables, a page fault for every page the child then wrote, and the
// library's tables built again in a fresh process. Each worker talks to this process over a
// socket of its own: it is sent a job number, answers with the job's status, and is sent the
// next waiting job, so the jobs stay shared out to the end of the batch whatever their sizes.
// Knowing which job each worker runs, this process can tell which one a worker that dies was
// running.
#include "workers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace pxv_cli {

namespace {

constexpr int kSignalBase = 128;
constexpr int kForkFailed = 127;

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return kSignalBase + (WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0);
}

// One 32-bit number each way. MSG_NOSIGNAL: a peer that has gone shows as a failed send, not
// as SIGPIPE killing the sender.
bool send_number(int fd, std::int32_t n) {
  ssize_t sent;
  do sent = send(fd, &n, sizeof n, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  return sent == ssize_t(sizeof n);
}

// False at the end of the stream (the peer closed or died) or on an error.
bool receive_number(int fd, std::int32_t *n) {
  auto *bytes = reinterpret_cast<char *>(n);
  std::size_t got = 0;
  while (got < sizeof *n) {
    ssize_t r = recv(fd, bytes + got, sizeof *n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += std::size_t(r);
  }
  return true;
}

// The worker's loop: runs each job sent until this process closes its end.
[[noreturn]] void serve_jobs(int socket, const std::function<int(int)> &job) {
  std::int32_t index;
  while (receive_number(socket, &index)) {
    const int status = job(index);
    std::fflush(nullptr);  // its messages out before its status is known
    if (!send_number(socket, status)) break;
  }
  _exit(0);
}

struct Worker {
  pid_t pid;
  int socket;  // this process's end
  int job;     // the job it runs, or -1
};

// The batch's state in this process: the next job to send and the live workers.
class Pool {
 public:
  Pool(int count, const std::function<int(int)> &job, const std::function<void(int, int)> &finished)
      : count_(count), job_(job), finished_(finished) {}

  void run(int workers) {
    start_workers(workers);
    while (!live_.empty()) {
      std::vector<pollfd> fds;
      for (const Worker &w : live_) fds.push_back({w.socket, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        // Without poll, wait on each worker in turn: slower, but every job still ends.
        for (pollfd &f : fds) f.revents = POLLIN;
      }
      // From the last, so that removing a worker leaves the indices still to visit in place.
      for (std::size_t k = fds.size(); k-- > 0;)
        if (fds[k].revents != 0) serve(k);
      start_workers(workers);
    }
  }

 private:
  // Tops the pool up to `workers` while jobs wait, each new worker starting on one. A job that
  // no worker could be started for fails as a fork did, and the batch goes on with the workers
  // it has.
  void start_workers(int workers) {
    while (int(live_.size()) < workers && next_ < count_) {
      if (start_worker()) continue;
      if (!live_.empty()) return;
      finished_(next_++, kForkFailed);
    }
  }

  bool start_worker() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return false;
    // Nothing buffered may be written twice, by this process and again by a worker.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
      close(ends[0]);
      // The other workers' sockets stay theirs: a copy held here would keep them from seeing
      // the end of the batch.
      for (const Worker &w : live_) close(w.socket);
      serve_jobs(ends[1], job_);
    }
    close(ends[1]);
    if (pid < 0) {
      close(ends[0]);
      return false;
    }
    live_.push_back({pid, ends[0], -1});
    feed(live_.back());
    return true;
  }

  // Sends the worker the next job; with none left, closing its sending side ends it.
  void feed(Worker &w) {
    if (next_ < count_ && send_number(w.socket, next_)) {
      w.job = next_++;
      return;
    }
    shutdown(w.socket, SHUT_WR);
  }

  void serve(std::size_t k) {
    Worker &w = live_[k];
    std::int32_t status;
    if (w.job >= 0 && receive_number(w.socket, &status)) {
      finished_(w.job, status);
      w.job = -1;
      feed(w);
      return;
    }
    // The worker is gone: it ran out of jobs, or died in the one it was running.
    close(w.socket);
    int wait_status = 0;
    while (waitpid(w.pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    const int job = w.job;
    live_.erase(live_.begin() + std::ptrdiff_t(k));
    if (job >= 0) finished_(job, status_of(wait_status));
  }

  const int count_;
  const std::function<int(int)> &job_;
  const std::function<void(int, int)> &finished_;
  int next_ = 0;
  std::vector<Worker> live_;
};

}  // namespace

void run_jobs(int count, int workers, const std::function<int(int)> &job,
              const std::function<void(int, int)> &finished) {
  if (workers <= 1) {
    for (int i = 0; i < count; ++i) finished(i, job(i));
    return;
  }
  Pool(count, job, finished).run(workers);
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
