// A table stand-in for the dictionary layer: a data buffer, format settings and Active.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dictionary/record_host.h"
#include "platform/error.h"

namespace vastrel::dictionary::testing {

// Expects `f` to raise vastrel::Exception with exactly `message`.
template <class F>
void ExpectError(F f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

class FakeHost : public RecordHost {
 public:
  explicit FakeHost(int buffer_length = 64) : buffer_(static_cast<size_t>(buffer_length), 0) {}

  bool Active() const override { return active; }
  uint8_t* DataBuffer() override { return buffer_.empty() ? nullptr : buffer_.data(); }
  const uint8_t* DataBuffer() const override { return buffer_.empty() ? nullptr : buffer_.data(); }
  int32_t DataBufferLength() const override { return static_cast<int32_t>(buffer_.size()); }
  const std::string& TRUEFormat() const override { return true_format; }
  const std::string& FALSEFormat() const override { return false_format; }
  const std::string& DATEFormat() const override { return date_format; }
  const std::string& TIMEFormat() const override { return time_format; }
  char DecimalSeparator() const override { return decimal_separator; }

  // Puts text and its NUL at the start of the buffer; the rest keeps its bytes.
  void SetRecord(const std::string& text) {
    std::memcpy(buffer_.data(), text.data(), text.size());
    buffer_[text.size()] = 0;
  }
  // The record text: the buffer up to its first NUL.
  std::string Record() const {
    size_t n = 0;
    while (n < buffer_.size() && buffer_[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(buffer_.data()), n);
  }
  std::vector<uint8_t>& Buffer() { return buffer_; }

  bool active = true;
  std::string true_format = "1";
  std::string false_format = "0";
  std::string date_format = "YYYYMMDD";
  std::string time_format = "HH:NN:SS";
  char decimal_separator = '.';

 private:
  std::vector<uint8_t> buffer_;
};

}  // namespace vastrel::dictionary::testing
