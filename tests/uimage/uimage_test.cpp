// The header codec against the boot loader's own tools: images mkimage makes
// are read as dumpimage lists them, and images we rewrite are accepted and
// extracted by dumpimage (and equal what mkimage makes of the same data).
#include "uimage/uimage.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "testutil.h"
#include "util/endian.h"

namespace {

using rstest::run_command;
using rstest::shell_quote;

constexpr const char* kEpoch = "1700000000";  // fixes mkimage's creation time

bool have_tools() { return rstest::have_tool("mkimage") && rstest::have_tool("dumpimage"); }

// mkimage `args` over `files` (written to `dir`, joined by ':'); the image bytes.
std::vector<uint8_t> mkimage(const rstest::TempDir& dir, const std::string& args,
                             const std::vector<std::vector<uint8_t>>& files) {
  std::string list;
  for (size_t i = 0; i < files.size(); i++) {
    std::string f = dir.file("in" + std::to_string(i));
    rstest::write_bytes(f, files[i]);
    list += (i ? ":" : "") + f;
  }
  std::string out = dir.file("made.img");
  auto r = run_command(std::string("SOURCE_DATE_EPOCH=") + kEpoch + " mkimage " + args + " -d " + shell_quote(list) +
                       " " + shell_quote(out));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return rstest::read_bytes(out);
}

// dumpimage's listing of `img`, as the codec's listing would be without its CRC lines.
std::string dumpimage_list(const rstest::TempDir& dir, const std::vector<uint8_t>& img) {
  std::string f = dir.file("listed.img");
  rstest::write_bytes(f, img);
  auto r = run_command("TZ=UTC dumpimage -l " + shell_quote(f));
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string without_crc_lines(const std::string& listing) {
  std::string crc = "Header CRC: ";
  return listing.substr(0, listing.find(crc));
}

// dumpimage's extraction of part `pos` of `img`, read as `type`.
std::vector<uint8_t> dumpimage_part(const rstest::TempDir& dir, const std::vector<uint8_t>& img, const char* type,
                                    int pos) {
  std::string f = dir.file("x.img"), o = dir.file("x.out");
  rstest::write_bytes(f, img);
  ::unlink(o.c_str());
  auto r = run_command(std::string("dumpimage -T ") + type + " -p " + std::to_string(pos) + " -o " + shell_quote(o) +
                       " " + shell_quote(f));
  EXPECT_EQ(r.status, 0) << r.err;
  return rstest::read_bytes(o);
}

rs::uimage_info parsed(const std::vector<uint8_t>& img) {
  rs::uimage_info info;
  std::string why = "untouched";
  EXPECT_TRUE(rs::uimage_parse(img.data(), img.size(), &info, &why)) << why;
  EXPECT_EQ(why, "");
  return info;
}

// Sets a header's CRC field to the CRC of its bytes (zlib, not the codec).
void seal(std::vector<uint8_t>& img) {
  rs::store_be32(img.data() + 4, 0);
  rs::store_be32(img.data() + 4, uint32_t(crc32(0, img.data(), 64)));
}

struct Made {
  const char* what;
  const char* args;
  std::vector<size_t> sizes;  // one file each (a multi-file image when several)
};

class FromMkimage : public ::testing::TestWithParam<Made> {};

TEST_P(FromMkimage, ReadAsDumpimageListsIt) {
  if (!have_tools()) GTEST_SKIP() << "mkimage/dumpimage (u-boot-tools) not installed";
  rstest::TempDir dir;
  std::vector<std::vector<uint8_t>> files;
  for (size_t i = 0; i < GetParam().sizes.size(); i++)
    files.push_back(rstest::random_bytes(GetParam().sizes[i], uint32_t(7 + i)));
  std::vector<uint8_t> img = mkimage(dir, GetParam().args, files);
  rs::uimage_info info = parsed(img);
  EXPECT_TRUE(info.header_crc_ok);
  EXPECT_TRUE(info.data_crc_ok);
  EXPECT_EQ(info.time, 1700000000u);
  EXPECT_EQ(info.size + 64, img.size());
  std::string ours = rs::uimage_describe(info);
  EXPECT_EQ(without_crc_lines(ours), dumpimage_list(dir, img));
  EXPECT_NE(ours.find("Header CRC: ok\nData CRC: ok\n"), std::string::npos) << ours;
  if (info.multi) {
    ASSERT_EQ(info.parts.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) {
      std::vector<uint8_t> part(img.begin() + info.parts[i].offset,
                                img.begin() + info.parts[i].offset + info.parts[i].size);
      EXPECT_EQ(part, files[i]) << "part " << i;
    }
  } else {
    EXPECT_TRUE(info.parts.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Uimage, FromMkimage,
    ::testing::Values(
        Made{"mips_kernel_gzip",
             "-A mips -O linux -T kernel -C gzip -a 0x80010000 -e 0x80010400 -n 'my kernel'",
             {3029}},
        Made{"arm_kernel_none", "-A arm -O linux -T kernel -C none -a 0x8000 -e 0x8000 -n zImage", {4096}},
        Made{"arm_invalid_os_firmware", "-A arm -O invalid -T firmware -C none -n fw", {5}},
        Made{"ramdisk_lzma", "-A powerpc -O linux -T ramdisk -C lzma -n initrd", {777}},
        // A name of 32 bytes or more fills the field with no NUL after it.
        Made{"name_fills_field", "-A mips -O linux -T kernel -C none -n 0123456789abcdef0123456789abcdefXYZ", {10}},
        // Odd part sizes: every part but the last padded to 4 bytes.
        Made{"multi_odd_parts", "-A arm -O linux -T multi -C none -a 0 -e 0 -n multi", {3001, 5, 1, 7}},
        Made{"script", "-A arm -O linux -T script -C none -n boot.scr", {123}}),
    [](const auto& p) { return std::string(p.param.what); });

// Every code of every field, named as dumpimage names it (its "Unknown ..." as
// our number). All four fields carry the same code: one listing checks four names.
TEST(Uimage, CodeNamesAsDumpimagePrintsThem) {
  if (!have_tools()) GTEST_SKIP() << "mkimage/dumpimage (u-boot-tools) not installed";
  rstest::TempDir dir;
  // Four zero bytes: data of any type, an empty size table to the multi-file ones.
  std::vector<uint8_t> img = mkimage(dir, "-A arm -O linux -T kernel -C none -n codes", {{0, 0, 0, 0}});
  for (int code = 0; code < 48; code++) {
    std::vector<uint8_t> v = img;
    memset(v.data() + 28, code, 4);
    seal(v);
    std::string listed = dumpimage_list(dir, v);
    size_t at = listed.find("Image Type:   ");
    ASSERT_NE(at, std::string::npos) << listed;
    std::string expect = listed.substr(at + 14, listed.find('\n', at) - at - 14);
    for (const char* unknown : {"Unknown OS", "Unknown Architecture", "Unknown Image", "Unknown Compression"}) {
      size_t u = expect.find(unknown);
      if (u != std::string::npos) expect.replace(u, strlen(unknown), std::to_string(code));
    }
    rs::uimage_info info = parsed(v);
    EXPECT_EQ(rs::uimage_arch_name(info.arch) + " " + rs::uimage_os_name(info.os) + " " +
                  rs::uimage_type_name(info.type) + " (" + rs::uimage_comp_name(info.comp) + ")",
              expect)
        << "code " << code;
  }
}

// The replaced image is byte for byte what mkimage makes of the new data with
// the same settings and time, and dumpimage lists and extracts it.
TEST(Uimage, ReplacedPayloadIsWhatMkimageMakes) {
  if (!have_tools()) GTEST_SKIP() << "mkimage/dumpimage (u-boot-tools) not installed";
  rstest::TempDir dir;
  const std::string args = "-A mips -O linux -T kernel -C gzip -a 0x80010000 -e 0x80010400 -n 'box kernel'";
  std::vector<uint8_t> old_img = mkimage(dir, args, {rstest::random_bytes(5000, 1)});
  for (size_t n : {size_t(0), size_t(1), size_t(3029), size_t(70001)}) {
    std::vector<uint8_t> payload = rstest::random_bytes(n, uint32_t(n));
    std::vector<uint8_t> out;
    std::string why;
    // Bytes after the image (the rest of a flash partition) are not carried over.
    std::vector<uint8_t> in_partition = old_img;
    in_partition.resize(old_img.size() + 300, 0xff);
    ASSERT_TRUE(rs::uimage_replace_payload(in_partition.data(), in_partition.size(), payload.data(), payload.size(),
                                           &out, &why))
        << why;
    // mkimage refuses empty input; an image without data is still listed.
    if (n) {
      EXPECT_EQ(out, mkimage(dir, args, {payload})) << n << " bytes";
      EXPECT_EQ(dumpimage_part(dir, out, "kernel", 0), payload);
    }
    EXPECT_EQ(without_crc_lines(rs::uimage_describe(parsed(out))), dumpimage_list(dir, out));
  }
}

TEST(Uimage, ReplacedPartIsWhatMkimageMakes) {
  if (!have_tools()) GTEST_SKIP() << "mkimage/dumpimage (u-boot-tools) not installed";
  rstest::TempDir dir;
  const std::string args = "-A arm -O linux -T multi -C none -a 0x8000 -e 0x8000 -n multi";
  std::vector<std::vector<uint8_t>> files = {rstest::random_bytes(1001, 1), rstest::random_bytes(6, 2),
                                             rstest::random_bytes(33, 3)};
  std::vector<uint8_t> img = mkimage(dir, args, files);
  files[1] = rstest::random_bytes(2047, 9);
  std::vector<uint8_t> out;
  std::string why;
  ASSERT_TRUE(rs::uimage_replace_part(img.data(), img.size(), 1, files[1].data(), files[1].size(), &out, &why)) << why;
  EXPECT_EQ(out, mkimage(dir, args, files));
  for (int i = 0; i < 3; i++) EXPECT_EQ(dumpimage_part(dir, out, "multi", i), files[size_t(i)]) << "part " << i;
  // The data a multi-file image is given whole goes through the same table.
  std::vector<uint8_t> data = rs::uimage_multi_data(files);
  ASSERT_TRUE(rs::uimage_replace_payload(img.data(), img.size(), data.data(), data.size(), &out, &why)) << why;
  EXPECT_EQ(out, mkimage(dir, args, files));
}

// A header built in code: mips linux kernel, `data` after it, CRCs right.
std::vector<uint8_t> made_here(const std::vector<uint8_t>& data, uint8_t type = 2) {
  std::vector<uint8_t> img(64, 0);
  rs::store_be32(img.data(), rs::kUimageMagic);
  rs::store_be32(img.data() + 8, 1700000000);
  rs::store_be32(img.data() + 12, uint32_t(data.size()));
  rs::store_be32(img.data() + 24, uint32_t(crc32(0, data.data(), uInt(data.size()))));
  img[28] = 5;
  img[29] = 5;
  img[30] = type;
  memcpy(img.data() + 32, "here", 4);
  img.insert(img.end(), data.begin(), data.end());
  seal(img);
  return img;
}

std::vector<uint8_t> table(std::initializer_list<uint32_t> sizes, size_t extra) {
  std::vector<uint8_t> d;
  for (uint32_t s : sizes) {
    d.resize(d.size() + 4);
    rs::store_be32(d.data() + d.size() - 4, s);
  }
  d.resize(d.size() + extra, 0x5a);
  return d;
}

struct Broken {
  const char* what;
  std::vector<uint8_t> img;
  const char* reason;
};

class Refused : public ::testing::TestWithParam<Broken> {};

// Headers that cannot be used: refused with the reason, no crash, and neither a
// replacement nor a part replacement goes ahead on them.
TEST_P(Refused, WithTheReason) {
  const auto& p = GetParam();
  rs::uimage_info info;
  std::string why;
  EXPECT_FALSE(rs::uimage_parse(p.img.data(), p.img.size(), &info, &why));
  EXPECT_NE(why.find(p.reason), std::string::npos) << why;
  // What the header says is still there to list.
  if (p.img.size() >= 64 && rs::load_be32(p.img.data()) == rs::kUimageMagic) {
    EXPECT_EQ(info.name, "here");
  }
  std::vector<uint8_t> out, payload = {1, 2, 3};
  std::string why2;
  EXPECT_FALSE(rs::uimage_replace_payload(p.img.data(), p.img.size(), payload.data(), 3, &out, &why2));
  EXPECT_EQ(why2, why);
  EXPECT_FALSE(rs::uimage_replace_part(p.img.data(), p.img.size(), 0, payload.data(), 3, &out, &why2));
  EXPECT_TRUE(out.empty());
}

std::vector<uint8_t> cut(std::vector<uint8_t> img, size_t n) {
  img.resize(n);
  return img;
}

std::vector<uint8_t> with_size(std::vector<uint8_t> img, uint32_t size) {
  rs::store_be32(img.data() + 12, size);
  seal(img);
  return img;
}

INSTANTIATE_TEST_SUITE_P(
    Uimage, Refused,
    ::testing::Values(Broken{"empty", {}, "truncated header: 0 of 64 bytes"},
                      Broken{"header_cut", cut(made_here({1, 2}), 63), "truncated header: 63 of 64 bytes"},
                      Broken{"bad_magic", table({0x27051965}, 100), "bad magic 0x27051965"},
                      Broken{"data_cut", with_size(made_here({1, 2, 3}), 4), "data size 4 runs past the end: 3 bytes"},
                      // A size near 4 GiB must not wrap the end check around.
                      Broken{"size_huge", with_size(made_here({1, 2, 3}), 0xffffffff), "data size 4294967295"},
                      Broken{"multi_no_table_end", made_here(table({5, 6}, 0), 4), "size table has no end"},
                      Broken{"multi_part_past_data", made_here(table({5, 6, 0}, 8), 4),
                             "part 1 (6 bytes at data offset 20) runs past the 20 data bytes"},
                      // The padding of a part must not let the next part's offset wrap.
                      Broken{"multi_part_size_huge", made_here(table({0xffffffff, 1, 0}, 4), 4),
                             "part 0 (4294967295 bytes"},
                      Broken{"script_empty_data", made_here({}, 6), "size table has no end"}),
    [](const auto& p) { return std::string(p.param.what); });

// A damaged CRC is reported but the image is still read, so it can be listed.
TEST(Uimage, BadCrcsAreReportedNotRefused) {
  std::vector<uint8_t> good = made_here(rstest::random_bytes(100, 3));
  struct Case {
    size_t byte;
    bool header_ok, data_ok;
    const char* reason;
  } cases[] = {{40, false, true, "header CRC 0x"}, {100, true, false, "data CRC 0x"}, {4, false, true, "header CRC"}};
  for (const Case& c : cases) {
    std::vector<uint8_t> img = good;
    img[c.byte] ^= 0x20;
    rs::uimage_info info;
    std::string why;
    ASSERT_TRUE(rs::uimage_parse(img.data(), img.size(), &info, &why));
    EXPECT_EQ(info.header_crc_ok, c.header_ok) << c.byte;
    EXPECT_EQ(info.data_crc_ok, c.data_ok) << c.byte;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    std::string listing = rs::uimage_describe(info);
    EXPECT_NE(listing.find(std::string("Header CRC: ") + (c.header_ok ? "ok" : "bad")), std::string::npos);
    EXPECT_NE(listing.find(std::string("Data CRC: ") + (c.data_ok ? "ok" : "bad")), std::string::npos);
    // A header that fails its CRC is not sealed anew: its fields may be the damage.
    std::vector<uint8_t> out;
    EXPECT_EQ(rs::uimage_replace_payload(img.data(), img.size(), good.data(), 10, &out, &why), c.header_ok);
    if (!c.header_ok) {
      EXPECT_NE(why.find("cannot be kept"), std::string::npos) << why;
    }
  }
}

TEST(Uimage, PartReplacementRefusals) {
  std::vector<uint8_t> multi = made_here(rs::uimage_multi_data({{1, 2, 3}, {4}}), rs::kUimageTypeMulti);
  std::vector<uint8_t> kernel = made_here({1, 2, 3});
  std::vector<uint8_t> out, p = {9, 9};
  std::string why;
  EXPECT_FALSE(rs::uimage_replace_part(multi.data(), multi.size(), 2, p.data(), p.size(), &out, &why));
  EXPECT_EQ(why, "no part 2: the image has 2");
  EXPECT_FALSE(rs::uimage_replace_part(multi.data(), multi.size(), 0, p.data(), 0, &out, &why));
  EXPECT_NE(why.find("zero size ends the size table"), std::string::npos);
  EXPECT_FALSE(rs::uimage_replace_part(kernel.data(), kernel.size(), 0, p.data(), p.size(), &out, &why));
  EXPECT_EQ(why, "a Kernel Image has no parts");
  // Plain data given to a multi-file image would leave it without a table.
  std::vector<uint8_t> raw = {0, 0, 0, 9, 1};
  EXPECT_FALSE(rs::uimage_replace_payload(multi.data(), multi.size(), raw.data(), raw.size(), &out, &why));
  EXPECT_NE(why.find("payload of a Multi-File Image"), std::string::npos) << why;
  EXPECT_TRUE(out.empty());
}

TEST(Uimage, FindReportsSealedHeadersAtTheAlignment) {
  std::vector<uint8_t> a = made_here(rstest::random_bytes(200, 1)), b = made_here({7});
  std::vector<uint8_t> flash = rstest::random_bytes(0x3000, 2);
  std::copy(a.begin(), a.end(), flash.begin() + 0x1000);
  std::copy(b.begin(), b.end(), flash.begin() + 0x1803);
  // A magic without a matching header CRC is no header.
  std::vector<uint8_t> fake = a;
  fake[40] ^= 1;
  std::copy(fake.begin(), fake.end(), flash.begin() + 0x2000);
  // The last possible place: the header ends with the buffer.
  std::copy(b.begin(), b.begin() + 64, flash.end() - 64);
  EXPECT_EQ(rs::uimage_find(flash.data(), flash.size(), 1), (std::vector<size_t>{0x1000, 0x1803, 0x3000 - 64}));
  EXPECT_EQ(rs::uimage_find(flash.data(), flash.size(), 0), (std::vector<size_t>{0x1000, 0x1803, 0x3000 - 64}));
  EXPECT_EQ(rs::uimage_find(flash.data(), flash.size(), 0x1000), (std::vector<size_t>{0x1000}));
  EXPECT_EQ(rs::uimage_find(flash.data(), flash.size(), 0x40), (std::vector<size_t>{0x1000, 0x3000 - 64}));
  // Buffers too short for a header, and steps larger than the buffer.
  EXPECT_TRUE(rs::uimage_find(flash.data(), 63, 1).empty());
  EXPECT_EQ(rs::uimage_find(a.data(), 64, size_t(-1)), (std::vector<size_t>{0}));
  EXPECT_TRUE(rs::uimage_find(nullptr, 0, 4).empty());
}

}  // namespace
