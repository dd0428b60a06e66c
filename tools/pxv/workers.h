// Batch work in worker processes, and other programs run to completion. The library keeps its
// state per process and is single-threaded by design, so a batch runs in parallel as forked
// processes, never as threads; Windows has no fork, and there a batch runs one job after another.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pxv_cli {

// Runs jobs 0 to count - 1 on `workers` child processes, each running job after job (in this
// process when `workers` is 1). `job(i)` returns an exit status of 0 to 127, and sees what earlier
// jobs of its worker left in the process; `finished(i, status)` is called in this process as
// each job ends, in the order they end. A job whose worker dies in it finishes with the
// worker's exit status, or 128 + the signal's number when a signal killed it, as shells report
// it; the batch goes on with a new worker.
void run_jobs(int count, int workers, const std::function<int(int)> &job,
              const std::function<void(int, int)> &finished);

// Runs the program `argv[0]` (a path) with its arguments, its output discarded; true when it
// exits 0.
bool run_quietly(const std::vector<std::string> &argv);

}  // namespace pxv_cli
