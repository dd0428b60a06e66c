// Every PICT of the corpus loads like its reference decode, or as documented below.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    {"tm_6.pict", {Outcome::kRefused, PXV_ERR_DATA, "drawing opcodes only, no bitmap"}},
    {"tm_qt_mire.pict", {Outcome::kRefused, PXV_ERR_DATA, "QuickTime opcode 0x8200 ends the picture"}},
    {"gen_v2_no_512_header.pict", {Outcome::kRefused, PXV_ERR_TYPE, "no preamble: not detected"}},
    {"tm_CatDV.pict", {Outcome::kRefused, PXV_ERR_DATA, "0x9B is not a bitmap opcode"}},
    // The opcode table gives 0x1B (a 6-byte colour) no data: the walk loses its place and meets
    // an ending opcode before the bitmap.
    {"tm_demo.pict", {Outcome::kRefused, PXV_ERR_DATA, "opcode 0x1B passed over as 0 bytes"}},
    // DirectBits rows of 192 decoded bytes take 1-byte counts, where these files have 2-byte
    // ones: the rows load, shifted by a byte.
    {"gen_v2_direct32_w64.pict", {Outcome::kLoads, 0, "count size by the decoded length"}},
    {"tm_mire32.pict", {Outcome::kLoads, 0, "count size by the decoded length"}},
};

class PictCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(PictCorpus, LoadsAsDocumented) {
  run_corpus_case(GetParam(), documented(kDocumented, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Manifest, PictCorpus, ::testing::ValuesIn(corpus_cases({"pict"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
