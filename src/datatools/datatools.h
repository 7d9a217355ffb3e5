// Exported data tools: channel defaults, databases, language list and key map
// of a loaded flash image, and the conversion of the box's databases into the
// default-data file.
#pragma once
#include <romsmith/romsmith.h>

// The exported tools are declared in the public header:
//   tools_dbcopy      copies sat.db, tp.db and prog.db out of DATA into a local
//                     directory (total bytes, or -1);
//   tools_dbtodef     installs DATA's databases as ROOT//sat.db, tp.db, prog.db
//                     and removes ROOT//default_data.db (0, or -1); tp.db and
//                     prog.db must be there, and each must open whole;
//   tools_default_db  replaces ROOT//default_data.db by a local file and
//                     removes the root databases (the write's result, or -1);
//   tools_datareset   empties the DATA partition (0, or -1);
//   tools_language    replaces ROOT//dvb/theme/language/language by a text;
//   tools_keymap      replaces ROOT//dvb/theme/keymap.xml by a local file;
//   berkeley_2_default converts path/{sat,tp,prog}.db into a default-data file.
// Each tool reads and checks its whole new input first: a missing, empty or
// malformed input, or a write the image does not take, prints "error: ..."
// with the file and the reason, returns -1 and leaves the image's files (and,
// for tools_dbcopy, the directory's) as they were.

namespace rs {

// The install of the shell's localdbtodef: converts the databases in `dir`
// through the local work file `work_file` (left for the caller to delete) and
// only then replaces ROOT//default_data.db with the result. 0, or -1 with a
// message when a database is missing, the conversion fails or the image does
// not take the file; the image is then unchanged.
int install_local_defaults(flash* entry, const char* dir, const char* work_file);

}  // namespace rs
