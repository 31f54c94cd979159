// For the faulty test engines: the embedded engine's BTRCALL, which they pass calls on to.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_engine {

using Entry = int16_t (*)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t);

// Null when the engine cannot be loaded. By full path from this library's own folder: under
// the sanitizers dlopen is intercepted, and a bare name would not be looked up along this
// library's RUNPATH.
inline Entry Real() {
  static Entry real = [] {
    Dl_info self{};
    std::string path = "libwbtrv32.so";
    if (dladdr(reinterpret_cast<void*>(&Real), &self) && self.dli_fname) {
      path = std::filesystem::path(self.dli_fname).parent_path() / path;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW);
    return library ? reinterpret_cast<Entry>(dlsym(library, "BTRCALL")) : nullptr;
  }();
  return real;
}

}  // namespace test_engine
