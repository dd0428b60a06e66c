// pxv: the library's first host. It works through the public API; each command lives in its
// own source file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli.h"
#include "options.h"
#include "pxvlib10.h"

namespace {

struct Command {
  const char *name;
  int (*run)(const pxv_cli::Args &);
  const char *synopsis;  // what the main help shows
};

constexpr Command kCommands[] = {
    {"info", pxv_cli::cmd_info, "info FILE [--page N]   name the file's format and describe the image it holds"},
    {"convert", pxv_cli::cmd_convert, "convert IN OUT [...]   load IN and save it as OUT in another format, or many\n"
                                      "                         inputs into a folder: --out-dir DIR --type T [-j N]"},
    {"render", pxv_cli::cmd_render, "render IN OUT [...]    paint IN into a window of the software screen (depth 24, 8\n"
                                    "                         or 4) and save what the window shows"},
    {"print", pxv_cli::cmd_print, "print IN OUT [...]     print IN on a virtual printer and save the printed page"},
    {"crop", pxv_cli::cmd_crop, "crop IN OUT [...]      drag the crop rectangle in the library's crop dialog with a\n"
                                "                         script of mouse drags, and save the rectangle chosen"},
    {"tour", pxv_cli::cmd_tour, "tour                   save a built-in image in every output type and load it back"},
};

void print_help(FILE *to) {
  std::fputs("usage: pxv [--limit-memory SIZE] COMMAND [ARGS]\n\nCommands:\n", to);
  for (const Command &c : kCommands) std::fprintf(to, "  %s\n", c.synopsis);
  std::fputs("\n"
             "Before the command:\n"
             "  --limit-memory SIZE    refuse (result -1) any image, and any block of memory, larger\n"
             "                         than SIZE: bytes, or K, M, G (KiB, MiB, GiB); it lowers the\n"
             "                         library's limit of 1GiB. On Windows, images being loaded.\n"
             "\n'pxv COMMAND --help' describes one command; --quiet hides the progress bar.\n",
             to);
}

// Takes `--limit-memory SIZE` (or `=SIZE`) from argv[*next] on. Answers -1 to go on, else the
// exit status of a usage error.
int take_memory_limit(int argc, char **argv, int *next) {
  using pxv_cli::memory_limit;
  for (; *next < argc; ++*next) {
    const std::string a = argv[*next];
    std::string value;
    if (a == "--limit-memory" && *next + 1 < argc) value = argv[++*next];
    else if (a.rfind("--limit-memory=", 0) == 0) value = a.substr(a.find('=') + 1);
    else if (a == "--limit-memory") value = "";
    else return -1;
    if (!pxv_cli::parse_size(value, &memory_limit.bytes))
      return pxv_cli::usage_error("--limit-memory needs a size of 1 or more, such as 256MiB");
    memory_limit.as_given = value;
#ifndef _WIN32
    // Every block the library takes is bounded, not only the image's: a resize, rotation or
    // encoder buffer past the limit is refused as well.
    const SIZE_T limit = SIZE_T(std::min<std::uint64_t>(memory_limit.bytes, SIZE_MAX));
    const SIZE_T before = PxvSetMemoryLimit(limit);
    if (limit > before) {
      PxvSetMemoryLimit(before);
      return pxv_cli::usage_error("--limit-memory can lower the limit of " +
                                  std::to_string(before >> 20) + "MiB, not raise it");
    }
#endif
  }
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  int next = 1;
  if (int status = take_memory_limit(argc, argv, &next); status >= 0) return status;
  if (next >= argc) {
    print_help(stderr);
    return pxv_cli::kExitUsage;
  }
  std::string command = argv[next];
  if (command == "--help" || command == "-h" || command == "help") {
    print_help(stdout);
    return 0;
  }
  pxv_cli::Args args(argv + next + 1, argv + argc);
  for (const Command &c : kCommands)
    if (command == c.name) return c.run(args);
  return pxv_cli::usage_error("unknown command '" + command + "'");
}
