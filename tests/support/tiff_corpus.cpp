#include "support/tiff_corpus.h"

#include <fstream>
#include <sstream>

#include "core/image.h"
#include "pxvlib10.h"

namespace pxv_test {

std::vector<CorpusRow> corpus_rows(const std::vector<std::string> &formats) {
  std::vector<CorpusRow> rows;
  std::ifstream in(std::string(PXV_CORPUS_DIR) + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // the header row
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    // path format features width height pages ref source license malformed notes
    if (f.size() < 10) continue;
    bool wanted = false;
    for (const std::string &format : formats) wanted |= f[1] == format;
    if (!wanted) continue;
    CorpusRow row;
    row.path = f[0];
    row.format = f[1];
    row.pages = std::atoi(f[5].c_str());
    row.ref = f[6];
    row.malformed = f[9] == "yes";
    rows.push_back(row);
  }
  return rows;
}

int load_page(const std::string &path, int page) {
  if (page == 0) return IMG_decompress_bitmap(path.c_str());
  OFSTRUCT of;
  HFILE file = OpenFile(path.c_str(), &of, OF_READ);
  if (file == HFILE_ERROR) return PXV_ERR_READ;
  int handle = IMG_decompress_bitmap_fd(file, 0, page);
  _lclose(file);
  return handle;
}

void release_all_slots() {
  for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
}

std::size_t first_difference(const Rgb &a, const Rgb &b) {
  if (a.pixels.size() != b.pixels.size()) return 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i)
    if (a.pixels[i] != b.pixels[i]) return i;
  return std::string::npos;
}

}  // namespace pxv_test
