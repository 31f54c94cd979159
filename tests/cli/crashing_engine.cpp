// An engine whose reads of damaged pages end the process, as a read of a page that the file
// no longer holds does (SIGBUS): it passes every call to the embedded engine, but a Get
// Direct of the position in CRASH_AT_POSITION, or any call of the operation in CRASH_AT_OP,
// raises SIGBUS. Loaded through VASTREL_ENGINE.
#include <dlfcn.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using Entry = int16_t (*)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t);

Entry Real() {
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

long Setting(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::strtol(v, nullptr, 10) : -1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* position_block,
                                                                  void* data, uint32_t* data_length,
                                                                  void* key, uint8_t key_length,
                                                                  int8_t key_number) {
  Entry real = Real();
  if (!real) return 20;
  if (op % 100 == Setting("CRASH_AT_OP")) std::raise(SIGBUS);
  if (op % 100 == 23 && data && data_length && *data_length >= 4) {
    int32_t position;
    std::memcpy(&position, data, 4);
    if (position == Setting("CRASH_AT_POSITION")) std::raise(SIGBUS);
  }
  return real(op, position_block, data, data_length, key, key_length, key_number);
}
