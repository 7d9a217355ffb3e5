// Text helpers: number parsing, trimming, splitting, path pieces.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rs {

// "0x1F" -> 31 (kept in 32 bits); decimal with K/M/G/T multipliers ("64K").
uint64_t str2int(const char* str);
inline uint64_t str2int(const std::string& s) { return str2int(s.c_str()); }
// "64KiB", "0x10000", "16k", "2M": a size as the mtd-utils builders take one;
// false for anything else.
bool parse_size(const std::string& s, uint64_t* out);

// Removes leading and trailing white space in place; returns `str`.
char* trim(char* str);
std::string trim(std::string_view s);

// Pieces between occurrences of `delimiter`, empty pieces kept; with
// max_tokens > 0 at most that many pieces, the last holding the rest.
// An empty delimiter gives no pieces.
std::vector<std::string> strsplit(std::string_view s, std::string_view delimiter, int max_tokens = 0);

// The part from the last "." found after the last "/", or "" (pointer to the NUL).
const char* get_extension(const char* path);
// The text after the last "/" and, within that, after the last "\\".
std::string rs_basename(std::string_view s);
// dir + "/" + file, without doubling the separator.
std::string catpath(std::string_view dir, std::string_view file);

bool iequals(std::string_view a, std::string_view b);
bool istarts_with(std::string_view s, std::string_view prefix);

// snprintf into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rs
