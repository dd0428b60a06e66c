// pxv convert: load images and save them in another type, one file or a batch.
#include <cstdio>
#include <filesystem>
#include <map>

#include "cli.h"
#include "colour_ops.h"
#include "load.h"
#include "options.h"
#include "progress.h"
#include "pxvlib10.h"
#include "save_file.h"
#include "save_types.h"
#include "workers.h"

namespace pxv_cli {

namespace {

struct ConvertSettings {
  const SaveType *type = nullptr;  // --type; else from the output name
  int page = 0;
  bool crop = false;
  int rect[4] = {0, 0, 0, 0};
  bool quality_given = false;
  int quality = 0;
  std::string out_dir;
  int jobs = 1;
  bool row_bar = false;  // one input: its rows move the progress bar
  std::vector<ColourStep> colour;  // in command-line order
  bool direct = false;             // --direct: the operation's file-to-file variant, no handle
};

struct Job {
  std::string in, out;
  const SaveType *type;
};

// Where a conversion failed, kept with the result code in a worker's exit status (stage * 16 -
// code, 0 for success), since a worker process can hand back no more than that. A failed
// colour operation is reported where it fails, since the status has no room to name it.
enum Stage { kLoad = 1, kDepth = 2, kSave = 3, kReported = 4 };
constexpr int kCodesPerStage = 16;

int outcome(Stage stage, int rc) { return stage * kCodesPerStage - rc; }

// Says which colour operation refused an input, why, and what it takes.
int report_colour_failure(const Job &job, const ColourStep &step, int rc) {
  fail(job.in + ": " + step.op->option, rc);
  if (rc == PXV_ERR_TYPE)
    std::fprintf(stderr, "pxv: %s takes %s images\n", step.op->option, step.op->takes);
  return outcome(kReported, rc);
}

// --direct: the input's rows go straight into the output file, through the library's
// file-to-file variant of the operation; an in-place variant works on a copy of the input.
int convert_direct(const Job &job, const ColourStep &step) {
  if (IMGLOW_get_filetype(job.in.c_str()) != PXV_SAVE_BMP) {
    std::fprintf(stderr, "pxv: %s: --direct reads BMP files only\n", job.in.c_str());
    return outcome(kReported, PXV_ERR_TYPE);
  }
  bool header_read = true;
  const int rc = write_replacing(job.out, false, [&](const std::string &file) {
    OFSTRUCT of;
    const bool in_place = step.op->in_place;
    if (in_place && !copy_file(job.in, file)) return PXV_ERR_CREATE;
    HFILE in = in_place ? HFILE_ERROR : OpenFile(job.in.c_str(), &of, OF_READ);
    if (!in_place && in == HFILE_ERROR) return PXV_ERR_READ;
    HFILE out = OpenFile(file.c_str(), &of, in_place ? OF_READWRITE : OF_CREATE);
    int result = out == HFILE_ERROR ? PXV_ERR_CREATE : step.op->direct(step, in, out);
    // A header cut short is no error to the library, which then writes nothing.
    header_read = out == HFILE_ERROR || _llseek(out, 0, 2) > 0;
    if (result == 0 && !header_read) result = PXV_ERR_READ;
    if (out != HFILE_ERROR) _lclose(out);
    if (in != HFILE_ERROR) _lclose(in);
    return result;
  });
  if (rc >= 0) return 0;
  if (rc == PXV_ERR_TYPE || rc == PXV_ERR_DATA)
    std::fprintf(stderr, "pxv: %s --direct reads uncompressed, bottom-up BMP files of %s images\n", step.op->option,
                 step.op->takes);
  return outcome(rc == PXV_ERR_SHORT_WRITE || rc == PXV_ERR_CREATE ? kSave : kLoad, rc);
}

// Loads one input, runs the colour operations and saves it; returns its outcome (0 for success).
int convert_one(const Job &job, const ConvertSettings &s) {
  if (s.direct) return convert_direct(job, s.colour[0]);
  OFSTRUCT of;
  HFILE fd = OpenFile(job.in.c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return outcome(kLoad, PXV_ERR_READ);
  int handle = load_image(fd, s.page, !s.row_bar, "loading");
  _lclose(fd);
  if (handle < 0) return outcome(kLoad, handle);
  const ColourStep *failed = nullptr;
  const int changed = run_colour_steps(&handle, s.colour, !s.row_bar, &failed);
  if (changed < 0) {
    IMG_delete_bitmap(handle);
    return report_colour_failure(job, *failed, changed);
  }
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  int rc = PXV_ERR_TYPE;
  Stage stage = kDepth;
  if (writes_depth(*job.type, bits)) {
    if (s.crop) IMG_set_croprect(handle, s.rect[0], s.rect[1], s.rect[2], s.rect[3]);
    rc = save_replacing(handle, job.out, *job.type);
    stage = kSave;
  }
  IMG_delete_bitmap(handle);
  return rc < 0 ? outcome(stage, rc) : 0;
}

// Says on stderr why a job failed: the file, the result code and its meaning.
void report(const Job &job, int status) {
  int stage = status / kCodesPerStage, rc = -(status % kCodesPerStage);
  if (stage == kLoad) {
    fail(job.in, rc);
  } else if (stage == kSave) {
    fail(job.out, rc);
  } else if (stage == kReported) {
    // said where it failed
  } else if (stage == kDepth) {
    fail(job.in, rc);
    std::fprintf(stderr, "pxv: %s writes images of %s only\n", job.type->name, depth_list(*job.type).c_str());
  } else {
    std::fprintf(stderr, "pxv: %s: the worker converting it stopped (status %d)\n", job.in.c_str(), status);
  }
}

// Converts every job, several at a time with -j; returns the exit status.
int run_batch(const std::vector<Job> &jobs, ConvertSettings s, bool quiet) {
  if (s.quality_given) IMGLOW_set_comp_quality(s.quality);  // workers inherit the tables
  const int count = int(jobs.size());
  s.row_bar = count == 1 && !quiet;
  Progress bar = progress_start("convert", count > 1 ? count : 0, quiet);
  int done = 0, failed = 0;
  run_jobs(
      count, s.jobs, [&](int i) { return convert_one(jobs[i], s); },
      [&](int i, int status) {
        if (status != 0) {
          progress_clear(&bar);
          report(jobs[i], status);
          ++failed;
        }
        progress_update(&bar, ++done);
      });
  progress_clear(&bar);
  if (failed > 0 && count > 1) std::fprintf(stderr, "pxv: %d of %d files failed\n", failed, count);
  return failed == 0 ? 0 : kExitFailed;
}

// An input's name without its folder and ending, for the output beside the others in --out-dir.
std::string stem(const std::string &path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The jobs of `pxv convert IN... --out-dir DIR`; an empty list after a usage error.
std::vector<Job> plan_out_dir(const Args &inputs, const ConvertSettings &s, int *status) {
  std::vector<Job> jobs;
  if (s.type == nullptr) {
    *status = usage_error("--out-dir needs --type, the type of the files to write");
    return jobs;
  }
  std::map<std::string, std::string> writer_of;  // output -> input
  for (const std::string &in : inputs) {
    std::string out = s.out_dir + "/" + stem(in) + "." + s.type->endings[0];
    auto [it, fresh] = writer_of.emplace(out, in);
    if (!fresh) {
      *status = usage_error(it->second + " and " + in + " would both be written to " + out);
      return {};
    }
    jobs.push_back({in, out, s.type});
  }
  std::error_code ec;
  std::filesystem::create_directory(s.out_dir, ec);  // an existing folder is used as it is
  if (ec) *status = fail(s.out_dir, PXV_ERR_CREATE);
  return *status < 0 ? jobs : std::vector<Job>{};
}

// The jobs the operands ask for; an empty list after a usage error, its status in `status`.
std::vector<Job> plan(const Args &files, const ConvertSettings &s, int *status) {
  *status = -1;
  if (!s.out_dir.empty()) {
    if (files.empty()) *status = usage_error("convert needs an input file");
    return files.empty() ? std::vector<Job>{} : plan_out_dir(files, s, status);
  }
  if (files.size() != 2) {
    *status = usage_error(files.size() > 2 ? "several inputs need --out-dir DIR"
                                           : "convert needs an input and an output file");
    return {};
  }
  const SaveType *type = s.type != nullptr ? s.type : save_type_from_file_name(files[1]);
  if (type == nullptr) {
    *status = usage_error("cannot tell the output type: give --type");
    return {};
  }
  return {{files[0], files[1], type}};
}

const char kConvertUsage[] =
    "usage: pxv convert IN OUT [options]\n"
    "       pxv convert IN... --out-dir DIR --type TYPE [-j N] [options]\n"
    "\n"
    "Loads IN (any readable format) and saves it as OUT, or saves each IN into DIR under its\n"
    "own name with the type's ending. A failed file is reported and the others go on; the\n"
    "exit status is 1 if any failed. Outputs are written beside their final name and renamed\n"
    "into place, so a failed save leaves an existing file untouched.\n"
    "\n"
    "  --type TYPE      the output type (below): a number, a name or an ending; else OUT's ending\n"
    "  --page N         the page of a TIFF or DCX input to load (0 is the first)\n"
    "  --crop X,Y,W,H   save only that rectangle (pixels from the top-left corner)\n"
    "  --quality N      JPEG compression level: 0 keeps the most detail, higher levels make\n"
    "                   smaller files (the level scales the quantisation tables)\n"
    "  --out-dir DIR    write every output into DIR (made if missing)\n"
    "  -j, --jobs N     convert N files at a time, in worker processes\n"
    "  -q, --quiet      no progress bar\n"
    "%s"
    "\n"
    "Types (number, name, ending, depths written); types that add pages add one when the\n"
    "output exists:\n";

}  // namespace

int cmd_convert(const Args &args) {
  ConvertSettings s;
  CommandLine line;
  // The operations' part goes where the usage text holds its "%s".
  std::string help = kConvertUsage;
  help.replace(help.find("%s"), 2, colour_help());
  help += save_type_help();
  auto colour = [&](const char *option) {
    return [&s, option](const std::string &v) { return parse_colour_option(option, v, &s.colour); };
  };
  int status = parse_command_line(
      join_palette_files(args),
      {{"--type", nullptr, "a save type number (0-15) or name",
        [&](const std::string &v) { return (s.type = save_type_from_text(v)) != nullptr; }},
       {"--page", nullptr, "a page number of 0 or more",
        [&](const std::string &v) { return parse_int(v, 0, &s.page); }},
       {"--crop", nullptr, "X,Y,W,H",
        [&](const std::string &v) {
          int *r = s.rect;
          return s.crop = std::sscanf(v.c_str(), "%d,%d,%d,%d", &r[0], &r[1], &r[2], &r[3]) == 4;
        }},
       {"--quality", nullptr, "a compression level of 0 or more",
        [&](const std::string &v) { return s.quality_given = parse_int(v, 0, &s.quality); }},
       {"--out-dir", nullptr, "a folder", [&](const std::string &v) { s.out_dir = v; return !v.empty(); }},
       {"--jobs", "-j", "a number of workers of 1 or more",
        [&](const std::string &v) { return parse_int(v, 1, &s.jobs); }},
       {"--gray", nullptr, nullptr, colour("--gray")},
       {"--quantize", nullptr, "332, popular or palette FILE", colour("--quantize")},
       {"--remap", nullptr, "a palette file", colour("--remap")},
       {"--dither", nullptr, "bayer, halftone, diffusion, color-bayer, color-diffusion or palette FILE",
        colour("--dither")},
       {"--rotate", nullptr, "a multiple of 90 degrees", colour("--rotate")},
       {"--flip", nullptr, "x or y", colour("--flip")},
       {"--resize", nullptr, "WxH or N% (whole numbers of 1 or more)", colour("--resize")},
       {"--contrast", nullptr, "a whole number", colour("--contrast")},
       {"--brightness", nullptr, "a whole number", colour("--brightness")},
       {"--gamma", nullptr, "a number above 0", colour("--gamma")},
       {"--invert", nullptr, nullptr, colour("--invert")},
       {"--sharpen", nullptr, "a whole number", colour("--sharpen")},
       {"--to8", nullptr, nullptr, colour("--to8")},
       {"--direct", nullptr, nullptr, [&](const std::string &) { return s.direct = true; }}},
      help.c_str(), &line);
  if (status >= 0) return status;
  if (s.direct && (s.colour.size() != 1 || s.colour[0].op->direct == nullptr || s.crop || s.page != 0))
    return usage_error("--direct takes one operation that has a file variant (see --help), and no --crop or --page");
  if ((status = read_palette_files(&s.colour)) != 0) return status;
  std::vector<Job> jobs = plan(line.operands, s, &status);
  if (jobs.empty()) return status;
  return run_batch(jobs, s, line.quiet);
}

}  // namespace pxv_cli
