// Every GIF, PCX and DCX row of the corpus manifest: files with a reference decode load to the
// same pixels (or, where this library's documented behaviour differs from the tool that made the
// reference, to the same picture under another colour table, or to a documented refusal);
// malformed files load or fail cleanly.
#include <gtest/gtest.h>

#include <map>

#include "support/gifpcx_support.h"
#include "support/support.h"

namespace pxv_test {
namespace {

enum class Expect { kSame, kSameUpToTable, kRefused };

struct Known {
  Expect expect;
  int code;  // for kRefused
  const char *why;
};

// Files whose documented result differs from their reference, keyed by "path#page".
const std::map<std::string, Known> &known_differences() {
  static const std::map<std::string, Known> known = {
      {"pcx/tm_CGA_RGBI.pcx#0", {Expect::kRefused, -3, "2 bits per pixel: no DIB layout, refused"}},
      {"pcx/gen_1bit_2planes.pcx#0", {Expect::kRefused, -3, "two 1-bit planes: no DIB layout, refused"}},
      {"pcx/tm_animals.pcx#0",
       {Expect::kSameUpToTable, 0, "version 3: the default 16-colour table, not the header's"}},
      {"pcx/tm_CGA_BW.pcx#0",
       {Expect::kSameUpToTable, 0, "header colours red and black are kept (entry 0 is not all lit)"}},
      {"dcx/gen_3pages.dcx#1",
       {Expect::kSameUpToTable, 0, "8-bit page before the last: its table comes from the stream's end"}},
      {"dcx/gen_im_2pages.dcx#0",
       {Expect::kSameUpToTable, 0, "8-bit page before the last: its table comes from the stream's end"}},
  };
  return known;
}

std::string page_ref(const ManifestRow &row, int page) {
  if (page == 0) return row.ref == "-" ? "" : row.ref;
  for (const char *ext : {".ppm", ".pgm"}) {
    std::string p = row.path + ".page" + std::to_string(page) + ".ref" + ext;
    if (file_exists(corpus_path(p))) return p;
  }
  return "";
}

class GifPcxCorpus : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(GifPcxCorpus, LoadsAsDocumented) {
  const ManifestRow &row = GetParam();
  for (int page = 0; page < row.pages; ++page) {
    SCOPED_TRACE(row.path + " page " + std::to_string(page) + ": " + row.notes);
    const std::string key = row.path + "#" + std::to_string(page);
    const auto known = known_differences().find(key);
    const int handle = load_path(corpus_path(row.path), page);
    if (known != known_differences().end() && known->second.expect == Expect::kRefused) {
      EXPECT_EQ(handle, known->second.code) << known->second.why;
      continue;
    }
    if (row.malformed) {
      // A clean error, or a partial image whose every byte can be read.
      if (handle >= 0) {
        Rgb ours = handle_rgb(handle);
        EXPECT_GT(ours.width, 0);
        IMG_delete_bitmap(handle);
      }
      continue;
    }
    ASSERT_GE(handle, 0);
    const std::string ref = page_ref(row, page);
    if (ref.empty()) {
      IMG_delete_bitmap(handle);
      continue;
    }
    Rgb reference;
    ASSERT_TRUE(read_pnm(corpus_path(ref), &reference)) << ref;
    const Rgb ours = handle_rgb(handle);
    IMG_delete_bitmap(handle);
    if (known != known_differences().end()) {
      EXPECT_EQ(mapping_difference(ours, reference), "") << known->second.why;
      EXPECT_NE(pixel_difference(ours, reference), "") << "now identical: " << known->second.why;
    } else {
      EXPECT_EQ(pixel_difference(ours, reference), "");
    }
  }
}

std::string row_name(const ::testing::TestParamInfo<ManifestRow> &info) {
  std::string name = info.param.path;
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Manifest, GifPcxCorpus,
                         ::testing::ValuesIn(manifest_rows({"gif", "pcx", "dcx"})), row_name);

TEST(GifPcxCorpusManifest, HasRowsForEveryFormat) {
  std::map<std::string, int> count;
  for (const ManifestRow &r : manifest_rows({"gif", "pcx", "dcx"})) ++count[r.format];
  EXPECT_GT(count["gif"], 10);
  EXPECT_GT(count["pcx"], 10);
  EXPECT_GT(count["dcx"], 1);
}

}  // namespace
}  // namespace pxv_test
