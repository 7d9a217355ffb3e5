// Opens arbitrary bytes as a MiniDB file, walks every record, edits a few and
// checks that a file the store opened still opens after its own writes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "minidb/minidb.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ScratchDir dir("fuzz_minidb");
  const std::string path = dir.file("in.db");
  if (!fuzzing::write_input(path, data, size)) return 0;
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
  return 0;
}
