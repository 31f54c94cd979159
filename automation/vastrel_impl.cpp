#include "automation/vastrel_impl.h"

#include <string>

#include "automation/ddf_objects.h"
#include "automation/key_objects.h"
#include "automation/persistence.h"
#include "platform/error.h"

namespace vastrel::automation {

namespace {

TVastrel::AboutBoxHandler g_about_box = nullptr;

// The order in which a FileFlags write adds its true members.
constexpr keys::BtrFileFlag kFlagWriteOrder[] = {keys::ff10,
                                                 keys::ff20,
                                                 keys::ff30,
                                                 keys::ffCompress,
                                                 keys::ffDuplicatePtrs,
                                                 keys::ffIndexBalancing,
                                                 keys::ffKeyNumSpecified,
                                                 keys::ffKeyOnly,
                                                 keys::ffPreallocate,
                                                 keys::ffTruncateBlank,
                                                 keys::ffUseVATs,
                                                 keys::ffVariableLength};

VARIANT_BOOL TxFileFlags::*FlagMember(keys::BtrFileFlag m) {
  switch (m) {
    case keys::ffVariableLength:
      return &TxFileFlags::ffVariableLength;
    case keys::ffTruncateBlank:
      return &TxFileFlags::ffTruncateBlank;
    case keys::ffPreallocate:
      return &TxFileFlags::ffPreallocate;
    case keys::ffCompress:
      return &TxFileFlags::ffCompress;
    case keys::ffKeyOnly:
      return &TxFileFlags::ffKeyOnly;
    case keys::ffIndexBalancing:
      return &TxFileFlags::ffIndexBalancing;
    case keys::ff10:
      return &TxFileFlags::ff10;
    case keys::ff20:
      return &TxFileFlags::ff20;
    case keys::ff30:
      return &TxFileFlags::ff30;
    case keys::ffDuplicatePtrs:
      return &TxFileFlags::ffDuplicatePtrs;
    case keys::ffKeyNumSpecified:
      return &TxFileFlags::ffKeyNumSpecified;
    case keys::ffUseVATs:
      return &TxFileFlags::ffUseVATs;
  }
  return &TxFileFlags::ffVariableLength;
}

}  // namespace

void TVastrel::SetAboutBoxHandler(AboutBoxHandler handler) { g_about_box = handler; }

TVastrel::TVastrel()
    : table_(std::make_unique<table::TBtr>()),
      events_(static_cast<IVastrel*>(this), this, IVastrelEvents::kIID) {
  table_->OnRecChanged = [this](table::TBtr&) { events_.Fire(IVastrelEvents::kOnRecChanged); };
  table_->OnAutoCreate = [this](table::TBtr&) { events_.Fire(IVastrelEvents::kOnAutoCreate); };
  table_->StreamingProgress = [this](table::TBtr&, table::TProgressType doing, int32_t perc) {
    events_.Fire(IVastrelEvents::kStreamingProgress, {static_cast<int32_t>(doing), perc});
  };
}

TVastrel::~TVastrel() {
  // Objects handed out may outlive us: they learn through the link that the table is gone.
  link_->alive = false;
  table_->OnRecChanged = nullptr;
  table_->OnAutoCreate = nullptr;
  table_->StreamingProgress = nullptr;
  events_.Disconnect();
}

HRESULT TVastrel::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (QueryDual(iid, out)) return S_OK;
  if (iid == IConnectionPointContainer::kIID) {
    *out = static_cast<IConnectionPointContainer*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT TVastrel::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IVastrelEvents::kIID) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *out = &events_;
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// Operations

#define VASTREL_FORWARD(Name)            \
  HRESULT TVastrel::Name() {             \
    return Run([&] { table_->Name(); }); \
  }
VASTREL_FORWARD(Loaded)
VASTREL_FORWARD(CreateFile)
VASTREL_FORWARD(Open)
VASTREL_FORWARD(Close)
VASTREL_FORWARD(Stat)
VASTREL_FORWARD(Delete)
VASTREL_FORWARD(Insert)
VASTREL_FORWARD(UpdateFixed)
VASTREL_FORWARD(First)
VASTREL_FORWARD(Next)
VASTREL_FORWARD(Last)
VASTREL_FORWARD(Prev)
VASTREL_FORWARD(GreaterEq)
VASTREL_FORWARD(SetOwner)
VASTREL_FORWARD(clearowner)
VASTREL_FORWARD(LessEq)
VASTREL_FORWARD(Equal)
VASTREL_FORWARD(GetDirect)
VASTREL_FORWARD(GetPosition)
VASTREL_FORWARD(SwitchKeys)
VASTREL_FORWARD(begintransaction)
VASTREL_FORWARD(aborttransaction)
VASTREL_FORWARD(committransaction)
VASTREL_FORWARD(Post)
#undef VASTREL_FORWARD

HRESULT TVastrel::CallBtrieve(uint16_t operation) {
  return Run([&] { table_->CallBtrieve(operation); });
}
HRESULT TVastrel::Unlock(TxUnlockType type) {
  return Run([&] { table_->Unlock(static_cast<int32_t>(type)); });
}
HRESULT TVastrel::ClearKeyBuffer() {
  return Run([&] { table_->ClearKeyBuffer(); });
}
HRESULT TVastrel::findpercentage(uint16_t* value) {
  return Run([&] {
    RequireOut(value);
    *value = table_->findpercentage();
  });
}
HRESULT TVastrel::getbypercentage(uint16_t perc) {
  return Run([&] { table_->getbypercentage(perc); });
}

// ---------------------------------------------------------------------------------------
// Key buffer views

// ---------------------------------------------------------------------------------------
// Properties

#define VASTREL_GET(Name, T, Expr)         \
  HRESULT TVastrel::get_##Name(T* value) { \
    return Run([&] {                       \
      RequireOut(value);                   \
      *value = Expr;                       \
    });                                    \
  }
#define VASTREL_PUT(Name, T, Stmt)        \
  HRESULT TVastrel::put_##Name(T value) { \
    return Run([&] { Stmt; });            \
  }
#define VASTREL_BOOL(Name, Get, Set)                  \
  VASTREL_GET(Name, VARIANT_BOOL, ToVariantBool(Get)) \
  VASTREL_PUT(Name, VARIANT_BOOL, Set(value != 0))
#define VASTREL_TEXT(Name, Get, Set)                  \
  HRESULT TVastrel::get_##Name(BSTR* value) {         \
    return Run([&] { return GiveText(Get, value); }); \
  }                                                   \
  VASTREL_PUT(Name, BSTR, Set(TableText(value)))
#define VASTREL_ENUM(Name, TxT, TableT)                    \
  VASTREL_GET(Name, TxT, static_cast<TxT>(table_->Name())) \
  VASTREL_PUT(Name, TxT, table_->Set##Name(static_cast<table::TableT>(value)))

VASTREL_GET(NumberOfKeys, int32_t, table_->NumberOfKeys())
VASTREL_GET(RecordCount, int32_t, static_cast<int32_t>(table_->RecordCount()))
VASTREL_GET(Position, int32_t, table_->Position())
VASTREL_PUT(Position, int32_t, table_->SetPosition(value))
VASTREL_BOOL(Searching, table_->Searching(), table_->SetSearching)
VASTREL_GET(MoreAvailable, VARIANT_BOOL, ToVariantBool(table_->MoreAvailable()))
VASTREL_TEXT(DbOwner, table_->DbOwner(), table_->SetDbOwner)
VASTREL_ENUM(OwnerProtection, TxOwnerProtection, TOwnerProtection)
VASTREL_TEXT(ClientID, table_->ClientID(), table_->SetClientID)
VASTREL_BOOL(AutoCreate, table_->AutoCreate(), table_->SetAutoCreate)
VASTREL_GET(Active, VARIANT_BOOL, ToVariantBool(table_->Active()))
VASTREL_GET(DataBufferLength, int32_t, table_->DataBufferLength())
VASTREL_PUT(DataBufferLength, int32_t, table_->SetDataBufferLength(value))
VASTREL_TEXT(FileName, table_->FileName(), table_->SetFileName)
VASTREL_BOOL(FirstOnOpen, table_->FirstOnOpen(), table_->SetFirstOnOpen)
VASTREL_GET(KeyNum, int16_t, table_->KeyNum())
VASTREL_PUT(KeyNum, int16_t, table_->SetKeyNum(value))
VASTREL_ENUM(OpenMode, TxBtrOpenModes, BtrOpenModes)
VASTREL_GET(PageSize, uint16_t, table_->PageSize())
VASTREL_PUT(PageSize, uint16_t, table_->SetPageSize(value))
VASTREL_GET(RecordSize, uint16_t, table_->RecordSize())
VASTREL_PUT(RecordSize, uint16_t, table_->SetRecordSize(value))
VASTREL_ENUM(StepType, TxStepType, TStepType)
VASTREL_ENUM(LockType, TxLockType, TLockType)
VASTREL_ENUM(TranType, TxTranType, TTranType)
VASTREL_ENUM(SharingMode, TxBtrSharingModes, BtrSharingModes)
VASTREL_BOOL(StreamCompression, table_->StreamCompression(), table_->SetStreamCompression)
VASTREL_BOOL(IgnoreSmall, table_->IgnoreSmall(), table_->SetIgnoreSmall)
VASTREL_TEXT(TRUEFormat, table_->TRUEFormat(), table_->SetTRUEFormat)
VASTREL_TEXT(FALSEFormat, table_->FALSEFormat(), table_->SetFALSEFormat)
VASTREL_TEXT(DATEFormat, table_->DATEFormat(), table_->SetDATEFormat)
VASTREL_TEXT(TIMEFormat, table_->TIMEFormat(), table_->SetTIMEFormat)
VASTREL_TEXT(DataBuffer, table_->DataBufferText(), table_->SetDataBufferText)
VASTREL_TEXT(KeyBuffer, table_->KeyBuffer(), table_->SetKeyBuffer)
VASTREL_TEXT(KeyString, table_->KeyString(), table_->SetKeyString)
VASTREL_GET(KeyByte, uint8_t, table_->KeyByte())
VASTREL_PUT(KeyByte, uint8_t, table_->SetKeyByte(value))
VASTREL_GET(KeyWord, uint16_t, table_->KeyWord())
VASTREL_PUT(KeyWord, uint16_t, table_->SetKeyWord(value))
VASTREL_GET(KeyInt, int16_t, table_->KeyInt())
VASTREL_PUT(KeyInt, int16_t, table_->SetKeyInt(value))
VASTREL_GET(KeyLong, int32_t, table_->KeyLong())
VASTREL_PUT(KeyLong, int32_t, table_->SetKeyLong(value))
VASTREL_GET(KeyDouble, double, table_->KeyDouble())
VASTREL_PUT(KeyDouble, double, table_->SetKeyDouble(value))
// The standard control members carry no logic of the table: they keep their values.
VASTREL_BOOL(DoubleBuffered, double_buffered_, [&](bool v) { double_buffered_ = v; })
VASTREL_BOOL(Enabled, enabled_, [&](bool v) { enabled_ = v; })
VASTREL_BOOL(Visible, visible_, [&](bool v) { visible_ = v; })
VASTREL_GET(Cursor, int16_t, cursor_)
VASTREL_PUT(Cursor, int16_t, cursor_ = value)
VASTREL_GET(VisibleDockClientCount, int32_t, 0)
#undef VASTREL_GET
#undef VASTREL_PUT
#undef VASTREL_BOOL
#undef VASTREL_TEXT
#undef VASTREL_ENUM

HRESULT TVastrel::put_Active(VARIANT_BOOL value) {
  return Run([&] {
    const bool v = value != 0;
    table_->SetActive(v);
    if (v) {
      // A fresh collection over the segments the open read, also when already active.
      keys_ = MakeObject<TKeys>(link_, &table_->Keys());
    } else {
      keys_ = nullptr;
      table_->Keys().Clear();
    }
  });
}

HRESULT TVastrel::get_Version(BSTR* value) {
  return Run([&] { return GiveText(table_->Version(), value); });
}
HRESULT TVastrel::put_Version(BSTR) { return S_OK; }

HRESULT TVastrel::get_About(BSTR* value) {
  return Run([&] { return GiveText(table::TBtr::About(), value); });
}
HRESULT TVastrel::put_About(BSTR) { return S_OK; }

HRESULT TVastrel::get_DecimalSeparator(BSTR* value) {
  return Run([&] { return GiveText(std::string(1, table_->DecimalSeparator()), value); });
}
HRESULT TVastrel::put_DecimalSeparator(BSTR value) {
  return Run([&] {
    // An empty text leaves the separator as it is: a separator of no character would
    // make every number unreadable.
    const std::string text = TableText(value);
    if (!text.empty()) table_->SetDecimalSeparator(text[0]);
  });
}

HRESULT TVastrel::DrawTextBiDiModeFlagsReadingOnly(int32_t* value) {
  if (!value) return E_POINTER;
  *value = 0;
  return S_OK;
}
HRESULT TVastrel::InitiateAction() { return S_OK; }
HRESULT TVastrel::IsRightToLeft(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = VARIANT_FALSE;
  return S_OK;
}
HRESULT TVastrel::UseRightToLeftReading(VARIANT_BOOL* value) { return IsRightToLeft(value); }
HRESULT TVastrel::UseRightToLeftScrollBar(VARIANT_BOOL* value) { return IsRightToLeft(value); }
HRESULT TVastrel::AboutBox() {
  return Run([&] {
    if (!g_about_box) {
      throw Exception(
          "The about box is shown by the design-time pages (libvastrel_pages), which this "
          "program has not loaded");
    }
    g_about_box(*this);
  });
}

// ---------------------------------------------------------------------------------------
// Collections

ComPtr<IKeys> TVastrel::CurrentKeys() {
  if (!keys_) keys_ = MakeObject<TKeys>(link_, &table_->Keys());
  return keys_;
}

HRESULT TVastrel::get_Keys(IKeys** value) {
  return Run([&] {
    RequireOut(value);
    *value = CurrentKeys().Detach();
  });
}
HRESULT TVastrel::put_Keys(IKeys* value) {
  return Run([&] {
    if (!value) throw Exception("Keys can't be set to no object");
    keys_ = ComPtr<IKeys>(value);
    WriteKeysToList(value, table_->Keys());
  });
}

HRESULT TVastrel::get_DDFFields(IDDFFieldItems** value) {
  return Run([&] {
    RequireOut(value);
    if (!fields_) fields_ = MakeObject<TDDFFieldItems>(link_, &table_->DDFFields());
    *value = fields_.Ref();
  });
}
HRESULT TVastrel::put_DDFFields(IDDFFieldItems* value) {
  return Run([&] {
    if (!value) throw Exception("DDFFields can't be set to no object");
    fields_ = ComPtr<IDDFFieldItems>(value);
    WriteFieldsToList(value, table_->DDFFields());
  });
}
HRESULT TVastrel::get_DDFIndexes(IDDFIndexItems** value) {
  return Run([&] {
    RequireOut(value);
    if (!indexes_) indexes_ = MakeObject<TDDFIndexItems>(link_, &table_->DDFIndexes());
    *value = indexes_.Ref();
  });
}
HRESULT TVastrel::put_DDFIndexes(IDDFIndexItems* value) {
  return Run([&] {
    if (!value) throw Exception("DDFIndexes can't be set to no object");
    indexes_ = ComPtr<IDDFIndexItems>(value);
    WriteIndexesToList(value, table_->DDFIndexes());
  });
}

HRESULT TVastrel::FieldByName(BSTR name, IBtrField** value) {
  return Run([&] {
    RequireOut(value);
    ComPtr<IDDFFieldItems> fields;
    ThrowIfFailed(get_DDFFields(fields.Out()));
    return fields->FindField(name, value);
  });
}

// ---------------------------------------------------------------------------------------
// File flags

HRESULT TVastrel::get_FileFlags(TxFileFlags* value) {
  return Run([&] {
    RequireOut(value);
    const keys::BtrFileFlags flags = table_->FileFlags();
    TxFileFlags r;
    for (int m = 0; m < keys::kFileFlagMembers; ++m) {
      const auto member = static_cast<keys::BtrFileFlag>(m);
      r.*FlagMember(member) = ToVariantBool(flags.Contains(member));
    }
    *value = r;
  });
}

HRESULT TVastrel::put_FileFlags(const TxFileFlags& value) {
  return Run([&] {
    // An open table refuses any change of its flags, but a record that reads back what
    // FileFlags reads changes nothing (the flag page applies its whole record).
    if (table_->Active()) {
      keys::BtrFileFlags wanted;
      for (keys::BtrFileFlag member : kFlagWriteOrder) {
        if (value.*FlagMember(member) != 0) wanted.Include(member);
      }
      if (keys::FileFlagsFromWord(keys::FileFlagsToWord(wanted)) == table_->FileFlags()) return;
    }
    table_->SetFileFlags(keys::BtrFileFlags());
    for (keys::BtrFileFlag member : kFlagWriteOrder) {
      if (value.*FlagMember(member) == 0) continue;
      keys::BtrFileFlags flags = table_->FileFlags();
      flags.Include(member);
      table_->SetFileFlags(flags);
    }
  });
}

// ---------------------------------------------------------------------------------------
// Key search

HRESULT TVastrel::FindKey(BSTR index_name, VARIANT* key_value, VARIANT_BOOL* result) {
  return Run([&] {
    RequireOut(result);
    RequireOut(key_value);
    *result = ToVariantBool(table_->FindKey(TableText(index_name), *key_value));
  });
}
HRESULT TVastrel::Locate(BSTR index_name, VARIANT* key_value, VARIANT_BOOL* result) {
  return Run([&] {
    RequireOut(result);
    RequireOut(key_value);
    *result = ToVariantBool(table_->Locate(TableText(index_name), *key_value));
  });
}
HRESULT TVastrel::LocateNext(VARIANT_BOOL* result) {
  return Run([&] {
    RequireOut(result);
    *result = ToVariantBool(table_->LocateNext());
  });
}
HRESULT TVastrel::LocatePrior(VARIANT_BOOL* result) {
  return Run([&] {
    RequireOut(result);
    *result = ToVariantBool(table_->LocatePrior());
  });
}

// ---------------------------------------------------------------------------------------
// Persistence

HRESULT TVastrel::SaveProperties(std::string* json) {
  return Run([&] {
    RequireOut(json);
    *json = SavePropertyBag(*table_);
  });
}

HRESULT TVastrel::LoadProperties(std::string_view json) {
  return Run([&] {
    // Everything is read and checked first; the table changes only when the whole bag
    // is valid.
    const PropertyBag bag = ParsePropertyBag(json);
    // The after-load step opens the file when Active was stored; on an open table that
    // would open it a second time over the same position block.
    if (table_->Active()) throw Exception("Can't load properties into an active table");
    ApplyPropertyBag(bag, *table_);
  });
}

// ---------------------------------------------------------------------------------------

HRESULT CreateVastrel(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<TVastrel> control;
  try {
    control = MakeObject<TVastrel>();
  } catch (...) {
    return ErrorFromCurrentException("Vastrel", IVastrel::kIID);
  }
  return control->QueryInterface(iid, out);
}

}  // namespace vastrel::automation
