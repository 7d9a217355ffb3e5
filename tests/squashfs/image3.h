// A small squashfs 3.1 image made in code, byte for byte as the 3.x format
// description lays it out: root with hello.txt (1000:100, 0644) and link -> hello.txt.
#pragma once
#include <cstdint>
#include <vector>

std::vector<uint8_t> example_image3(bool lzma_magic = true);

// The same image under `magic` ("hsqs", "shsq", "sqsh" or "qshs"); the last two
// are big-endian, with every integer swapped and every bit field repacked from
// the most significant bit down, as a big-endian build of the 3.x tools writes them.
std::vector<uint8_t> example_image3_as(const char* magic);
