// The engine binding: loading by name, the missing engine, the warm-ups and their message
// loop turns, the client ID block, and Stop at module end.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <string>
#include <vector>

#include "binding/engine.h"
#include "platform/hooks.h"
#include "tests/support/recording_engine.h"

namespace vastrel::engine {
namespace {

using testing::RecordingEngine;

// One call through each wrapper with scratch areas of the table's sizes.
struct Caller {
  std::array<uint8_t, 128> pos{};
  std::array<uint8_t, 255> key{};
  std::array<uint8_t, 64> data{};
  uint32_t length = 64;

  int16_t Plain(uint16_t op, int16_t key_number = 0) {
    length = static_cast<uint32_t>(data.size());
    return EngineCall(op, pos.data(), data.data(), &length, key.data(), 255, key_number);
  }
  int16_t WithId(uint16_t op, std::string_view id) {
    length = static_cast<uint32_t>(data.size());
    return EngineCallWithID(op, pos.data(), data.data(), &length, key.data(), 255, 0, id);
  }
};

// Counts the host's message-loop turns and, for each, how many engine calls preceded it.
class MessageLoopProbe {
 public:
  explicit MessageLoopProbe(const RecordingEngine* engine) : engine_(engine) {
    platform::SetMessageLoopHook([this] { calls_before_turn_.push_back(engine_->Calls().size()); });
  }
  ~MessageLoopProbe() { platform::SetMessageLoopHook(nullptr); }
  const std::vector<size_t>& Turns() const { return calls_before_turn_; }

 private:
  const RecordingEngine* engine_;
  std::vector<size_t> calls_before_turn_;
};

TEST(PlainWarmUp, FirstCallOfTheModuleSendsTwoVersionCallsAroundTheMessageLoop) {
  RecordingEngine engine;
  MessageLoopProbe loop(&engine);
  Caller c;
  ASSERT_EQ(c.Plain(kOpGetFirst), 0);

  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 26, 12}));
  for (int i = 0; i < 2; ++i) {
    const auto& version = engine.Calls()[i];
    EXPECT_EQ(version.data_length, 15u);
    EXPECT_EQ(version.key_length, 0);
    EXPECT_EQ(version.key_number, 0);
    EXPECT_EQ(version.data, std::vector<uint8_t>(15, 0));
  }
  ASSERT_EQ(loop.Turns().size(), 101u);
  for (size_t before : loop.Turns()) EXPECT_EQ(before, 1u) << "turns run between the two calls";

  c.Plain(kOpGetNext);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 26, 12, 6}));
  EXPECT_EQ(loop.Turns().size(), 101u);
}

TEST(PlainWarmUp, HostCodeRunningInsideTheWarmUpDoesNotStartAnother) {
  RecordingEngine engine;
  Caller inner;
  int turns = 0;
  platform::SetMessageLoopHook([&] {
    if (turns++ == 50) inner.Plain(kOpGetLast);
  });
  Caller c;
  c.Plain(kOpGetFirst);
  platform::SetMessageLoopHook(nullptr);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 13, 26, 12}));
  EXPECT_EQ(turns, 101);
}

TEST(EngineCall, SendsTheLowEightBitsOfTheKeyNumberSigned) {
  RecordingEngine engine;
  engine.Wake();
  Caller c;
  c.Plain(kOpOpen, 254);
  c.Plain(kOpOpen, -64);
  c.Plain(kOpOpen, 0x0105);
  EXPECT_EQ(engine.Calls()[0].key_number, -2);
  EXPECT_EQ(engine.Calls()[1].key_number, -64);
  EXPECT_EQ(engine.Calls()[2].key_number, 5);
}

TEST(EngineCall, ReturnsTheEngineStatusUnchanged) {
  RecordingEngine engine;
  engine.Wake();
  Caller c;
  for (int16_t status : {int16_t{1001}, int16_t{-1}, int16_t{33}, int16_t{2007}, int16_t{-9999}}) {
    engine.Reply(kOpInsert, status);
    EXPECT_EQ(c.Plain(kOpInsert), status);
  }
}

TEST(ClientWarmUp, OncePerClientIdComparedWithoutCase) {
  RecordingEngine engine;
  MessageLoopProbe loop(&engine);
  Caller c;
  c.WithId(kOpGetFirst, "AB12");
  c.WithId(kOpGetFirst, "ab12");
  c.WithId(kOpGetFirst, "AB13");
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 26, 12, 12, 26, 26, 12}));
  EXPECT_EQ(loop.Turns().size(), 202u);
  EXPECT_EQ(CurrentEngineState().known_client_ids, (std::vector<std::string>{"AB12", "AB13"}));
  EXPECT_FALSE(CurrentEngineState().engine_woken) << "the client entry wakes only its ID";
  for (const auto& call : engine.Calls()) EXPECT_TRUE(call.with_client_id);
}

TEST(ClientIdBlock, TwelveZerosTheIdThenZeros) {
  RecordingEngine engine;
  Caller c;
  c.WithId(kOpGetFirst, "AB");
  const std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'A', 'B', 0, 0};
  EXPECT_EQ(engine.Last().client_block, expected);

  std::array<uint8_t, kClientIdBlockSize> block;
  block.fill(0xEE);
  BuildClientIdBlock("WXYZQ", block.data());
  for (int i = 0; i < kClientIdBlockSize; ++i) {
    const uint8_t want = i >= 12 && i < 16 ? "WXYZ"[i - 12] : 0;
    EXPECT_EQ(block[i], want) << "byte " << i;
  }
}

TEST(ModuleEnd, SendsStopForThePlainEntryAndEveryClientIdInOrder) {
  auto engine = std::make_unique<RecordingEngine>();
  Caller c;
  c.Plain(kOpGetFirst);
  c.WithId(kOpGetFirst, "B");
  c.WithId(kOpGetFirst, "A");
  engine->ClearCalls();
  ModuleEnd();
  ASSERT_EQ(engine->Operations(), (std::vector<uint16_t>{25, 25, 25}));
  EXPECT_FALSE(engine->Calls()[0].with_client_id);
  EXPECT_EQ(engine->Calls()[0].data_length, 0u);
  EXPECT_EQ(engine->Calls()[0].key_length, 0);
  EXPECT_EQ(engine->Calls()[1].client_id, "B");
  EXPECT_EQ(engine->Calls()[2].client_id, "A");

  // After module end nothing is left to call.
  EXPECT_EQ(c.Plain(kOpGetFirst), kStatusEngineMissing);
  EXPECT_EQ(engine->Calls().size(), 3u);
}

TEST(ModuleEnd, NoStopOnThePlainEntryThatWasNeverUsed) {
  RecordingEngine engine;
  Caller c;
  c.WithId(kOpGetFirst, "ID1");
  engine.ClearCalls();
  ModuleEnd();
  ASSERT_EQ(engine.Calls().size(), 1u);
  EXPECT_TRUE(engine.Calls()[0].with_client_id);
}

TEST(MissingEngine, EveryCallAnswersMinus9999AndCallsNothing) {
  RecordingEngine engine(/*plain_entry=*/false, /*client_entry=*/false);
  MessageLoopProbe loop(&engine);
  Caller c;
  EXPECT_EQ(c.Plain(kOpOpen), kStatusEngineMissing);
  EXPECT_EQ(c.WithId(kOpOpen, "AB"), kStatusEngineMissing);
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_TRUE(loop.Turns().empty());
  EXPECT_TRUE(CurrentEngineState().known_client_ids.empty());
}

TEST(MissingEngine, OneEntryMissingLeavesTheOtherWorking) {
  RecordingEngine engine(/*plain_entry=*/true, /*client_entry=*/false);
  Caller c;
  EXPECT_EQ(c.WithId(kOpOpen, "AB"), kStatusEngineMissing);
  EXPECT_EQ(c.Plain(kOpOpen), 0);
}

// Loading by name goes through the environment variable; each test puts it back.
class EngineLibrary : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("VASTREL_ENGINE");
    ModuleStart();
  }
  static void Load(const char* name) {
    setenv("VASTREL_ENGINE", name, 1);
    ModuleStart();
  }
};

TEST_F(EngineLibrary, DefaultNameIsTheEmbeddedEngine) {
  unsetenv("VASTREL_ENGINE");
  EXPECT_EQ(EngineLibraryName(), "libwbtrv32.so");
  setenv("VASTREL_ENGINE", "", 1);
  EXPECT_EQ(EngineLibraryName(), "libwbtrv32.so");
}

TEST_F(EngineLibrary, AbsentLibraryIsNoErrorUntilACall) {
  Load("/nonexistent/libnothing.so");
  EXPECT_FALSE(CurrentEngineState().library_loaded);
  Caller c;
  EXPECT_EQ(c.Plain(kOpOpen), kStatusEngineMissing);
  EXPECT_EQ(c.WithId(kOpOpen, "A"), kStatusEngineMissing);
}

TEST_F(EngineLibrary, LibraryWithoutTheEntryPointsAnswersMinus9999) {
  Load("libm.so.6");
  EXPECT_TRUE(CurrentEngineState().library_loaded);
  EXPECT_FALSE(CurrentEngineState().plain_entry);
  Caller c;
  EXPECT_EQ(c.Plain(kOpOpen), kStatusEngineMissing);
}

TEST_F(EngineLibrary, LoadsAnEngineByPathAndStopsItAtModuleEnd) {
  // A handle of our own keeps the library and its counters alive across module end.
  void* own = dlopen(TEST_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(own, nullptr);
  auto* calls = static_cast<int*>(dlsym(own, "test_engine_calls"));
  auto* client_calls = static_cast<int*>(dlsym(own, "test_engine_client_calls"));
  ASSERT_NE(calls, nullptr);

  Load(TEST_ENGINE_PATH);
  EXPECT_TRUE(CurrentEngineState().plain_entry);
  EXPECT_TRUE(CurrentEngineState().client_entry);
  Caller c;
  EXPECT_EQ(c.Plain(kOpGetFirst), 0);
  EXPECT_EQ(c.Plain(99), 1001);
  EXPECT_EQ(c.WithId(kOpGetFirst, "Q"), 0);
  EXPECT_EQ(calls[kOpVersion], 2);
  EXPECT_EQ(calls[kOpGetFirst], 1);
  EXPECT_EQ(client_calls[kOpVersion], 2);

  ModuleEnd();
  EXPECT_EQ(calls[kOpStop], 1);
  EXPECT_EQ(client_calls[kOpStop], 1);
  dlclose(own);
}

}  // namespace
}  // namespace vastrel::engine
