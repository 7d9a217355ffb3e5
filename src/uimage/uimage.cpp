#include "uimage/uimage.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "util/crc32.h"
#include "util/endian.h"

namespace rs {

namespace {

// Field offsets inside the header.
constexpr size_t kOffHcrc = 4, kOffTime = 8, kOffSize = 12, kOffLoad = 16, kOffEntry = 20, kOffDcrc = 24, kOffOs = 28,
                 kOffArch = 29, kOffType = 30, kOffComp = 31, kOffName = 32;

// The names the boot loader's tools print, by code; gaps are codes they do not
// name (they print "Unknown ..." for those, we print the number).
const char* const kOsNames[] = {
    "Invalid OS",
    "OpenBSD",
    "NetBSD",
    "FreeBSD",
    "4_4BSD",
    "Linux",
    "SVR4",
    "Esix",
    "Solaris",
    "Irix",
    "SCO",
    "Dell",
    "NCR",
    nullptr,
    "VxWorks",
    "pSOS",
    "QNX",
    "U-Boot",
    "RTEMS",
    nullptr,
    nullptr,
    "INTEGRITY",
    "Enea OSE",
    "Plan 9",
    "OpenRTOS",
    "ARM Trusted Firmware",
    "Trusted Execution Environment",
    "RISC-V OpenSBI",
    "EFI Firmware",
};
const char* const kArchNames[] = {
    "Invalid ARCH",  "Alpha",    "ARM",      "Intel x86",  "IA64",         "MIPS",    "MIPS 64 Bit",
    "PowerPC",       "IBM S390", "SuperH",   "SPARC",      "SPARC 64 Bit", "M68K",    nullptr,
    "MicroBlaze",    "NIOS II",  "Blackfin", "AVR32",      nullptr,        "Sandbox", "NDS32",
    "OpenRISC 1000", "AArch64",  "ARC",      "AMD x86_64", "Xtensa",       "RISC-V",
};
const char* const kTypeNames[] = {
    "Invalid Image",
    "Standalone Program",
    "Kernel Image",
    "RAMDisk Image",
    "Multi-File Image",
    "Firmware",
    "Script",
    "Filesystem Image",
    "Flat Device Tree",
    "Kirkwood Boot Image",
    "Freescale i.MX Boot Image",
    "Davinci UBL image",
    "TI OMAP SPL With GP CH",
    "Davinci AIS image",
    "Kernel Image (no loading done)",
    "Freescale PBL Boot Image",
    "Freescale MXS Boot Image",
    "TI Keystone SPL Image",
    "ATMEL ROM-Boot Image",
    "Altera SoCFPGA CV/AV preloader",
    "x86 setup.bin",
    "LPC32XX Boot Image",
    nullptr,
    "Rockchip Boot Image",
    "Rockchip SD Boot Image",
    "Rockchip SPI Boot Image",
    "Xilinx Zynq Boot Image",
    "Xilinx ZynqMP Boot Image",
    "Xilinx ZynqMP Boot Image (bif)",
    "FPGA Image",
    "Vybrid Boot Image",
    "Trusted Execution Environment Image",
    "Firmware with HABv4 IVT",
    "TI Power Management Micro-Controller Firmware",
    "STMicroelectronics STM32 Image",
    "Altera SoCFPGA A10 preloader",
    "MediaTek BootROM loadable Image",
    "NXP i.MX8M Boot Image",
    "NXP i.MX8 Boot Image",
    "Coprocessor Image",
    "Allwinner eGON Boot Image",
    "Allwinner TOC0 Boot Image",
};
const char* const kCompNames[] = {
    "uncompressed",   "gzip compressed", "bzip2 compressed", "lzma compressed",
    "lzo compressed", "lz4 compressed",  "zstd compressed",
};

template <size_t N>
std::string name_of(const char* const (&table)[N], uint8_t code) {
  if (code < N && table[code]) return table[code];
  return std::to_string(code);
}

void set_why(std::string* why, const std::string& text) {
  if (why) *why = text;
}

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// CRC of the header with its CRC field taken as zero, without copying the rest.
uint32_t header_crc_of(const uint8_t* h) {
  static const uint8_t zero[4] = {0, 0, 0, 0};
  uint32_t crc = crc32_update(0, h, kOffHcrc);
  crc = crc32_update(crc, zero, 4);
  return crc32_update(crc, h + kOffHcrc + 4, kUimageHeaderSize - kOffHcrc - 4);
}

bool is_multi_type(uint8_t type) { return type == kUimageTypeMulti || type == kUimageTypeScript; }

// Reads the size table of multi-file data at `data` (`len` bytes), whose first
// byte sits at `base` in the caller's buffer.
bool parse_parts(const uint8_t* data, size_t len, size_t base, std::vector<uimage_part>* parts, std::string* why) {
  parts->clear();
  size_t at = 0;
  std::vector<uint32_t> sizes;
  for (;;) {
    if (len - at < 4) {
      set_why(why, "multi-file size table has no end within the " + std::to_string(len) + " data bytes");
      return false;
    }
    uint32_t s = load_be32(data + at);
    at += 4;
    if (s == 0) break;
    sizes.push_back(s);
  }
  uint64_t off = at;
  for (size_t i = 0; i < sizes.size(); i++) {
    if (off + sizes[i] > len) {
      set_why(why, "multi-file part " + std::to_string(i) + " (" + std::to_string(sizes[i]) + " bytes at data offset " +
                       std::to_string(off) + ") runs past the " + std::to_string(len) + " data bytes");
      parts->clear();
      return false;
    }
    parts->push_back({size_t(base + off), sizes[i]});
    off += (uint64_t(sizes[i]) + 3) & ~uint64_t(3);
  }
  return true;
}

// The image of `old_header`'s fields around new data, size and CRCs rewritten.
void write_image(const uint8_t* old_header, const uint8_t* payload, size_t n, std::vector<uint8_t>* out) {
  out->assign(old_header, old_header + kUimageHeaderSize);
  out->insert(out->end(), payload, payload + n);
  uint8_t* h = out->data();
  store_be32(h + kOffSize, uint32_t(n));
  store_be32(h + kOffDcrc, crc32_parallel(payload, n));
  store_be32(h + kOffHcrc, header_crc_of(h));
}

std::string size_line(uint32_t size) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%u Bytes = %.2f KiB = %.2f MiB", size, double(size) / 1024.0,
                double(size) / (1024.0 * 1024.0));
  return buf;
}

}  // namespace

std::string uimage_os_name(uint8_t os) { return name_of(kOsNames, os); }
std::string uimage_arch_name(uint8_t arch) { return name_of(kArchNames, arch); }
std::string uimage_type_name(uint8_t type) { return name_of(kTypeNames, type); }
std::string uimage_comp_name(uint8_t comp) { return name_of(kCompNames, comp); }

bool uimage_parse(const uint8_t* data, size_t len, uimage_info* info, std::string* why) {
  *info = uimage_info();
  if (len < kUimageHeaderSize) {
    set_why(why, "truncated header: " + std::to_string(len) + " of " + std::to_string(kUimageHeaderSize) + " bytes");
    return false;
  }
  info->magic = load_be32(data);
  if (info->magic != kUimageMagic) {
    set_why(why, "bad magic " + hex32(info->magic) + " (want " + hex32(kUimageMagic) + ")");
    return false;
  }
  info->header_crc = load_be32(data + kOffHcrc);
  info->time = load_be32(data + kOffTime);
  info->size = load_be32(data + kOffSize);
  info->load = load_be32(data + kOffLoad);
  info->entry = load_be32(data + kOffEntry);
  info->data_crc = load_be32(data + kOffDcrc);
  info->os = data[kOffOs];
  info->arch = data[kOffArch];
  info->type = data[kOffType];
  info->comp = data[kOffComp];
  const char* name = reinterpret_cast<const char*>(data + kOffName);
  info->name.assign(name, strnlen(name, kUimageNameSize));
  info->header_crc_computed = header_crc_of(data);
  info->header_crc_ok = info->header_crc_computed == info->header_crc;
  info->multi = is_multi_type(info->type);

  if (info->size > len - kUimageHeaderSize) {
    set_why(why, "data size " + std::to_string(info->size) +
                     " runs past the end: " + std::to_string(len - kUimageHeaderSize) + " bytes follow the header");
    return false;
  }
  const uint8_t* body = data + kUimageHeaderSize;
  info->data_crc_computed = crc32_parallel(body, info->size);
  info->data_crc_ok = info->data_crc_computed == info->data_crc;
  if (info->multi && !parse_parts(body, info->size, kUimageHeaderSize, &info->parts, why)) return false;

  std::string complaint;
  if (!info->header_crc_ok)
    complaint = "header CRC " + hex32(info->header_crc) + " does not match the header (" +
                hex32(info->header_crc_computed) + ")";
  if (!info->data_crc_ok) {
    if (!complaint.empty()) complaint += "; ";
    complaint +=
        "data CRC " + hex32(info->data_crc) + " does not match the data (" + hex32(info->data_crc_computed) + ")";
  }
  set_why(why, complaint);
  return true;
}

std::string uimage_describe(const uimage_info& info) {
  std::string s;
  s += "Image Name:   " + info.name + "\n";
  std::time_t t = std::time_t(info.time);
  std::tm tm{};
  char when[64] = "";
  if (gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &tm);
  s += std::string("Created:      ") + when + "\n";
  s += "Image Type:   " + uimage_arch_name(info.arch) + " " + uimage_os_name(info.os) + " " +
       uimage_type_name(info.type) + " (" + uimage_comp_name(info.comp) + ")\n";
  s += "Data Size:    " + size_line(info.size) + "\n";
  char addr[64];
  std::snprintf(addr, sizeof addr, "Load Address: %08x\nEntry Point:  %08x\n", info.load, info.entry);
  s += addr;
  if (info.multi) {
    s += "Contents:\n";
    for (size_t i = 0; i < info.parts.size(); i++)
      s += "   Image " + std::to_string(i) + ": " + size_line(info.parts[i].size) + "\n";
  }
  s += std::string("Header CRC: ") + (info.header_crc_ok ? "ok" : "bad") + "\n";
  s += std::string("Data CRC: ") + (info.data_crc_ok ? "ok" : "bad") + "\n";
  return s;
}

bool uimage_replace_payload(const uint8_t* old, size_t old_len, const uint8_t* payload, size_t n,
                            std::vector<uint8_t>* out, std::string* why) {
  uimage_info info;
  std::string reason;
  if (!uimage_parse(old, old_len, &info, &reason)) {
    set_why(why, reason);
    return false;
  }
  if (!info.header_crc_ok) {
    set_why(why, "header CRC " + hex32(info.header_crc) + " does not match the header: its fields cannot be kept");
    return false;
  }
  if (n > UINT32_MAX) {
    set_why(why, "payload of " + std::to_string(n) + " bytes does not fit the 32-bit data size");
    return false;
  }
  if (info.multi) {
    std::vector<uimage_part> parts;
    if (!parse_parts(payload, n, 0, &parts, &reason)) {
      set_why(why, "payload of a " + uimage_type_name(info.type) + ": " + reason);
      return false;
    }
  }
  write_image(old, payload, n, out);
  set_why(why, "");
  return true;
}

std::vector<uint8_t> uimage_multi_data(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> d(4 * (parts.size() + 1));
  for (size_t i = 0; i < parts.size(); i++) store_be32(d.data() + 4 * i, uint32_t(parts[i].size()));
  for (size_t i = 0; i < parts.size(); i++) {
    d.insert(d.end(), parts[i].begin(), parts[i].end());
    if (i + 1 < parts.size()) d.resize((d.size() + 3) & ~size_t(3), 0);
  }
  return d;
}

bool uimage_replace_part(const uint8_t* old, size_t old_len, size_t index, const uint8_t* payload, size_t n,
                         std::vector<uint8_t>* out, std::string* why) {
  uimage_info info;
  std::string reason;
  if (!uimage_parse(old, old_len, &info, &reason)) {
    set_why(why, reason);
    return false;
  }
  if (!info.multi) {
    set_why(why, "a " + uimage_type_name(info.type) + " has no parts");
    return false;
  }
  if (index >= info.parts.size()) {
    set_why(why, "no part " + std::to_string(index) + ": the image has " + std::to_string(info.parts.size()));
    return false;
  }
  if (n == 0) {
    // A zero size would end the table and drop the parts after it.
    set_why(why, "an empty part cannot be stored: a zero size ends the size table");
    return false;
  }
  std::vector<std::vector<uint8_t>> parts;
  for (size_t i = 0; i < info.parts.size(); i++) {
    if (i == index)
      parts.emplace_back(payload, payload + n);
    else
      parts.emplace_back(old + info.parts[i].offset, old + info.parts[i].offset + info.parts[i].size);
  }
  std::vector<uint8_t> d = uimage_multi_data(parts);
  return uimage_replace_payload(old, old_len, d.data(), d.size(), out, why);
}

std::vector<size_t> uimage_find(const uint8_t* data, size_t len, size_t align) {
  std::vector<size_t> found;
  if (align == 0) align = 1;
  static const uint8_t magic[4] = {0x27, 0x05, 0x19, 0x56};
  for (size_t at = 0; len - at >= kUimageHeaderSize;) {
    if (align == 1) {
      // Byte steps over a whole flash image: let memmem skip to the next magic.
      const void* hit = memmem(data + at, len - at, magic, sizeof magic);
      if (!hit) break;
      at = size_t(static_cast<const uint8_t*>(hit) - data);
      if (len - at < kUimageHeaderSize) break;
    }
    if (load_be32(data + at) == kUimageMagic && header_crc_of(data + at) == load_be32(data + at + kOffHcrc))
      found.push_back(at);
    if (len - at - kUimageHeaderSize < align) break;  // also keeps `at` from wrapping
    at += align;
  }
  return found;
}

}  // namespace rs
