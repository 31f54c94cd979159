#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "tests/pgde/engine_param.h"

namespace engine_param {

namespace {

void* Library() {
  static void* lib = [] {
    const char* path = std::getenv("VASTREL_ENGINE");
    void* l = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!l) {
      std::fprintf(stderr, "VASTREL_ENGINE must name an engine library: %s\n",
                   path ? dlerror() : "not set");
      std::exit(2);
    }
    return l;
  }();
  return lib;
}

template <typename F>
F Entry(const char* name) {
  void* f = dlsym(Library(), name);
  if (!f) {
    std::fprintf(stderr, "the engine library has no %s\n", name);
    std::exit(2);
  }
  return reinterpret_cast<F>(f);
}

}  // namespace

BTRCALL_FN Call() {
  static BTRCALL_FN f = Entry<BTRCALL_FN>("BTRCALL");
  return f;
}

BTRCALLID_FN CallId() {
  static BTRCALLID_FN f = Entry<BTRCALLID_FN>("BTRCALLID");
  return f;
}

}  // namespace engine_param
