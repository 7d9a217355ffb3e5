// Writing UBI images: a volume's new contents put back into an existing image
// with everything else kept, and whole images built from volume contents.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ubi/ubi.h"

namespace rs::ubi {

// Gives back `img`'s bytes with volume `vol_id`'s data replaced by `data`
// (LEB after LEB, `leb_bytes(volume)` each; the last may be short; a dynamic
// volume's trailing run of erased LEBs may be left out and is unmapped).
// LEBs whose usable bytes do not change keep their physical erase block byte
// for byte; changed ones go into the PEB of their old copy, else a free one;
// see docs/ubi-write.md for the erase counters and sequence numbers. The
// image sequence number, every other volume, and every PEB of no volume stay
// as they are; the volume table changes only when the volume needs more PEBs
// than it has reserved. `out` holds `img.size` bytes (whole PEBs).
// False with a one-line reason ("ubi: ...": no free PEB left, ...), `out`
// untouched.
bool replace_volume(const image& img, uint32_t vol_id, const std::vector<uint8_t>& data, std::vector<uint8_t>* out,
                    std::string* why);

// One volume of a new image, as an ubinize ini section gives it.
struct volume_spec {
  uint32_t id = 0;
  std::string name;
  uint8_t type = kDynamic;
  uint8_t flags = 0;  // kFlagAutoresize, kFlagSkipCrc
  uint32_t alignment = 1;
  uint64_t size = 0;          // vol_size in bytes; 0: just what `data` needs
  std::vector<uint8_t> data;  // the volume's contents (vol_file)
};

// How the image is laid out, with ubinize's option names.
struct build_params {
  uint32_t peb_size = 0;        // -p
  uint32_t min_io = 0;          // -m
  uint32_t sub_page = 0;        // -s, 0: min_io
  uint32_t vid_hdr_offset = 0;  // -O, 0: derived from sub_page as ubinize does
  uint64_t ec = 0;              // -e
  uint32_t image_seq = 0;       // -Q; 0: a random one, as ubinize does
  uint8_t ubi_version = 1;      // -x
};

// A UBI image of `vols` (in this order) byte for byte as ubinize writes one
// for the same ini sections and options: the layout volume in PEBs 0 and 1,
// each volume's LEBs after it, no free PEBs. False with a one-line reason.
bool build(const build_params& p, const std::vector<volume_spec>& vols, std::vector<uint8_t>* out, std::string* why);

// LEBs of the dynamic volume `vol_id` written over the image's own bytes
// `out` (the bytes `img` reads, or null to check only): each of `lebs`
// (lnum -> its leb_bytes new bytes). A LEB in `remap`, or unmapped, goes to
// a free PEB (EC header kept; an erased one gets the image's mean counter)
// under a new VID header numbered above every one in the image; any other
// keeps its PEB and VID header, its data written in place (a dynamic volume
// stores no data CRC). `taken` (by PEB) marks the PEBs given out, so that
// calls for several volumes do not share one; `sqnum` the last VID sequence
// number given (0: none yet). Every other PEB keeps its bytes. False with a
// one-line reason (no free PEB left), nothing written.
// `room`: the bytes readable at img.base (at least img.size): erased PEBs
// after the image up to there are free PEBs too, and `*end` (if set) grows
// to the end of the last PEB written.
bool write_lebs(const image& img, size_t room, uint32_t vol_id, const std::map<uint32_t, std::vector<uint8_t>>& lebs,
                const std::set<uint32_t>& remap, uint8_t* out, std::vector<bool>* taken, uint64_t* sqnum, size_t* end,
                std::string* why);

}  // namespace rs::ubi
