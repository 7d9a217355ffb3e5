// What the image core keeps for each loaded image beside the public record:
// its own table format and build settings, which partitions were edited, and
// the loaded bytes no partition covers.
#pragma once
#include <romsmith/romsmith.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/table.h"
#include "util/mapping.h"

// Bytes of the loaded file outside every partition: a view of the mapped
// file, or a copy when the image holds none.
struct uncovered_range {
  uint64_t offset;
  std::vector<uint8_t> bytes;
  const uint8_t* view = nullptr;
  uint64_t view_len = 0;
  const uint8_t* data() const { return view ? view : bytes.data(); }
  uint64_t size() const { return view ? view_len : bytes.size(); }
};

struct crc_pass;

struct image_state {
  int table_version = 1;
  table_ver_adapt sect{1, TABLE_V1_MAGIC, 512, 12};
  std::string table_file_name;  // configured table file name; empty when none
  std::string dtb_file;
  std::string basedir = ".";
  uint64_t file_length = 0;     // length of the loaded file, 0 when built from a flash.conf
  uint64_t table_found_at = 0;  // where the loader found the table
  std::vector<uncovered_range> uncovered;
  bool table_snapshot = false;  // the table record as loaded, to keep its bytes when unchanged
  partition_table loaded_table{};
  // By index into flash_table.tables: a file operation succeeded since load or
  // the last save (fs_edited); the bytes differ from what was loaded (changed).
  bool fs_edited[PARTITION_MAX] = {};
  bool changed[PARTITION_MAX] = {};
  // By the same index: the CRC of the first file_crc_len bytes of a partition
  // that views the file, as the file holds them (0 bytes: not known).
  uint32_t file_crc[PARTITION_MAX] = {};
  uint64_t file_crc_len[PARTITION_MAX] = {};
  std::string last_error;  // message of the last failed library call on this image
  // Without a table in the file: a bare file system, partitions found by a
  // scan, or a zlibmode container (found_kind); saves write no table then.
  int found = 0;
  size_t found_scanned = 0;
  // The mapped file the partitions view (none for zlibmode files and images
  // built from a flash.conf, whose buffers are their own).
  std::shared_ptr<rs::FileView> file;
  // The open's CRC pass, while it runs on (see image_crcs_ready); ended before
  // the file goes.
  std::shared_ptr<crc_pass> crcs;
};

// The state of `entry`, made on first use.
image_state& state_of(const flash* entry);
void state_drop(const flash* entry);
// Makes the process-wide "current" variables mirror this image's settings.
void state_make_current(const flash* entry);
// Records the message of a failed call on `entry` (null: a call without an
// image) for flash_last_error; the caller still prints it where it did.
void state_set_error(const flash* entry, const std::string& message);
const char* state_last_error(const flash* entry);

// Partition buffers are either views of the image's mapped file or heap
// blocks; only these two know which, so every release goes through them.
bool partition_buf_is_view(const flash* entry, const uint8_t* buf);
void partition_buf_free(const flash* entry, partition_data& p);
// False, with a message naming the file, when the file the partitions view
// was cut or rewritten by another program since it was opened: its bytes can
// no longer be trusted, nor copied into a save.
bool image_file_unchanged(const flash* entry);
// The same without a message printed: empty, or what it would say.
std::string image_file_change(const flash* entry);

// A shell, which knows that its next commands ask nothing of the CRCs, lets
// the CRC pass of the images it opens run on beside the loads and edits; it
// then calls image_crcs_ready before anything that reads or writes a CRC,
// crc32_passed or the table (saves and frees of the image call it).
void set_load_defers_crcs(bool defer);
void image_crcs_ready(flash* entry);
// Ends the pass without its results, for an image that is going away.
void image_crcs_drop(flash* entry);

int partition_index(const flash* entry, const partition_data& p);
void partition_mark_fs_edited(flash* entry, partition_data& p);
void partition_mark_changed(flash* entry, partition_data& p);
