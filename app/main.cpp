#include <romsmith/romsmith.h>

int main(int argc, char** argv) { return romsmith_main(argc, argv); }
