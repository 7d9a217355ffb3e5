// mkubi: a UBIFS of a host directory wrapped in a UBI image, in one step, with
// the option names of mkfs.ubifs (the file system) and ubinize (the image).
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "shell/commands.h"
#include "shell/shell.h"
#include "ubi/ubi_write.h"
#include "ubifs/ubifs_write.h"
#include "util/fileio.h"
#include "util/strutil.h"

int cmd_mkubi(int argc, char** argv) {
  rs::ubifs::mkfs_params fsp;
  rs::ubi::build_params up;
  rs::ubi::volume_spec vol;
  vol.name = "rootfs";
  uint64_t min_io = 2048, peb = 128 << 10, sub = 0, vid = 0, leb = 0, max_lebs = 0, seq = 0, ec = 0, ver = 1,
           vol_id = 0, vol_size = 0, fanout = 8, log_lebs = 0, orph_lebs = 1;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1]; ++i) {
    std::string o = argv[i];
    auto flag = [&](const char* a, const char* b = nullptr) { return o == a || (b && o == b); };
    if (flag("-U", "--squash-uids")) {
      fsp.squash_uids = true;
      continue;
    }
    if (flag("-F", "--space-fixup")) {
      fsp.space_fixup = true;
      continue;
    }
    if (flag("--autoresize")) {
      vol.flags |= rs::ubi::kFlagAutoresize;
      continue;
    }
    if (i + 1 >= argc) return cmd_fail("option '%s' needs a value", o.c_str());
    std::string v = argv[++i];
    auto size = [&](uint64_t* out) {
      if (!rs::parse_size(v, out)) return cmd_fail("invalid value '%s' for %s", v.c_str(), o.c_str()), false;
      return true;
    };
    bool ok = true;
    if (flag("-m", "--min-io-size"))
      ok = size(&min_io);
    else if (flag("-e", "--leb-size"))
      ok = size(&leb);
    else if (flag("-c", "--max-leb-cnt"))
      ok = size(&max_lebs);
    else if (flag("-x", "--compr"))
      fsp.compr = v;
    else if (flag("-f", "--fanout"))
      ok = size(&fanout);
    else if (flag("-l", "--log-lebs"))
      ok = size(&log_lebs);
    else if (flag("--orph-lebs"))
      ok = size(&orph_lebs);
    else if (flag("-k", "--keyhash"))
      fsp.key_hash = v;
    else if (flag("-p", "--peb-size"))
      ok = size(&peb);
    else if (flag("-s", "--sub-page-size"))
      ok = size(&sub);
    else if (flag("-O", "--vid-hdr-offset"))
      ok = size(&vid);
    else if (flag("-Q", "--image-seq"))
      ok = size(&seq);
    else if (flag("--erase-counter"))
      ok = size(&ec);
    else if (flag("--ubi-ver"))
      ok = size(&ver);
    else if (flag("-N", "--vol-name"))
      vol.name = v;
    else if (flag("-n", "--vol-id"))
      ok = size(&vol_id);
    else if (flag("-S", "--vol-size"))
      ok = size(&vol_size);
    else
      return cmd_fail("unknown option '%s'", o.c_str());
    if (!ok) return CMD_FAILED;
  }
  if (argc - i != 2) return usage_not_right();
  const char* dir = argv[i];
  const char* image = argv[i + 1];
  if (!min_io || min_io > (1u << 20) || (min_io & (min_io - 1)))
    return cmd_fail("invalid minimum I/O size %llu (a power of two)", (unsigned long long)min_io);
  if (peb > (16u << 20) || vid > peb || sub > min_io || ver > 255 || vol_id >= 128 || fanout > 0xFFFFFFFFu ||
      log_lebs > 0xFFFFFFFFu || orph_lebs > 0xFFFFFFFFu || seq > 0xFFFFFFFFu)
    return cmd_fail("%s: a size or number is out of range", image);
  up.peb_size = uint32_t(peb);
  up.min_io = uint32_t(min_io);
  up.sub_page = uint32_t(sub);
  up.vid_hdr_offset = uint32_t(vid);
  up.ec = ec;
  up.image_seq = uint32_t(seq);
  up.ubi_version = uint8_t(ver);
  // The LEB is what the PEB leaves after the headers, as ubinize lays them out.
  if (!leb) {
    uint64_t s = sub ? sub : min_io;
    uint64_t v = vid ? vid : (64 + s - 1) / s * s;
    uint64_t data = (v + 64 + min_io - 1) / min_io * min_io;
    if (data >= peb) return cmd_fail("%s: the PEB size leaves no room for data", image);
    leb = peb - data;
  }
  if (!max_lebs && vol_size) max_lebs = vol_size / leb;
  if (!max_lebs) return cmd_fail("%s: the maximum LEB count is needed (-c, or --vol-size)", image);
  if (leb > 0xFFFFFFFFu || max_lebs > 0xFFFFFFFFu) return cmd_fail("%s: a size or number is out of range", image);
  fsp.min_io = uint32_t(min_io);
  fsp.leb_size = uint32_t(leb);
  fsp.max_leb_cnt = uint32_t(max_lebs);
  fsp.fanout = uint32_t(fanout);
  fsp.log_lebs = uint32_t(log_lebs);
  fsp.orph_lebs = uint32_t(orph_lebs);
  Progress progress(std::string("mkubi ") + image);
  std::string why;
  if (!rs::ubifs::build_from_dir(dir, fsp, &vol.data, &why))
    return cmd_fail("%s: no image made from %s (%s)", image, dir, why.c_str());
  vol.id = uint32_t(vol_id);
  vol.type = rs::ubi::kDynamic;
  // Without a size the volume reserves what the file system may grow to (as a
  // kernel needs free LEBs to mount it read-write), unless it is to take the
  // rest of the device at attach (--autoresize).
  vol.size = vol_size ? vol_size : (vol.flags & rs::ubi::kFlagAutoresize) ? 0 : max_lebs * leb;
  std::vector<uint8_t> out;
  if (!rs::ubi::build(up, {vol}, &out, &why)) return cmd_fail("%s: no image made from %s (%s)", image, dir, why.c_str());
  if (!rs::write_file_atomic(image, out.data(), out.size())) return cmd_fail("%s: %s", image, std::strerror(errno));
  return 0;
}
