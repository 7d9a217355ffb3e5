// A small squashfs 3.1 image made in code, byte for byte as the 3.x format
// description lays it out: root with hello.txt (1000:100, 0644) and link -> hello.txt.
#pragma once
#include <cstdint>
#include <vector>

std::vector<uint8_t> example_image3(bool lzma_magic = true);
