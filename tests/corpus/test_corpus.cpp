// Every page of the reader conformance corpus (its MANIFEST.tsv rows) loads like its reference
// decode, or as documented below with the reason; Targa and WPG files load from memory as from
// their file, and the metafile reader run straight on each metafile gives what the public load
// of its placeable form gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "core/bytes.h"
#include "core/formats.h"
#include "support/corpus.h"
#include "support/jpeg_support.h"

namespace pxv_test {
namespace {

// One page of one manifest row.
struct CorpusCase {
  std::string path;      // relative to the corpus folder
  std::string format;    // "bmp", "tiff", ...
  std::string features;  // comma list
  std::string width, height;
  int page = 0;
  std::string ref;  // relative path of this page's reference decode, or ""
  bool malformed = false;
  std::string notes;

  std::string file() const { return path.substr(path.rfind('/') + 1); }
  std::string full_path() const { return corpus_path(path); }
  bool has_feature(const std::string &f) const { return ("," + features + ",").find("," + f + ",") != std::string::npos; }
};
void PrintTo(const CorpusCase &c, std::ostream *out) { *out << c.path << " page " << c.page; }

// Every page of every manifest row, in manifest order; later pages take their own references.
std::vector<CorpusCase> corpus_cases() {
  std::vector<CorpusCase> cases;
  const Bytes manifest = read_file(corpus_path("MANIFEST.tsv"));
  std::istringstream in(std::string(manifest.begin(), manifest.end()));
  std::string line;
  std::getline(in, line);  // the header row
  while (std::getline(in, line)) {
    // path format features width height pages ref source license malformed notes
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() < 10) continue;
    CorpusCase c{f[0], f[1], f[2], f[3], f[4], 0, f[6] == "-" ? "" : f[6], f[9] == "yes", f.size() > 10 ? f[10] : ""};
    const int pages = std::max(1, std::atoi(f[5].c_str()));
    for (c.page = 0; c.page < pages; ++c.page) {
      if (c.page > 0) {
        c.ref.clear();
        for (const char *ext : {".ppm", ".pgm"}) {
          const std::string p = c.path + ".page" + std::to_string(c.page) + ".ref" + ext;
          if (file_exists(corpus_path(p))) c.ref = p;
        }
      }
      cases.push_back(c);
    }
  }
  return cases;
}

// A name that gtest accepts: path and page with [A-Za-z0-9_] only.
std::string corpus_case_name(const ::testing::TestParamInfo<CorpusCase> &info) {
  std::string name = info.param.path.substr(info.param.path.find('/') + 1);
  if (info.param.page > 0) name += "_page" + std::to_string(info.param.page);
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// What a case must do when it is not "loads and matches its reference pixel for pixel".
enum class Outcome {
  kSame,           // loads, same pixels as the reference (or the format's own comparison)
  kLoads,          // loads a whole image, of the manifest's size; pixels differ by design
  kRefused,        // fails with `code` (0: any negative code)
  kSameUpToTable,  // the reference's picture under another colour table, and not identical
  kLoadsOrFails,   // malformed: a whole image, or a clean failure (`code` when not 0)
};
struct Documented {
  Outcome outcome = Outcome::kSame;
  int code = 0;
  std::string why;
};
// Looked up by "path#page", then "path", then the file name alone.
using DocumentedDifferences = std::map<std::string, Documented>;
Documented documented(const DocumentedDifferences &table, const CorpusCase &c) {
  for (const std::string &key : {c.path + "#" + std::to_string(c.page), c.path, c.file()}) {
    const auto found = table.find(key);
    if (found != table.end()) return found->second;
  }
  return {c.malformed ? Outcome::kLoadsOrFails : Outcome::kSame, 0, ""};
}

// Empty when every colour of the reference always shows as one and the same colour of ours: the
// same picture under another colour table (which may give two indices one colour).
std::string mapping_difference(const Rgb &ours, const Rgb &reference) {
  if (ours.width != reference.width || ours.height != reference.height) return "size differs";
  std::unordered_map<std::uint32_t, std::uint32_t> backward;
  for (std::size_t p = 0; p < ours.pixels.size() / 3; ++p) {
    const std::uint8_t *a = &ours.pixels[3 * p], *b = &reference.pixels[3 * p];
    const std::uint32_t ca = a[0] << 16 | a[1] << 8 | a[2], cb = b[0] << 16 | b[1] << 8 | b[2];
    if (backward.emplace(cb, ca).first->second != ca)
      return "pixel " + std::to_string(p) + " breaks the colour mapping";
  }
  return "";
}

// Compares our pixels with the reference's with gtest assertions.
using Compare = void (*)(const CorpusCase &, const Rgb &ours, const Rgb &reference);

// Loads the case and checks it. Rows not in the table must load; malformed rows not in it
// load a whole image or fail cleanly; rows with a reference are compared with it.
void run_corpus_case(const CorpusCase &c, const Documented &expected, const Compare &compare) {
  SCOPED_TRACE(c.path + " page " + std::to_string(c.page) + ": " + c.notes);
  SCOPED_TRACE(expected.why);
  const int handle = load_page(c.full_path(), c.page);
  switch (expected.outcome) {
    case Outcome::kRefused:
      EXPECT_TRUE(handle < 0 && (expected.code == 0 || handle == expected.code)) << handle;
      break;
    case Outcome::kLoadsOrFails:
      if (handle < 0) {
        EXPECT_TRUE(expected.code == 0 || handle == expected.code) << handle;
        EXPECT_TRUE(handle == PXV_ERR_NO_MEMORY || handle == PXV_ERR_DATA || handle == PXV_ERR_PAGE || handle == PXV_ERR_TYPE || handle == PXV_ERR_READ) << handle;
        break;
      }
      [[fallthrough]];
    case Outcome::kLoads: {
      ASSERT_GE(handle, 0);
      // Every byte of the DIB can be read and it is as big as its header says.
      const Rgb ours = handle_rgb(handle);
      EXPECT_EQ(ours.pixels.size(), std::size_t(ours.width) * ours.height * 3);
      if (expected.outcome == Outcome::kLoads && c.page == 0 && c.width != "-") {
        EXPECT_EQ(std::to_string(ours.width) + "x" + std::to_string(ours.height), c.width + "x" + c.height);
      }
      break;
    }
    case Outcome::kSame:
    case Outcome::kSameUpToTable: {
      ASSERT_GE(handle, 0);
      const Rgb ours = handle_rgb(handle);
      if (c.ref.empty()) break;
      Rgb ref;
      ASSERT_TRUE(read_pnm(corpus_path(c.ref), &ref)) << c.ref;
      ASSERT_TRUE(ours.width == ref.width && ours.height == ref.height);
      if (expected.outcome == Outcome::kSameUpToTable) {
        EXPECT_EQ(mapping_difference(ours, ref), "");
        EXPECT_NE(pixel_difference(ours, ref), "") << "now identical";
      } else {
        compare(c, ours, ref);
      }
      break;
    }
  }
  if (handle >= 0) IMG_delete_bitmap(handle);
}

// A whole file loaded from a memory block of its exact size gives the rows the file load gives:
// the memory stream has no known end, so nothing may be read past the image's data.
void expect_memory_load_like_file(const std::string &path) {
  const Bytes file = read_file(path);
  const int from_file = load_page(path), from_memory = IMG_decompress_bitmap_mem(file.data(), 0);
  ASSERT_GE(from_memory, 0);
  EXPECT_EQ(read_handle(from_memory).rows, read_handle(from_file).rows);
  IMG_delete_bitmap(from_memory);
  IMG_delete_bitmap(from_file);
}

const Documented kOs2 = {Outcome::kRefused, PXV_ERR_DATA, "a header size other than 40 is read as OS/2"};
const Documented kClipped = {Outcome::kLoads, 0, "runs clipped at the row end"};
const Documented kShort = {Outcome::kLoads, 0, "rows past the data read as 0"};
const Documented kPcxTableFromEnd = {Outcome::kSameUpToTable, 0,
                                     "8-bit page before the last: its table comes from the stream's end"};
const Documented kBareMetafile = {Outcome::kRefused, PXV_ERR_DATA, "no placeable header: read as Targa"};
const Documented kPredictor4 = {Outcome::kLoads, 0, "predictor on four samples differences by byte"};
// Pillow 9.4 converts CMYK multiplicatively, (255 - C)(255 - K) / 255; this library uses
// 255 - (C + K), 0 from 255 on. The oracle test checks CMYK against Pillow's raw samples.
const Documented kCmyk = {Outcome::kLoads, 0, "CMYK conversion differs"};
const Documented kCountByLength = {Outcome::kLoads, 0, "count size by the decoded length"};
const Documented kGroup3_2d = {Outcome::kLoads, 0, "two-dimensional Group 3 is read as one-dimensional"};

const DocumentedDifferences kDocumented = {
    // BMP: newer headers read as OS/2 take a 32-bit width's high half as the height and a bit
    // count of 0.
    {"bmpsuite_g_pal8v4.bmp", kOs2}, {"bmpsuite_g_pal8v5.bmp", kOs2}, {"bmpsuite_q_pal8os2v2.bmp", kOs2},
    {"bmpsuite_q_pal8os2v2-16.bmp", kOs2}, {"bmpsuite_b_badheadersize.bmp", kOs2},
    {"bmpsuite_g_rgb16.bmp", {Outcome::kRefused, PXV_ERR_TYPE, "16 bits per pixel are not read"}},
    {"bmpsuite_q_pal2.bmp", {Outcome::kRefused, PXV_ERR_TYPE, "2 bits per pixel are not read"}},
    {"bmpsuite_b_badbitcount.bmp", {Outcome::kRefused, PXV_ERR_DATA, "bit count 30000"}},
    {"bmpsuite_b_rletopdown.bmp", {Outcome::kRefused, PXV_ERR_DATA, "top-down RLE is refused"}},
    {"bmpsuite_b_reallybig.bmp", {Outcome::kRefused, PXV_ERR_NO_MEMORY, "the DIB cannot be allocated"}},
    {"bmpsuite_b_badrle.bmp", kClipped}, {"rs_rle_overflow.bmp", kClipped}, {"pil_hopper_rle8_row_overflow.bmp", kClipped},
    {"bmpsuite_b_shortfile.bmp", {Outcome::kLoads, 0, "missing rows read as 0"}},
    {"rs_pal4rlecut.bmp", {Outcome::kLoads, 0, "end of data acts as end of bitmap"}},
    {"bmpsuite_q_pal8oversizepal.bmp", {Outcome::kLoads, 0, "a full 256-entry table, biClrUsed ignored"}},
    // PCX and DCX.
    {"pcx/tm_CGA_RGBI.pcx", {Outcome::kRefused, PXV_ERR_DATA, "2 bits per pixel: no DIB layout"}},
    {"pcx/gen_1bit_2planes.pcx", {Outcome::kRefused, PXV_ERR_DATA, "two 1-bit planes: no DIB layout"}},
    {"pcx/tm_animals.pcx", {Outcome::kSameUpToTable, 0, "version 3: the default 16-colour table, not the header's"}},
    {"pcx/tm_CGA_BW.pcx",
     {Outcome::kSameUpToTable, 0, "header colours red and black are kept (entry 0 is not all lit)"}},
    {"dcx/gen_3pages.dcx#1", kPcxTableFromEnd}, {"dcx/gen_im_2pages.dcx#0", kPcxTableFromEnd},
    // PICT.
    {"tm_6.pict", {Outcome::kRefused, PXV_ERR_DATA, "drawing opcodes only, no bitmap"}},
    {"tm_qt_mire.pict", {Outcome::kRefused, PXV_ERR_DATA, "QuickTime opcode 0x8200 ends the picture"}},
    {"gen_v2_no_512_header.pict", {Outcome::kRefused, PXV_ERR_TYPE, "no preamble: not detected"}},
    {"tm_CatDV.pict", {Outcome::kRefused, PXV_ERR_DATA, "0x9B is not a bitmap opcode"}},
    // The opcode table gives 0x1B (a 6-byte colour) no data: the walk loses its place and meets
    // an ending opcode before the bitmap.
    {"tm_demo.pict", {Outcome::kRefused, PXV_ERR_DATA, "opcode 0x1B passed over as 0 bytes"}},
    // DirectBits rows of 192 decoded bytes take 1-byte counts, where these files have 2-byte
    // ones: the rows load, shifted by a byte.
    {"gen_v2_direct32_w64.pict", kCountByLength}, {"tm_mire32.pict", kCountByLength},
    // Targa.
    {"rs_cmap_offset.tga", {Outcome::kLoads, 0, "the map's first-entry field is ignored"}},
    {"sr_square-top-right.tga", {Outcome::kLoads, 0, "the right-to-left bit is ignored"}},
    {"pil_200x32_la_bl_raw.tga", {Outcome::kLoads, 0, "16-bit gray + alpha read as 5-5-5 words"}},
    {"rs_b5-unused-cmap.tga",
     {Outcome::kLoads, 0, "a true-colour file's map is skipped; the reference looks the pixels up in it"}},
    {"pil_p_8.tga", {Outcome::kLoads, 0, "header only: rows past the data read as 0"}},
    {"pil_cross_scan_line_truncated.tga", kShort}, {"rs_reg_overfull-image.tga", kShort}, {"rs_reg_slice-copy-length.tga", kShort},
    // TIFF and EPS.
    {"tiff/lt_quad-lzw-compat.tiff", {Outcome::kLoads, 0, "old-style LSB-first LZW is not the LZW this reader decodes"}},
    {"tiff/lt_minisblack-1c-16b.tiff", {Outcome::kRefused, 0, "16-bit samples: no DIB depth holds them"}},
    {"tiff/tm_flower-palette-02.tif", {Outcome::kRefused, 0, "2-bit samples: no DIB depth holds them"}},
    {"tiff/tm_smallliz.tif", {Outcome::kLoads, 0, "old-style JPEG compression: no rows are delivered"}},
    {"tiff/pil_hopper_bigtiff.tif", {Outcome::kRefused, 0, "BigTIFF is not classic TIFF"}},
    {"tiff/tm_group3_2d.tif", kGroup3_2d}, {"tiff/tm_contrib_multipage.tif#1", kGroup3_2d},
    {"tiff/rs_hpredict.tiff", kPredictor4}, {"tiff/sr_cmyk-small.tif", kPredictor4}, {"tiff/gen_cmyk_lzw_pred2_MM.tif", kPredictor4},
    {"tiff/tm_flower-separated-contig-08.tif", kCmyk}, {"tiff/tm_flower-separated-planar-08.tif", kCmyk},
    {"tiff/gen_cmyk_edges_8x2_II.tif", kCmyk},
    // A plain-text EPS has no binary header, so nothing detects it.
    {"eps/pil_non_zero_bb.eps", {Outcome::kRefused, PXV_ERR_TYPE, "no binary EPS header"}},
    {"eps/gen_preview_offset_past_eof.eps", {Outcome::kRefused, 0, "preview past the end"}},
    {"eps/gen_no_tiff_preview.eps", {Outcome::kRefused, 0, "no TIFF preview"}},
    // Metafiles and WPG.
    {"pil_drawing.wmf", {Outcome::kRefused, PXV_ERR_TYPE, "vector drawing only: no bitmap record"}},
    {"gen_stretchdib_8bit_plain.wmf", kBareMetafile}, {"gen_stretchdib_4bit.wmf", kBareMetafile},
    {"gen_type2_1bit_cmap_red_blue.wpg", {Outcome::kLoads, 0, "a 1-bit bitmap is black and white whatever the map"}},
};

// Feature names are matched as prefixes ("sampling-2x" covers 2x1 and 2x2).
bool has(const CorpusCase &c, const char *feature) { return c.features.find(feature) != std::string::npos; }

Documented jpeg_expectation(const CorpusCase &c) {
  // Detection looks for FF D8 at the start: junk first is no JPEG to the dispatcher.
  if (has(c, "garbage-before-soi")) return {Outcome::kRefused, PXV_ERR_TYPE, "junk before SOI"};
  for (const char *f : {"progressive", "arithmetic", "12bit", "4-comp"})
    if (has(c, f)) return {Outcome::kRefused, PXV_ERR_DATA, std::string(f) + " is refused"};
  // R, G, B stored as components load like any three-component file, through YCbCr.
  if (has(c, "rgb-colourspace")) return {Outcome::kLoads, 0, "RGB components read as YCbCr"};
  if (c.malformed || c.ref.empty()) return {Outcome::kLoadsOrFails, PXV_ERR_DATA, "malformed"};
  return {};
}

// Each JPEG against what the reader's documented arithmetic makes of libjpeg's coefficients.
// (Pillow's reference uses JFIF's constants and interpolated chroma, which this library does
// not, by design.)
void compare_jpeg(const CorpusCase &c, const Rgb &ours, const Rgb &) {
  std::vector<Rgb> want;
  ASSERT_TRUE(jpeg_reference_all({c.full_path()}, &want));
  EXPECT_EQ(pixel_difference(ours, want[0]), "");
}

// BMP files with RLE deltas: the format leaves skipped pixels undefined. The reference fills them
// with colour-table entry 0; this reader leaves what its row buffer held (RLE8 also copies the
// row into rows a delta passes over, RLE4 does not deliver them). Pixels may differ only there.
void compare_bmp(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  if (!c.has_feature("delta")) {
    EXPECT_EQ(pixel_difference(ours, ref), "");
    return;
  }
  const Bytes file = read_file(c.full_path());
  ASSERT_GE(file.size(), 58u);
  const std::uint8_t fill[3] = {file[56], file[55], file[54]};
  long differing = 0;
  for (std::size_t i = 0; i < ref.pixels.size(); i += 3) {
    if (std::equal(&ours.pixels[i], &ours.pixels[i] + 3, &ref.pixels[i])) continue;
    ++differing;
    ASSERT_TRUE(std::equal(fill, fill + 3, &ref.pixels[i])) << "pixel " << i / 3 << " differs outside a skip";
  }
  EXPECT_LT(differing, long(ref.pixels.size() / 3));
}

// Targa's 5-bit channels are shifted, not replicated: only their top five bits match the
// reference. TIFF's 4-bit gray: this library's default ramp is i * 16 (0 to 240), the
// reference's i * 17. Pillow misreads the RLE4 metafile's absolute runs; the stored 4-bit
// twin's reference holds the picture it encodes.
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  Rgb want = ref;
  for (const char *f : {"15bit", "16bit", "cmap-15bit", "cmap-16bit"})
    for (std::uint8_t &v : want.pixels) v &= c.format == "tga" && c.has_feature(f) ? 0xF8 : 0xFF;
  if (c.file() == "tm_flower-minisblack-04.tif" || c.file() == "gen_gray4_MM.tif" ||
      c.file() == "gen_gray4_II.tif" || c.file() == "pil_hopper4I.tif")
    for (std::uint8_t &v : want.pixels) v = std::uint8_t(v / 17 * 16);
  ASSERT_TRUE(c.format != "wmf" || !c.has_feature("rle4") || read_pnm(corpus_path("wmf/gen_stretchdib_4bit.wmf.ref.ppm"), &want));
  EXPECT_EQ(pixel_difference(ours, want), "");
}

// Straight through the metafile reader, from a memory block of the file's exact size: the same
// DIB as the public load of the placeable form (a bare key will do), whose pixels are the
// reference's.
void expect_metafile_reader_like_load(const CorpusCase &c) {
  Bytes file = read_file(c.full_path());
  Capture direct;
  ASSERT_EQ(read_memory(pxv::open_wmf, file, &direct), c.ref.empty() ? PXV_ERR_TYPE : 1);
  if (c.ref.empty()) return;
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
  EXPECT_TRUE(direct.rows == loaded.rows && direct.header == loaded.header);
  IMG_delete_bitmap(handle);
}

class Corpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(Corpus, LoadsAsDocumented) {
  const CorpusCase &c = GetParam();
  const Documented d = c.format == "jpeg" ? jpeg_expectation(c) : documented(kDocumented, c);
  // Every malformed BMP and every BMP without a reference has its stated expectation.
  ASSERT_TRUE(c.format != "bmp" || (d.outcome != Outcome::kLoadsOrFails && (d.outcome != Outcome::kSame || !c.ref.empty())));
  run_corpus_case(c, d, c.format == "jpeg" ? compare_jpeg : c.format == "bmp" ? compare_bmp : compare);
  if (c.format == "wpg" || (c.format == "tga" && !c.malformed)) expect_memory_load_like_file(c.full_path());
  if (c.format == "wmf") expect_metafile_reader_like_load(c);
}

INSTANTIATE_TEST_SUITE_P(Manifest, Corpus, ::testing::ValuesIn(corpus_cases()), corpus_case_name);

TEST(CorpusFiles, TargaMapAlphaLandsInTheFlagsAndIsTiffCmykTellsCmyk) {
  // The 32-bit map entries carry their index as alpha.
  const Capture mapped = read_handle(load_page(corpus_path("tga/gen_cmap32_type1.tga")));
  ASSERT_EQ(mapped.header.size(), 40u + 1024u);
  for (int k = 0; k < 256; ++k) EXPECT_EQ(mapped.header[40 + 4 * k + 3], k) << k;
  EXPECT_TRUE(IMG_IsTiffCmyk(corpus_path("tiff/gen_cmyk_edges_8x2_II.tif").c_str()) == 1 &&
              IMG_IsTiffCmyk(corpus_path("tiff/gen_rgb_lzw_pred2_MM.tif").c_str()) == 0);
}

}  // namespace
}  // namespace pxv_test
