// Every GIF, PCX and DCX page of the corpus loads like its reference decode, or as documented.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    {"pcx/tm_CGA_RGBI.pcx", {Outcome::kRefused, PXV_ERR_DATA, "2 bits per pixel: no DIB layout"}},
    {"pcx/gen_1bit_2planes.pcx", {Outcome::kRefused, PXV_ERR_DATA, "two 1-bit planes: no DIB layout"}},
    {"pcx/tm_animals.pcx",
     {Outcome::kSameUpToTable, 0, "version 3: the default 16-colour table, not the header's"}},
    {"pcx/tm_CGA_BW.pcx",
     {Outcome::kSameUpToTable, 0, "header colours red and black are kept (entry 0 is not all lit)"}},
    {"dcx/gen_3pages.dcx#1",
     {Outcome::kSameUpToTable, 0, "8-bit page before the last: its table comes from the stream's end"}},
    {"dcx/gen_im_2pages.dcx#0",
     {Outcome::kSameUpToTable, 0, "8-bit page before the last: its table comes from the stream's end"}},
};

class GifPcxCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(GifPcxCorpus, LoadsAsDocumented) {
  run_corpus_case(GetParam(), documented(kDocumented, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Manifest, GifPcxCorpus,
                         ::testing::ValuesIn(corpus_cases({"gif", "pcx", "dcx"})), corpus_case_name);

}  // namespace
}  // namespace pxv_test
