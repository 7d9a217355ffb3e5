// Checks of the content the data tools are about to install, made before the
// image is touched. Each returns an empty string for content that may be
// installed, otherwise the reason it may not.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace rs {

// A MiniDB file that the store opens with every record intact: the superblock
// magic, whole slot headers, and every live record complete with a matching
// CRC-16. (The store itself stops silently at a cut record, losing the rest.)
std::string minidb_problem(const uint8_t* data, size_t size);

// A default-data file: the start magic, counts that account for every byte,
// and the end magic.
std::string default_data_problem(const uint8_t* data, size_t size);

// A key map: XML text (no NUL byte; the first and last characters other than
// white space and a UTF-8 byte-order mark are '<' and '>').
std::string keymap_problem(const uint8_t* data, size_t size);

}  // namespace rs
