#include "common.h"

#include "image3.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include <romsmith/romsmith.h>

namespace fs = std::filesystem;

namespace hardening {

rstest::RunResult run(const std::string& args, const std::string& input, const std::string& cwd, int secs) {
  return rstest::run_command("timeout -s KILL " + std::to_string(secs) + " " + rstest::shell_quote(ROMSMITH_BIN) +
                                 (args.empty() ? "" : " " + args),
                             input, cwd);
}

namespace {

void make_tree(const std::string& root) {
  fs::create_directories(root + "/etc/init.d");
  fs::create_directories(root + "/bin");
  rstest::write_text(root + "/etc/issue", "hardening\n");
  rstest::write_text(root + "/etc/init.d/rcS", "#!/bin/sh\necho up\n");
  rstest::write_bytes(root + "/bin/prog", rstest::random_bytes(20000, 7));
  std::vector<uint8_t> text(9000);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t('a' + i % 23);
  rstest::write_bytes(root + "/etc/big.txt", text);
  fs::create_symlink("issue", root + "/etc/motd");
}

Bases* make_bases() {
  auto* b = new Bases;
  char tmpl[] = "/tmp/rs_hardening_XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  b->dir = tmpl;
  // Removed when the test program ends.
  static std::string keep = b->dir;
  std::atexit([] { fs::remove_all(keep); });
  make_tree(b->dir + "/tree");
  run("mkcramfs tree root.cramfs", "", b->dir);
  run("mkminifs tree data.minifs", "", b->dir);
  b->cramfs = rstest::read_bytes(b->dir + "/root.cramfs");
  b->minifs = rstest::read_bytes(b->dir + "/data.minifs");
  if (rstest::have_tool("mksquashfs")) {
    rstest::run_command("mksquashfs tree sq.img -noappend -comp xz -quiet", "", b->dir);
    b->squashfs = rstest::read_bytes(b->dir + "/sq.img");
  }
  b->squashfs3 = example_image3(true);
  return b;
}

rstest::FixturePart part(const char* name, uint32_t start, uint32_t total, int8_t type,
                         std::vector<uint8_t> content) {
  rstest::FixturePart p;
  p.name = name;
  p.start = start;
  p.total = total;
  p.type = type;
  p.content = std::move(content);
  return p;
}

uint32_t round_up(size_t n) { return uint32_t((n + 0xFFFF) / 0x10000 * 0x10000); }

}  // namespace

const Bases& bases() {
  static Bases* b = make_bases();
  return *b;
}

std::vector<uint8_t> image_with(const std::vector<uint8_t>& content, int8_t type, bool keep_bad_crc) {
  rstest::FixtureTable t;
  t.format = 4;
  t.parts.push_back(part("BOOT", 0, 0x10000, FS_RAW, rstest::random_bytes(0x800, 3)));
  t.parts.push_back(part("TABLE", kTableAt, 0x10000, FS_RAW, {}));
  uint32_t total = std::max<uint32_t>(round_up(content.size()), 0x40000);
  t.parts.push_back(part("FS", 0x20000, total, type, content));
  t.parts.back().bad_crc = keep_bad_crc;
  t.parts.back().crc32_enable = true;
  for (size_t i = 0; i < t.parts.size(); ++i) t.parts[i].id = uint8_t(i);
  return rstest::build_image(t, 0x20000 + total, kTableAt);
}

std::vector<uint8_t> whole_image() {
  const Bases& b = bases();
  rstest::FixtureTable t;
  t.format = 4;
  t.parts.push_back(part("BOOT", 0, 0x10000, FS_RAW, rstest::random_bytes(0x800, 3)));
  t.parts.push_back(part("TABLE", kTableAt, 0x10000, FS_RAW, {}));
  uint32_t rt = round_up(b.cramfs.size());
  t.parts.push_back(part("ROOT", 0x20000, rt, FS_CRAMFS, b.cramfs));
  t.parts.push_back(part("DATA", 0x20000 + rt, 0x40000, FS_MINIFS, b.minifs));
  t.parts.push_back(part("LOGO", 0x60000 + rt, 0x10000, FS_RAW, rstest::random_bytes(0x300, 5)));
  for (size_t i = 0; i < t.parts.size(); ++i) t.parts[i].id = uint8_t(i);
  return rstest::build_image(t, 0x70000 + rt, kTableAt);
}

std::string check_script_run(const std::string& dir, const std::vector<uint8_t>& image, int secs, std::string* stdout_text) {
  const std::string area = dir + "/run";
  fs::remove_all(area);
  fs::create_directories(area + "/out");
  rstest::write_bytes(area + "/img.bin", image);
  rstest::RunResult r = run("", "open img.bin\nls\nls FS\nls ROOT\ndump out\nsave saved.bin\nhelp cat\nquit\n", area, secs);
  if (stdout_text) *stdout_text = r.out;
  std::string why;
  if (r.status == 124 || r.status == 128 + 9) why = "ran longer than " + std::to_string(secs) + " s";
  else if (r.status >= 128) why = "ended by signal " + std::to_string(r.status - 128);
  else if (r.status != 0) why = "exit status " + std::to_string(r.status);
  else if (r.out.find("\tcat <filename>\n") == std::string::npos) why = "ended before quit";
  else if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
    why = "sanitizer report";
  // Only the image, the dump directory and the saved image (with whatever the
  // save writes beside it: the table partition's file) may be there; nothing at all one level up.
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename() != "run") why += " | stray " + e.path().string();
  const std::string out = fs::weakly_canonical(area + "/out").string() + "/";
  for (auto it = fs::recursive_directory_iterator(area + "/out", ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink(ec)) {
      it.disable_recursion_pending();
      continue;
    }
    if (fs::weakly_canonical(it->path(), ec).string().rfind(out, 0) != 0) why += " | outside " + it->path().string();
  }
  for (const auto& e : fs::directory_iterator(area, ec)) {
    std::string n = e.path().filename().string();
    if (n != "img.bin" && n != "out" && n != "table.bin" && n.rfind("saved.bin", 0) != 0) why += " | stray " + n;
  }
  if (!why.empty()) why += "\n--- stdout tail:\n" + r.out.substr(r.out.size() > 1500 ? r.out.size() - 1500 : 0) +
                           "\n--- stderr:\n" + r.err.substr(0, 3000);
  return why;
}

}  // namespace hardening
