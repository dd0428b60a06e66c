// pxv: the library's first host. It works through the public API; each command lives in its
// own source file.
#include <cstdio>
#include <string>

#include "cli.h"

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
  std::fputs("usage: pxv COMMAND [ARGS]\n\nCommands:\n", to);
  for (const Command &c : kCommands) std::fprintf(to, "  %s\n", c.synopsis);
  std::fputs("\n'pxv COMMAND --help' describes one command; --quiet hides the progress bar.\n", to);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    print_help(stderr);
    return pxv_cli::kExitUsage;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    print_help(stdout);
    return 0;
  }
  pxv_cli::Args args(argv + 2, argv + argc);
  for (const Command &c : kCommands)
    if (command == c.name) return c.run(args);
  return pxv_cli::usage_error("unknown command '" + command + "'");
}
