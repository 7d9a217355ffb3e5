#include <romsmith/romsmith.h>
extern "C" int romsmith_main(int, char**) { return 0; }
