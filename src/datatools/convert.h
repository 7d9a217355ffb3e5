// Conversion of the box's channel databases into the packed default-data
// file. Pure byte work, apart from reading the MiniDB files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rs {

inline constexpr size_t kSatRecordSize = 68;    // QzBusPmDataSat
inline constexpr size_t kTpRecordSize = 20;     // QzBusPmDataTP
inline constexpr size_t kProgRecordSize = 136;  // QzBusPmDataProg
inline constexpr size_t kDefSatSize = 28;
inline constexpr size_t kDefTpSize = 4;
inline constexpr size_t kDefProgSize = 44;
inline constexpr uint32_t kDefStartMagic = 0x4B386753;  // "Sg8K"
inline constexpr uint32_t kDefEndMagic = 0x4B386745;    // "Eg8K"
// Most satellites or transponders one file can hold: positions and counts
// are 13-bit fields.
inline constexpr size_t kDefMaxIndexed = 8191;

// Position of an LNB frequency (MHz) in the box's table, 0 when absent.
unsigned lnb_exchange(unsigned frequency);

// Sorts the source records (satellites by id, transponders by sat_id,
// programmes by pos; ties keep their order), renumbers satellites and
// transponders by position and packs everything into the default-data
// format. Each argument holds whole fixed-size source records back to back.
std::vector<uint8_t> pack_default_data(std::vector<uint8_t> sats, std::vector<uint8_t> tps, std::vector<uint8_t> progs);

// The full conversion of berkeley_2_default; true when the output file was
// written completely. On failure a message says why and `file` is left empty
// (or not created), so that a caller of the resultless export can still tell.
bool convert_databases(const std::string& path, const std::string& file);

// "eng;fre;;deu" -> "eng\nfre\ndeu\n": the language list text of the theme.
std::string language_list_from(const std::string& semicolon_list);

}  // namespace rs
