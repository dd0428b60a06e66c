#include "corpus.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "core/image.h"

namespace pxv_test {

namespace {

std::vector<std::string> split_tabs(const std::string &line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

}  // namespace

std::string corpus_dir() { return PXV_CORPUS_DIR; }

std::string CorpusRow::file() const {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CorpusRow::full_path() const { return corpus_dir() + "/" + path; }

bool CorpusRow::has_feature(const std::string &feature) const {
  std::istringstream in(features);
  std::string item;
  while (std::getline(in, item, ','))
    if (item == feature) return true;
  return false;
}

std::vector<CorpusRow> corpus_rows(const std::string &format) {
  std::vector<CorpusRow> rows;
  const Bytes manifest = read_file(corpus_dir() + "/MANIFEST.tsv");
  std::istringstream in(std::string(manifest.begin(), manifest.end()));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() < 10 || f[1] != format) continue;
    CorpusRow row;
    row.path = f[0];
    row.format = f[1];
    row.features = f[2];
    row.width = f[3];
    row.height = f[4];
    row.pages = f[5];
    row.ref = f[6];
    row.malformed = f[9] == "yes";
    row.notes = f.size() > 10 ? f[10] : "";
    rows.push_back(row);
  }
  return rows;
}

std::string corpus_case_name(const CorpusRow &row) {
  std::string name;
  for (char c : row.file())
    name += (std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  return name;
}

bool read_reference(const CorpusRow &row, Rgb *out) {
  return row.has_reference() && read_pnm(corpus_dir() + "/" + row.ref, out);
}

CorpusComparison compare_with_reference(int handle, const CorpusRow &row) {
  CorpusComparison c;
  Rgb ref;
  if (!read_reference(row, &ref)) return c;
  c.loaded_reference = true;
  const Rgb ours = handle_rgb(handle);
  c.same_size = ours.width == ref.width && ours.height == ref.height;
  if (!c.same_size) return c;
  c.pixels = long(ref.width) * ref.height;
  for (long i = 0; i < c.pixels; ++i) {
    const std::uint8_t *a = &ours.pixels[3 * i];
    const std::uint8_t *b = &ref.pixels[3 * i];
    if (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) continue;
    if (c.differing++ == 0) {
      char text[128];
      std::snprintf(text, sizeof text, "%ld,%ld: ours %d %d %d, reference %d %d %d",
                    i % ref.width, i / ref.width, a[0], a[1], a[2], b[0], b[1], b[2]);
      c.first_difference = text;
    }
    c.differing_at.push_back(i);
  }
  return c;
}

void release_all_images() {
  for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
}

void PrintTo(const CorpusRow &row, std::ostream *out) { *out << row.path; }

}  // namespace pxv_test
