#include "binding/engine.h"

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <utility>

#include "enginecore/include/wbtrv32.h"
#include "platform/hooks.h"
#include "platform/locale.h"

namespace vastrel::engine {
namespace {

constexpr const char* kDefaultLibrary = "libwbtrv32.so";

// The binding's public header cannot include the engine's C header (installed, each stands
// alone), so its operation codes and entry types are held to that header here.
static_assert(kOpOpen == BTR_OPEN && kOpClose == BTR_CLOSE && kOpInsert == BTR_INSERT &&
              kOpUpdate == BTR_UPDATE && kOpDelete == BTR_DELETE);
static_assert(kOpGetEqual == BTR_GET_EQUAL && kOpGetNext == BTR_GET_NEXT &&
              kOpGetPrevious == BTR_GET_PREVIOUS &&
              kOpGetGreaterOrEqual == BTR_GET_GREATER_OR_EQUAL &&
              kOpGetLessOrEqual == BTR_GET_LESS_OR_EQUAL && kOpGetFirst == BTR_GET_FIRST &&
              kOpGetLast == BTR_GET_LAST);
static_assert(kOpCreate == BTR_CREATE && kOpStat == BTR_STAT &&
              kOpBeginTransaction == BTR_BEGIN_TRANSACTION &&
              kOpEndTransaction == BTR_END_TRANSACTION &&
              kOpAbortTransaction == BTR_ABORT_TRANSACTION);
static_assert(kOpGetPosition == BTR_GET_POSITION && kOpGetDirect == BTR_GET_DIRECT &&
              kOpStepNext == BTR_STEP_NEXT && kOpStepFirst == BTR_STEP_FIRST &&
              kOpStepLast == BTR_STEP_LAST && kOpStepPrevious == BTR_STEP_PREVIOUS);
static_assert(kOpStop == BTR_STOP && kOpVersion == BTR_VERSION && kOpUnlock == BTR_UNLOCK &&
              kOpSetOwner == BTR_SET_OWNER && kOpClearOwner == BTR_CLEAR_OWNER);
static_assert(kOpGetByPercentage == BTR_GET_BY_PERCENTAGE &&
              kOpFindPercentage == BTR_FIND_PERCENTAGE && kOpUpdateChunk == BTR_UPDATE_CHUNK);
static_assert(std::is_same_v<BtrCallFunction, BTRCALL_FN> &&
              std::is_same_v<BtrCallIdFunction, BTRCALLID_FN>);

// Module-level engine state, shared by every table of the process.
struct Module {
  void* handle = nullptr;  // the dlopen handle; null when no library is loaded
  bool present = false;    // a library or an installed stand-in is in place
  BtrCallFunction plain = nullptr;
  BtrCallIdFunction client = nullptr;
  // Set before the warm-up's own calls, so that they do not warm up again.
  std::atomic<bool> engine_woken{false};
  std::mutex ids_mutex;  // guards known_client_ids only; never held across an engine call
  std::vector<std::string> known_client_ids;
  std::string library_name;
  std::string load_error;
  std::string library_path;  // the file the loaded library came from
};

// A function-local static, so that the state exists whenever anything reaches it, even
// from another library's static initialisation. It is destroyed after the lifetime object
// below, whose constructor is the first to reach it.
Module& State() {
  static Module module;
  return module;
}

int8_t EngineKeyNumber(int16_t key_number) {
  // The engine reads the low 8 bits as a signed value: 254 and -2 both mean -2.
  return static_cast<int8_t>(static_cast<uint8_t>(key_number & 0xFF));
}

// Adds the text to the known client IDs unless it is there already (without regard to
// letter case). Returns true when it was added.
bool AddClientId(std::string_view client_id) {
  Module& m = State();
  std::lock_guard lock(m.ids_mutex);
  for (const std::string& known : m.known_client_ids) {
    if (platform::Locale::EqualNoCase(known, client_id)) return false;
  }
  m.known_client_ids.emplace_back(client_id);
  return true;
}

// The two Version calls of a warm-up with the host's message loop turning between them.
template <typename Call>
void WarmUp(Call&& call) {
  std::array<uint8_t, 256> scratch{};  // both position block and key buffer
  std::array<uint8_t, 15> data{};
  uint32_t length = static_cast<uint32_t>(data.size());
  static_cast<void>(call(kOpVersion, scratch.data(), data.data(), &length, scratch.data(),
                         uint8_t{0}, int16_t{0}));
  for (int i = 0; i < kWarmUpMessageTurns; ++i) platform::ProcessMessagesOnce();
  scratch.fill(0);
  data.fill(0);
  length = static_cast<uint32_t>(data.size());
  static_cast<void>(call(kOpVersion, scratch.data(), data.data(), &length, scratch.data(),
                         uint8_t{0}, int16_t{0}));
}

void ResetState(Module& m) {
  m.handle = nullptr;
  m.present = false;
  m.plain = nullptr;
  m.client = nullptr;
  m.engine_woken = false;
  m.load_error.clear();
  m.library_path.clear();
  std::lock_guard lock(m.ids_mutex);
  m.known_client_ids.clear();
}

// The folder of the binary that holds this code (libvastrel.so, or a program linking the
// static archive), with a trailing slash; empty when it cannot be told.
std::string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void LoadLibrary(Module& m) {
  ResetState(m);
  m.library_name = EngineLibraryName();
  // RTLD_LOCAL keeps the engine's symbols out of the global namespace; the two entry points
  // are all the component needs. RTLD_NODELETE keeps the engine's code and process-wide
  // state mapped after module end releases the handle: an engine may keep state for the
  // whole process (open files shared by every client of it) and be called once more during
  // exit. The search includes the RUNPATH of libvastrel.so ($ORIGIN), so the engine built
  // beside it is found without any environment variable.
  constexpr int kFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
  m.handle = dlopen(m.library_name.c_str(), kFlags);
  std::string error;
  if (m.handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "the library could not be loaded";
  }
  if (m.handle == nullptr && m.library_name.find('/') == std::string::npos) {
    // A bare name that the search did not find is looked for beside the component too.
    // The search normally covers that folder through the component's RUNPATH, but not when
    // dlopen is reached through a wrapper of another library (a sanitizer's, a profiler's),
    // whose own search path then applies.
    if (const std::string folder = OwnFolder(); !folder.empty()) {
      m.handle = dlopen((folder + m.library_name).c_str(), kFlags);
    }
  }
  if (m.handle == nullptr) {
    m.load_error = error;  // the search's own reason
    return;
  }
  m.present = true;
  m.plain = reinterpret_cast<BtrCallFunction>(dlsym(m.handle, "BTRCALL"));
  m.client = reinterpret_cast<BtrCallIdFunction>(dlsym(m.handle, "BTRCALLID"));
  if (Dl_info info{}; m.plain && dladdr(reinterpret_cast<void*>(m.plain), &info) != 0 &&
                      info.dli_fname != nullptr) {
    m.library_path = info.dli_fname;
  }
}

void EndModule(Module& m) {
  if (m.present) {
    std::array<uint8_t, 256> scratch{};
    uint32_t length = 0;
    if (m.engine_woken && m.plain != nullptr) {
      m.plain(kOpStop, scratch.data(), scratch.data(), &length, scratch.data(), 0, 0);
    }
    std::vector<std::string> ids;
    {
      std::lock_guard lock(m.ids_mutex);
      ids = m.known_client_ids;
    }
    for (const std::string& id : ids) {
      length = 0;
      static_cast<void>(EngineCallWithID(kOpStop, scratch.data(), scratch.data(), &length,
                                         scratch.data(), 0, 0, id));
    }
    if (m.handle != nullptr) dlclose(m.handle);
  }
  ResetState(m);
}

// Module start and end of the component (see engine.h): constructed while the loader
// initialises the library, destroyed when the library is unloaded or the process exits.
struct ModuleLifetime {
  ModuleLifetime() { LoadLibrary(State()); }
  ~ModuleLifetime() { EndModule(State()); }
};
ModuleLifetime module_lifetime;

}  // namespace

StatusCode EngineCall(uint16_t operation, void* position_block, void* data_buffer,
                      uint32_t* data_length, void* key_buffer, uint8_t key_length,
                      int16_t key_number) {
  Module& m = State();
  BtrCallFunction plain = m.plain;
  if (plain == nullptr) return kStatusEngineMissing;
  if (!m.engine_woken.exchange(true)) WarmUp(EngineCall);
  return plain(operation, position_block, data_buffer, data_length, key_buffer, key_length,
               EngineKeyNumber(key_number));
}

StatusCode EngineCallWithID(uint16_t operation, void* position_block, void* data_buffer,
                            uint32_t* data_length, void* key_buffer, uint8_t key_length,
                            int16_t key_number, std::string_view client_id) {
  Module& m = State();
  BtrCallIdFunction client = m.client;
  if (client == nullptr) return kStatusEngineMissing;
  if (AddClientId(client_id)) {
    WarmUp([client_id](uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                       uint8_t key_len, int16_t key_num) {
      return EngineCallWithID(op, pos, data, len, key, key_len, key_num, client_id);
    });
  }
  std::array<uint8_t, kClientIdBlockSize> block{};
  BuildClientIdBlock(client_id, block.data());
  return client(operation, position_block, data_buffer, data_length, key_buffer, key_length,
                EngineKeyNumber(key_number), block.data());
}

void BuildClientIdBlock(std::string_view client_id, uint8_t* block) {
  std::memset(block, 0, kClientIdBlockSize);
  std::memcpy(block + 12, client_id.data(), std::min<size_t>(client_id.size(), 4));
}

EngineState CurrentEngineState() {
  Module& m = State();
  EngineState s;
  s.library_loaded = m.present;
  s.plain_entry = m.plain != nullptr;
  s.client_entry = m.client != nullptr;
  s.engine_woken = m.engine_woken;
  {
    std::lock_guard lock(m.ids_mutex);
    s.known_client_ids = m.known_client_ids;
  }
  s.library_name = m.library_name;
  s.library_path = m.library_path;
  s.load_error = m.load_error;
  return s;
}

std::string EngineLibraryName() {
  const char* name = std::getenv("VASTREL_ENGINE");
  if (name != nullptr && *name != '\0') return name;
  return kDefaultLibrary;
}

void ModuleEnd() { EndModule(State()); }

void ModuleStart() {
  Module& m = State();
  EndModule(m);
  LoadLibrary(m);
}

void ModuleStartWith(BtrCallFunction plain, BtrCallIdFunction client) {
  Module& m = State();
  EndModule(m);
  m.present = true;
  m.plain = plain;
  m.client = client;
  m.library_name = "(installed entry points)";
}

}  // namespace vastrel::engine
