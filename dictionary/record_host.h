// What the dictionary layer needs of its table: the data buffer, the format settings and
// whether the file is open. The table (TBtr) implements this interface, so that the
// definition lists and their accessors can live below the table without a dependency loop.
#pragma once

#include <cstdint>
#include <string>

#include "platform/export.h"

namespace vastrel::dictionary {

class VASTREL_API RecordHost {
 public:
  virtual ~RecordHost() = default;

  // True while the table's file is open.
  virtual bool Active() const = 0;
  // The data buffer: exactly DataBufferLength() bytes, or nullptr when there is none.
  virtual uint8_t* DataBuffer() = 0;
  virtual const uint8_t* DataBuffer() const = 0;
  // The data buffer's length; 0 means no buffer.
  virtual int32_t DataBufferLength() const = 0;

  // Format settings of typed field access.
  virtual const std::string& TRUEFormat() const = 0;
  virtual const std::string& FALSEFormat() const = 0;
  virtual const std::string& DATEFormat() const = 0;
  virtual const std::string& TIMEFormat() const = 0;
  virtual char DecimalSeparator() const = 0;
};

}  // namespace vastrel::dictionary
