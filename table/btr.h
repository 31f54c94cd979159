// TBtr, the table object: one record file of the engine with everything an engine call
// needs, and every record operation on it.
//
// A table owns a 128-byte position block (the engine's cursor, written only by the engine),
// a data buffer of exactly DataBufferLength() bytes, a 255-byte key buffer that is sent
// with every call, the key number of the next call, the file's 16-byte file specification
// block, its key segments and its field and index definitions.
//
// Errors: a failed engine call raises engine::Btrexception (status text, status, carriage
// return, FileName()); the table's engine call CallBtrieve() is the only place that turns a
// status into an exception. Misuse (a refused property write, a negative buffer length)
// raises vastrel::Exception with a fixed English text; the property keeps its old value.
// Status 22 with IgnoreSmall() (the default) is no error: it sets MoreAvailable().
//
// Operations that borrow KeyNum() (open, owner, position, unlock, statistics, creation)
// put it back, also when they fail; only the key search changes it for good.
//
// Loading: between BeginLoading() and Loaded() the setters store without checks and
// without engine calls, and Active true is held back until Loaded() opens the file.
//
// Notifications (OnRecChanged, OnAutoCreate) run synchronously inside the operation that
// raises them, on the caller's thread. Not thread-safe: one thread uses a table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "dictionary/btrdictlist.h"
#include "dictionary/record_host.h"
#include "keys/btrklist.h"
#include "keys/file_flags.h"
#include "platform/export.h"
#include "platform/oleauto.h"
#include "table/field.h"

namespace vastrel::table {

// Enumerations of the table; each member's value is its position, the same value that the
// automation enumerations of the same names carry. The underlying type is wide enough to
// hold any value a host may write; values outside the members have the documented effect
// (mostly none).
enum BtrOpenModes : int32_t { bomNormal, bomAccelerated, bomReadOnly, bomVerify, bomExclusive };
enum BtrSharingModes : int32_t { bomDefault, bomSEFS, bomMEFS };
enum TStepType : int32_t { stNormal, stKeyOnly, stNoKeys };
enum TLockType : int32_t { ltNone, ltSinglewait, ltSinglenowait, ltMultiwait, ltMultinowait };
enum TTranType : int32_t { ttExclusive, ttConcurrent };
enum TOwnerProtection : int32_t {
  opNoAccessNoEncrypt,
  opReadAccessNoEncrypt,
  opNoAccessEncrypt,
  opReadAccessEncrypt,
};
enum TProgressType : int32_t { ptCompressing, ptUncompressing, ptWriting, ptReading };
// Kinds of Unlock.
enum TUnlockType : int32_t { utSingleSingle, utSingleMulti, utAllMulti };

using keys::BtrFileFlags;

inline constexpr int kPositionBlockSize = 128;
inline constexpr int kKeyBufferSize = 255;
inline constexpr int kFileSpecSize = 16;
inline constexpr int kMaxFileNameLength = 254;
inline constexpr int kMaxDbOwnerLength = 255;
inline constexpr int kMaxClientIdLength = 4;
// The owner area sent with open and set-owner: the first 8 characters of DbOwner and a zero.
inline constexpr int kOwnerAreaSize = 101;
inline constexpr int kOwnerNameLength = 8;
// The chunk descriptor of UpdateFixed: subfunction, chunk count, offset, length, and the
// 8-byte address of the chunk's bytes.
inline constexpr int kChunkDescriptorSize = 24;
inline constexpr uint32_t kChunkDirect = 0x80000001u;
// The statistics buffer: the file specification, 119 key blocks and 119 collating
// sequence definitions.
inline constexpr int kMaxKeyBlocks = 119;
inline constexpr int kAcsDefinitionSize = 265;
inline constexpr int kStatBufferSize =
    kFileSpecSize + kMaxKeyBlocks * keys::kKeySpecSize + kMaxKeyBlocks * kAcsDefinitionSize;

class VASTREL_API TBtr : public dictionary::RecordHost {
 public:
  using Notification = std::function<void(TBtr& sender)>;
  using ProgressNotification =
      std::function<void(TBtr& sender, TProgressType doing_what, int32_t perc_complete)>;

  TBtr();
  // Closes an open file; a failure to close is dropped, since nothing can report it here.
  ~TBtr() override;
  TBtr(const TBtr&) = delete;
  TBtr& operator=(const TBtr&) = delete;

  // ---- Loading saved properties ---------------------------------------------------------

  // Enters the loading state: setters store without checks and engine calls.
  void BeginLoading() { loading_ = true; }
  bool Loading() const { return loading_; }
  // Ends the loading state; when Active was loaded true, opens the file now that every
  // property is in place.
  void Loaded();

  // ---- Properties -----------------------------------------------------------------------

  // True while the file is open. Writing true opens (Open), false closes (Close); writing
  // the current value does nothing.
  bool Active() const override { return active_; }
  void SetActive(bool value);

  // The engine file's path, at most 254 characters: a longer name is refused ("File name is
  // too long: ...", naming it), also while loading, and the old name stays. Writing another
  // name on an open table closes the file and opens the new one; a failed reopen leaves the
  // new name stored and the table inactive.
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string_view value);

  // The data buffer. A write obtains a new buffer of exactly that many bytes, zero-filled;
  // the old content is not carried over. On an open table a length below RecordSize()
  // becomes RecordSize(). Writing the current length keeps the buffer and its content.
  // A negative length is refused ("DataBufferLength can't be negative") and the old
  // buffer stays; so is a new length while an engine call of this table is under way (host
  // code running inside the engine warm-up).
  uint8_t* DataBuffer() override { return data_buffer_.get(); }
  const uint8_t* DataBuffer() const override { return data_buffer_.get(); }
  int32_t DataBufferLength() const override { return data_buffer_length_; }
  void SetDataBufferLength(int32_t value);

  // The data buffer as text: its bytes up to the first zero byte, never beyond its length.
  std::string DataBufferText() const;
  // Writes the text and one zero byte at the start of the data buffer; the bytes after it
  // keep their content. At most DataBufferLength() - 1 characters are written: longer text
  // is cut, and nothing is written when there is no buffer.
  void SetDataBufferText(std::string_view text);

  // The record length of the file specification. Refused on an open table with
  // "Can't change Record Size on an active table". Grows a shorter data buffer.
  uint16_t RecordSize() const;
  void SetRecordSize(uint16_t value);
  // The page size; 1024 for a new table. Refused on an open table with
  // "Can't change Page Size on an active table".
  uint16_t PageSize() const;
  void SetPageSize(uint16_t value);
  // What the last statistics read: the number of keys and of records.
  uint16_t NumberOfKeys() const;
  uint32_t RecordCount() const;
  // The file flags, read from and written to the file specification's flags word.
  // Refused on an open table with "Can't change File Flags on an active table".
  BtrFileFlags FileFlags() const;
  void SetFileFlags(BtrFileFlags value);
  // The 16-byte file specification block in the engine's layout (record length, page size,
  // number of keys, number of records, flags word, duplicate pointers, preallocation).
  const std::array<uint8_t, kFileSpecSize>& FileSpec() const { return file_spec_; }

  // Refused on an open table with "Can't change Open modes on an active table".
  BtrOpenModes OpenMode() const { return open_mode_; }
  void SetOpenMode(BtrOpenModes value);
  // Refused on an open table with "Can't change Sharing modes on an active table".
  BtrSharingModes SharingMode() const { return sharing_mode_; }
  void SetSharingMode(BtrSharingModes value);

  // The owner name, at most 255 characters; the engine receives its first 8. On an open
  // table a write clears the old owner name of the file, then gives it the new one with
  // OwnerProtection(). A failed clear keeps the old name.
  const std::string& DbOwner() const { return db_owner_; }
  void SetDbOwner(std::string_view value);
  TOwnerProtection OwnerProtection() const { return owner_protection_; }
  void SetOwnerProtection(TOwnerProtection value) { owner_protection_ = value; }

  // When not empty, every engine call goes through the client entry with this ID. Writes
  // keep the first 4 characters of a value that differs (letter case significant).
  const std::string& ClientID() const { return client_id_; }
  void SetClientID(std::string_view value);

  // Search mode: no OnRecChanged, and statistics asked for meanwhile run once when it ends.
  bool Searching() const { return searching_; }
  void SetSearching(bool value);

  int16_t KeyNum() const { return key_num_; }
  void SetKeyNum(int16_t value) { key_num_ = value; }
  // The physical position: filled by GetPosition, sent by GetDirect and Unlock.
  int32_t Position() const { return position_; }
  void SetPosition(int32_t value) { position_ = value; }

  bool FirstOnOpen() const { return first_on_open_; }
  void SetFirstOnOpen(bool value) { first_on_open_ = value; }
  bool AutoCreate() const { return auto_create_; }
  void SetAutoCreate(bool value) { auto_create_ = value; }
  TStepType StepType() const { return step_type_; }
  void SetStepType(TStepType value) { step_type_ = value; }
  TLockType LockType() const { return lock_type_; }
  void SetLockType(TLockType value) { lock_type_ = value; }
  TTranType TranType() const { return tran_type_; }
  void SetTranType(TTranType value) { tran_type_ = value; }
  bool IgnoreSmall() const { return ignore_small_; }
  void SetIgnoreSmall(bool value) { ignore_small_ = value; }
  // The last read answered status 22 under IgnoreSmall(): the record did not fit.
  bool MoreAvailable() const { return more_available_; }
  // The data length the engine answered for the table's last read of a record into the
  // data buffer (navigation, GetDirect, getbypercentage): how many bytes of the record the
  // buffer holds, which for a variable-length file may be fewer than DataBufferLength().
  // 0 when that read failed.
  uint32_t LastReadLength() const { return last_read_length_; }
  // That read answered status 22 under IgnoreSmall(): the record is longer than
  // LastReadLength(). Unlike MoreAvailable(), every read sets it, GetDirect too.
  bool LastReadCut() const { return last_read_cut_; }
  bool StreamCompression() const { return stream_compression_; }
  void SetStreamCompression(bool value) { stream_compression_ = value; }

  // Format settings of typed field access and the key search; stored as given.
  const std::string& TRUEFormat() const override { return true_format_; }
  void SetTRUEFormat(std::string value) { true_format_ = std::move(value); }
  const std::string& FALSEFormat() const override { return false_format_; }
  void SetFALSEFormat(std::string value) { false_format_ = std::move(value); }
  const std::string& DATEFormat() const override { return date_format_; }
  void SetDATEFormat(std::string value) { date_format_ = std::move(value); }
  const std::string& TIMEFormat() const override { return time_format_; }
  void SetTIMEFormat(std::string value) { time_format_ = std::move(value); }
  char DecimalSeparator() const override { return decimal_separator_; }
  void SetDecimalSeparator(char value) { decimal_separator_ = value; }

  // The key segments. Statistics replace them with the open file's; creation reads them.
  keys::tkeylist& Keys() { return keys_; }
  const keys::tkeylist& Keys() const { return keys_; }
  void SetKeys(const keys::tkeylist& value) { keys_ = value; }
  // The field and index definitions. A write copies the other list's definitions.
  dictionary::TRecordItems& DDFFields() { return ddf_fields_; }
  const dictionary::TRecordItems& DDFFields() const { return ddf_fields_; }
  void SetDDFFields(const dictionary::TRecordItems& value) { ddf_fields_.AssignItems(value); }
  dictionary::TIndexItems& DDFIndexes() { return ddf_indexes_; }
  const dictionary::TIndexItems& DDFIndexes() const { return ddf_indexes_; }
  void SetDDFIndexes(const dictionary::TIndexItems& value) { ddf_indexes_.AssignItems(value); }
  // Typed access to the field that DDFFields() defines under `name`, letter case ignored:
  // Field("Qty").AsInteger(), Field("Name").SetAsString("washer"). An unknown name, a value
  // that does not fit and a text that is no value of the kind read raise vastrel::Exception
  // naming the field (see table/field.h).
  TField Field(std::string_view name) { return TField(ddf_fields_, name); }

  // The engine's version and revision, as "6.15". Calls the engine.
  std::string Version();
  // The component's fixed banner: name, version and maker's notice. A write is ignored.
  static std::string About();
  void SetAbout(std::string_view) {}

  // The current record changed: raised after successful reads and writes, except while
  // Searching() and with StepType() stKeyOnly.
  Notification OnRecChanged;
  // A file was created by opening with AutoCreate().
  Notification OnAutoCreate;
  // Kept and persisted for hosts that set it; never raised.
  ProgressNotification StreamingProgress;

  // ---- Record operations ----------------------------------------------------------------

  // The table's engine call: sends `operation` unchanged with the position block, the call
  // data area and length that the last operation left, the key buffer (length 255) and
  // KeyNum(). Raises Btrexception for any status but 0 and (with IgnoreSmall()) 22.
  virtual void CallBtrieve(uint16_t operation);

  // The code an operation sends: `operation` with the step type, the lock bias and the
  // transaction kind applied.
  uint16_t ComposeOperation(uint16_t operation) const;
  // The key number that opening sends for the current OpenMode() and SharingMode().
  int16_t OpenModeKeyNumber() const;

  // Opens FileName(): fills the file specification and Keys() from the file, grows the
  // data buffer to the record length, sets Active(); with FirstOnOpen() reads the first
  // record (a failure of that read leaves an all-zero data buffer and is not reported).
  // With AutoCreate() a missing file is created first (see CreateFile). When the statistics
  // fail after the engine opened the file, it is closed again and the table stays inactive.
  void Open();
  // Closes the file; a failed close leaves the table active.
  void Close();

  // Navigation: fills the data buffer with the record reached and clears MoreAvailable()
  // first. Equal and GreaterEq search for the key in the key buffer along KeyNum().
  void First();
  void Last();
  void Next();
  void Prev();
  void GreaterEq();
  void LessEq();
  void Equal();

  // Insert and Delete refresh the statistics, so RecordCount() follows.
  void Insert();
  // Replaces the current record by the data buffer.
  void Post();
  // Writes the first DataBufferLength() bytes of the current record from the data buffer
  // and leaves the rest of the record as it is.
  void UpdateFixed();
  void Delete();

  // Reads the current record's physical position into Position().
  void GetPosition();
  // Reads the record at Position(), taking up KeyNum() as the key path.
  void GetDirect();
  // Re-reads the current record along KeyNum(), so that navigation follows that key.
  // Never fails and raises no OnRecChanged.
  void SwitchKeys();
  // Releases locks: utSingleSingle the single-record lock, utSingleMulti the multiple
  // lock of the record at Position(), utAllMulti every multiple lock; another value sends
  // KeyNum() unchanged.
  void Unlock(int32_t type);

  void begintransaction();
  void committransaction();
  void aborttransaction();

  // Gives the open file the owner name DbOwner() with OwnerProtection(); nothing when
  // DbOwner() is empty.
  void SetOwner();
  // Removes the owner name of the open file; nothing when DbOwner() is empty.
  void clearowner();

  // The current record's place along KeyNum(), 0 to 10000 (hundredths of a percent).
  uint16_t findpercentage();
  // Reads the record at that place.
  void getbypercentage(uint16_t perc);

  // Creates FileName() from RecordSize(), PageSize(), FileFlags() and Keys(), opens it and
  // gives it DbOwner(). The file specification's number of keys is set from Keys() and its
  // record count cleared; the last segment ends its key.
  void CreateFile();
  // Refreshes the file specification and Keys() from the open file; while Searching()
  // only marks the request, which then runs when the search ends.
  void Stat();
  // How the open file uses its space, as the engine reports it (Stat's storage form): the
  // file's bytes, page size, pages in use, map bytes, pages of records, of keys and of the
  // rest, and free pages. Nothing from an engine without that form.
  std::optional<std::array<uint64_t, 8>> StorageFigures();
  // Statistics were asked for while Searching().
  bool StatPending() const { return stat_pending_; }

  // ---- Key buffer views ------------------------------------------------------------------
  //
  // Views of the key buffer from its byte 0, little-endian. None calls the engine and none
  // fails; a write changes only the bytes it names. After a read the engine has put the
  // key of the record reached there.

  // The bytes before the first zero byte. A write puts the text and one zero byte; text
  // beyond 254 characters does not fit with its zero byte and is cut.
  std::string KeyBuffer() const;
  void SetKeyBuffer(std::string_view text);
  // Length-prefixed text: byte 0 holds the length n, bytes 1 to n the characters. A write
  // cuts the text to 254 characters and adds no zero byte. A length byte of 255 reads the
  // 254 characters the buffer holds.
  std::string KeyString() const;
  void SetKeyString(std::string_view text);
  uint8_t KeyByte() const { return key_buffer_[0]; }
  void SetKeyByte(uint8_t value) { key_buffer_[0] = value; }
  uint16_t KeyWord() const;
  void SetKeyWord(uint16_t value);
  int16_t KeyInt() const;
  void SetKeyInt(int16_t value);
  int32_t KeyLong() const;
  void SetKeyLong(int32_t value);
  double KeyDouble() const;
  void SetKeyDouble(double value);
  // Sets all 255 bytes to zero.
  void ClearKeyBuffer() { key_buffer_.fill(0); }

  // ---- Search by index name ---------------------------------------------------------------
  //
  // The index is the first definition of DDFIndexes() whose name equals index_name exactly
  // (letter case significant). The search takes its key number, turns key_value into text
  // by the value's kind, pads it with blanks to the Length() of segment KeyNum() of Keys()
  // (when there is one), and puts it with a zero byte into the key buffer. A name that no
  // index has leaves KeyNum() and the key buffer as they are and searches with them.
  //
  // Text by kind: VT_I2, VT_I4, VT_UI1 in decimal; VT_R4, VT_R8, VT_CY in general format
  // with DecimalSeparator(); VT_DATE by DATEFormat(); VT_BOOL as TRUEFormat() or
  // FALSEFormat(); VT_BSTR (and kind 256) the text itself; VT_UNKNOWN raises the
  // platform's "Invalid variant type conversion"; any other kind, by-reference values
  // included, gives empty text.
  //
  // Engine failures of the read are the answer false and restore KeyNum(); on success
  // KeyNum() stays the index's key number. Errors of the preparation (the conversion error
  // above, a date out of range, a negative key number asking for segment -1) are raised
  // and leave KeyNum() as it was.

  // Reads the record whose key equals the value (Get Equal).
  bool FindKey(std::string_view index_name, const VARIANT& key_value);
  // Reads the first record whose key is greater than or equal to the value.
  bool Locate(std::string_view index_name, const VARIANT& key_value);
  // The next or previous record along KeyNum(); false at the end or on any failure.
  bool LocateNext();
  bool LocatePrior();

  // The key text that a search would put into the key buffer for this value and KeyNum().
  std::string KeyText(const VARIANT& key_value) const;

  // The 255 bytes of the key buffer.
  uint8_t* KeyBufferBytes() { return key_buffer_.data(); }
  const uint8_t* KeyBufferBytes() const { return key_buffer_.data(); }
  // The position block, for diagnostics and tests; only the engine writes it.
  const uint8_t* PositionBlock() const { return position_block_.data(); }

 protected:
  // Raises OnRecChanged when a handler is set, Searching() is false and StepType() is not
  // stKeyOnly.
  virtual void RecChanged();

 private:
  enum class CallArea { kNone, kDataBuffer, kPosition, kOwn };
  class OwnArea;
  class KeyNumLoan;

  void RequireInactive(const char* message) const;
  bool Guarded() const { return active_ && !loading_; }
  void SetCallArea(CallArea kind, uint32_t length, uint8_t* own = nullptr);
  void Navigate(uint16_t operation);
  void ReadRecord(uint16_t code);
  void ReadFirstAfterOpen();
  void OpenFile();
  void CreateOnOpen();
  void CloseQuietly() noexcept;
  void FillOwnerArea(uint8_t* area) const;
  std::string ConvertedFileName() const;
  void PutFileNameIntoKeyBuffer();
  bool Search(std::string_view index_name, const VARIANT& key_value, void (TBtr::*read)());
  uint16_t Spec16(int offset) const;
  void SetSpec16(int offset, uint16_t value);

  bool stream_compression_ = false;
  std::array<uint8_t, kFileSpecSize> file_spec_{};
  bool active_ = false;
  bool loading_ = false;
  // The engine holds an open file for this table's position block. Mostly the same as
  // active_, which loading may store either way: an open or a load must never open the
  // block a second time, which would leave the first open behind with its locks.
  bool open_ = false;
  bool first_on_open_ = false;
  bool stat_pending_ = false;
  bool auto_create_ = false;
  struct FreeBuffer {
    void operator()(uint8_t* p) const noexcept;
  };
  // Zero-filled by calloc, which gets large buffers as fresh zero pages without touching them.
  std::unique_ptr<uint8_t[], FreeBuffer> data_buffer_;
  int32_t data_buffer_length_ = 0;
  // What the next engine call sends as its data area. The data buffer and the Position
  // field are resolved at the time of the call, so that a reallocated buffer is never sent
  // by a stale address; an operation's own area lives only as long as that operation.
  CallArea call_area_ = CallArea::kNone;
  uint8_t* call_area_own_ = nullptr;
  uint32_t call_data_length_ = 0;
  // Engine calls of this table under way; more than one only when host code re-enters the
  // table from inside the engine warm-up.
  int calls_in_flight_ = 0;
  std::array<uint8_t, kKeyBufferSize> key_buffer_{};
  std::string file_name_;
  keys::tkeylist keys_;
  dictionary::TRecordItems ddf_fields_{*this};
  dictionary::TIndexItems ddf_indexes_{*this};
  bool searching_ = false;
  std::string client_id_;
  int16_t key_num_ = 0;
  BtrOpenModes open_mode_ = bomNormal;
  BtrSharingModes sharing_mode_ = bomDefault;
  std::array<uint8_t, kPositionBlockSize> position_block_{};
  int32_t position_ = 0;
  TStepType step_type_ = stNormal;
  TLockType lock_type_ = ltNone;
  TTranType tran_type_ = ttConcurrent;
  std::string db_owner_;
  TOwnerProtection owner_protection_ = opNoAccessNoEncrypt;
  bool ignore_small_ = true;
  bool more_available_ = false;
  // What the last read of a record answered (LastReadLength, LastReadCut), and the status
  // of the last engine call, which tells a cut read from a whole one.
  uint32_t last_read_length_ = 0;
  bool last_read_cut_ = false;
  int16_t last_status_ = 0;
  std::string true_format_ = "1";
  std::string false_format_ = "0";
  std::string date_format_ = "YYYYMMDD";
  std::string time_format_ = "HH:NN:SS";
  char decimal_separator_ = '.';
};

}  // namespace vastrel::table
