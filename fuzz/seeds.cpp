// Writes one seed file per harness corpus that the library can make itself:
//   fuzz_seeds <out dir> <source dir>
// -> <out>/fuzz_table_read/{v1,v2,v4}, fuzz_cramfs_load/rootfs, fuzz_minifs_mount/data,
//    fuzz_minidb_open/{small,sat,tp,prog}.db, fuzz_squashfs_load/v3-{lzma,gzip}. scripts/fuzz.sh adds the
//    whole-image, conf, merge, squashfs and shell seeds; scripts/mutate.sh starts its campaign from these too.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/table.h"
#include "cramfs/cramfs.h"
#include "image3.h"
#include "minidb/minidb.h"
#include "minifs/minifs.h"

namespace {
std::string out;

void put(const std::string& corpus, const std::string& name, const uint8_t* p, size_t n) {
  std::string d = out + "/" + corpus;
  ::mkdir(out.c_str(), 0755);
  ::mkdir(d.c_str(), 0755);
  FILE* f = std::fopen((d + "/" + name).c_str(), "wb");
  if (!f) return;
  std::fwrite(p, 1, n, f);
  std::fclose(f);
}

void tables() {
  partition_table t{};
  const char* names[] = {"BOOT", "KERNEL", "TABLE", "ROOT", "DATA"};
  uint32_t at = 0;
  for (int i = 0; i < 5; ++i) {
    partition_info& p = t.tables[i];
    std::snprintf(p.name, sizeof p.name, "%s", names[i]);
    p.start_addr = at;
    p.total_size = 0x10000u << i;
    p.used_size = p.total_size / 2;
    p.partition_size = p.total_size;
    p.id = uint8_t(i);
    p.file_system_type = int8_t(i == 3 ? FS_CRAMFS : i == 4 ? FS_MINIFS : FS_RAW);
    p.crc32_enable = 1;
    at += p.total_size;
  }
  t.count = 5;
  t.crc32_enable = 1;
  std::vector<uint8_t> buf(3072, 0xFF);
  int (*writers[])(partition_table*, uint8_t*, size_t) = {flash_table_write, flash_table_v2_write,
                                                          flash_table_v4_write};
  const char* files[] = {"v1", "v2", "v4"};
  const size_t sizes[] = {512, 1024, 3072};
  for (int k = 0; k < 3; ++k) {
    if (writers[k](&t, buf.data(), buf.size()) == 0) put("fuzz_table_read", files[k], buf.data(), sizes[k]);
  }
}

void cramfs(const std::string& src) {
  size_t ub = 0;
  entry* root = cramfs_parse_directory((src + "/examples/rootfs").c_str(), &ub);
  if (!root) return;
  size_t n = 0;
  if (uint8_t* img = cramfs_mmap(root, &n)) {
    put("fuzz_cramfs_load", "rootfs", img, n);
    free(img);
  }
  cramfs_free(root);
}

void minifs() {
  std::vector<uint8_t> img(3 * 65536, 0xFF);
  minifs_device* dev = minifs_mount("", "/", img.data(), img.size(), nullptr);
  if (!dev) return;
  minifs_mkdir(dev, "/etc", 0755);
  if (minifs_Handle* h = minifs_open(dev, "/etc/hosts", 0x102, 0644)) {
    const char text[] = "127.0.0.1 localhost\n";
    minifs_write(h, text, sizeof text - 1, 0);
    minifs_close(h);
  }
  minifs_symlink(dev, "/etc/hosts", "/hosts");
  size_t len = 0;
  uint8_t* data = minifs_mmap(dev, &len);
  minifs_umount(dev);
  if (data) {
    put("fuzz_minifs_mount", "data", data, len);
    minifs_munmap(data, len);
  }
}

void minidb() {
  std::string path = out + "/small.db.tmp";
  std::remove(path.c_str());
  {
    rs::MiniDB db;
    if (!db.Open(path.c_str())) return;
    db.Set(1, "first", 5);
    db.Set(7, "a second, longer record", 23);
    db.Set(3, "", 0);
    db.Remove(7);
    db.Close();
  }
  std::string d = out + "/fuzz_minidb_open";
  ::mkdir(d.c_str(), 0755);
  std::rename(path.c_str(), (d + "/small.db").c_str());
}

// The box's three channel databases with records of the sizes the conversion
// reads (satellite 68, transponder 20, programme 136 bytes), a removed record
// and a rewritten one among them, so that the free list is not empty either.
void box_databases() {
  struct Db {
    const char* name;
    size_t size;
    int count;
  } dbs[] = {{"sat.db", 68, 4}, {"tp.db", 20, 9}, {"prog.db", 136, 12}};
  std::string d = out + "/fuzz_minidb_open";
  ::mkdir(d.c_str(), 0755);
  for (const Db& b : dbs) {
    std::string path = d + "/" + b.name;
    std::remove(path.c_str());
    rs::MiniDB db;
    if (!db.Open(path.c_str())) continue;
    for (int k = 0; k < b.count; ++k) {
      std::vector<uint8_t> rec(b.size);
      for (size_t i = 0; i < rec.size(); ++i) rec[i] = uint8_t(k * 31 + i * 7);
      rec[0] = uint8_t(k);  // ids and positions small, as a box numbers them
      rec[2] = uint8_t(k % 4);
      db.Set(k + 1, rec.data(), int(rec.size()));
    }
    db.Remove(2);
    std::vector<uint8_t> again(b.size, 0x41);
    db.Set(3, again.data(), int(again.size()));
    db.Close();
  }
}
void squashfs3() {
  for (bool lzma : {true, false}) {
    std::vector<uint8_t> img = example_image3(lzma);
    put("fuzz_squashfs_load", lzma ? "v3-lzma" : "v3-gzip", img.data(), img.size());
  }
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fuzz_seeds <out dir> <source dir>\n");
    return 2;
  }
  out = argv[1];
  ::mkdir(out.c_str(), 0755);
  tables();
  cramfs(argv[2]);
  minifs();
  minidb();
  box_databases();
  squashfs3();
  return 0;
}
