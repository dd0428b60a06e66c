// Worker processes: see workers.h.
//
// A batch keeps `workers` processes for its whole length, each converting file after file, rather
// than forking a process per file: a fork per file paid, for every small file, the copying of
// the parent's page tables, a page fault for every page the child then wrote, and the
// library's tables built again in a fresh process. Each worker talks to this process over a
// socket of its own: this process sends job numbers, the worker answers with each job's status.
// Knowing which worker holds which jobs, this process can tell which job a worker that dies was
// running, and hand the ones it had not begun to a new worker.
#include "workers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <vector>

namespace pxv_cli {

namespace {

constexpr int kSignalBase = 128;
constexpr int kForkFailed = 127;
// Jobs sent to a worker ahead of their turn, so that it never waits for this process to be
// scheduled between two files; small enough that the last jobs of a batch stay shared out.
constexpr std::size_t kJobsAhead = 2;

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

struct Worker {
  pid_t pid;
  int socket;                 // this process's end
  std::deque<int> jobs;       // sent and not yet answered, the one running first
  bool can_take;              // its sending side is still open
};

// The batch's state in this process: the jobs not yet sent and the live workers.
class Pool {
 public:
  Pool(int count, const std::function<int(int)> &job, const std::function<void(int, int)> &finished)
      : job_(job), finished_(finished) {
    for (int i = 0; i < count; ++i) waiting_.push_back(i);
  }

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
  // Tops the pool up to `workers` while jobs wait, then shares the waiting jobs out one at a
  // time, so that a batch of two files runs on two workers. A job that no worker could be
  // started for fails as a fork did, and the batch goes on with the workers it has.
  void start_workers(int workers) {
    while (int(live_.size()) < workers && !waiting_.empty()) {
      if (start_worker()) continue;
      if (!live_.empty()) break;
      finished_(waiting_.front(), kForkFailed);
      waiting_.pop_front();
    }
    for (std::size_t ahead = 1; ahead <= kJobsAhead; ++ahead)
      for (Worker &w : live_)
        if (w.jobs.size() < ahead) feed(w);
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
      // the end of their job list.
      for (const Worker &w : live_) close(w.socket);
      serve_jobs(ends[1]);
    }
    close(ends[1]);
    if (pid < 0) {
      close(ends[0]);
      return false;
    }
    live_.push_back({pid, ends[0], {}, true});
    return true;
  }

  // The worker's loop: runs each job sent until this process closes its end.
  [[noreturn]] void serve_jobs(int socket) {
    std::int32_t index;
    while (receive_number(socket, &index)) {
      const int status = job_(index);
      std::fflush(nullptr);  // its messages out before its status is known
      if (!send_number(socket, status)) break;
    }
    _exit(0);
  }

  // Sends the worker the next waiting job; once none wait, closing its sending side lets the
  // worker end after the jobs it holds.
  void feed(Worker &w) {
    if (!w.can_take) return;
    if (!waiting_.empty() && send_number(w.socket, waiting_.front())) {
      w.jobs.push_back(waiting_.front());
      waiting_.pop_front();
    } else if (waiting_.empty()) {
      shutdown(w.socket, SHUT_WR);
      w.can_take = false;
    }
  }

  void serve(std::size_t k) {
    Worker &w = live_[k];
    std::int32_t status;
    if (!w.jobs.empty() && receive_number(w.socket, &status)) {
      const int index = w.jobs.front();
      w.jobs.pop_front();
      finished_(index, status);
      return;
    }
    // The worker is gone: it ended its job list, or died in the first job it holds.
    close(w.socket);
    int wait_status = 0;
    while (waitpid(w.pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    std::deque<int> held = std::move(w.jobs);
    live_.erase(live_.begin() + std::ptrdiff_t(k));
    if (held.empty()) return;
    finished_(held.front(), status_of(wait_status));
    held.pop_front();
    // The jobs it never began go first to the next worker free for them.
    waiting_.insert(waiting_.begin(), held.begin(), held.end());
  }

  const std::function<int(int)> &job_;
  const std::function<void(int, int)> &finished_;
  std::deque<int> waiting_;
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
