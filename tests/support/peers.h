// Peer programs (libtiff's tools, ImageMagick, netpbm, libjpeg, Pillow) as oracles: shell
// commands over {in} and {out}, Python with Pillow, and a peer's decode of a file as RGB.
#pragma once

#include <string>
#include <vector>

#include "support.h"

namespace pxv_test {

// The peers are Linux programs: test programs built for Windows (run under Wine) have none, and
// there every peer run fails without starting a shell.
#if defined(_WIN32)
inline constexpr bool kPeerPrograms = false;
#else
inline constexpr bool kPeerPrograms = true;
#endif

// The Python with Pillow (the first python3 on PATH may lack it).
inline const std::string kPython = "/usr/bin/python3";
// The decode command that stands for Pillow: open, convert('RGB'), save as PPM.
inline const std::string kPillow = "pillow";

// Runs a shell command with {in} and {out} replaced by the quoted paths; true when it exits 0.
// Its standard and error output go to `log` when given.
bool run_peer(const std::string &command, const std::string &in = "", const std::string &out = "",
              std::string *log = nullptr);
// Runs Python code with `Image` imported from Pillow and `args` in sys.argv[1:].
bool run_pillow(const std::string &code, const std::vector<std::string> &args = {},
                std::string *log = nullptr);
// What a peer makes of a file: `command` writes a PPM or PGM to {out}, or is kPillow.
bool peer_decode(const std::string &command, const std::string &in, Rgb *out);
// The same for many files in one run (one Python for Pillow): out[i] is the decode of files[i].
bool peer_decode_all(const std::string &command, const std::vector<std::string> &files, std::vector<Rgb> *out);

}  // namespace pxv_test
