// A faulty engine for the tool's check: it passes every call to the embedded engine but
// silently skips one record on every Step Next, as a damaged physical chain would. Loaded
// through VASTREL_ENGINE.
#include <dlfcn.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace {

using Entry = int16_t (*)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t);

Entry Real() {
  static Entry real = [] {
    // By full path from this library's own folder: under the sanitizers dlopen is
    // intercepted, and a bare name would not be looked up along this library's RUNPATH.
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

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* position_block,
                                                                  void* data, uint32_t* data_length,
                                                                  void* key, uint8_t key_length,
                                                                  int8_t key_number) {
  Entry real = Real();
  if (!real) return 20;  // the engine's "record manager inactive"
  const uint32_t offered = data_length ? *data_length : 0;
  int16_t status = real(op, position_block, data, data_length, key, key_length, key_number);
  if (status == 0 && op % 100 == 24) {
    if (data_length) *data_length = offered;
    status = real(op, position_block, data, data_length, key, key_length, key_number);
  }
  return status;
}
