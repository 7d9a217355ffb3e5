#include "util/strutil.h"

#include <strings.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace rs {

bool parse_size(const std::string& s, uint64_t* out) {
  size_t i = 0;
  while (i < s.size() && (std::isxdigit(uint8_t(s[i])) || s[i] == 'x' || s[i] == 'X')) ++i;
  if (i == 0) return false;
  uint64_t v = str2int(s.substr(0, i));
  std::string unit = s.substr(i);
  if (unit == "KiB" || unit == "k" || unit == "K")
    v <<= 10;
  else if (unit == "MiB" || unit == "m" || unit == "M")
    v <<= 20;
  else if (!unit.empty())
    return false;
  *out = v;
  return true;
}

uint64_t str2int(const char* str) {
  if (!str || !*str) return 0;
  if (str[0] == '0' && (str[1] == 'x' || str[1] == 'X')) {
    uint32_t v = 0;
    for (const char* p = str + 2; *p; ++p) {
      int c = static_cast<unsigned char>(*p), d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        break;
      v = v * 16 + uint32_t(d);
    }
    return v;
  }
  uint64_t v = 0;
  for (const char* p = str; *p; ++p) {
    switch (*p) {
      case 'k':
      case 'K':
        v <<= 10;
        continue;
      case 'm':
      case 'M':
        v <<= 20;
        continue;
      case 'g':
      case 'G':
        v <<= 30;
        continue;
      case 't':
      case 'T':
        v <<= 40;
        continue;
      default:
        break;
    }
    if (*p < '0' || *p > '9') break;
    v = v * 10 + uint64_t(*p - '0');
  }
  return v;
}

char* trim(char* str) {
  if (!str) return str;
  size_t start = 0, len = std::strlen(str);
  while (start < len && std::isspace(static_cast<unsigned char>(str[start]))) ++start;
  if (start) std::memmove(str, str + start, len - start + 1);
  len -= start;
  while (len > 0 && std::isspace(static_cast<unsigned char>(str[len - 1]))) str[--len] = '\0';
  return str;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> strsplit(std::string_view s, std::string_view delimiter, int max_tokens) {
  std::vector<std::string> out;
  if (delimiter.empty()) return out;
  size_t pos = 0;
  for (;;) {
    if (max_tokens > 0 && int(out.size()) == max_tokens - 1) break;
    size_t hit = s.find(delimiter, pos);
    if (hit == std::string_view::npos) break;
    out.emplace_back(s.substr(pos, hit - pos));
    pos = hit + delimiter.size();
  }
  out.emplace_back(s.substr(pos));
  return out;
}

const char* get_extension(const char* path) {
  size_t len = std::strlen(path);
  for (size_t i = len; i > 0; --i) {
    char c = path[i - 1];
    if (c == '/') break;
    if (c == '.') return path + i - 1;
  }
  return path + len;
}

std::string rs_basename(std::string_view s) {
  size_t slash = s.rfind('/');
  if (slash != std::string_view::npos) s = s.substr(slash + 1);
  size_t bs = s.rfind('\\');
  if (bs != std::string_view::npos) s = s.substr(bs + 1);
  return std::string(s);
}

std::string catpath(std::string_view dir, std::string_view file) {
  std::string out(dir);
  bool dir_slash = !dir.empty() && dir.back() == '/';
  bool file_slash = !file.empty() && file.front() == '/';
  if (!dir_slash && !file_slash) out += '/';
  out += file;
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), size_t(n) + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

}  // namespace rs
