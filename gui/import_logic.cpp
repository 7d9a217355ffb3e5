#include "import_logic.h"

#include <QDomDocument>
#include <QDomElement>
#include <QString>

namespace keyporter {

namespace {

constexpr uint8_t kSourceSig[] = {0x04, 0x00, 0x00, 0x2C, 0xFF};
constexpr uint8_t kDestSig[] = {0x04, 0x00, 0x00, 0x2C, 0xFF, 0x00};
constexpr uint8_t kGlyphMarker[] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
constexpr size_t kBlockEnd = 126;  // six 0xFF bytes from here to the block's end

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

bool all_ff(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

bool all_22(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0x22) return false;
  return true;
}

// A found offset the callers accept: an occurrence at 0 counts as none.
template <size_t N>
std::optional<size_t> locate(const uint8_t (&pat)[N], const std::vector<uint8_t>& data) {
  long at = find_pattern(pat, long(N), data.data(), long(data.size()));
  if (at <= 0) return std::nullopt;
  return size_t(at);
}

int segment_index(const QString& name) {
  static const char* const names[] = {"BIT_A", "BIT_B", "BIT_C", "BIT_D", "BIT_E", "BIT_F", "BIT_G", "BIT_P"};
  for (int i = 0; i < 8; ++i)
    if (name == QLatin1String(names[i])) return i;
  return -1;
}

}  // namespace

long find_pattern(const uint8_t* pat, long pat_len, const uint8_t* data, long data_len) {
  if (data_len <= 0 || pat_len <= 0 || !pat || !data) return -1;
  std::vector<long> fail(size_t(pat_len) + 1);
  fail[0] = -1;
  for (long i = 0, k = -1; i < pat_len;) {
    while (k >= 0 && pat[i] != pat[k]) k = fail[size_t(k)];
    ++i;
    ++k;
    fail[size_t(i)] = k;
  }
  for (long i = 0, k = 0; i < data_len; ++i) {
    while (k >= 0 && data[i] != pat[k]) k = fail[size_t(k)];
    if (++k == pat_len) return i - pat_len + 1;
  }
  return -1;
}

std::optional<LoaderKeys> find_loader_keys(const std::vector<uint8_t>& boot) {
  auto at = locate(kSourceSig, boot);
  if (!at || boot.size() - *at < kLoaderBlockSize) return std::nullopt;
  const uint8_t* block = boot.data() + *at;
  if (!all_ff(block + kBlockEnd, kLoaderBlockSize - kBlockEnd)) return std::nullopt;

  LoaderKeys keys;
  std::copy(block, block + kLoaderBlockSize, keys.block.begin());
  keys.codes.fill(kKeyEnd);
  size_t pos = *at + kLoaderBlockSize;
  while (keys.count < kMaxKeyCodes && boot.size() - pos >= 4) {
    uint32_t code = le32(boot.data() + pos);
    if (code == kKeyEnd) break;
    keys.codes[keys.count++] = code;
    pos += 4;
  }
  if (keys.count == 0) return std::nullopt;
  return keys;
}

bool parse_panel_xml(const QByteArray& xml, PanelLeds& leds) {
  QDomDocument doc;
  if (!doc.setContent(xml)) return false;
  QDomElement root = doc.documentElement();
  if (root.tagName() != QLatin1String("config")) return false;

  for (QDomElement group = root.firstChildElement(QStringLiteral("group")); !group.isNull();
       group = group.nextSiblingElement(QStringLiteral("group"))) {
    const QString name = group.attribute(QStringLiteral("name"));
    if (name == QLatin1String("led converse")) {
      QDomElement first = group.firstChildElement();
      if (!first.isNull()) leds.converse = first.attribute(QStringLiteral("value")).trimmed().toInt();
    } else if (name == QLatin1String("led value")) {
      for (QDomElement e = group.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        int seg = segment_index(e.attribute(QStringLiteral("name")));
        if (seg < 0) continue;
        leds.segments[size_t(seg)] = uint8_t(e.text().trimmed().toUInt(nullptr, 16) & 0xFF);
        if (seg == BIT_A) leds.value_found = true;
      }
    }
  }
  return true;
}

Glyphs compute_glyphs(const PanelLeds& leds) {
  const auto& s = leds.segments;
  Glyphs g;
  g.n = uint8_t(s[BIT_C] | s[BIT_E] | s[BIT_G]);
  g.o = uint8_t(s[BIT_C] | s[BIT_D] | s[BIT_E] | s[BIT_G]);
  if (leds.converse != 0) {
    g.n = uint8_t(~g.n);
    g.o = uint8_t(~g.o);
  }
  return g;
}

PatchResult patch_boot(std::vector<uint8_t>& boot, const LoaderKeys& keys, const PanelLeds* leds) {
  // The rewritten block is 196 bytes long; one that would run past the end of
  // the boot loader is refused rather than written out of bounds.
  auto block = locate(kDestSig, boot);
  if (!block || boot.size() - *block < kPatchedBlockSize ||
      !all_ff(boot.data() + *block + kBlockEnd, kLoaderBlockSize - kBlockEnd))
    return PatchResult::no_key_block;

  // Patched in a copy so that a refusal leaves the caller's bytes alone; the
  // glyph marker is looked for after the block is in place.
  std::vector<uint8_t> work = boot;
  uint8_t* out = work.data() + *block;
  std::copy(keys.block.begin(), keys.block.end(), out);
  for (size_t i = 0; i < kKeySlots; ++i) put_le32(out + kLoaderBlockSize + 4 * i, keys.codes[i]);

  if (leds && leds->value_found) {
    auto marker = locate(kGlyphMarker, work);
    if (!marker || work.size() - *marker < kGlyphTableSize || !all_22(work.data() + *marker + 72, 8))
      return PatchResult::no_glyph_table;
    Glyphs g = compute_glyphs(*leds);
    work[*marker + kGlyphN] = g.n;
    work[*marker + kGlyphO] = g.o;
  }
  boot.swap(work);
  return PatchResult::ok;
}

}  // namespace keyporter
