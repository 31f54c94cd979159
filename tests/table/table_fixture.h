// A table on the recording fake engine: tests script the engine's answers, run table
// operations and read what the table sent.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "table/btr.h"
#include "tests/support/recording_engine.h"

namespace vastrel::table {

using testing::RecordingEngine;

inline constexpr const char* kFile = "/data/parts.dat";

class TableTest : public ::testing::Test {
 protected:
  TableTest() {
    engine.Wake();
    table.SetFileName(kFile);
  }

  // Opens the table on a file of this record length and these key blocks, then clears the
  // log so that a test sees only its own calls.
  void OpenFile(uint16_t record_length = 100,
                const std::vector<std::vector<uint8_t>>& key_blocks = {},
                uint32_t record_count = 0) {
    engine.Reply(engine::kOpStat,
                 RecordingEngine::StatReply(record_length, 1024, record_count, key_blocks));
    table.Open();
    ASSERT_TRUE(table.Active());
    engine.ClearCalls();
  }

  // The message of the vastrel::Exception that `operation` raises; "" when none.
  static std::string ErrorOf(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const vastrel::Exception& e) {
      return e.what();
    }
    return "";
  }

  // The status of the Btrexception that `operation` raises; 0 when none.
  static int StatusOf(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const engine::Btrexception& e) {
      return e.Status();
    }
    return 0;
  }

  // Counts OnRecChanged.
  int WatchRecChanged() {
    table.OnRecChanged = [this](TBtr& sender) {
      EXPECT_EQ(&sender, &table);
      ++rec_changed;
    };
    return 0;
  }

  static std::string FileMessage(const std::string& text) { return text + "\r" + kFile; }

  RecordingEngine engine;
  TBtr table;
  int rec_changed = 0;
};

}  // namespace vastrel::table
