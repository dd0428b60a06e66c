// Shared by the commands of pxv: how they report, and the commands themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pxv_cli {

using Args = std::vector<std::string>;

// Exit statuses: 1 when the library refused something, 2 when the command line is wrong.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// `pxv --limit-memory SIZE`: no image or work block may be larger (0: the library's default).
struct MemoryLimit {
  std::uint64_t bytes = 0;
  std::string as_given;          // "64MiB", for messages
  std::uint64_t refused_image = 0;  // the size of the last image refused for it, when known
};
extern MemoryLimit memory_limit;

// What a result code of the library means, in words.
const char *result_meaning(int code);
// "pxv: WHAT: MEANING (result CODE)" on stderr, and for -1 under --limit-memory what the limit
// refused; returns kExitFailed.
int fail(const std::string &what, int code);
// The message and a pointer to --help on stderr; returns kExitUsage.
int usage_error(const std::string &message);

int cmd_info(const Args &args);
int cmd_convert(const Args &args);
int cmd_tour(const Args &args);
int cmd_render(const Args &args);
int cmd_print(const Args &args);
int cmd_crop(const Args &args);

}  // namespace pxv_cli
