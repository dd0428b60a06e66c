// The colour operations of pxv convert and pxv tour: one row per operation of the library's
// colour reduction, with the option that asks for it and the depth it leaves.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "pxvlib10.h"

namespace pxv_cli {

struct ColourOp {
  const char *option;  // "--dither bayer"
  const char *what;    // one line of --help
  int bits;            // the depth of the result
  int palette_size;    // the colours it takes from a palette file (0: none)
  bool reports_rows;   // the library calls back after each row
  const char *takes;   // the depths it takes: "24-bit", "4-, 8- and 24-bit"
  // Runs the library's operation; `colours` holds palette_size host colours.
  int (*run)(int handle, PXV_PROGRESS_PROC progress, LONG user, const PALETTEENTRY *colours);
};

extern const ColourOp kColourOps[10];

// One operation of a command line, with the colours of its palette file.
struct ColourStep {
  const ColourOp *op;
  std::string file;
  std::vector<PALETTEENTRY> colours;
};

// The --quantize and --dither values (and --remap's file) as steps; false for an unknown value.
bool parse_colour_option(const std::string &option, const std::string &value, std::vector<ColourStep> *steps);
// Rewrites "--quantize palette FILE" and "--dither palette FILE" (also with "=palette") as one
// option whose value is "palette:FILE", so that the shared parser sees one value per option.
Args join_palette_files(const Args &args);
// Reads the colour table of every step's palette file, padded with its last colour; answers 0 or
// the exit status after saying what went wrong.
int read_palette_files(std::vector<ColourStep> *steps);
// Runs the steps in order on `handle`; a row progress bar on stderr unless `quiet`. Answers 0,
// or the failing result code with the failing step in `failed`.
int run_colour_steps(int handle, const std::vector<ColourStep> &steps, bool quiet, const ColourStep **failed);

// The operations part of convert's --help.
std::string colour_help();

}  // namespace pxv_cli
