// Exported data tools: channel defaults, databases, language list and key map
// of a loaded flash image, and the conversion of the box's databases into the
// default-data file.
#pragma once
#include <romsmith/romsmith.h>

#ifdef __cplusplus
extern "C" {
#endif

// Copies "sat.db", "tp.db" and "prog.db" out of the DATA partition into the
// local directory `dir`. Total bytes copied, or -1.
RS_API int tools_dbcopy(flash* entry, const char* dir);
// Installs the DATA partition's databases as "ROOT//sat.db", "ROOT//tp.db",
// "ROOT//prog.db" and removes "ROOT//default_data.db". 0, or -1 when a write
// into the image failed.
RS_API int tools_dbtodef(flash* entry);
// Replaces the root file system's channel defaults by the local default-data
// file `filename` ("ROOT//default_data.db"). Result of flash_add.
RS_API int tools_default_db(flash* entry, const char* filename);
// Empties the DATA partition. Result of flash_update.
RS_API int tools_datareset(flash* entry);
// Replaces "ROOT//dvb/theme/language/language" by the text `language`.
// Result of flash_write.
RS_API int tools_language(flash* entry, const char* language);
// Replaces "ROOT//dvb/theme/keymap.xml" by the local file `filename`.
// Result of flash_add.
RS_API int tools_keymap(flash* entry, const char* filename);
// Converts `path`/sat.db, tp.db and prog.db into the default-data file `file`.
// Progress and errors on standard output.
RS_API void berkeley_2_default(const char* path, const char* file);

#ifdef __cplusplus
}
#endif
