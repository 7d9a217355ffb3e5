// Internal operations of the image core shared between its modules and with
// the data tools.
#pragma once
#include <romsmith/romsmith.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Replaces a partition's content, keeping used_size and crc32 right.
int partition_update(partition_data* p, const void* buf, size_t size);
// partition_update by taking `image` (malloc'd, `size` bytes, already known to
// fit) as the partition's new buffer: it is grown to the partition's size and
// filled as partition_update fills. False, with nothing changed and `image`
// still the caller's, when it cannot be grown.
bool partition_adopt(const flash* entry, partition_data* p, uint8_t* image, size_t size);
// The room new content of `size` bytes may take, or -1 (message printed) when it does not fit.
long long partition_update_area(const partition_data* p, size_t size);

// Splits "PART/path" into its partition name and the path inside it.
int parse_filename(const char* filename, std::string& partition, std::string& file);

// Flash path of a database file inside the DATA partition.
const char* db_name_get(flash* entry, const char* db);

// Loads the file system of one partition from its buffer (null handle when it
// cannot be loaded or the type has none).
void partition_load_fs(partition_data& p);
// Releases a partition's file-system handle.
void partition_release_fs(partition_data& p);

// The table writer chosen by the image's table_version, into a TABLE buffer.
int encode_table_into(flash* entry, partition_data& table_part);

// Writes the table file "table.bin" (or the configured name) into basedir.
// Returns the path written, empty on failure (errno set).
// `loose`: the table as stored outside any partition, when it was.
std::string write_table_file(flash* entry, const std::vector<uint8_t>* loose = nullptr);

// "%6.2f MB" etc.; `size_str` holds at least 32 characters.
char* get_size_str(char* size_str, uint64_t size);
