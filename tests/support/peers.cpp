#include "peers.h"

#include <gtest/gtest.h>

namespace pxv_test {

namespace {

std::string quoted(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string substitute(std::string command, const std::string &in, const std::string &out) {
  for (auto [key, value] : {std::pair<std::string, const std::string &>{"{in}", in}, {"{out}", out}})
    for (std::size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, key.size(), quoted(value));
  // In a subshell, so that run()'s 2>&1 does not follow a redirected standard output.
  return "(" + command + ")";
}

}  // namespace

bool run_peer(const std::string &command, const std::string &in, const std::string &out, std::string *log) {
  if (!kPeerPrograms) return false;
  return run(substitute(command, in, out), log);
}

bool run_pillow(const std::string &code, const std::vector<std::string> &args, std::string *log) {
  if (!kPeerPrograms) return false;
  static int serial = 0;
  const std::string script = scratch_path("pillow" + std::to_string(serial++) + ".py");
  const std::string text = "import sys\nfrom PIL import Image\n" + code + "\n";
  write_file(script, Bytes(text.begin(), text.end()));
  std::string command = kPython + " " + quoted(script);
  for (const std::string &a : args) command += " " + quoted(a);
  return run(command, log);
}

bool peer_decode(const std::string &command, const std::string &in, Rgb *out) {
  std::vector<Rgb> decoded;
  if (!peer_decode_all(command, {in}, &decoded)) return false;
  *out = decoded[0];
  return true;
}

bool peer_decode_all(const std::string &command, const std::vector<std::string> &files, std::vector<Rgb> *out) {
  static int serial = 0;
  std::vector<std::string> args;
  std::string script = "true";
  for (const std::string &file : files) {
    args.insert(args.end(), {file, scratch_path("peer" + std::to_string(serial++) + ".ppm")});
    script += " && " + substitute(command, file, args.back());
  }
  std::string log;
  const bool ran = command == kPillow ? run_pillow("for a, b in zip(sys.argv[1::2], sys.argv[2::2]):\n"
                                                   "    Image.open(a).convert('RGB').save(b, 'PPM')", args, &log)
                                      : run("(" + script + ")", &log);
  EXPECT_TRUE(ran) << command << ": " << log;
  out->assign(files.size(), Rgb());
  bool read = ran;
  for (std::size_t i = 0; i < files.size() && read; ++i) read = read_pnm(args[2 * i + 1], &(*out)[i]);
  return read;
}

}  // namespace pxv_test
