#include <romsmith/romsmith.h>

#include <cstring>

#ifdef ROMSMITH_HAVE_MOUNT
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

// `romsmith mount` lives in a module beside the program (the build directory)
// or in LIBDIR/romsmith of the install, so that libfuse3 is loaded only for it.
int run_mount(int argc, char** argv) {
  char exe[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = n > 0 ? std::string(exe, size_t(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/') + 1);
  std::string why;
  for (const std::string& at : {dir + "romsmith-mount.so", dir + "../" ROMSMITH_LIBDIR "/romsmith/romsmith-mount.so"}) {
    void* mod = ::dlopen(at.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mod) {
      if (why.empty() || ::access(at.c_str(), F_OK) == 0) why = ::dlerror();
      continue;
    }
    using Entry = int (*)(int, char**);
    if (auto entry = reinterpret_cast<Entry>(::dlsym(mod, "romsmith_mount_entry"))) return entry(argc, argv);
    why = at + ": no mount entry point";
  }
  std::fprintf(stderr, "romsmith: mount: cannot load the mount module (%s)\n", why.c_str());
  return 1;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef ROMSMITH_HAVE_MOUNT
  if (argc > 1 && std::strcmp(argv[1], "mount") == 0) return run_mount(argc - 1, argv + 1);
#endif
  return romsmith_main(argc, argv);
}
