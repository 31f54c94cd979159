// The control over a recording fake engine: events reaching a sink inside the operation,
// engine failures arriving as messages, the Active algorithm, out-parameters, and the
// property bag's round trip.
#include <gtest/gtest.h>

#include <functional>

#include "automation/persistence.h"
#include "automation/vastrel_impl.h"
#include "binding/btrexception.h"
#include "binding/engine.h"
#include "platform/locale.h"
#include "script_host.h"
#include "tests/support/recording_engine.h"

namespace vastrel::testing {
namespace {

using namespace vastrel::automation;

// An event sink as a host writes one: a dispatch object that records what it is called with.
class RecordingSink final : public IDispatch {
  VASTREL_REFCOUNTED
 public:
  struct Event {
    DISPID id;
    std::vector<int32_t> args;  // in declaration order
  };
  std::vector<Event> events;
  std::function<void(DISPID)> on_event;
  HRESULT answer = S_OK;  // what Invoke returns

  HRESULT QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, const char* const*, uint32_t, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* dp, VARIANT*, EXCEPINFO*,
                 uint32_t*) override {
    EXPECT_EQ(flags, DISPATCH_METHOD);
    Event e{id, {}};
    for (uint32_t i = dp->cArgs; i-- > 0;) {
      EXPECT_EQ(dp->rgvarg[i].vt, VT_I4);
      e.args.push_back(dp->rgvarg[i].lVal);
    }
    events.push_back(e);
    if (on_event) on_event(id);
    return answer;
  }

 private:
  ~RecordingSink() = default;
};

class ControlEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.Wake();
    ASSERT_TRUE(Put(control.get(), "FileName", Variant("people.dat")).ok());
  }
  table::TBtr& T() { return TableOf(control.get()); }

  // Opens with a file of 20-byte records and one key segment.
  void OpenFile() {
    engine.Reply(engine::kOpStat,
                 RecordingEngine::StatReply(20, 1024, 3, {RecordingEngine::KeyBlock(0, 5, 0)}));
    ASSERT_TRUE(Call(control.get(), "Open").ok());
  }
  uint32_t Advise(RecordingSink* s) {
    ComPtr<IConnectionPointContainer> cpc = QueryAs<IConnectionPointContainer>(control.get());
    EXPECT_EQ(cpc->FindConnectionPoint(IVastrelEvents::kIID, point.Out()), S_OK);
    uint32_t cookie = 0;
    EXPECT_EQ(point->Advise(s, &cookie), S_OK);
    return cookie;
  }

  RecordingEngine engine;
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IConnectionPoint> point;
  ComPtr<RecordingSink> sink = MakeObject<RecordingSink>();
};

TEST_F(ControlEngineTest, EventsReachTheSinkInsideNextAndInsertAndStopAfterUnadvise) {
  OpenFile();
  const uint32_t cookie = Advise(sink.get());
  // The handler calls back into the control and sees the record the engine just gave.
  std::string seen;
  sink->on_event = [&](DISPID) { seen = Get(control.get(), "DataBuffer").Text(); };
  engine.Reply(engine::kOpGetNext, RecordingEngine::Text("ALICE"));
  ASSERT_TRUE(Call(control.get(), "Next").ok());
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].id, IVastrelEvents::kOnRecChanged);
  EXPECT_EQ(seen, "ALICE");

  ASSERT_TRUE(Call(control.get(), "Insert").ok());
  EXPECT_EQ(sink->events.size(), 2u);

  // A second sink is refused; a wrong cookie disconnects nothing.
  ComPtr<RecordingSink> second = MakeObject<RecordingSink>();
  uint32_t other = 0;
  EXPECT_EQ(point->Advise(second.get(), &other), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);

  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  ASSERT_TRUE(Call(control.get(), "Next").ok());
  ASSERT_TRUE(Call(control.get(), "Insert").ok());
  EXPECT_EQ(sink->events.size(), 2u);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST_F(ControlEngineTest, StreamingProgressCarriesItsArgumentsInOrder) {
  Advise(sink.get());
  T().StreamingProgress(T(), table::ptWriting, 42);
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].id, IVastrelEvents::kStreamingProgress);
  EXPECT_EQ(sink->events[0].args, (std::vector<int32_t>{2, 42}));
}

TEST_F(ControlEngineTest, OpeningAMissingFileWithAutoCreateRaisesOnAutoCreate) {
  Advise(sink.get());
  ASSERT_TRUE(Put(control.get(), "AutoCreate", Variant(true)).ok());
  engine.Reply(engine::kOpOpen, 12);  // file not found
  engine.ReplyAlways(engine::kOpStat, RecordingEngine::StatReply(20, 1024, 0));
  ASSERT_TRUE(Call(control.get(), "Open").ok());
  ASSERT_FALSE(sink->events.empty());
  EXPECT_EQ(sink->events[0].id, IVastrelEvents::kOnAutoCreate);
}

TEST_F(ControlEngineTest, NoSinkMeansNoEventAndTheOperationSucceeds) {
  OpenFile();
  EXPECT_TRUE(Call(control.get(), "Insert").ok());
  EXPECT_EQ(engine.CallsOf(engine::kOpInsert).size(), 1u);
}

TEST_F(ControlEngineTest, EngineFailuresArriveAsTheStatusMessage) {
  OpenFile();
  engine.Reply(engine::kOpGetNext, 9);
  Outcome r = Call(control.get(), "Next");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, engine::Btrexception::ComposeMessage(9, "people.dat"));

  // A refused setter on the open table.
  r = Put(control.get(), "PageSize", Variant(int32_t{2048}));
  EXPECT_EQ(r.message, "Can't change Page Size on an active table");
  EXPECT_EQ(Put(control.get(), "PageSize", Variant(int32_t{1024})).hr, S_OK);

  // FileFlags with a change on the open table: refused, flags unchanged.
  Outcome flags = Get(control.get(), "FileFlags");
  ASSERT_TRUE(Put(flags.Object(), "ffCompress", Variant(true)).ok());
  r = Put(control.get(), "FileFlags", flags.value);
  EXPECT_EQ(r.message, "Can't change File Flags on an active table");
  EXPECT_TRUE(T().FileFlags().Empty());
}

TEST_F(ControlEngineTest, ActiveTrueMakesANewKeyCollectionOverTheOpenedSegments) {
  ComPtr<IDispatch> before(Get(control.get(), "Keys").Object());
  engine.Reply(engine::kOpStat,
               RecordingEngine::StatReply(20, 1024, 3, {RecordingEngine::KeyBlock(2, 7, 0)}));
  ASSERT_TRUE(Put(control.get(), "Active", Variant(true)).ok());
  ComPtr<IDispatch> after(Get(control.get(), "Keys").Object());
  EXPECT_NE(before, after);
  EXPECT_EQ(Get(before.get(), "Count").Int(), 0) << "the old collection keeps its items";
  ASSERT_EQ(Get(after.get(), "Count").Int(), 1);
  EXPECT_EQ(Get(Get(after.get(), "Items", {Variant(int32_t{0})}).Object(), "Length").Int(), 7);
  EXPECT_EQ(Get(control.get(), "NumberOfKeys").Int(), 1);

  // A failed Active write leaves the current collection in place.
  engine.Reply(engine::kOpClose, 3);
  EXPECT_EQ(Put(control.get(), "Active", Variant(false)).hr, DISP_E_EXCEPTION);
  EXPECT_EQ(Get(control.get(), "Keys").Object(), after.get());
  EXPECT_EQ(T().Keys().Count(), 1);
}

TEST_F(ControlEngineTest, KeySearchByIndexNameAnswersAutomationBooleans) {
  OpenFile();  // one segment of length 5
  dictionary::TIndexItem& ix = T().DDFIndexes().Add();
  ix.SetIndexName("BYNAME");
  ix.SetIndexKeyNum(0);
  T().SetKeyNum(3);

  // A script passes its variable by reference; the search reads the value behind it.
  Variant name("AL");
  Outcome r = Call(control.get(), "FindKey",
                   {Variant("BYNAME"), Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&name))});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(engine.Last().operation, engine::kOpGetEqual);
  EXPECT_EQ(engine.Last().KeyText(), "AL   ");
  EXPECT_EQ(Get(control.get(), "KeyNum").Int(), 0);

  // Named arguments, a Boolean key value, and a miss answered as false.
  ASSERT_TRUE(Put(control.get(), "TRUEFormat", Variant("Y")).ok());
  engine.Reply(engine::kOpGetGreaterOrEqual, 9);
  r = InvokeId(control.get(), IdOf(control.get(), "Locate"), DISPATCH_METHOD, {},
               {{1, Variant(true)}, {0, Variant("BYNAME")}});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r.value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(engine.Last().KeyText(), "Y    ");

  // An object reference without a text form fails with the conversion error; a dispatch
  // object searches with empty text.
  r = Call(control.get(), "FindKey",
           {Variant("BYNAME"), Variant(static_cast<IUnknown*>(control.get()))});
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, kInvalidVariantConversion);

  engine.Reply(engine::kOpGetNext, 9);
  EXPECT_EQ(Call(control.get(), "LocateNext").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Call(control.get(), "LocatePrior").value.boolVal, VARIANT_TRUE);
}

TEST_F(ControlEngineTest, OutParametersAreWrittenThroughTheirReference) {
  OpenFile();
  // The engine answers the percentage in the data area's first two bytes.
  engine.Reply(engine::kOpFindPercentage, RecordingEngine::Data({0x10, 0x27}));
  uint16_t value = 0;
  ASSERT_TRUE(Call(control.get(), "findpercentage", {Variant::ByRef(VT_UI2, &value)}).ok());
  EXPECT_EQ(value, 10000);
  engine.Reply(engine::kOpFindPercentage, RecordingEngine::Data({0x34, 0x12}));
  Variant any;
  ASSERT_TRUE(Call(control.get(), "findpercentage",
                   {Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&any))})
                  .ok());
  EXPECT_EQ(any.vt, VT_UI2);
  EXPECT_EQ(any.uiVal, 0x1234);
  int32_t wrong_kind = 0;
  EXPECT_EQ(Call(control.get(), "findpercentage", {Variant::ByRef(VT_I4, &wrong_kind)}).hr,
            DISP_E_TYPEMISMATCH);
}

TEST_F(ControlEngineTest, PropertyBagRoundTripLoadsIntoANewControlAndLoadedOpensTheFile) {
  OpenFile();
  ASSERT_TRUE(Put(control.get(), "DbOwner",
                  Variant("s\xC3\xA9"
                          "cret"))
                  .ok());
  ASSERT_TRUE(Put(control.get(), "TRUEFormat", Variant("Y")).ok());
  ASSERT_TRUE(Put(control.get(), "LockType", Variant(int32_t{2})).ok());
  dictionary::TRecordItem& f = T().DDFFields().Add();
  f.SetFieldName("NAME");
  f.SetFieldType(dictionary::ftDATE);
  T().DDFIndexes().Add().SetIndexKeyNum(0);
  ComPtr<TVastrel> typed(static_cast<TVastrel*>(static_cast<IVastrel*>(control.get())));
  std::string bag;
  ASSERT_EQ(typed->SaveProperties(&bag), S_OK);
  EXPECT_NE(bag.find("\"ft_DATE\""), std::string::npos);
  EXPECT_NE(bag.find("\"ltSinglenowait\""), std::string::npos);
  EXPECT_EQ(bag.find("\"OpenMode\""), std::string::npos) << "a default is left out";

  ComPtr<IDispatch> restored = NewControl();
  TVastrel* r = static_cast<TVastrel*>(static_cast<IVastrel*>(restored.get()));
  engine.ClearCalls();
  engine.Reply(engine::kOpStat,
               RecordingEngine::StatReply(20, 1024, 3, {RecordingEngine::KeyBlock(0, 5, 0)}));
  ASSERT_EQ(r->LoadProperties(bag), S_OK) << LastErrorMessage();
  ASSERT_FALSE(engine.CallsOf(engine::kOpOpen).empty()) << "Loaded opened the file";
  EXPECT_EQ(engine.CallsOf(engine::kOpOpen)[0].KeyText(), "people.dat");
  EXPECT_EQ(Get(restored.get(), "Active").value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Get(restored.get(), "DbOwner").Text(),
            "s\xC3\xA9"
            "cret");
  EXPECT_EQ(Get(restored.get(), "TRUEFormat").Text(), "Y");
  EXPECT_EQ(TableOf(restored.get()).LockType(), table::ltSinglenowait);
  EXPECT_EQ(TableOf(restored.get()).DDFFields()[0].FieldType(), dictionary::ftDATE);
  EXPECT_EQ(TableOf(restored.get()).DDFIndexes().Count(), 1);
  std::string again;
  ASSERT_EQ(r->SaveProperties(&again), S_OK);
  EXPECT_EQ(again, bag);
}

TEST_F(ControlEngineTest, SegmentsAndFlagsRoundTripWithEveryStoredProperty) {
  keys::TKey& k = T().Keys().Add();
  k.SetCaseInsensitive(true);
  k.SetDescending(true);
  k.SetExtendedType(11);
  k.SetKeyType(keys::ktAutoIncrement);
  k.SetLength(4);
  k.SetPosition(-3);
  k.SetSegment(true);
  k.SetNulSegment(true);
  k.SetKeyValues(0x01020304u);  // not a stored property
  T().Keys().Add().SetAllowDuplicates(true);
  T().SetFileFlags(keys::BtrFileFlags{keys::ffCompress, keys::ffUseVATs});
  T().SetPageSize(4096);
  T().DDFFields().Add().SetFieldType(static_cast<dictionary::TxFieldType>(9));

  ComPtr<TVastrel> typed(static_cast<TVastrel*>(static_cast<IVastrel*>(control.get())));
  std::string bag;
  ASSERT_EQ(typed->SaveProperties(&bag), S_OK);
  EXPECT_NE(bag.find("\"ktAutoIncrement\""), std::string::npos);
  EXPECT_NE(bag.find("\"FieldType\": 9"), std::string::npos) << "a type outside the names";

  ComPtr<IDispatch> restored = NewControl();
  TVastrel* r = static_cast<TVastrel*>(static_cast<IVastrel*>(restored.get()));
  ASSERT_EQ(r->LoadProperties(bag), S_OK) << LastErrorMessage();
  const table::TBtr& t = TableOf(restored.get());
  ASSERT_EQ(t.Keys().Count(), 2);
  keys::TKey expected = T().Keys()[0];
  expected.SetKeyValues(0);
  EXPECT_EQ(t.Keys()[0], expected);
  EXPECT_EQ(t.Keys()[1], T().Keys()[1]);
  EXPECT_EQ(t.FileFlags(), T().FileFlags());
  EXPECT_EQ(t.PageSize(), 4096);
  EXPECT_EQ(t.DDFFields()[0].FieldType(), 9);
  EXPECT_FALSE(t.Active());
  EXPECT_TRUE(engine.Calls().empty()) << "nothing stored Active, so nothing opened";
}

// Loading is for a control that has not opened its file: loading into an open one would
// open the file a second time over the same position block.
TEST_F(ControlEngineTest, LoadingIntoAnOpenControlIsRefusedAndLoadingResetsWhatIsLeftOut) {
  ComPtr<TVastrel> typed(static_cast<TVastrel*>(static_cast<IVastrel*>(control.get())));
  ASSERT_EQ(typed->LoadProperties("{\"PageSize\": 2048, \"FileFlags\": [\"ffKeyOnly\"]}"), S_OK)
      << LastErrorMessage();
  EXPECT_EQ(T().PageSize(), 2048);
  EXPECT_TRUE(T().FileFlags().Contains(keys::ffKeyOnly));
  EXPECT_EQ(T().FileName(), "") << "left out, so back to its default";

  OpenFile();
  const size_t calls = engine.Calls().size();
  EXPECT_EQ(typed->LoadProperties("{\"PageSize\": 4096}"), E_FAIL);
  EXPECT_EQ(LastErrorMessage(), "Can't load properties into an active table");
  EXPECT_EQ(T().PageSize(), 1024);
  EXPECT_EQ(engine.Calls().size(), calls);
  EXPECT_FALSE(T().Loading());
}

TEST_F(ControlEngineTest, EveryByteSurvivesTheWayThroughAutomationText) {
  ASSERT_TRUE(Put(control.get(), "DataBufferLength", Variant(int32_t{300})).ok());
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  T().SetDataBufferText(all);
  Outcome text = Get(control.get(), "DataBuffer");
  ASSERT_TRUE(text.ok());
  ASSERT_TRUE(Put(control.get(), "DataBuffer", Variant("")).ok());
  ASSERT_TRUE(Put(control.get(), "DataBuffer", text.value).ok());
  EXPECT_EQ(T().DataBufferText(), all);
  ASSERT_TRUE(
      Put(control.get(), "FileName", Variant(platform::SingleByteToUtf8("\x80\xFF.dat"))).ok());
  EXPECT_EQ(T().FileName(), "\x80\xFF.dat");
  // A name longer than the table holds fails the call with the table's message.
  const Outcome long_name = Put(control.get(), "FileName", Variant(std::string(255, 'n')));
  EXPECT_FALSE(long_name.ok());
  EXPECT_THAT(long_name.message, ::testing::StartsWith("File name is too long: \"nnn"));
  EXPECT_EQ(T().FileName(), "\x80\xFF.dat");
}

TEST_F(ControlEngineTest, AnInvalidBagIsRefusedAndChangesNothing) {
  ComPtr<TVastrel> typed(static_cast<TVastrel*>(static_cast<IVastrel*>(control.get())));
  // The message reaches the host through the error info and names what is wrong; the
  // bag's own wording is the property bag's business.
  const std::string long_name = "{\"FileName\": \"" + std::string(255, 'n') + "\"}";
  const struct {
    const char* bag;
    const char* names;
  } rows[] = {
      {"[1]", "object"},
      {"{\"FileName\": \"x.dat\", \"Fielname\": 1}", "Fielname"},
      {"{\"FileName\": \"x.dat\", \"KeyNum\": 40000}", "KeyNum"},
      {"{\"OpenMode\": \"bomShared\"}", "OpenMode"},
      {"{\"Keys\": [{\"Length\": 4}]}", "Keys[0]"},
      {"{\"DDFFields\": [{\"FieldName\": \"A\", \"FieldType\": \"ft_MONEY\", \"FieldOffset\": 0, "
       "\"FieldSize\": 1}]}",
       "ft_MONEY"},
      {"{\"FileFlags\": [\"ffFast\"]}", "ffFast"},
      {"{\"DecimalSeparator\": \"\"}", "DecimalSeparator"},
      {"{\"FileName\": \"x.dat\",}", "column 22"},
      {"{\"Active\": 1}", "Active"},
      {long_name.c_str(), "FileName: is too long"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(typed->LoadProperties(row.bag), E_FAIL) << row.bag;
    EXPECT_THAT(LastErrorMessage(), ::testing::StartsWith("Property bag")) << row.bag;
    EXPECT_THAT(LastErrorMessage(), ::testing::HasSubstr(row.names)) << row.bag;
    EXPECT_EQ(T().FileName(), "people.dat") << row.bag;
    EXPECT_FALSE(T().Loading());
  }
  EXPECT_TRUE(engine.Calls().empty());
}

// The flag page applies its whole record: written back unchanged on an open table, it
// changes nothing and fails nothing.
TEST_F(ControlEngineTest, FileFlagsWrittenBackUnchangedOnAnOpenTableSucceed) {
  OpenFile();
  engine.ClearCalls();
  Outcome flags = Get(control.get(), "FileFlags");
  ASSERT_TRUE(Put(control.get(), "FileFlags", flags.value).ok()) << "nothing changes";
  EXPECT_TRUE(engine.Calls().empty());
}

// Every message a host receives is UTF-8, whatever single-byte text it quotes: a FileName,
// a field's name or value, a name from a property bag.
TEST_F(ControlEngineTest, MessagesQuotingTextBeyondAsciiReachTheHostInUtf8) {
  ASSERT_TRUE(Put(control.get(), "FileName", Variant("caf\xC3\xA9.dat")).ok());
  OpenFile();
  engine.Reply(engine::kOpGetNext, 9);
  EXPECT_EQ(Call(control.get(), "Next").message, "End Of File (9)\rcaf\xC3\xA9.dat");

  Outcome fields = Get(control.get(), "DDFFields");
  EXPECT_EQ(Call(control.get(), "FieldByName",
                 {Variant("Gr\xC3\xB6\xC3\x9F"
                          "e")})
                .message,
            "Field \"Gr\xC3\xB6\xC3\x9F"
            "e\" not exists.");
  ASSERT_TRUE(Call(fields.Object(), "Add").ok());
  Outcome item = Get(fields.Object(), "Items", {Variant(int32_t{0})});
  ASSERT_TRUE(Put(item.Object(), "FieldName", Variant("N\xC3\xA4me")).ok());
  ASSERT_TRUE(Put(item.Object(), "Size", Variant(int32_t{3})).ok());
  T().SetDataBufferText(
      "\xE9"
      "12");
  Outcome field = Call(control.get(), "FieldByName", {Variant("N\xC3\x84ME")});
  ASSERT_TRUE(field.ok()) << field.message;
  EXPECT_EQ(Get(field.Object(), "AsInteger").message,
            "'\xC3\xA9"
            "12' is not a valid integer value");

  ComPtr<TVastrel> typed(static_cast<TVastrel*>(static_cast<IVastrel*>(control.get())));
  ASSERT_TRUE(Call(control.get(), "Close").ok());
  EXPECT_EQ(typed->LoadProperties("{\"FileFlags\": [\"ff\xC3\xA9\"]}"), E_FAIL);
  const std::string message = LastErrorMessage();
  EXPECT_NE(message.find("\"ff\xC3\xA9\""), std::string::npos) << message;
}

// A sink may leave inside an event, and a sink that fails does not fail the operation.
TEST_F(ControlEngineTest, ASinkThatUnadvisesOrFailsInsideAnEventLeavesTheOperationWhole) {
  OpenFile();
  const uint32_t cookie = Advise(sink.get());
  sink->on_event = [&](DISPID) { EXPECT_EQ(point->Unadvise(cookie), S_OK); };
  ASSERT_TRUE(Call(control.get(), "Insert").ok());
  ASSERT_TRUE(Call(control.get(), "Insert").ok());
  EXPECT_EQ(sink->events.size(), 1u);

  ComPtr<RecordingSink> failing = MakeObject<RecordingSink>();
  failing->answer = E_FAIL;
  Advise(failing.get());
  engine.Reply(engine::kOpGetNext, RecordingEngine::Text("BOB"));
  EXPECT_TRUE(Call(control.get(), "Next").ok());
  EXPECT_EQ(failing->events.size(), 1u);
  EXPECT_EQ(T().DataBufferText(), "BOB");
}

}  // namespace
}  // namespace vastrel::testing
