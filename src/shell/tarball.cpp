#include "shell/tarball.h"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace rs {

namespace {

// fs_attr's device numbers: (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12).
unsigned dev_major(uint32_t rdev) { return (rdev >> 8) & 0xfff; }
unsigned dev_minor(uint32_t rdev) { return (rdev & 0xff) | ((rdev >> 12) & 0xfff00); }

constexpr size_t kPiece = size_t(1) << 20;

// libarchive is loaded when the first archive is made or read, so that the
// program's other commands start without it and the libraries it pulls in.
#define RS_ARCHIVE_CALLS(X) \
  X(archive_entry_free) \
  X(archive_entry_gid) \
  X(archive_entry_hardlink) \
  X(archive_entry_mode) \
  X(archive_entry_mtime) \
  X(archive_entry_new) \
  X(archive_entry_pathname) \
  X(archive_entry_rdevmajor) \
  X(archive_entry_rdevminor) \
  X(archive_entry_set_gid) \
  X(archive_entry_set_hardlink) \
  X(archive_entry_set_mode) \
  X(archive_entry_set_mtime) \
  X(archive_entry_set_pathname) \
  X(archive_entry_set_rdevmajor) \
  X(archive_entry_set_rdevminor) \
  X(archive_entry_set_size) \
  X(archive_entry_set_symlink) \
  X(archive_entry_set_uid) \
  X(archive_entry_size) \
  X(archive_entry_size_is_set) \
  X(archive_entry_symlink) \
  X(archive_entry_uid) \
  X(archive_entry_xattr_add_entry) \
  X(archive_entry_xattr_next) \
  X(archive_entry_xattr_reset) \
  X(archive_error_string) \
  X(archive_read_open_FILE) \
  X(archive_read_data) \
  X(archive_read_free) \
  X(archive_read_new) \
  X(archive_read_next_header) \
  X(archive_read_support_filter_all) \
  X(archive_read_support_format_all) \
  X(archive_write_close) \
  X(archive_write_data) \
  X(archive_write_free) \
  X(archive_write_header) \
  X(archive_write_new) \
  X(archive_write_open_FILE) \
  X(archive_write_set_format_pax) \
  X(archive_write_set_options)

struct ArchiveCalls {
#define RS_ARCHIVE_SLOT(f) decltype(&::f) f = nullptr;
  RS_ARCHIVE_CALLS(RS_ARCHIVE_SLOT)
#undef RS_ARCHIVE_SLOT
  std::string error;  // why it did not load ("" when it did)
};

const ArchiveCalls& ar() {
  static const ArchiveCalls calls = [] {
    ArchiveCalls c;
    void* lib = ::dlopen(ROMSMITH_LIBARCHIVE_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      const char* why = ::dlerror();
      c.error = std::string("cannot load " ROMSMITH_LIBARCHIVE_SONAME ": ") + (why ? why : "not found");
      return c;
    }
#define RS_ARCHIVE_LOAD(f)                                                  \
  c.f = reinterpret_cast<decltype(&::f)>(::dlsym(lib, #f));                \
  if (!c.f && c.error.empty()) c.error = ROMSMITH_LIBARCHIVE_SONAME " has no " #f;
    RS_ARCHIVE_CALLS(RS_ARCHIVE_LOAD)
#undef RS_ARCHIVE_LOAD
    return c;
  }();
  return calls;
}

}  // namespace

// ---- writing ------------------------------------------------------------------

TarWriter::TarWriter() : a_(ar().error.empty() ? ar().archive_write_new() : nullptr) {}

TarWriter::~TarWriter() {
  if (a_) ar().archive_write_free(a_);
}

bool TarWriter::fail() {
  const char* why = a_ ? ar().archive_error_string(a_) : nullptr;
  error_ = why ? why : !ar().error.empty() ? ar().error : std::strerror(errno ? errno : EIO);
  return false;
}

bool TarWriter::open(FILE* f) {
  if (!a_) return fail();
  // Full pax: owners as numbers, nanosecond-free times, xattrs as pax records.
  if (ar().archive_write_set_format_pax(a_) != ARCHIVE_OK) return fail();
  // Extended attributes in the records both libarchive and GNU tar read
  // (its own records alone make `tar -tv` complain).
  ar().archive_write_set_options(a_, "pax:xattrheader=SCHILY");
  if (ar().archive_write_open_FILE(a_, f) != ARCHIVE_OK) return fail();
  return true;
}

bool TarWriter::add(const TarEntry& e, const TarContent& content) {
  if (!a_) return fail();
  archive_entry* en = ar().archive_entry_new();
  if (!en) return fail();
  const fs_attr& a = e.attr;
  ar().archive_entry_set_pathname(en, e.name.c_str());
  ar().archive_entry_set_uid(en, a.uid);
  ar().archive_entry_set_gid(en, a.gid);
  ar().archive_entry_set_mtime(en, time_t(a.mtime), 0);
  uint32_t type = a.mode & S_IFMT;
  ar().archive_entry_set_mode(en, a.mode);
  if (!e.hardlink.empty()) {
    ar().archive_entry_set_hardlink(en, e.hardlink.c_str());
    ar().archive_entry_set_size(en, 0);
  } else if (type == S_IFREG) {
    ar().archive_entry_set_size(en, la_int64_t(a.size));
  } else {
    ar().archive_entry_set_size(en, 0);
  }
  if (type == S_IFLNK) ar().archive_entry_set_symlink(en, a.target.c_str());
  if (type == S_IFCHR || type == S_IFBLK) {
    ar().archive_entry_set_rdevmajor(en, dev_major(a.rdev));
    ar().archive_entry_set_rdevminor(en, dev_minor(a.rdev));
  }
  for (const auto& [name, value] : e.xattrs)
    ar().archive_entry_xattr_add_entry(en, name.c_str(), value.data(), value.size());
  bool ok = ar().archive_write_header(a_, en) == ARCHIVE_OK;
  ar().archive_entry_free(en);
  if (!ok) return fail();
  if (type != S_IFREG || !e.hardlink.empty() || a.size == 0) return true;
  uint64_t written = 0;
  bool wrote = content([&](const void* p, size_t n) {
    if (ar().archive_write_data(a_, p, n) != la_ssize_t(n)) return false;
    written += n;
    return true;
  });
  if (!wrote) return error_.empty() ? fail() : false;
  if (written != a.size) {
    error_ = "the file changed size while it was read";
    return false;
  }
  return true;
}

bool TarWriter::close() {
  if (!a_) return fail();
  if (ar().archive_write_close(a_) != ARCHIVE_OK) return fail();
  return true;
}

// ---- reading ------------------------------------------------------------------

TarReader::TarReader() : a_(ar().error.empty() ? ar().archive_read_new() : nullptr) {}

TarReader::~TarReader() {
  if (a_) ar().archive_read_free(a_);
}

bool TarReader::fail() {
  const char* why = a_ ? ar().archive_error_string(a_) : nullptr;
  error_ = why ? why : !ar().error.empty() ? ar().error : "not an archive";
  return false;
}

bool TarReader::open(FILE* f) {
  if (!a_) return fail();
  ar().archive_read_support_filter_all(a_);
  ar().archive_read_support_format_all(a_);
  if (ar().archive_read_open_FILE(a_, f) != ARCHIVE_OK) return fail();
  return true;
}

int TarReader::next(TarEntry* e) {
  if (!a_) return fail(), -1;
  archive_entry* en = nullptr;
  int rc = ar().archive_read_next_header(a_, &en);
  if (rc == ARCHIVE_EOF) return 0;
  // A warning (an unknown pax keyword, say) still gives a usable member.
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) {
    fail();
    return -1;
  }
  *e = TarEntry();
  const char* name = ar().archive_entry_pathname(en);
  e->name = name ? name : "";
  fs_attr& a = e->attr;
  a.mode = uint32_t(ar().archive_entry_mode(en));
  a.uid = uint32_t(ar().archive_entry_uid(en));
  a.gid = uint32_t(ar().archive_entry_gid(en));
  la_int64_t mtime = ar().archive_entry_mtime(en);
  a.mtime = mtime < 0 ? 0 : mtime > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(mtime);
  a.size = ar().archive_entry_size_is_set(en) && ar().archive_entry_size(en) > 0 ? uint64_t(ar().archive_entry_size(en)) : 0;
  if (const char* link = ar().archive_entry_hardlink(en)) e->hardlink = link;
  if (const char* target = ar().archive_entry_symlink(en)) a.target = target;
  uint64_t major = ar().archive_entry_rdevmajor(en), minor = ar().archive_entry_rdevminor(en);
  if (major > 0xfff || minor > 0xfffff)
    e->rdev_too_big = true;
  else
    a.rdev = uint32_t(major << 8) | uint32_t(minor & 0xff) | uint32_t((minor & ~uint64_t(0xff)) << 12);
  ar().archive_entry_xattr_reset(en);
  const char* xname;
  const void* value;
  size_t size;
  while (ar().archive_entry_xattr_next(en, &xname, &value, &size) == ARCHIVE_OK) {
    const auto* v = static_cast<const uint8_t*>(value);
    e->xattrs.emplace_back(xname, std::vector<uint8_t>(v, v + size));
  }
  return 1;
}

bool TarReader::data(std::vector<uint8_t>* out) {
  out->clear();
  if (!a_) return fail();
  std::vector<uint8_t> buf(kPiece);
  for (;;) {
    la_ssize_t n = ar().archive_read_data(a_, buf.data(), buf.size());
    if (n == 0) return true;
    if (n < 0) return fail();
    out->insert(out->end(), buf.data(), buf.data() + n);
  }
}

}  // namespace rs
