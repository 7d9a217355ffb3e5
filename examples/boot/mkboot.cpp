// rs_mkboot: writes a boot-loader-like blob for the sample image's BOOT
// partition. Apart from filler code it holds the two records KeyPorter works
// on: the loader key block with its key-code list and the LED glyph table.
//
// Layout (offsets in bytes, size 256 KiB):
//   0x00000  header: branch word, "RSBOOT01", code size, load address
//   0x00040  pseudo-code words up to 0x2F000
//   0x2F000  loader key block: 04 00 00 2C FF 00, 120 opaque IR settings,
//            six 0xFF; then 16 key-code slots (LE32): 8 codes, 8 end marks
//            0x0000FFFF
//   0x2F400  LED glyph table: eight 0x11, 64 glyph bytes (n at +53, o at +57),
//            eight 0x22
//   0x2F800  message strings
//   0x30000  erased flash (0xFF) to the end
// The filler never holds the bytes 0x2C or 0x11, so neither record can be
// found anywhere but at its place.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "util/endian.h"
#include "util/fileio.h"

namespace {

constexpr size_t kSize = 256 * 1024;
constexpr size_t kCodeStart = 0x40;
constexpr size_t kKeyBlock = 0x2F000;
constexpr size_t kGlyphTable = 0x2F400;
constexpr size_t kStrings = 0x2F800;
constexpr size_t kErased = 0x30000;

// NEC-style remote codes (address, inverted command, command) for power,
// menu, exit, ok, up, down, left and right.
constexpr uint32_t kKeyCodes[] = {0x00FF12ED, 0x00FF1AE5, 0x00FF1EE1, 0x00FF0AF5,
                                  0x00FF06F9, 0x00FF0EF1, 0x00FF04FB, 0x00FF08F7};

// Seven-segment glyphs with a=0x01 ... g=0x40, p=0x80.
constexpr uint8_t A = 0x01, B = 0x02, C = 0x04, D = 0x08, E = 0x10, F = 0x20, G = 0x40;

void put_code(std::vector<uint8_t>& img) {
  // Words shaped like a RISC instruction stream: a few common opcodes in the
  // top bits, register and immediate fields from a fixed-seed generator.
  static const uint32_t opcodes[] = {0x8C000000, 0xAC000000, 0x24000000, 0x00000021,
                                     0x0C000000, 0x10000000, 0x3C000000, 0x34000000};
  uint32_t state = 0x1BADB002;
  for (size_t at = kCodeStart; at + 4 <= kKeyBlock; at += 4) {
    state = state * 1103515245u + 12345u;
    uint32_t word = opcodes[(state >> 28) & 7] | ((state >> 3) & 0x03FFFFFF);
    rs::store_le32(img.data() + at, word);
    for (size_t i = 0; i < 4; ++i)
      if (img[at + i] == 0x2C || img[at + i] == 0x11) img[at + i] ^= 0x40;
  }
}

void put_key_block(std::vector<uint8_t>& img) {
  uint8_t* b = img.data() + kKeyBlock;
  const uint8_t sig[] = {0x04, 0x00, 0x00, 0x2C, 0xFF, 0x00};
  std::memcpy(b, sig, sizeof sig);
  // Opaque receiver settings: protocol, carrier, timings, repeat rules.
  for (size_t i = 6; i < 126; ++i) b[i] = uint8_t((i * 37 + 5) & 0x7F);
  std::memset(b + 126, 0xFF, 6);
  size_t at = kKeyBlock + 132;
  for (uint32_t code : kKeyCodes) {
    rs::store_le32(img.data() + at, code);
    at += 4;
  }
  // The loader keeps 16 slots; unused ones hold the end mark.
  for (size_t slot = std::size(kKeyCodes); slot < 16; ++slot, at += 4) rs::store_le32(img.data() + at, 0x0000FFFF);
}

void put_glyph_table(std::vector<uint8_t>& img) {
  uint8_t* t = img.data() + kGlyphTable;
  std::memset(t, 0x11, 8);
  // 0-9, A-Z as far as seven segments show them, then the lower-case shapes
  // the loader prints ("boot", "on", "run").
  const uint8_t digits[] = {A | B | C | D | E | F, B | C,         A | B | D | E | G,
                            A | B | C | D | G,     B | C | F | G, A | C | D | F | G,
                            A | C | D | E | F | G, A | B | C,     A | B | C | D | E | F | G,
                            A | B | C | D | F | G};
  std::memcpy(t + 8, digits, sizeof digits);
  const uint8_t letters[] = {A | B | C | E | F | G,
                             C | D | E | F | G,
                             A | D | E | F,
                             B | C | D | E | G,
                             A | D | E | F | G,
                             A | E | F | G,
                             A | C | D | E | F,
                             B | C | E | F | G,
                             E | F,
                             B | C | D | E,
                             A | C | E | F | G,
                             D | E | F,
                             A | C | E,
                             C | E | G,
                             C | D | E | G,
                             A | B | E | F | G,
                             A | B | C | F | G,
                             E | G,
                             A | C | D | F,
                             D | E | F | G,
                             C | D | E,
                             B | C | D | E | F,
                             B | D | F,
                             B | C | E | F | G,
                             B | C | D | F | G,
                             A | B | D | E};
  std::memcpy(t + 18, letters, sizeof letters);  // +18 .. +43
  t[44] = 0;                                     // blank
  t[45] = G;                                     // minus
  t[53] = C | E | G;                             // n
  t[57] = C | D | E | G;                         // o
  t[58] = E | G;                                 // r
  t[59] = C | D | E;                             // u
  t[60] = D | E | F | G;                         // t
  t[61] = C | D | E | F | G;                     // b
  std::memset(t + 72, 0x22, 8);
}

void put_strings(std::vector<uint8_t>& img) {
  static const char* const text[] = {"boot: checking flash table\n", "boot: kernel crc error\n",
                                     "boot: starting kernel at 0x%08x\n", "boot: upgrade mode\n",
                                     "boot: front panel ready\n"};
  size_t at = kStrings;
  for (const char* s : text) {
    size_t n = std::strlen(s) + 1;
    std::memcpy(img.data() + at, s, n);
    at += n;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out file>\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> img(kSize, 0x00);
  std::memset(img.data() + kErased, 0xFF, kSize - kErased);
  rs::store_le32(img.data(), 0x10000010);  // branch over the header
  std::memcpy(img.data() + 8, "RSBOOT01", 8);
  rs::store_le32(img.data() + 16, uint32_t(kKeyBlock - kCodeStart));
  rs::store_le32(img.data() + 20, 0x80000000);
  put_code(img);
  put_key_block(img);
  put_glyph_table(img);
  put_strings(img);
  if (!rs::write_file_atomic(argv[1], img.data(), img.size())) {
    std::fprintf(stderr, "error: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
