// Every JPEG of the corpus loads, or is refused, as documented, to libjpeg's planes of it.
#include <gtest/gtest.h>

#include <cmath>

#include "support/corpus.h"
#include "support/jpeg_support.h"

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

// Each file against libjpeg's own planes of it under this library's colour constants: what
// remains is the difference of the two inverse transforms, a level or two per sample, which the
// colour constants may double. (Pillow's reference uses JFIF's constants and interpolated chroma,
// which this library does not, by design.)
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &) {
  Rgb planes;
  ASSERT_TRUE(libjpeg_planes(c.full_path(), &planes));
  const Bytes want = planes_to_bgr(planes, has(c, "gray"));
  ASSERT_EQ(want.size(), ours.pixels.size());
  double sum = 0;
  int max = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const int d = std::abs(ours.pixels[i] - want[i / 3 * 3 + 2 - i % 3]);
    sum += d;
    max = std::max(max, d);
  }
  EXPECT_LE(max, has(c, "gray") ? 2 : 6);
  EXPECT_LT(sum / double(want.size()), 0.6);
}

class JpegCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(JpegCorpus, LoadsAsDocumented) { run_corpus_case(GetParam(), expectation(GetParam()), compare); }

INSTANTIATE_TEST_SUITE_P(Manifest, JpegCorpus, ::testing::ValuesIn(corpus_cases({"jpeg"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
