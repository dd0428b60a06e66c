// The progress bar: see progress.h.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace pxv_cli {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

Progress progress_start(const std::string &label, int total, bool quiet) {
  Progress p;
  p.label = label;
  p.total = total;
  p.shown = !quiet && total > 0 && isatty(STDERR_FILENO) == 1;
  return p;
}

void progress_update(Progress *p, int done) {
  if (!p->shown) return;
  int filled = done >= p->total ? kBarWidth : done * kBarWidth / p->total;
  if (done == p->drawn) return;
  std::fflush(stdout);  // what the command printed goes before the bar
  std::fprintf(stderr, "\r%s [%.*s%*s] %d/%d", p->label.c_str(), filled,
               "##############################", kBarWidth - filled, "", done, p->total);
  std::fflush(stderr);
  p->drawn = done;
}

void progress_clear(Progress *p) {
  if (!p->shown || p->drawn < 0) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  p->drawn = -1;
}

}  // namespace pxv_cli
