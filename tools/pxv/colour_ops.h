// The image operations of pxv convert and pxv tour: one row per operation of the library's colour
// reduction and image processing, with the option that asks for it, the depth it leaves and, where
// the library has one, its BMP file-to-file variant.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli.h"
#include "pxvlib10.h"

namespace pxv_cli {

struct ColourStep;

struct ColourOp {
  const char *option;  // "--dither bayer", or "--rotate DEGREES" for an option with a value
  const char *what;    // one line of --help
  int bits;            // the depth of the result; 0 for the depth it was given
  int palette_size;    // the colours it takes from a palette file (0: none)
  bool reports_rows;   // the library calls back after each row
  const char *takes;   // the depths it takes: "24-bit", "4-, 8- and 24-bit"
  // Reads the option's value into the step; null for an option whose value is part of `option`.
  bool (*parse)(const std::string &value, ColourStep *step);
  const char *example;  // the value pxv tour gives it
  // Runs the library's operation; an operation that goes through a file leaves a new handle.
  int (*run)(int *handle, const ColourStep &step, PXV_PROGRESS_PROC progress, LONG user);
  // The library's file variant for --direct, from `in` to `out`, or null. An in-place variant
  // works on `out`, a copy of the input opened for reading and writing.
  int (*direct)(const ColourStep &step, HFILE in, HFILE out);
  bool in_place;
};

constexpr std::size_t kImageOpCount = 20;
extern const ColourOp kColourOps[kImageOpCount];

// One operation of a command line: the colours of its palette file, or the values of its option.
struct ColourStep {
  const ColourOp *op;
  std::string file;
  std::vector<PALETTEENTRY> colours;
  int values[2] = {0, 0};  // degrees; flags; width and height (or a percentage); contrast and brightness
  unsigned given = 0;      // which values the command line gave, one bit each
  bool percent = false;
  float real = 0;          // gamma
};

// An option of an operation and its value as a step; false for an unknown value. --contrast and
// --brightness next to each other become one step, as the library takes them in one call.
bool parse_colour_option(const std::string &option, const std::string &value, std::vector<ColourStep> *steps);
// Rewrites "--quantize palette FILE" and "--dither palette FILE" (also with "=palette") as one
// option whose value is "palette:FILE", so that the shared parser sees one value per option.
Args join_palette_files(const Args &args);
// Reads the colour table of every step's palette file, padded with its last colour; answers 0 or
// the exit status after saying what went wrong.
int read_palette_files(std::vector<ColourStep> *steps);
// Runs the steps in order on `*handle`; a row progress bar on stderr unless `quiet`. Answers 0,
// or the failing result code with the failing step in `failed`.
int run_colour_steps(int *handle, const std::vector<ColourStep> &steps, bool quiet, const ColourStep **failed);

// The operations part of convert's --help.
std::string colour_help();

}  // namespace pxv_cli
