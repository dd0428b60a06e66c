// Every metafile of the corpus loads like its reference decode, or as documented below. The
// metafile reader is also run straight on each file, placeable or not (detection takes a
// metafile without its placeable header for Targa), and must give what the public load of the
// placeable form gives.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/bytes.h"
#include "core/formats.h"
#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    {"pil_drawing.wmf", {Outcome::kRefused, PXV_ERR_TYPE, "vector drawing only: no bitmap record"}},
    {"gen_stretchdib_8bit_plain.wmf", {Outcome::kRefused, PXV_ERR_DATA, "no placeable header: read as Targa"}},
    {"gen_stretchdib_4bit.wmf", {Outcome::kRefused, PXV_ERR_DATA, "no placeable header: read as Targa"}},
};

// Pillow misreads the RLE4 reference's absolute runs; the stored 4-bit twin's reference holds
// the picture it encodes.
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  Rgb stored;
  const bool rle4 = c.has_feature("rle4");
  ASSERT_TRUE(!rle4 || read_pnm(corpus_path("wmf/gen_stretchdib_4bit.wmf.ref.ppm"), &stored));
  EXPECT_EQ(pixel_difference(ours, rle4 ? stored : ref), "");
}

class WmfCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(WmfCorpus, LoadsAsDocumented) {
  const CorpusCase &c = GetParam();
  run_corpus_case(c, documented(kDocumented, c), compare);
  // Straight through the reader, from a memory block of the file's exact size.
  Bytes file = read_file(c.full_path());
  Capture direct;
  ASSERT_EQ(read_memory(pxv::open_wmf, file, &direct), c.ref.empty() ? PXV_ERR_TYPE : 1);
  if (c.ref.empty()) return;
  // The same DIB as the public load of the placeable form (a bare key will do), whose pixels
  // are the reference's.
  if (pxv::get_le32(file.data()) != 0x9AC6CDD7u) {
    file.insert(file.begin(), 22, 0);
    pxv::put_le32(file.data(), 0x9AC6CDD7u);
  }
  write_file(scratch_path("placeable.wmf"), file);
  const int handle = load_page(scratch_path("placeable.wmf"));
  Rgb ref;
  ASSERT_TRUE(read_pnm(corpus_path(c.ref), &ref));
  compare(c, handle_rgb(handle), ref);
  Capture loaded = read_handle(handle);
  std::reverse(loaded.rows.begin(), loaded.rows.end());  // stored order to row numbers
  EXPECT_EQ(direct.rows, loaded.rows);
  EXPECT_EQ(direct.header, loaded.header);
  IMG_delete_bitmap(handle);
}

INSTANTIATE_TEST_SUITE_P(Manifest, WmfCorpus, ::testing::ValuesIn(corpus_cases({"wmf"})), corpus_case_name);

}  // namespace
}  // namespace pxv_test
