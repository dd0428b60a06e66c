// Batch work in worker processes, and other programs run to completion. The library keeps its
// state per process and is single-threaded by design, so a batch runs in parallel as forked
// processes, never as threads; Windows has no fork, and there a batch runs one job after another.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pxv_cli {

// Runs jobs 0 to count - 1 with at most `workers` at a time, each in a child process (in this
// process when `workers` is 1). `job(i)` returns an exit status of 0 to 127; `finished(i, status)`
// is called in this process as each job ends, in the order they end. A worker killed by a signal
// finishes with 128 + the signal's number, as shells report it.
void run_jobs(int count, int workers, const std::function<int(int)> &job,
              const std::function<void(int, int)> &finished);

// Runs the program `argv[0]` (a path) with its arguments, its output discarded; true when it
// exits 0.
bool run_quietly(const std::vector<std::string> &argv);

}  // namespace pxv_cli
