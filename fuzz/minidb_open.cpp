// Opens arbitrary bytes as a MiniDB file, walks every record, edits a few and
// checks that a file the store opened still opens after its own writes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "minidb/minidb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_minidb_" + std::to_string(getpid()) + ".db";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  {
    rs::MiniDB db;
    if (db.Open(path.c_str())) {
      auto cur = db.CreateCursor();
      size_t steps = 0;
      while (!cur->Eof()) {
        uint32_t len = 0;
        cur->GetRaw(&len);
        cur->Next();
        if (++steps > 1000000) abort();
      }
      db.Set(1, "fuzz", 4);
      db.Set(1, "a longer record value", 22);
      db.Set(2, "", 0);
      db.Remove(int(size));
      db.Close();
      rs::MiniDB again;
      if (!again.Open(path.c_str())) abort();
    }
  }
  unlink(path.c_str());
  return 0;
}
