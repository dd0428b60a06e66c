// Every JPEG of the corpus. References were made by Pillow (libjpeg-turbo: JFIF colour constants,
// interpolated chroma); this library's colour constants differ by design, so colour files are
// held to a mean error and gray files to a tight one.
#include <gtest/gtest.h>

#include <cmath>

#include "support/corpus.h"

namespace pxv_test {
namespace {

// Feature names are matched as prefixes ("sampling-2x" covers 2x1 and 2x2).
bool has(const CorpusCase &c, const char *feature) { return c.features.find(feature) != std::string::npos; }

Documented expectation(const CorpusCase &c) {
  // Detection looks for FF D8 at the start: junk first is no JPEG to the dispatcher.
  if (has(c, "garbage-before-soi")) return {Outcome::kRefused, PXV_ERR_TYPE, "junk before SOI"};
  for (const char *f : {"progressive", "arithmetic", "12bit", "4-comp"})
    if (has(c, f)) return {Outcome::kRefused, PXV_ERR_DATA, std::string(f) + " is refused"};
  // R, G, B stored as components load like any three-component file, through YCbCr.
  if (has(c, "rgb-colourspace")) return {Outcome::kLoads, 0, "RGB components read as YCbCr"};
  if (c.malformed || c.ref.empty()) return {Outcome::kLoadsOrFails, PXV_ERR_DATA, "malformed"};
  return {};
}

// The reference's pixels as the library would show the same YCbCr: the reference's RGB taken
// back to YCbCr with the JFIF equations its decoder used, then converted with the library's own
// constants (1.9375, 0.377, 0.554, 1.087 against JFIF's 1.772, 0.344, 0.714, 1.402).
Bytes library_colours(const Rgb &ref) {
  Bytes out(ref.pixels.size());
  auto clamp = [](long v, int lo, int hi) { return int(v < lo ? lo : v > hi ? hi : v); };
  for (std::size_t i = 0; i + 2 < ref.pixels.size(); i += 3) {
    const double r = ref.pixels[i], g = ref.pixels[i + 1], b = ref.pixels[i + 2];
    const int y = clamp(std::lround(0.299 * r + 0.587 * g + 0.114 * b), 1, 255);
    const int cb = clamp(std::lround(-0.168736 * r - 0.331264 * g + 0.5 * b), -127, 127);
    const int cr = clamp(std::lround(0.5 * r - 0.418688 * g - 0.081312 * b), -127, 127);
    out[i] = std::uint8_t(clamp(y + ((1113 * cr) >> 10), 0, 255));
    out[i + 1] = std::uint8_t(clamp(y - ((386 * cb) >> 10) - ((567 * cr) >> 10), 0, 255));
    out[i + 2] = std::uint8_t(clamp(y + ((1984 * cb) >> 10), 0, 255));
  }
  return out;
}

void compare(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  const bool gray = has(c, "gray");
  const Bytes want = gray ? ref.pixels : library_colours(ref);
  double sum = 0;
  int max = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const int d = std::abs(ours.pixels[i] - want[i]);
    sum += d;
    max = std::max(max, d);
  }
  if (gray) {
    EXPECT_LE(max, 2);  // same transform family, no colour; black decodes to 1, not 0
  } else {
    // Replicated against interpolated chroma and the reference's clipping leave a small mean
    // error on photographs; the generated files have hard chroma edges every few pixels. (The
    // oracle test holds the reader to libjpeg's own replicated chroma within 6 levels.)
    const bool edges = has(c, "sampling-2x") && c.file().rfind("gen_", 0) == 0;
    EXPECT_LT(sum / double(want.size()), edges ? 15.0 : 3.0);
  }
}

class JpegCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(JpegCorpus, LoadsAsDocumented) { run_corpus_case(GetParam(), expectation(GetParam()), compare); }

INSTANTIATE_TEST_SUITE_P(Manifest, JpegCorpus, ::testing::ValuesIn(corpus_cases({"jpeg"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
