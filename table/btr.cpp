#include "table/btr.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "enginecore/include/wbtrv32.h"
#include "platform/error.h"
#include "platform/hooks.h"
#include "platform/locale.h"

namespace vastrel::table {

static_assert(std::endian::native == std::endian::little,
              "the engine's areas are little-endian and are filled by plain copies");

namespace {

constexpr int kSpecRecordLength = 0;
constexpr int kSpecPageSize = 2;
constexpr int kSpecNumberOfKeys = 4;
constexpr int kSpecRecordCount = 6;
constexpr int kSpecFlags = 10;
constexpr int kSpecUnused = 13;

std::string_view Cut(std::string_view text, size_t length) {
  return text.substr(0, std::min(text.size(), length));
}

}  // namespace

// Points the call data area at an operation's own storage for the life of the operation.
// When the operation ends, however it ends, the area goes back to the data buffer with
// DataBufferLength(), so that a later call that sends "what the last operation left"
// (transactions, clearowner, a host's CallBtrieve) never sends storage that is gone.
class TBtr::OwnArea {
 public:
  OwnArea(TBtr& table, uint8_t* area, uint32_t length) : table_(table) {
    table_.SetCallArea(CallArea::kOwn, length, area);
  }
  ~OwnArea() {
    table_.SetCallArea(CallArea::kDataBuffer,
                       static_cast<uint32_t>(std::max(table_.data_buffer_length_, 0)));
  }
  OwnArea(const OwnArea&) = delete;
  OwnArea& operator=(const OwnArea&) = delete;

 private:
  TBtr& table_;
};

// Borrows KeyNum for one operation and puts it back when the operation ends, also on failure.
class TBtr::KeyNumLoan {
 public:
  KeyNumLoan(TBtr& table, int16_t key_number) : table_(table), saved_(table.key_num_) {
    table_.key_num_ = key_number;
  }
  ~KeyNumLoan() { table_.key_num_ = saved_; }
  KeyNumLoan(const KeyNumLoan&) = delete;
  KeyNumLoan& operator=(const KeyNumLoan&) = delete;

 private:
  TBtr& table_;
  int16_t saved_;
};

// ---- Life ---------------------------------------------------------------------------------

TBtr::TBtr() { SetPageSize(1024); }

TBtr::~TBtr() {
  loading_ = false;  // an open file is closed even if loading never ended
  try {
    if (open_) Close();
  } catch (...) {
    // The file could not be closed. The engine still drops it when its client stops.
  }
}

void TBtr::Loaded() {
  loading_ = false;
  if (open_) {
    // Loaded on a table whose file is open already: nothing to open, and the table is
    // what it was before loading began.
    active_ = true;
    return;
  }
  if (active_) {
    active_ = false;
    SetActive(true);
  }
}

// ---- Properties ---------------------------------------------------------------------------

void TBtr::RequireInactive(const char* message) const {
  if (Guarded()) throw Exception(message);
}

void TBtr::SetActive(bool value) {
  if (value == active_) return;
  if (loading_) {
    active_ = value;
    return;
  }
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TBtr::SetFileName(std::string_view value) {
  // A name cut to what fits would name another file: two paths that differ only past the
  // limit would reach the same one.
  if (value.size() > static_cast<size_t>(kMaxFileNameLength)) {
    throw Exception("File name is too long: \"" + std::string(value) + "\" has " +
                    std::to_string(value.size()) + " characters, at most " +
                    std::to_string(kMaxFileNameLength) + " fit");
  }
  if (value == file_name_) return;
  const bool was_active = active_;
  SetActive(false);
  file_name_ = value;
  SetActive(was_active);
}

void TBtr::FreeBuffer::operator()(uint8_t* p) const noexcept { std::free(p); }

void TBtr::SetDataBufferLength(int32_t value) {
  if (value < 0) {
    throw Exception("DataBufferLength can't be negative (" + std::to_string(value) + ")");
  }
  if (Guarded() && value < static_cast<int32_t>(RecordSize())) value = RecordSize();
  if (value == data_buffer_length_) return;
  if (calls_in_flight_ > 0) {
    throw Exception("Can't change DataBufferLength during an engine call");
  }
  std::unique_ptr<uint8_t[], FreeBuffer> buffer;
  if (value != 0) {
    // Obtained before the old buffer goes, so that a failure keeps the table as it was.
    buffer.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(value), 1)));
    if (!buffer) {
      throw Exception("Not enough memory for a data buffer of " + std::to_string(value) + " bytes");
    }
  }
  data_buffer_ = std::move(buffer);
  data_buffer_length_ = value;
}

std::string TBtr::DataBufferText() const {
  if (!data_buffer_) return {};
  const auto* begin = data_buffer_.get();
  const auto* end = begin + data_buffer_length_;
  return std::string(begin, std::find(begin, end, uint8_t{0}));
}

void TBtr::SetDataBufferText(std::string_view text) {
  if (data_buffer_length_ <= 0) return;
  text = Cut(text, static_cast<size_t>(data_buffer_length_ - 1));
  std::memcpy(data_buffer_.get(), text.data(), text.size());
  data_buffer_[text.size()] = 0;
}

uint16_t TBtr::Spec16(int offset) const {
  return static_cast<uint16_t>(file_spec_[offset] | (file_spec_[offset + 1] << 8));
}

void TBtr::SetSpec16(int offset, uint16_t value) {
  file_spec_[offset] = static_cast<uint8_t>(value);
  file_spec_[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t TBtr::RecordSize() const { return Spec16(kSpecRecordLength); }

void TBtr::SetRecordSize(uint16_t value) {
  if (value == RecordSize()) return;
  RequireInactive("Can't change Record Size on an active table");
  SetSpec16(kSpecRecordLength, value);
  if (data_buffer_length_ < static_cast<int32_t>(value)) SetDataBufferLength(value);
}

uint16_t TBtr::PageSize() const { return Spec16(kSpecPageSize); }

void TBtr::SetPageSize(uint16_t value) {
  if (value == PageSize()) return;
  RequireInactive("Can't change Page Size on an active table");
  SetSpec16(kSpecPageSize, value);
}

uint16_t TBtr::NumberOfKeys() const { return Spec16(kSpecNumberOfKeys); }

uint32_t TBtr::RecordCount() const {
  uint32_t count;
  std::memcpy(&count, &file_spec_[kSpecRecordCount], sizeof count);
  return count;
}

BtrFileFlags TBtr::FileFlags() const { return keys::FileFlagsFromWord(Spec16(kSpecFlags)); }

void TBtr::SetFileFlags(BtrFileFlags value) {
  if (value == FileFlags()) return;
  RequireInactive("Can't change File Flags on an active table");
  SetSpec16(kSpecFlags, keys::FileFlagsToWord(value));
}

void TBtr::SetOpenMode(BtrOpenModes value) {
  if (value == open_mode_) return;
  RequireInactive("Can't change Open modes on an active table");
  open_mode_ = value;
}

void TBtr::SetSharingMode(BtrSharingModes value) {
  if (value == sharing_mode_) return;
  RequireInactive("Can't change Sharing modes on an active table");
  sharing_mode_ = value;
}

void TBtr::SetDbOwner(std::string_view value) {
  value = Cut(value, kMaxDbOwnerLength);
  if (value == db_owner_) return;
  if (Guarded()) clearowner();
  db_owner_ = value;
  if (Guarded()) SetOwner();
}

void TBtr::SetClientID(std::string_view value) {
  if (value == client_id_) return;
  client_id_ = Cut(value, kMaxClientIdLength);
}

void TBtr::SetSearching(bool value) {
  if (value == searching_) return;
  searching_ = value;
  if (value) {
    stat_pending_ = false;
  } else if (stat_pending_) {
    Stat();
  }
}

std::string TBtr::Version() {
  std::array<uint8_t, 10> area{};
  {
    OwnArea own(*this, area.data(), static_cast<uint32_t>(area.size()));
    CallBtrieve(engine::kOpVersion);
  }
  const unsigned version = area[0] | (area[1] << 8);
  const unsigned revision = area[2] | (area[3] << 8);
  return std::to_string(version) + "." + std::to_string(revision);
}

std::string TBtr::About() {
  return "Vastrel " VASTREL_VERSION_TEXT
         " - record-level access to record files. Copyright (c) 2026 the Vastrel developers.";
}

// ---- The engine call ----------------------------------------------------------------------

void TBtr::SetCallArea(CallArea kind, uint32_t length, uint8_t* own) {
  call_area_ = kind;
  call_area_own_ = own;
  call_data_length_ = length;
}

void TBtr::CallBtrieve(uint16_t operation) {
  void* area = nullptr;
  switch (call_area_) {
    case CallArea::kNone:
      break;
    case CallArea::kDataBuffer:
      // The buffer may have shrunk since the length was set: never offer more than it has.
      area = data_buffer_.get();
      call_data_length_ =
          std::min(call_data_length_, static_cast<uint32_t>(std::max(data_buffer_length_, 0)));
      break;
    case CallArea::kPosition:
      area = &position_;
      call_data_length_ = std::min<uint32_t>(call_data_length_, sizeof position_);
      break;
    case CallArea::kOwn:
      area = call_area_own_;
      break;
  }
  // The first engine call of the module lets the host's message loop run, and host code may
  // use this same table meanwhile. The length travels in a copy, so that such a nested call
  // cannot change what this one offers, and the data buffer cannot be replaced (see
  // SetDataBufferLength) while the engine may still write into it.
  uint32_t length = call_data_length_;
  engine::StatusCode status;
  {
    struct InCall {
      int& depth;
      explicit InCall(int& d) : depth(d) { ++depth; }
      ~InCall() { --depth; }
    } in_call(calls_in_flight_);
    if (!client_id_.empty()) {
      status = engine::EngineCallWithID(operation, position_block_.data(), area, &length,
                                        key_buffer_.data(), kKeyBufferSize, key_num_, client_id_);
    } else {
      status = engine::EngineCall(operation, position_block_.data(), area, &length,
                                  key_buffer_.data(), kKeyBufferSize, key_num_);
    }
  }
  call_data_length_ = length;
  last_status_ = status;
  if (status == 0) return;
  if (status == BTR_DATA_LENGTH && ignore_small_) {
    more_available_ = true;
    return;
  }
  throw engine::Btrexception(status, file_name_);
}

uint16_t TBtr::ComposeOperation(uint16_t operation) const {
  const uint16_t base = operation;
  uint16_t code = operation;
  if (step_type_ == stKeyOnly && base >= 5 && base <= 13) {
    code = static_cast<uint16_t>(base + 50);
  } else if (step_type_ == stNoKeys) {
    switch (base) {
      case engine::kOpGetNext:
        code = engine::kOpStepNext;
        break;
      case engine::kOpGetPrevious:
        code = engine::kOpStepPrevious;
        break;
      case engine::kOpGetFirst:
        code = engine::kOpStepFirst;
        break;
      case engine::kOpGetLast:
        code = engine::kOpStepLast;
        break;
      default:
        break;
    }
  }
  const bool takes_lock = (base >= 5 && base <= 13) || base == engine::kOpBeginTransaction ||
                          base == engine::kOpGetDirect || base == engine::kOpStepNext ||
                          base == engine::kOpStepFirst || base == engine::kOpStepLast ||
                          base == engine::kOpStepPrevious;
  if (takes_lock && lock_type_ >= ltSinglewait && lock_type_ <= ltMultinowait) {
    code = static_cast<uint16_t>(code + 100 * lock_type_);
  }
  if (base == engine::kOpBeginTransaction && tran_type_ == ttConcurrent) {
    code = static_cast<uint16_t>(code + 1000);
  }
  return code;
}

int16_t TBtr::OpenModeKeyNumber() const {
  // The engine reads the low 8 bits, signed: 255, 254 and 252 are -1, -2 and -4.
  static constexpr uint16_t kByMode[] = {0x0000, 0x00FF, 0x00FE, 0xFFFD, 0x00FC};
  uint16_t number = static_cast<uint16_t>(key_num_);
  if (open_mode_ >= bomNormal && open_mode_ <= bomExclusive) number = kByMode[open_mode_];
  if (sharing_mode_ == bomSEFS) number |= 0xFFE0;
  if (sharing_mode_ == bomMEFS) number |= 0xFFC0;
  return static_cast<int16_t>(number);
}

void TBtr::RecChanged() {
  if (!searching_ && OnRecChanged && step_type_ != stKeyOnly) OnRecChanged(*this);
}

// ---- Open and close -----------------------------------------------------------------------

void TBtr::FillOwnerArea(uint8_t* area) const {
  std::memset(area, 0, kOwnerAreaSize);
  const std::string_view name = Cut(db_owner_, kOwnerNameLength);
  std::memcpy(area, name.data(), name.size());
}

std::string TBtr::ConvertedFileName() const {
  // FileName is single-byte text; the file system names files in UTF-8, so the engine
  // receives the name as every other program on the machine spells it.
  return platform::SingleByteToUtf8(file_name_);
}

void TBtr::PutFileNameIntoKeyBuffer() {
  const std::string name = ConvertedFileName();
  // A name of 254 characters can grow up to three times in UTF-8: one that no longer fits
  // with its zero byte is refused, never cut into the name of another file.
  if (name.size() > static_cast<size_t>(kKeyBufferSize - 1)) {
    throw Exception("File name is too long: \"" + file_name_ + "\" takes " +
                    std::to_string(name.size()) + " bytes in UTF-8, at most " +
                    std::to_string(kKeyBufferSize - 1) + " fit into the key buffer");
  }
  std::memcpy(key_buffer_.data(), name.data(), name.size());
  key_buffer_[name.size()] = 0;
}

void TBtr::Open() {
  // An open file is closed first, as Close does: a second open over the same position
  // block would leave the first one behind, holding its locks until the client stops.
  if (open_) Close();
  const int16_t saved_key_num = key_num_;
  try {
    OpenFile();
  } catch (...) {
    key_num_ = saved_key_num;
    if (active_ && first_on_open_) ReadFirstAfterOpen();
    throw;
  }
  key_num_ = saved_key_num;
  if (active_ && first_on_open_) ReadFirstAfterOpen();
}

void TBtr::OpenFile() {
  key_num_ = OpenModeKeyNumber();
  std::array<uint8_t, kOwnerAreaSize> owner_area;
  FillOwnerArea(owner_area.data());
  PutFileNameIntoKeyBuffer();
  bool opened_here = false;
  try {
    OwnArea own(*this, owner_area.data(), kOwnerAreaSize);
    CallBtrieve(static_cast<uint16_t>(ComposeOperation(engine::kOpOpen)));
    open_ = true;
    opened_here = !active_;
  } catch (const engine::Btrexception& e) {
    if (e.Status() != BTR_FILE_NOT_FOUND || !auto_create_) throw;
    CreateOnOpen();
  }
  try {
    Stat();
    if (data_buffer_length_ < static_cast<int32_t>(RecordSize())) {
      SetDataBufferLength(RecordSize());
    }
  } catch (...) {
    // The table stays inactive, so the file the engine opened for it must not stay open
    // behind its back: a later open would reuse the position block of a live file.
    if (opened_here) CloseQuietly();
    throw;
  }
  active_ = true;
}

void TBtr::CloseQuietly() noexcept {
  try {
    SetCallArea(CallArea::kNone, 0);
    CallBtrieve(ComposeOperation(engine::kOpClose));
    open_ = false;
  } catch (...) {
    // The open's own failure is the one the caller hears about.
  }
}

void TBtr::CreateOnOpen() {
  const std::string original_owner = db_owner_;
  // The owner name the open call sent; the new file gets it once it exists.
  const std::string sent_owner(Cut(db_owner_, kOwnerNameLength));
  db_owner_.clear();
  try {
    CreateFile();
  } catch (...) {
    // The table is inactive, so this only stores the name again.
    db_owner_ = original_owner;
    throw;
  }
  if (OnAutoCreate) {
    try {
      OnAutoCreate(*this);
    } catch (...) {
      SetDbOwner(sent_owner);
      throw;
    }
  }
  SetDbOwner(sent_owner);
}

void TBtr::ReadFirstAfterOpen() {
  try {
    First();
  } catch (...) {
    if (data_buffer_) std::memset(data_buffer_.get(), 0, static_cast<size_t>(data_buffer_length_));
  }
}

void TBtr::Close() {
  SetCallArea(CallArea::kNone, 0);
  CallBtrieve(ComposeOperation(engine::kOpClose));
  open_ = false;
  active_ = false;
}

// ---- Navigation and record writes ---------------------------------------------------------

void TBtr::Navigate(uint16_t operation) {
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  more_available_ = false;
  ReadRecord(ComposeOperation(operation));
  RecChanged();
}

// One engine call that reads a record into the data buffer, and what it answered of it.
void TBtr::ReadRecord(uint16_t code) {
  last_read_length_ = 0;
  last_read_cut_ = false;
  CallBtrieve(code);
  last_read_length_ = call_data_length_;
  last_read_cut_ = last_status_ == BTR_DATA_LENGTH;
}

void TBtr::First() { Navigate(engine::kOpGetFirst); }
void TBtr::Last() { Navigate(engine::kOpGetLast); }
void TBtr::Next() { Navigate(engine::kOpGetNext); }
void TBtr::Prev() { Navigate(engine::kOpGetPrevious); }
void TBtr::GreaterEq() { Navigate(engine::kOpGetGreaterOrEqual); }
void TBtr::LessEq() { Navigate(engine::kOpGetLessOrEqual); }
void TBtr::Equal() { Navigate(engine::kOpGetEqual); }

void TBtr::Insert() {
  platform::BusyCursor busy;
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  CallBtrieve(ComposeOperation(engine::kOpInsert));
  Stat();
  RecChanged();
}

void TBtr::Post() {
  platform::BusyCursor busy;
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  CallBtrieve(ComposeOperation(engine::kOpUpdate));
  RecChanged();
}

void TBtr::Delete() {
  platform::BusyCursor busy;
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  CallBtrieve(ComposeOperation(engine::kOpDelete));
  Stat();
  RecChanged();
}

void TBtr::UpdateFixed() {
  platform::BusyCursor busy;
  // One chunk at offset 0 of DataBufferLength bytes, taken directly from the data buffer.
  // The address field is pointer-sized, so the engine reads from the buffer itself.
  std::array<uint8_t, kChunkDescriptorSize> descriptor{};
  const uint32_t words[4] = {kChunkDirect, 1, 0, static_cast<uint32_t>(data_buffer_length_)};
  std::memcpy(descriptor.data(), words, sizeof words);
  const uint64_t address = reinterpret_cast<uintptr_t>(data_buffer_.get());
  std::memcpy(descriptor.data() + 16, &address, sizeof address);
  {
    OwnArea own(*this, descriptor.data(), kChunkDescriptorSize);
    CallBtrieve(engine::kOpUpdateChunk);
  }
  RecChanged();
}

// ---- Positions, locks, transactions, owners -------------------------------------------------

void TBtr::GetPosition() {
  KeyNumLoan loan(*this, 0);
  SetCallArea(CallArea::kPosition, sizeof position_);
  CallBtrieve(ComposeOperation(engine::kOpGetPosition));
}

void TBtr::GetDirect() {
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  if (data_buffer_) {
    // A buffer shorter than a position carries what fits; the engine is told its length.
    std::memcpy(data_buffer_.get(), &position_,
                std::min(sizeof position_, static_cast<size_t>(data_buffer_length_)));
    if (data_buffer_length_ > 4) data_buffer_[4] = 0;
  }
  ReadRecord(ComposeOperation(engine::kOpGetDirect));
  RecChanged();
}

void TBtr::SwitchKeys() {
  const bool was_searching = searching_;
  SetSearching(true);
  try {
    GetPosition();
    GetDirect();
  } catch (const std::exception&) {
    // Re-reading is a courtesy to the following navigation; its failure is not reported.
  }
  try {
    SetSearching(was_searching);
  } catch (const std::exception&) {
    // Deferred statistics failed; they run again with the next insert, delete or open.
  }
}

void TBtr::Unlock(int32_t type) {
  int16_t key_number = key_num_;
  switch (type) {
    case utSingleSingle:
      key_number = 1;
      break;
    case utSingleMulti:
      key_number = -1;
      break;
    case utAllMulti:
      key_number = -2;
      break;
    default:
      break;
  }
  KeyNumLoan loan(*this, key_number);
  if (data_buffer_length_ >= static_cast<int32_t>(sizeof position_)) {
    std::memcpy(data_buffer_.get(), &position_, sizeof position_);
    SetCallArea(CallArea::kDataBuffer, sizeof position_);
    CallBtrieve(engine::kOpUnlock);
  } else {
    // No room for the position in the data buffer: it travels in an area of its own.
    int32_t position = position_;
    OwnArea own(*this, reinterpret_cast<uint8_t*>(&position), sizeof position);
    CallBtrieve(engine::kOpUnlock);
  }
}

void TBtr::begintransaction() { CallBtrieve(ComposeOperation(engine::kOpBeginTransaction)); }

void TBtr::committransaction() {
  platform::BusyCursor busy;
  CallBtrieve(ComposeOperation(engine::kOpEndTransaction));
}

void TBtr::aborttransaction() { CallBtrieve(ComposeOperation(engine::kOpAbortTransaction)); }

void TBtr::SetOwner() {
  if (db_owner_.empty()) return;
  KeyNumLoan loan(*this, static_cast<int16_t>(owner_protection_));
  std::array<uint8_t, kOwnerAreaSize> owner_area;
  FillOwnerArea(owner_area.data());
  // The name and its zero byte (at most 9 bytes); the rest of the key buffer stays.
  const size_t name_length = Cut(db_owner_, kOwnerNameLength).size();
  std::memcpy(key_buffer_.data(), owner_area.data(), name_length + 1);
  OwnArea own(*this, owner_area.data(), kOwnerAreaSize);
  CallBtrieve(ComposeOperation(engine::kOpSetOwner));
}

void TBtr::clearowner() {
  if (db_owner_.empty()) return;
  CallBtrieve(ComposeOperation(engine::kOpClearOwner));
}

uint16_t TBtr::findpercentage() {
  std::array<uint8_t, 4> area{};
  {
    OwnArea own(*this, area.data(), static_cast<uint32_t>(area.size()));
    CallBtrieve(engine::kOpFindPercentage);
  }
  return static_cast<uint16_t>(area[0] | (area[1] << 8));
}

void TBtr::getbypercentage(uint16_t perc) {
  SetCallArea(CallArea::kDataBuffer, static_cast<uint32_t>(data_buffer_length_));
  if (data_buffer_) {
    std::memcpy(data_buffer_.get(), &perc,
                std::min(sizeof perc, static_cast<size_t>(data_buffer_length_)));
  }
  more_available_ = false;
  ReadRecord(engine::kOpGetByPercentage);
  RecChanged();
}

// ---- Creation and statistics --------------------------------------------------------------

void TBtr::CreateFile() {
  const int segments = keys_.Count();
  int acs_room = 0;
  for (int i = 0; i < segments; ++i) acs_room += keys_[i].KeySortedbyACS() ? 1 : 0;
  // The collating sequence definitions are not kept; their room is sent zero-filled.
  std::vector<uint8_t> buffer(static_cast<size_t>(kFileSpecSize + keys::kKeySpecSize * segments +
                                                  kAcsDefinitionSize * acs_room));

  struct Restore {
    TBtr& t;
    int16_t key_num;
    bool auto_create;
    ~Restore() {
      t.key_num_ = key_num;
      t.auto_create_ = auto_create;
    }
  } restore{*this, key_num_, auto_create_};
  key_num_ = -1;  // the engine's "do not replace an existing file"
  auto_create_ = false;

  std::memset(&file_spec_[kSpecRecordCount], 0, 4);
  file_spec_[kSpecUnused] = 0;
  SetSpec16(kSpecNumberOfKeys, static_cast<uint16_t>(keys_.CountKeys()));

  std::memcpy(buffer.data(), file_spec_.data(), kFileSpecSize);
  for (int i = 0; i < segments; ++i) {
    keys_[i].WriteBlockTo(buffer.data() + kFileSpecSize + keys::kKeySpecSize * i);
  }
  PutFileNameIntoKeyBuffer();

  // The length covers the segments of the declared keys and the collating sequences they
  // name, but never more than the buffer holds.
  const int key_count = Spec16(kSpecNumberOfKeys);
  int sent_segments = 0;
  int acs_named = 0;
  for (int ended = 0; ended < key_count && sent_segments < segments; ++sent_segments) {
    const keys::TKey& key = keys_[sent_segments];
    if (key.ACS() != 0) ++acs_named;
    if (!key.Segment()) ++ended;
  }
  const size_t length = std::min<size_t>(
      kFileSpecSize + keys::kKeySpecSize * sent_segments + kAcsDefinitionSize * acs_named,
      buffer.size());
  {
    OwnArea own(*this, buffer.data(), static_cast<uint32_t>(length));
    CallBtrieve(ComposeOperation(engine::kOpCreate));
  }
  Open();
  if (!db_owner_.empty()) SetOwner();
}

void TBtr::Stat() {
  if (searching_) {
    stat_pending_ = true;
    return;
  }
  stat_pending_ = false;
  std::vector<uint8_t> buffer(kStatBufferSize);
  KeyNumLoan loan(*this, 0);
  {
    OwnArea own(*this, buffer.data(), kStatBufferSize);
    CallBtrieve(ComposeOperation(engine::kOpStat));
  }
  const int key_count = buffer[kSpecNumberOfKeys] | (buffer[kSpecNumberOfKeys + 1] << 8);
  int segments = 0;
  for (int ended = 0; ended < key_count && segments < kMaxKeyBlocks; ++segments) {
    uint16_t flags;
    std::memcpy(&flags, &buffer[kFileSpecSize + keys::kKeySpecSize * segments + 4], sizeof flags);
    if ((flags & keys::kFlagSegment) == 0) ++ended;
  }
  keys_.SetCount(segments);
  std::memcpy(file_spec_.data(), buffer.data(), kFileSpecSize);
  for (int i = 0; i < keys_.Count(); ++i) {
    keys_[i].ReadBlockFrom(buffer.data() + kFileSpecSize + keys::kKeySpecSize * i);
  }
}

std::optional<std::array<uint64_t, 8>> TBtr::StorageFigures() {
  std::array<uint8_t, 64> area{};
  KeyNumLoan loan(*this, -1);
  {
    OwnArea own(*this, area.data(), static_cast<uint32_t>(area.size()));
    try {
      CallBtrieve(engine::kOpStat);
    } catch (const engine::Btrexception& e) {
      if (e.Status() == BTR_INVALID_FUNCTION) return std::nullopt;
      throw;
    }
    // An engine without the storage form answers with the statistics, of another length.
    if (call_data_length_ != area.size()) return std::nullopt;
  }
  std::array<uint64_t, 8> figures{};
  for (size_t i = 0; i < figures.size(); ++i) {
    for (int b = 7; b >= 0; --b) figures[i] = figures[i] << 8 | area[i * 8 + b];
  }
  return figures;
}

}  // namespace vastrel::table
