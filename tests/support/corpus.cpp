#include "corpus.h"

#include <cctype>
#include <sstream>
#include <unordered_map>

#include "core/image.h"
#include "platform/win32.h"

namespace pxv_test {

std::string corpus_path(const std::string &relative) {
  return std::string(PXV_CORPUS_DIR) + "/" + relative;
}

std::string CorpusCase::file() const { return path.substr(path.rfind('/') + 1); }
std::string CorpusCase::full_path() const { return corpus_path(path); }
bool CorpusCase::has_feature(const std::string &feature) const {
  return ("," + features + ",").find("," + feature + ",") != std::string::npos;
}
void PrintTo(const CorpusCase &c, std::ostream *out) { *out << c.path << " page " << c.page; }

std::vector<CorpusCase> corpus_cases(const std::vector<std::string> &formats) {
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
    bool wanted = false;
    for (const std::string &format : formats) wanted |= f[1] == format;
    if (!wanted) continue;
    CorpusCase c{f[0], f[1], f[2], f[3], f[4], 0, f[6] == "-" ? "" : f[6], f[9] == "yes",
                 f.size() > 10 ? f[10] : ""};
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

std::string corpus_case_name(const ::testing::TestParamInfo<CorpusCase> &info) {
  std::string name = info.param.path.substr(info.param.path.find('/') + 1);
  if (info.param.page > 0) name += "_page" + std::to_string(info.param.page);
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

int load_page(const std::string &path, int page) {
  const int before = pxv::next_dib_handle;
  int h;
  if (page == 0) {
    h = IMG_decompress_bitmap(path.c_str());
  } else {
    OFSTRUCT of;
    HFILE f = OpenFile(path.c_str(), &of, OF_READ);
    if (f == HFILE_ERROR) return PXV_ERR_READ;
    h = IMG_decompress_bitmap_fd(f, 0, page);
    _lclose(f);
  }
  if (h < 0)
    for (int slot = pxv::next_dib_handle - 1; slot >= before; --slot) IMG_delete_bitmap(slot);
  return h;
}

void expect_memory_load_like_file(const std::string &path) {
  const Bytes file = read_file(path);
  const int from_file = load_page(path), from_memory = IMG_decompress_bitmap_mem(file.data(), 0);
  ASSERT_GE(from_memory, 0);
  EXPECT_EQ(read_handle(from_memory).rows, read_handle(from_file).rows);
  IMG_delete_bitmap(from_memory);
  IMG_delete_bitmap(from_file);
}

std::string pixel_difference(const Rgb &ours, const Rgb &reference) {
  if (ours.width != reference.width || ours.height != reference.height)
    return "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + " vs " +
           std::to_string(reference.width) + "x" + std::to_string(reference.height);
  for (std::size_t i = 0; i < ours.pixels.size(); ++i) {
    if (ours.pixels[i] != reference.pixels[i]) {
      const std::size_t p = i / 3;
      std::ostringstream s;
      s << "pixel (" << p % ours.width << "," << p / ours.width << ") channel " << i % 3 << ": "
        << int(ours.pixels[i]) << " vs " << int(reference.pixels[i]);
      return s.str();
    }
  }
  return "";
}

// Empty when every colour of the reference always shows as one and the same colour of ours: the
// same picture under another colour table (which may give two indices one colour).
static std::string mapping_difference(const Rgb &ours, const Rgb &reference) {
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

Documented documented(const DocumentedDifferences &table, const CorpusCase &c) {
  for (const std::string &key : {c.path + "#" + std::to_string(c.page), c.path, c.file()}) {
    const auto found = table.find(key);
    if (found != table.end()) return found->second;
  }
  Documented d;
  if (c.malformed) d.outcome = Outcome::kLoadsOrFails;
  return d;
}

void run_corpus_case(const CorpusCase &c, const Documented &expected, const Compare &compare) {
  SCOPED_TRACE(c.path + " page " + std::to_string(c.page) + ": " + c.notes);
  SCOPED_TRACE(expected.why);
  const int handle = load_page(c.full_path(), c.page);
  switch (expected.outcome) {
    case Outcome::kRefused:
      EXPECT_TRUE(expected.code == 0 || handle == expected.code) << handle;
      EXPECT_LT(handle, 0);
      break;
    case Outcome::kLoadsOrFails:
      if (handle < 0) {
        EXPECT_TRUE(expected.code == 0 || handle == expected.code) << handle;
        EXPECT_TRUE(handle == PXV_ERR_NO_MEMORY || handle == PXV_ERR_DATA ||
                    handle == PXV_ERR_PAGE || handle == PXV_ERR_TYPE || handle == PXV_ERR_READ)
            << handle;
        break;
      }
      [[fallthrough]];
    case Outcome::kLoads: {
      ASSERT_GE(handle, 0);
      // Every byte of the DIB can be read and it is as big as its header says.
      const Rgb ours = handle_rgb(handle);
      EXPECT_EQ(ours.pixels.size(), std::size_t(ours.width) * ours.height * 3);
      if (expected.outcome == Outcome::kLoads && c.page == 0 && c.width != "-") {
        EXPECT_EQ(std::to_string(ours.width), c.width);
        EXPECT_EQ(std::to_string(ours.height), c.height);
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
      ASSERT_EQ(ours.width, ref.width);
      ASSERT_EQ(ours.height, ref.height);
      if (expected.outcome == Outcome::kSameUpToTable) {
        EXPECT_EQ(mapping_difference(ours, ref), "");
        EXPECT_NE(pixel_difference(ours, ref), "") << "now identical";
      } else if (compare) {
        compare(c, ours, ref);
      } else {
        EXPECT_EQ(pixel_difference(ours, ref), "");
      }
      break;
    }
  }
  if (handle >= 0) IMG_delete_bitmap(handle);
}

}  // namespace pxv_test
