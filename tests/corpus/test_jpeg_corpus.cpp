// Every JPEG of the corpus loads, or is refused, as documented, to the pixels its arithmetic gives.
#include <gtest/gtest.h>

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

// Each file against what the reader's documented arithmetic makes of libjpeg's coefficients.
// (Pillow's reference uses JFIF's constants and interpolated chroma, which this library does
// not, by design.)
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &) {
  std::vector<Rgb> want;
  ASSERT_TRUE(jpeg_reference_all({c.full_path()}, &want));
  EXPECT_EQ(pixel_difference(ours, want[0]), "");
}

class JpegCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(JpegCorpus, LoadsAsDocumented) { run_corpus_case(GetParam(), expectation(GetParam()), compare); }

INSTANTIATE_TEST_SUITE_P(Manifest, JpegCorpus, ::testing::ValuesIn(corpus_cases({"jpeg"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
