// The option parsing every command shares. A command lists its options with what each one does
// to the command's settings; --help, --quiet and `--` are understood everywhere. Options may come
// before, between or after the operands, and take their value as `--name VALUE` or
// `--name=VALUE` (short ones as `-j VALUE` or `-jVALUE`).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "cli.h"

namespace pxv_cli {

struct Option {
  const char *name;        // "--page"
  const char *short_name;  // "-j", or nullptr
  // Null for a flag. For an option with a value: what the value must be, said when it is
  // missing or when `take` refuses it ("a page number of 0 or more").
  const char *value_needed;
  // Applies the option; the value is empty for a flag. False refuses the value.
  std::function<bool(const std::string &value)> take;
};

struct CommandLine {
  Args operands;
  bool quiet = false;  // --quiet: no progress bar
};

// Parses a command's arguments. Returns -1 when the command should go on, else the exit status
// the command ends with: 0 after printing `help` for --help, kExitUsage after a usage error.
int parse_command_line(const Args &args, std::initializer_list<Option> options, const char *help,
                       CommandLine *line);

// A size in bytes of 1 or more: a whole number with an optional K, KiB, M, MiB, G or GiB (all
// binary multiples, in any case), as ImageMagick's -limit takes it.
bool parse_size(const std::string &text, std::uint64_t *bytes);

// A whole decimal number no smaller than `min`.
bool parse_int(const std::string &text, int min, int *value);

}  // namespace pxv_cli
