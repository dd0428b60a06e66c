/* The pixels this library's JPEG reader must give: libjpeg's entropy decoding and dequantised
   coefficients, then the reader's own arithmetic, which is not libjpeg's: an inverse transform
   through a 16-bit cosine table with 15-bit shifts and samples limited to -127 ... 127, chroma
   replicated over the luma sampling, and the colour constants 1.9375, 0.377, 0.554 and 1.087 as
   1024ths. Usage: jpeg_reference IN.jpg OUT.ppm [IN OUT ...]; writes binary PPMs. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <jpeglib.h>

static short table[8][8]; /* table[x][u] = C(u) cos((2x + 1) u pi / 16) x 32768, halves away from 0 */

static void inverse(const JCOEF *in, const JQUANT_TBL *q, signed char *out, int stride) {
  short x[64], temp[64];
  for (int k = 0; k < 64; ++k) x[k] = (short)(in[k] * q->quantval[k]);
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 8; ++c) {
      int s = 16384;
      for (int u = 0; u < 8; ++u) s += x[8 * i + u] * table[c][u];
      temp[8 * i + c] = (short)(s >> 15);
    }
  for (int c = 0; c < 8; ++c)
    for (int r = 0; r < 8; ++r) {
      int s = 16384;
      for (int u = 0; u < 8; ++u) s += temp[8 * u + c] * table[r][u];
      s >>= 15;
      out[r * stride + c] = (signed char)(s < -127 ? -127 : s > 127 ? 127 : s);
    }
}

static int clamp(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

static int convert(const char *from, const char *to) {
  struct jpeg_decompress_struct d;
  struct jpeg_error_mgr e;
  FILE *in = fopen(from, "rb"), *out = fopen(to, "wb");
  if (!in || !out) return 1;
  d.err = jpeg_std_error(&e);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, in);
  jpeg_read_header(&d, TRUE);
  jvirt_barray_ptr *coefficients = jpeg_read_coefficients(&d);
  const int n = d.num_components, w = d.image_width, h = d.image_height;
  signed char *plane[3];
  int stride[3];
  for (int c = 0; c < n && c < 3; ++c) {
    jpeg_component_info *k = &d.comp_info[c];
    const int bw = (int)k->width_in_blocks, bh = (int)k->height_in_blocks;
    stride[c] = 8 * bw;
    plane[c] = malloc((size_t)stride[c] * 8 * bh);
    for (int by = 0; by < bh; ++by) {
      JBLOCKARRAY row = d.mem->access_virt_barray((j_common_ptr)&d, coefficients[c], by, 1, FALSE);
      for (int bx = 0; bx < bw; ++bx) inverse(row[0][bx], k->quant_table, plane[c] + 8 * by * stride[c] + 8 * bx, stride[c]);
    }
  }
  const int sh = d.comp_info[0].h_samp_factor, sv = d.comp_info[0].v_samp_factor;
  fprintf(out, "P6\n%d %d\n255\n", w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int luma = plane[0][y * stride[0] + x] + 128;
      if (n == 1) {
        for (int i = 0; i < 3; ++i) fputc(clamp(luma), out);
        continue;
      }
      const int at = y / sv * stride[1] + x / sh, cb = plane[1][at], cr = plane[2][at];
      fputc(clamp(luma + ((1113 * cr) >> 10)), out);
      fputc(clamp(luma - ((386 * cb) >> 10) - ((567 * cr) >> 10)), out);
      fputc(clamp(luma + ((1984 * cb) >> 10)), out);
    }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  for (int c = 0; c < n && c < 3; ++c) free(plane[c]);
  fclose(in);
  return fclose(out) != 0;
}

int main(int argc, char **argv) {
  const double pi = acos(-1.0);
  for (int x = 0; x < 8; ++x)
    for (int u = 0; u < 8; ++u) table[x][u] = (short)lround((u ? 0.5 : 0.5 / sqrt(2.0)) * cos((2 * x + 1) * u * pi / 16) * 32768);
  for (int i = 1; i + 1 < argc; i += 2)
    if (convert(argv[i], argv[i + 1])) return 1;
  return 0;
}
