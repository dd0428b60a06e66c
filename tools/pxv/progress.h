// A progress bar on stderr for work that takes a while: drawn only when stderr is a terminal
// and --quiet was not given, so that scripts and logs never see it. Commands feed it counts
// (files done of a batch, steps of the tour); operations that run long inside the library feed it
// from the library's progress callback.
#pragma once

#include <string>

namespace pxv_cli {

struct Progress {
  std::string label;
  int total = 0;
  bool shown = false;  // a terminal is watching and --quiet was not given
  int drawn = -1;      // the count on the line, -1 when the line is clear
};

Progress progress_start(const std::string &label, int total, bool quiet);
// Draws the bar for `done` of `total` steps, unless that count is already shown.
void progress_update(Progress *p, int done);
// Takes the bar off its line, so that a message can be printed; the next update redraws it.
void progress_clear(Progress *p);

}  // namespace pxv_cli
