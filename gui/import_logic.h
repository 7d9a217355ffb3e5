// What KeyPorter takes from a source boot loader and panel.xml and how it
// patches a destination boot loader. Pure functions on byte buffers so that
// every rule can be checked without a window or an image library.
#pragma once
#include <QByteArray>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace keyporter {

inline constexpr size_t kLoaderBlockSize = 132;
inline constexpr size_t kKeySlots = 16;
inline constexpr size_t kMaxKeyCodes = 15;  // the last slot always keeps the end mark
inline constexpr uint32_t kKeyEnd = 0x0000FFFF;
inline constexpr size_t kPatchedBlockSize = kLoaderBlockSize + 4 * kKeySlots;
inline constexpr size_t kGlyphTableSize = 80;  // marker through the second end word
inline constexpr size_t kGlyphN = 53;          // lower-case n: segments C, E, G
inline constexpr size_t kGlyphO = 57;          // lower-case o: segments C, D, E, G

// Segment order in PanelLeds::segments.
enum Segment { BIT_A, BIT_B, BIT_C, BIT_D, BIT_E, BIT_F, BIT_G, BIT_P };

// First offset of `pat` in `data` (Knuth-Morris-Pratt), or -1. A data length
// of 0 or less, or an empty pattern, gives -1.
long find_pattern(const uint8_t* pat, long pat_len, const uint8_t* data, long data_len);

// The loader key block and the key codes that follow it in a boot loader.
struct LoaderKeys {
  std::array<uint8_t, kLoaderBlockSize> block{};
  std::array<uint32_t, kKeySlots> codes{};  // unused slots hold kKeyEnd
  size_t count = 0;                         // codes taken
};

// Finds the block by its 5-byte signature (an occurrence at offset 0 counts as
// none); nullopt unless the block lies wholly in `boot`, ends in six 0xFF
// bytes and is followed by at least one key code.
std::optional<LoaderKeys> find_loader_keys(const std::vector<uint8_t>& boot);

// LED settings read from panel.xml. Values survive from one panel.xml to the
// next unless the new file names them.
struct PanelLeds {
  std::array<uint8_t, 8> segments{};
  int32_t converse = 0;
  bool value_found = false;  // a BIT_A entry was seen
};

// Reads the "led converse" and "led value" groups into `leds`. False (and
// `leds` untouched) when the text is not well-formed XML or its root is not
// "config".
bool parse_panel_xml(const QByteArray& xml, PanelLeds& leds);

struct Glyphs {
  uint8_t n = 0;  // byte at marker offset 53
  uint8_t o = 0;  // byte at marker offset 57
};
Glyphs compute_glyphs(const PanelLeds& leds);

enum class PatchResult { ok, no_key_block, no_glyph_table };

// Writes the key block and its 16 code slots over the destination block found
// by its 6-byte signature and, when `leds` is given, the two glyph bytes into
// the LED glyph table. Everything is checked before the first byte changes:
// a refused buffer is left exactly as it was.
PatchResult patch_boot(std::vector<uint8_t>& boot, const LoaderKeys& keys, const PanelLeds* leds);

}  // namespace keyporter
