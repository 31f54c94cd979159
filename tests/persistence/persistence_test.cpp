// The table's properties saved to a property bag and restored into a new table: what the
// bag holds and leaves out, what comes back, bags that are refused without touching the
// table, and a stored Active opening the file only once everything is in place.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "automation/json.h"
#include "automation/persistence.h"
#include "binding/btrexception.h"
#include "binding/engine.h"
#include "table/btr.h"
#include "tests/support/recording_engine.h"

namespace vastrel::automation {
namespace {

using dictionary::TxFieldType;
using keys::BtrFileFlags;
using keys::TKey;
using table::TBtr;
using testing::RecordingEngine;

// Every persisted property in its order.
const std::vector<std::string> kAllProperties = {
    "DbOwner",     "OwnerProtection", "ClientID",
    "Keys",        "DDFFields",       "DDFIndexes",
    "AutoCreate",  "Active",          "DataBufferLength",
    "FileFlags",   "FileName",        "FirstOnOpen",
    "KeyNum",      "OpenMode",        "PageSize",
    "RecordSize",  "StepType",        "LockType",
    "TranType",    "SharingMode",     "StreamCompression",
    "IgnoreSmall", "TRUEFormat",      "FALSEFormat",
    "DATEFormat",  "TIMEFormat",      "DecimalSeparator"};

std::vector<std::string> NamesIn(const json::Object& bag) {
  std::vector<std::string> names;
  for (const json::Member& m : bag) names.push_back(m.name);
  return names;
}

std::string ErrorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const vastrel::Exception& e) {
    return e.what();
  }
  return "";
}

// Every byte from 1 to 255, in order.
std::string AllBytes() {
  std::string s;
  for (int b = 1; b <= 255; ++b) s.push_back(static_cast<char>(b));
  return s;
}

// Every persisted property of two tables is equal (Active apart, which is compared where
// it matters). Keys compare by their whole blocks.
void ExpectSameProperties(const TBtr& a, const TBtr& b) {
  EXPECT_EQ(a.DbOwner(), b.DbOwner());
  EXPECT_EQ(a.OwnerProtection(), b.OwnerProtection());
  EXPECT_EQ(a.ClientID(), b.ClientID());
  EXPECT_TRUE(a.Keys() == b.Keys());
  EXPECT_TRUE(a.DDFFields().SameItems(b.DDFFields()));
  EXPECT_TRUE(a.DDFIndexes().SameItems(b.DDFIndexes()));
  EXPECT_EQ(a.AutoCreate(), b.AutoCreate());
  EXPECT_EQ(a.DataBufferLength(), b.DataBufferLength());
  EXPECT_EQ(a.FileFlags(), b.FileFlags());
  EXPECT_EQ(a.FileName(), b.FileName());
  EXPECT_EQ(a.FirstOnOpen(), b.FirstOnOpen());
  EXPECT_EQ(a.KeyNum(), b.KeyNum());
  EXPECT_EQ(a.OpenMode(), b.OpenMode());
  EXPECT_EQ(a.PageSize(), b.PageSize());
  EXPECT_EQ(a.RecordSize(), b.RecordSize());
  EXPECT_EQ(a.StepType(), b.StepType());
  EXPECT_EQ(a.LockType(), b.LockType());
  EXPECT_EQ(a.TranType(), b.TranType());
  EXPECT_EQ(a.SharingMode(), b.SharingMode());
  EXPECT_EQ(a.StreamCompression(), b.StreamCompression());
  EXPECT_EQ(a.IgnoreSmall(), b.IgnoreSmall());
  EXPECT_EQ(a.TRUEFormat(), b.TRUEFormat());
  EXPECT_EQ(a.FALSEFormat(), b.FALSEFormat());
  EXPECT_EQ(a.DATEFormat(), b.DATEFormat());
  EXPECT_EQ(a.TIMEFormat(), b.TIMEFormat());
  EXPECT_EQ(a.DecimalSeparator(), b.DecimalSeparator());
}

class Persistence : public ::testing::Test {
 protected:
  Persistence() { engine.Wake(); }

  // Gives the table a value other than a new table's for every persisted property.
  static void FillEverything(TBtr& t) {
    t.SetDbOwner("Owner-\xE9");
    t.SetOwnerProtection(table::opReadAccessEncrypt);
    t.SetClientID("CL01");
    // One segment per key type, each with its own mix of the Boolean properties, so that
    // every property is true in some segment and false in another.
    for (int type = keys::ktOldBinary; type <= keys::ktUnknown; ++type) {
      TKey& k = t.Keys().Add();
      k.SetAllowDuplicates(type & 1);
      k.SetAllSegmentNull(type & 2);
      k.SetCaseInsensitive(type & 4);
      k.SetDescending(type & 8);
      k.SetKeySortedbyACS(!(type & 1));
      k.SetModifiable(!(type & 2));
      k.SetSegment(!(type & 4));
      k.SetNulSegment(!(type & 8));
      k.SetKeyType(type);
      k.SetPosition(type == 0 ? -1 : type * 10);
      k.SetLength(type == 1 ? -32768 : type);
    }
    // A code without a type of its own: reads ktUnknown and keeps the code.
    t.Keys().Add().SetKeyType(keys::ktString);
    t.Keys()[t.Keys().Count() - 1].SetExtendedType(12);
    for (int type = dictionary::ftSTRING; type <= dictionary::ftDATETIME; ++type) {
      dictionary::TRecordItem& f = t.DDFFields().Add();
      f.SetFieldType(static_cast<TxFieldType>(type));
      f.SetFieldSize(type + 3);
    }
    // A definition holds any byte as its type, a name or not.
    t.DDFFields().Add().SetFieldType(static_cast<TxFieldType>(9));
    t.DDFFields().Add().SetFieldName("");
    t.DDFIndexes().Add().SetIndexKeyNum(3);
    t.DDFIndexes().Add();  // key number -1
    t.SetAutoCreate(true);
    t.SetFileFlags(BtrFileFlags{keys::ffVariableLength, keys::ff10, keys::ff20,
                                keys::ffKeyNumSpecified, keys::ffUseVATs});
    t.SetFileName("/data/caf\xE9 parts.dat");
    t.SetFirstOnOpen(true);
    t.SetKeyNum(-5);
    t.SetOpenMode(table::bomExclusive);
    t.SetPageSize(4096);
    // An inactive table may keep a buffer shorter than its records.
    t.SetRecordSize(100);
    t.SetDataBufferLength(50);
    t.SetStepType(table::stNoKeys);
    t.SetLockType(table::ltMultinowait);
    t.SetTranType(table::ttExclusive);
    t.SetSharingMode(table::bomMEFS);
    t.SetStreamCompression(true);
    t.SetIgnoreSmall(false);
    t.SetTRUEFormat("Ja");
    t.SetFALSEFormat("Nein");
    t.SetDATEFormat("DD.MM.YYYY");
    t.SetTIMEFormat("HH.NN");
    t.SetDecimalSeparator(',');
  }

  // A bag that changes every persisted property of the table, then the load refused.
  void ExpectRefused(const std::string& bag, const std::string& message) {
    const std::string before = SaveProperties(table);
    EXPECT_EQ(ErrorOf([&] { LoadProperties(table, bag); }), message) << bag;
    EXPECT_EQ(SaveProperties(table), before) << "the table changed for " << bag;
    EXPECT_FALSE(table.Loading());
    EXPECT_TRUE(engine.Calls().empty());
  }

  RecordingEngine engine;
  TBtr table;
};

// ---- What comes back ---------------------------------------------------------------------------

TEST_F(Persistence, RoundTripRestoresEveryProperty) {
  FillEverything(table);
  const std::string bag = SaveProperties(table);

  TBtr restored;
  LoadProperties(restored, bag);
  ExpectSameProperties(table, restored);
  EXPECT_EQ(restored.Keys()[0].KeyType(), keys::ktOldBinary);
  EXPECT_EQ(restored.Keys()[keys::ktUnknown + 1].KeyType(), keys::ktUnknown);
  EXPECT_EQ(restored.Keys()[keys::ktUnknown + 1].ExtendedType(), 12);
  EXPECT_EQ(restored.DDFFields()[7].FieldType(), 9);
  EXPECT_EQ(restored.DataBufferLength(), 50);
  EXPECT_FALSE(restored.Loading());
  EXPECT_FALSE(restored.Active());
  EXPECT_TRUE(engine.Calls().empty());
  // Saving the restored table gives the same bag.
  EXPECT_EQ(SaveProperties(restored), bag);
}

TEST_F(Persistence, BagSpellsValuesByName) {
  FillEverything(table);
  const json::Value bag = json::Parse(SaveProperties(table));
  const json::Object& o = bag.AsObject();
  std::vector<std::string> expected = kAllProperties;
  std::erase(expected, "Active");  // the table is not open
  EXPECT_EQ(NamesIn(o), expected);
  EXPECT_EQ(*o.Find("OpenMode"), json::Value("bomExclusive"));
  EXPECT_EQ(*o.Find("OwnerProtection"), json::Value("opReadAccessEncrypt"));
  EXPECT_EQ(*o.Find("SharingMode"), json::Value("bomMEFS"));
  // ff10 with ff20 is stored as both bits, which read as ff30.
  EXPECT_EQ(*o.Find("FileFlags"),
            json::Value(json::Array{"ffVariableLength", "ff30", "ffKeyNumSpecified", "ffUseVATs"}));
  EXPECT_EQ(*o.Find("DecimalSeparator"), json::Value(","));
  EXPECT_EQ(*o.Find("DbOwner"), json::Value("Owner-\xC3\xA9"));

  const json::Array& fields = o.Find("DDFFields")->AsArray();
  const char* kFt[] = {"ft_STRING", "ft_INTEGER", "ft_FLOAT",   "ft_BOOLEAN",
                       "ft_DATE",   "ft_TIME",    "ft_DATETIME"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(*fields[static_cast<size_t>(i)].AsObject().Find("FieldType"), json::Value(kFt[i]));
  }
  EXPECT_EQ(*fields[7].AsObject().Find("FieldType"), json::Value(9));
  EXPECT_EQ(NamesIn(fields[0].AsObject()),
            (std::vector<std::string>{"FieldName", "FieldType", "FieldOffset", "FieldSize"}));

  const json::Object& segment = o.Find("Keys")->AsArray()[2].AsObject();
  EXPECT_EQ(NamesIn(segment), (std::vector<std::string>{
                                  "AllowDuplicates", "AllSegmentNull", "CaseInsensitive",
                                  "Descending", "ExtendedType", "KeySortedbyACS", "KeyType",
                                  "Length", "Modifiable", "Position", "Segment", "NulSegment"}));
  EXPECT_EQ(*segment.Find("KeyType"), json::Value("ktString"));
  EXPECT_EQ(NamesIn(o.Find("DDFIndexes")->AsArray()[0].AsObject()),
            (std::vector<std::string>{"IndexName", "IndexKeyNum"}));
}

TEST_F(Persistence, DefaultsAreLeftOut) {
  // A new table writes only the properties without a default.
  EXPECT_EQ(NamesIn(SavePropertyObject(table)),
            (std::vector<std::string>{
                "DbOwner",     "OwnerProtection",   "ClientID",    "Keys",
                "DDFFields",   "DDFIndexes",        "FileFlags",   "FileName",
                "FirstOnOpen", "PageSize",          "StepType",    "LockType",
                "TranType",    "StreamCompression", "IgnoreSmall", "TRUEFormat",
                "FALSEFormat", "DATEFormat",        "TIMEFormat",  "DecimalSeparator"}));
  // A page size of 0 is the default left out. It must come back as 0, not as the 1024 of
  // a new table.
  table.SetPageSize(0);
  const std::string bag = SaveProperties(table);
  EXPECT_EQ(json::Parse(bag).AsObject().Find("PageSize"), nullptr);
  TBtr restored;
  ASSERT_EQ(restored.PageSize(), 1024);
  LoadProperties(restored, bag);
  EXPECT_EQ(restored.PageSize(), 0);
}

TEST_F(Persistence, LeftOutPropertiesTakeTheirDefaultOnAUsedTable) {
  FillEverything(table);
  LoadProperties(table, std::string_view("{}"));
  TBtr fresh;
  fresh.SetPageSize(0);  // the default that a bag without PageSize stands for
  ExpectSameProperties(table, fresh);
}

TEST_F(Persistence, ValuesOutsideTheMembersComeBackAsNumbers) {
  table.SetOpenMode(static_cast<table::BtrOpenModes>(99));
  table.SetLockType(static_cast<table::TLockType>(-7));
  table.SetOwnerProtection(static_cast<table::TOwnerProtection>(4));
  const std::string bag = SaveProperties(table);
  EXPECT_EQ(*json::Parse(bag).AsObject().Find("OpenMode"), json::Value(99));
  TBtr restored;
  LoadProperties(restored, bag);
  ExpectSameProperties(table, restored);
  // Numbers are taken for members as well.
  LoadProperties(restored, std::string_view(R"({"StepType": 1, "TranType": 0})"));
  EXPECT_EQ(restored.StepType(), table::stKeyOnly);
  EXPECT_EQ(restored.TranType(), table::ttExclusive);
}

TEST_F(Persistence, EveryByteFrom1To255Survives) {
  const std::string all = AllBytes();
  table.SetDbOwner(all);  // exactly its 255 characters
  table.SetTRUEFormat(all);
  table.SetDATEFormat(all);
  table.DDFFields().Add().SetFieldName(all);
  table.DDFIndexes().Add().SetIndexName(all);
  table.SetFileName(all.substr(0, 254));
  table.SetClientID(all.substr(251, 4));
  TBtr restored;
  LoadProperties(restored, SaveProperties(table));
  EXPECT_EQ(restored.DbOwner(), all);
  EXPECT_EQ(restored.TRUEFormat(), all);
  EXPECT_EQ(restored.DATEFormat(), all);
  EXPECT_EQ(restored.DDFFields()[0].FieldName(), all);
  EXPECT_EQ(restored.DDFIndexes()[0].IndexName(), all);
  EXPECT_EQ(restored.FileName(), all.substr(0, 254));
  EXPECT_EQ(restored.ClientID(), all.substr(251, 4));

  for (int b = 1; b <= 255; ++b) {
    TBtr t;
    t.SetDecimalSeparator(static_cast<char>(b));
    TBtr back;
    LoadProperties(back, SaveProperties(t));
    EXPECT_EQ(static_cast<unsigned char>(back.DecimalSeparator()), b);
  }
}

// ---- What is refused ---------------------------------------------------------------------------

TEST_F(Persistence, InvalidBagsAreRefusedAndChangeNothing) {
  FillEverything(table);
  const std::string segment =
      R"("AllowDuplicates": false, "AllSegmentNull": false, "CaseInsensitive": false,
         "Descending": false, "ExtendedType": 0, "KeySortedbyACS": false, "KeyType": "ktString",
         "Length": 4, "Modifiable": false, "Position": 1, "Segment": false)";
  const std::string field = R"("FieldName": "NAME", "FieldOffset": 0, "FieldSize": 10)";
  // Valid properties ahead of the fault must not reach the table either.
  const std::string lead = R"({"DbOwner": "other", "TRUEFormat": "yes", "IgnoreSmall": true, )";

  struct Case {
    std::string bag;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Not JSON at all.
      {lead + R"("PageSize": 512,})", "Property bag is not valid JSON: line 1, column " +
                                          std::to_string(lead.size() + 17) +
                                          ": expected a member name in double quotes, found '}'"},
      {"[]", "Property bag: must be a JSON object, not a list"},
      // Names.
      {lead + R"("Colour": 5})", "Property bag: unknown property \"Colour\""},
      {lead + R"("keynum": 5})", "Property bag: unknown property \"keynum\""},
      {lead + R"("OnRecChanged": "Form1RecChanged"})",
       "Property bag: OnRecChanged: is a handler binding, which is not persisted"},
      {lead + R"("Version": "6.15"})", "Property bag: Version: is never persisted"},
      // Kinds.
      {lead + R"("AutoCreate": 1})",
       "Property bag: AutoCreate: must be true or false, not a "
       "whole number"},
      {lead + R"("KeyNum": "3"})",
       "Property bag: KeyNum: must be a whole number from -32768 to 32767, not a text"},
      {lead + R"("PageSize": 1024.0})",
       "Property bag: PageSize: must be a whole number from 0 to 65535, not a number"},
      {lead + R"("FileName": null})", "Property bag: FileName: must be a text, not null"},
      {lead + R"("Keys": {}})", "Property bag: Keys: must be a list, not an object"},
      {lead + R"("DDFIndexes": [["I", 0]]})",
       "Property bag: DDFIndexes[0]: must be an object, not a list"},
      {lead + R"("DDFFields": [{"FieldName": 7, "FieldType": "ft_STRING", "FieldOffset": 0, )"
              R"("FieldSize": 10}]})",
       "Property bag: DDFFields[0].FieldName: must be a text, not a whole number"},
      // Ranges.
      {lead + R"("KeyNum": 32768})",
       "Property bag: KeyNum: must be a whole number from -32768 to 32767, not 32768"},
      {lead + R"("DataBufferLength": -1})",
       "Property bag: DataBufferLength: must be a whole number from 0 to 2147483647, not -1"},
      {lead + R"("RecordSize": 65536})",
       "Property bag: RecordSize: must be a whole number from 0 to 65535, not 65536"},
      {lead + R"("DecimalSeparator": ""})",
       "Property bag: DecimalSeparator: must be a text of one character, not of 0"},
      {lead + R"("DecimalSeparator": ", "})",
       "Property bag: DecimalSeparator: must be a text of one character, not of 2"},
      // Enumerations and field types.
      {lead + R"("OpenMode": "bomFast"})",
       "Property bag: OpenMode: unknown value \"bomFast\"; expected bomNormal, bomAccelerated, "
       "bomReadOnly, bomVerify or bomExclusive"},
      {lead + R"("OpenMode": 2147483648})",
       "Property bag: OpenMode: must be a whole number from -2147483648 to 2147483647, not "
       "2147483648"},
      {lead + R"("TranType": true})",
       "Property bag: TranType: must be one of ttExclusive or ttConcurrent, not true or false"},
      {lead + R"("Keys": [{)" + segment + R"(, "NulSegment": false}, {)" +
           std::string(segment).replace(segment.find("\"ktString\""), 10, "18") +
           R"(, "NulSegment": false}]})",
       "Property bag: Keys[1].KeyType: must be a whole number from 0 to 17, not 18"},
      {lead + R"("DDFFields": [{"FieldType": "ft_MONEY", )" + field + "}]}",
       "Property bag: DDFFields[0].FieldType: unknown field type \"ft_MONEY\"; expected "
       "ft_STRING, ft_INTEGER, ft_FLOAT, ft_BOOLEAN, ft_DATE, ft_TIME or ft_DATETIME"},
      {lead + R"("DDFFields": [{"FieldType": "ftSTRING", )" + field + "}]}",
       "Property bag: DDFFields[0].FieldType: unknown field type \"ftSTRING\"; expected "
       "ft_STRING, ft_INTEGER, ft_FLOAT, ft_BOOLEAN, ft_DATE, ft_TIME or ft_DATETIME"},
      {lead + R"("DDFFields": [{"FieldType": 256, )" + field + "}]}",
       "Property bag: DDFFields[0].FieldType: must be a whole number from 0 to 255, not 256"},
      {lead + R"("FileFlags": ["ffCompress", "ff40"]})",
       "Property bag: FileFlags[1]: unknown file flag \"ff40\"; expected ffVariableLength, "
       "ffTruncateBlank, ffPreallocate, ffCompress, ffKeyOnly, ffIndexBalancing, ff10, ff20, "
       "ff30, ffDuplicatePtrs, ffKeyNumSpecified or ffUseVATs"},
      // Items with a property too few or too many.
      {lead + R"("Keys": [{)" + segment + "}]}", "Property bag: Keys[0]: NulSegment is missing"},
      {lead + R"("Keys": [{)" + segment + R"(, "NulSegment": false, "ACS": 0}]})",
       "Property bag: Keys[0]: unknown property \"ACS\"; expected AllowDuplicates, "
       "AllSegmentNull, CaseInsensitive, Descending, ExtendedType, KeySortedbyACS, KeyType, "
       "Length, Modifiable, Position, Segment or NulSegment"},
      {lead + R"("DDFIndexes": [{"IndexName": "BYNAME"}]})",
       "Property bag: DDFIndexes[0]: IndexKeyNum is missing"},
      // Text the code page cannot hold.
      {lead + R"("FileName": "\u4e2d.dat"})",
       "Property bag: FileName: holds the character U+4E2D, which the single-byte code page "
       "lacks"},
  };
  for (const Case& c : cases) ExpectRefused(c.bag, c.message);
  // A segment with its Position out of range.
  ExpectRefused(
      lead + R"("Keys": [{)" +
          std::string(segment).replace(segment.find("\"Position\": 1"), 13, "\"Position\": 32768") +
          R"(, "NulSegment": false}]})",
      "Property bag: Keys[0].Position: must be a whole number from -32768 to 32767, "
      "not 32768");
  // A valid bag after all this loads.
  EXPECT_NO_THROW(
      LoadProperties(table, lead + R"("Keys": [{)" + segment + R"(, "NulSegment": true}]})"));
  EXPECT_EQ(table.DbOwner(), "other");
  EXPECT_TRUE(table.Keys()[0].NulSegment());
}

// Every property, and every property of a segment, field and index, refuses null, a
// fraction and an object, which none of them holds; and whatever it refuses leaves the
// table as it was.
TEST_F(Persistence, EveryPropertyRefusesValuesOfNoKindItHolds) {
  FillEverything(table);
  const std::string before = SaveProperties(table);
  const json::Object good = json::Parse(before).AsObject();
  const json::Value never[] = {json::Value(), json::Value(1.5), json::Value(json::Object{})};
  int refused = 0;
  const auto attempt = [&](const json::Object& bag, const std::string& where) {
    const std::string error = ErrorOf([&] { LoadPropertyObject(table, bag); });
    EXPECT_THAT(error, ::testing::HasSubstr(where));
    EXPECT_EQ(SaveProperties(table), before) << where;
    ++refused;
  };
  for (const json::Member& m : good) {
    for (const json::Value& bad : never) {
      json::Object bag = good;
      bag.Set(m.name, bad);
      attempt(bag, "Property bag: " + m.name + ":");
    }
    if (!m.value.IsArray() || m.value.AsArray().empty() || !m.value.AsArray()[0].IsObject()) {
      continue;
    }
    for (const json::Member& item : m.value.AsArray()[0].AsObject()) {
      for (const json::Value& bad : never) {
        json::Object bag = good;
        bag.Find(m.name)->AsArray()[0].AsObject().Set(item.name, bad);
        attempt(bag, "Property bag: " + m.name + "[0]." + item.name + ":");
      }
    }
  }
  EXPECT_EQ(refused, 3 * (26 + 12 + 4 + 2));
}

TEST_F(Persistence, AnObjectBuiltByTheHostIsCheckedAsStrictly) {
  FillEverything(table);
  const std::string before = SaveProperties(table);
  json::Object bag;
  bag.Append("DbOwner", "other");
  bag.Append("FileName", std::string("caf\xE9"));  // single-byte, not UTF-8
  EXPECT_EQ(ErrorOf([&] { LoadPropertyObject(table, bag); }),
            "Property bag: FileName: is not valid UTF-8");
  EXPECT_EQ(SaveProperties(table), before);
}

TEST_F(Persistence, AnActiveTableIsNotLoadedInto) {
  table.SetFileName("/data/parts.dat");
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 0));
  table.Open();
  ASSERT_TRUE(table.Active());
  engine.ClearCalls();
  const std::string before = SaveProperties(table);
  EXPECT_EQ(ErrorOf([&] { LoadProperties(table, std::string_view(R"({"FileName": "x"})")); }),
            "Can't load saved properties into an active table");
  EXPECT_EQ(SaveProperties(table), before);
  EXPECT_TRUE(engine.Calls().empty());
}

// ---- A stored Active
// -----------------------------------------------------------------------------

class StoredActive : public Persistence {
 protected:
  // The bag of a table that was open when it was saved.
  std::string ActiveBag() {
    TBtr saved;
    saved.SetFileName("/data/parts.dat");
    saved.SetDbOwner("SECRETOWNER");
    saved.SetOpenMode(table::bomReadOnly);
    saved.SetFirstOnOpen(false);
    saved.SetRecordSize(80);
    saved.Keys().Add().SetLength(8);
    json::Object bag = SavePropertyObject(saved);
    EXPECT_EQ(bag.Find("Active"), nullptr);
    // An open table saves Active true; the fake engine's table cannot be opened twice in
    // one test, so the bag says it as a saved open table would.
    json::Object with_active;
    for (const json::Member& m : bag) {
      with_active.Append(m.name, m.value);
      if (m.name == "DDFIndexes") with_active.Append("Active", true);
    }
    return json::Write(json::Value(with_active));
  }
};

TEST_F(StoredActive, OpensTheFileOnlyWhenEverythingIsInPlace) {
  const std::string bag = ActiveBag();
  ASSERT_NE(bag.find("\"Active\": true"), std::string::npos);
  // What the table holds at the moment the engine sees the open.
  std::string name_at_open, owner_at_open;
  table::BtrOpenModes mode_at_open = table::bomNormal;
  bool loading_at_open = true;
  int keys_at_open = -1;
  testing::ScriptedReply open_reply;
  open_reply.action = [&](uint8_t*, uint32_t*, uint8_t*) {
    name_at_open = table.FileName();
    owner_at_open = table.DbOwner();
    mode_at_open = table.OpenMode();
    loading_at_open = table.Loading();
    keys_at_open = table.Keys().Count();
  };
  engine.Reply(engine::kOpOpen, open_reply);
  engine.Reply(engine::kOpStat,
               RecordingEngine::StatReply(80, 2048, 7, {RecordingEngine::KeyBlock(0, 8, 0)}));

  LoadProperties(table, bag);

  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{engine::kOpOpen, engine::kOpStat}));
  const testing::RecordedCall& open = engine.Calls()[0];
  EXPECT_EQ(open.KeyText(), "/data/parts.dat");
  EXPECT_EQ(open.key_number, static_cast<int8_t>(table.OpenModeKeyNumber()));
  EXPECT_EQ(open.DataText(), "SECRETOW");  // the owner area: its first 8 characters
  EXPECT_EQ(name_at_open, "/data/parts.dat");
  EXPECT_EQ(owner_at_open, "SECRETOWNER");
  EXPECT_EQ(mode_at_open, table::bomReadOnly);
  EXPECT_EQ(keys_at_open, 1);
  EXPECT_FALSE(loading_at_open);
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(table.PageSize(), 2048);  // the statistics of the open file
  EXPECT_EQ(table.RecordCount(), 7u);
}

TEST_F(StoredActive, AFailedOpenLeavesThePropertiesLoadedAndTheTableClosed) {
  engine.Reply(engine::kOpOpen, 12);
  try {
    LoadProperties(table, ActiveBag());
    FAIL() << "the open did not fail";
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(e.Status(), 12);
  }
  EXPECT_FALSE(table.Active());
  EXPECT_FALSE(table.Loading());
  EXPECT_EQ(table.FileName(), "/data/parts.dat");
  EXPECT_EQ(table.OpenMode(), table::bomReadOnly);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{engine::kOpOpen}));
}

TEST_F(StoredActive, NoActiveMeansNoEngineCall) {
  FillEverything(table);
  TBtr restored;
  LoadProperties(restored, SaveProperties(table));
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_FALSE(restored.Active());
}

}  // namespace
}  // namespace vastrel::automation
