// The engine binding: the one place where the component talks to the record engine.
//
// The engine is a shared library loaded by name when the component's module starts
// (default "libwbtrv32.so", found through the normal library search, which for the
// component includes its own folder; the environment variable VASTREL_ENGINE names another
// library, as a path or a name). Its two C entry points are resolved once:
//
//   int16_t BTRCALL  (uint16_t op, void* pos_block, void* data, uint32_t* data_length,
//                     void* key, uint8_t key_length, int8_t key_number);
//   int16_t BTRCALLID(... the same seven ..., void* client_id_block);
//
// A missing library or entry point is not an error at start; every call through the
// missing entry then answers kStatusEngineMissing (-9999) and calls nothing.
//
// Warm-up: the first call through the plain entry in the life of the module, and the first
// call with each client ID (compared without regard to letter case), first make two Version
// calls with 101 turns of the host's message loop between them (platform hooks). The host's
// code may therefore run inside that first call.
//
// Module end sends Stop (operation 25) through the plain entry when it was ever used, and
// once for every client ID ever used, then unloads the library. Statuses of the warm-up
// and Stop calls are dropped.
//
// Threading: the component runs on its host's thread. The module state is guarded only so
// that a careless second thread cannot corrupt the client ID list; warm-ups are not
// serialised between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"

namespace vastrel::engine {

// A signed 16-bit engine status: 0 is success, anything else a failure. It converts to and
// from the number both ways, so that it reads and compares as one; what it adds is
// [[nodiscard]]: a call whose status nobody looks at does not compile, and one whose status
// is of no interest (a warm-up, a Stop at module end) says so with static_cast<void>.
class [[nodiscard]] StatusCode {
 public:
  constexpr StatusCode() = default;
  constexpr StatusCode(int16_t code) : code_(code) {}   // NOLINT: implicit, a number is a status
  constexpr operator int16_t() const { return code_; }  // NOLINT: implicit
  constexpr bool ok() const { return code_ == 0; }

 private:
  int16_t code_ = 0;
};

// The component's own status for a missing engine library or entry point.
inline constexpr StatusCode kStatusEngineMissing = -9999;

// Engine operation codes that the component sends: the engine header's, to which engine.cpp
// holds each at compile time.
inline constexpr uint16_t kOpOpen = 0;
inline constexpr uint16_t kOpClose = 1;
inline constexpr uint16_t kOpInsert = 2;
inline constexpr uint16_t kOpUpdate = 3;
inline constexpr uint16_t kOpDelete = 4;
inline constexpr uint16_t kOpGetEqual = 5;
inline constexpr uint16_t kOpGetNext = 6;
inline constexpr uint16_t kOpGetPrevious = 7;
inline constexpr uint16_t kOpGetGreaterOrEqual = 9;
inline constexpr uint16_t kOpGetLessOrEqual = 11;
inline constexpr uint16_t kOpGetFirst = 12;
inline constexpr uint16_t kOpGetLast = 13;
inline constexpr uint16_t kOpCreate = 14;
inline constexpr uint16_t kOpStat = 15;
inline constexpr uint16_t kOpBeginTransaction = 19;
inline constexpr uint16_t kOpEndTransaction = 20;
inline constexpr uint16_t kOpAbortTransaction = 21;
inline constexpr uint16_t kOpGetPosition = 22;
inline constexpr uint16_t kOpGetDirect = 23;
inline constexpr uint16_t kOpStepNext = 24;
inline constexpr uint16_t kOpStop = 25;
inline constexpr uint16_t kOpVersion = 26;
inline constexpr uint16_t kOpUnlock = 27;
inline constexpr uint16_t kOpSetOwner = 29;
inline constexpr uint16_t kOpClearOwner = 30;
inline constexpr uint16_t kOpStepFirst = 33;
inline constexpr uint16_t kOpStepLast = 34;
inline constexpr uint16_t kOpStepPrevious = 35;
inline constexpr uint16_t kOpGetByPercentage = 44;
inline constexpr uint16_t kOpFindPercentage = 45;
inline constexpr uint16_t kOpUpdateChunk = 53;

// The message-loop turns between the two Version calls of a warm-up.
inline constexpr int kWarmUpMessageTurns = 101;

// The block that BTRCALLID receives: 12 zero bytes, the client ID's (at most) 4 characters
// padded with zero bytes, then a trailing zero area. The engine reads the first 16 bytes.
inline constexpr int kClientIdBlockSize = 20;

extern "C" {
using BtrCallFunction = int16_t (*)(uint16_t operation, void* position_block, void* data_buffer,
                                    uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                    int8_t key_number);
using BtrCallIdFunction = int16_t (*)(uint16_t operation, void* position_block, void* data_buffer,
                                      uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                      int8_t key_number, void* client_id);
}

// Calls the plain entry, after its warm-up when this is the first use in the module.
// The key number is a 16-bit value of which the engine reads the low 8 bits, signed.
// Returns the engine's status, or kStatusEngineMissing without calling anything.
VASTREL_API StatusCode EngineCall(uint16_t operation, void* position_block, void* data_buffer,
                                  uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                  int16_t key_number);

// Calls the client entry with the client ID block built from client_id (its first 4
// characters), after the warm-up for a client ID not seen before in this module.
VASTREL_API StatusCode EngineCallWithID(uint16_t operation, void* position_block, void* data_buffer,
                                        uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                        int16_t key_number, std::string_view client_id);

// Fills block (kClientIdBlockSize bytes) from a client ID text.
VASTREL_API void BuildClientIdBlock(std::string_view client_id, uint8_t* block);

// The fixed English text of a status; "Unknown Btrieve Error" for a status not in the table.
VASTREL_API const char* StatusText(StatusCode status);

// --- Module life -------------------------------------------------------------------------
//
// On Linux the component's module is the shared library libvastrel.so: module start runs
// while the dynamic loader initialises it (a static object's constructor in engine.cpp),
// module end when it is unloaded, by dlclose or at process exit (that object's destructor,
// which the loader runs through __cxa_finalize for this library). A program that links the
// static archive gets the same pair around main().

// Where the module's engine came from and what it has seen. For diagnostics and tests.
struct EngineState {
  bool library_loaded = false;                // the library (or an installed stand-in) is present
  bool plain_entry = false;                   // BTRCALL resolved
  bool client_entry = false;                  // BTRCALLID resolved
  bool engine_woken = false;                  // the plain warm-up has run
  std::vector<std::string> known_client_ids;  // in order of first use
  std::string library_name;                   // the name that was loaded or looked for
  std::string load_error;    // why the library could not be loaded; empty otherwise
  std::string library_path;  // the file the loaded library came from; empty when none
};
VASTREL_API EngineState CurrentEngineState();

// The library name that module start loads: VASTREL_ENGINE when set and not empty,
// otherwise "libwbtrv32.so".
VASTREL_API std::string EngineLibraryName();

// Runs module end now: Stop for the plain entry (when woken) and every known client ID,
// then unloads the library. The module state is empty afterwards and every call answers
// kStatusEngineMissing until a module start. Safe to call twice.
VASTREL_API void ModuleEnd();

// Runs module start again: loads the library by EngineLibraryName() with a fresh state.
// Ends the current module first.
VASTREL_API void ModuleStart();

// Ends the current module, then starts one whose entry points are the given functions
// instead of a loaded library (either may be null, as with a library lacking the export).
// The warm-up and Stop then go to these functions. This is how tests put a stand-in
// engine behind the wrappers.
VASTREL_API void ModuleStartWith(BtrCallFunction plain, BtrCallIdFunction client);

}  // namespace vastrel::engine
