// Exported data tools: channel defaults, databases, language list and key map
// of a loaded flash image, and the conversion of the box's databases into the
// default-data file.
#pragma once
#include <romsmith/romsmith.h>

// The exported tools are declared in the public header:
//   tools_dbcopy      copies sat.db, tp.db and prog.db out of DATA into a local
//                     directory (total bytes, or -1);
//   tools_dbtodef     installs DATA's databases as ROOT//sat.db, tp.db, prog.db
//                     and removes ROOT//default_data.db (0, or -1 on a failed write);
//   tools_default_db  replaces ROOT//default_data.db by a local file;
//   tools_datareset   empties the DATA partition;
//   tools_language    replaces ROOT//dvb/theme/language/language by a text;
//   tools_keymap      replaces ROOT//dvb/theme/keymap.xml by a local file;
//   berkeley_2_default converts path/{sat,tp,prog}.db into a default-data file.
