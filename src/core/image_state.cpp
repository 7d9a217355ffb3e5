#include "core/image_state.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "core/state.h"
#include "util/report.h"

namespace {

std::mutex g_mutex;
std::map<const flash*, image_state>& registry() {
  static std::map<const flash*, image_state> states;
  return states;
}

}  // namespace

image_state& state_of(const flash* entry) {
  std::lock_guard<std::mutex> lock(g_mutex);
  // std::map never moves its elements: the reference stays valid until dropped.
  return registry()[entry];
}

void state_drop(const flash* entry) {
  std::lock_guard<std::mutex> lock(g_mutex);
  registry().erase(entry);
}

void state_make_current(const flash* entry) {
  image_state& s = state_of(entry);
  table_sect = s.sect;
  table_file_name = s.table_file_name;
  dtb_file = s.dtb_file;
}

namespace {
std::string& loose_error() {
  static thread_local std::string text;
  return text;
}
}  // namespace

void state_set_error(const flash* entry, const std::string& message) {
  std::string line = message;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (entry)
    state_of(entry).last_error = line;
  else
    loose_error() = line;
}

const char* state_last_error(const flash* entry) {
  if (!entry) return loose_error().c_str();
  return state_of(entry).last_error.c_str();
}

namespace {
const rs::FileView* view_of(const flash* entry) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = registry().find(entry);
  return it == registry().end() ? nullptr : it->second.file.get();
}
}  // namespace

bool partition_buf_is_view(const flash* entry, const uint8_t* buf) {
  const rs::FileView* v = entry ? view_of(entry) : nullptr;
  return v && buf && v->holds(buf, 1);
}

void partition_buf_free(const flash* entry, partition_data& p) {
  const rs::FileView* v = entry ? view_of(entry) : nullptr;
  // A private view of its own is unmapped; the file's main view stays.
  if (v && p.buf && v->holds(p.buf, 1))
    v->forget(p.buf);
  else
    std::free(p.buf);
  p.buf = nullptr;
}

std::string image_file_change(const flash* entry) {
  const rs::FileView* v = entry ? view_of(entry) : nullptr;
  std::string why = v ? v->changed() : std::string();
  return why.empty() ? why : v->name() + " changed since it was opened (" + why + "); open it again";
}

bool image_file_unchanged(const flash* entry) {
  std::string line = image_file_change(entry);
  if (line.empty()) return true;
  rs::say_error("error: %s\n", line.c_str());
  state_set_error(entry, rs::last_said());
  return false;
}

int partition_index(const flash* entry, const partition_data& p) {
  if (!entry || !p.info) return -1;
  std::ptrdiff_t i = p.info - entry->flash_table.tables;
  return i >= 0 && i < PARTITION_MAX ? int(i) : -1;
}

void partition_mark_fs_edited(flash* entry, partition_data& p) {
  int i = partition_index(entry, p);
  if (i < 0) return;
  image_state& s = state_of(entry);
  s.fs_edited[i] = true;
}

void partition_mark_changed(flash* entry, partition_data& p) {
  int i = partition_index(entry, p);
  if (i < 0) return;
  image_state& s = state_of(entry);
  s.changed[i] = true;
}
