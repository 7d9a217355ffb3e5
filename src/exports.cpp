// The shared library's only own translation unit: the exported functions are
// defined in the subsystem libraries linked in whole.
#include <romsmith/romsmith.h>
