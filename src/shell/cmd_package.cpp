// Handlers for merge files, release blocks, build information and the
// compression self-test.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/merge.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fatal.h"
#include "util/report.h"

#ifndef ROMSMITH_LINK_LIBS
#define ROMSMITH_LINK_LIBS ""
#endif

int cmd_merge(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  flash* image = flash_load_conf(argv[1]);
  if (!image) {
    rs::say_error("error: %s(%d) flash_load_conf return entry is NULL\n", "cmd_merge", 695);
    return cmd_fail_reported("%s: the configuration was refused", argv[1]);
  }
  Progress progress(std::string("merge ") + argv[2]);
  int rc = image_merge(argv[1], image, argv[2]);
  flash_free(image);
  if (rc == 0) return 0;
  cmd_fail_reported("%s: no merge file written", argv[2]);
  return -2;  // the failure status of a merge that wrote nothing
}

int cmd_split(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  // A split that stopped part way is a failure.
  int rc = image_split(argv[1], argc > 2 ? argv[2] : nullptr);
  if (rc == 0) return shell_finish(0);
  cmd_fail_reported(rc == -2 ? "%s: the merge file cannot be read" : "%s: the split stopped part way", argv[1]);
  return shell_finish(1);
}

// Ends the process, except in a batch run, where the image the run has open
// stays open and the status is returned.
static int release_image(const char* file, int flag, const char* str) {
  flash* image = flash_simple_load_bin(file);
  if (!shell_batch) root_entry = image;
  // An image that cannot be loaded is left as it is.
  if (!image) {
    open_a_file_first();
    cmd_fail_reported("%s: cannot open the image", file);
    return shell_finish(1);
  }
  int status = 0;
  if (flash_add_release(image, flag, str) != 0) {
    cmd_fail("%s: the release block was not set", file);
    status = 1;
  } else if (flash_simple_save(image, file) != 0) {
    cmd_fail("%s: cannot write the image", file);
    status = 1;
  }
  if (shell_batch) flash_free(image);
  return shell_finish(status);
}

int cmd_release(int argc, char** argv) {
  if (argc < 3) {
    rs::say_error("error: arguments not enough, please check\n");
    rs::diag("ex. ./romsmith release flash.bin \"oakbox-rudivedo-release-20140508\"\n");
    return shell_finish(1);
  }
  return release_image(argv[1], 1, argv[2]);
}

int cmd_unrelease(int argc, char** argv) {
  if (argc < 2) {
    rs::say_error("error: arguments not enough, please check\n");
    rs::diag("ex. ./romsmith unrelease flash.bin\"\n");
    return shell_finish(1);
  }
  return release_image(argv[1], 0, nullptr);
}

int cmd_version(int, char**) {
  shell_print_version();
  return shell_finish(0);
}

int cmd_info(int, char**) {
  std::printf("rominfo version: v%s  --20200901 \n", ROMSMITH_VERSION);
  std::printf("rominfo compiler version: gcc version %s \n", __VERSION__);
  std::printf("rominfo platform: Linux \\n \\l \n");
  std::printf("rominfo complier para: %s\n", ROMSMITH_LINK_LIBS);
  return shell_finish(0);
}

// The designed result -1 shows the usage line; the reason says what went wrong.
static int tmpdebug_failed() {
  cmd_fail("the compression round trip failed");
  return -1;
}

int cmd_tmpdebug(int, char**) {
  FILE* f = std::fopen("test.bin", "rb");
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0) {
    if (f) std::fclose(f);
    rs::say_error("file(%s) get stat failed.\n", "test.bin");
    cmd_fail("test.bin: cannot be read");
    return -1;
  }
  std::printf("file(%s) st.st_size=%d\n", "test.bin", int(st.st_size));
  size_t size = size_t(st.st_size);
  std::vector<uint8_t> src(size);
  size_t got = std::fread(src.data(), 1, size, f);
  std::fclose(f);
  if (got != size) {
    rs::say_error("%s:%d fread actual read size(%d) not equal file size(%d).\n", "cmd_tmpdebug", 258, int(got),
                int(size));
    return tmpdebug_failed();
  }
  uLongf clen = std::max<uLong>(size + size / 1000 + 13, compressBound(size));
  std::vector<uint8_t> comp(clen);
  int ret = compress2(comp.data(), &clen, src.data(), size, 9);
  if (ret != Z_OK) {
    rs::say_error("compress error, ret = %d.\n", ret);
    return tmpdebug_failed();
  }
  std::printf("compress success, src_len=%d, dst_len=%d.\n", int(size), int(clen));
  FILE* z = std::fopen("test.bin.zlib", "wb+");
  if (!z) return tmpdebug_failed();
  std::fwrite(comp.data(), 1, clen, z);
  std::fclose(z);
  z = std::fopen("test.bin.zlib", "rb");
  if (!z) return tmpdebug_failed();
  got = std::fread(comp.data(), 1, clen, z);
  std::fclose(z);
  if (got != clen) {
    rs::say_error("%s:%d fread actual read size(%d) not equal file size(%d).\n", "cmd_tmpdebug", 283, int(got),
                int(clen));
    return tmpdebug_failed();
  }
  // Ten times the compressed length is too small for well-compressible input;
  // the original length always suffices.
  uLongf dlen = std::max<uLongf>(clen * 10, size);
  std::vector<uint8_t> out(dlen);
  if (uncompress(out.data(), &dlen, comp.data(), clen) != Z_OK) {
    rs::say_error("decompress error.\n");
    return tmpdebug_failed();
  }
  std::printf("decompress success, src_len=%d, dst_len=%d.\n", int(clen), int(dlen));
  FILE* a = std::fopen("a.bin", "wb+");
  if (a) {
    std::fwrite(out.data(), 1, dlen, a);
    std::fclose(a);
  }
  return 0;
}
