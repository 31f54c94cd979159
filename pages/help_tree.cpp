#include "pages/help_tree.h"

#include <QHash>
#include <QStringList>

namespace vastrel::pages {
namespace {

enum class Kind { kInterface, kDispInterface, kEnum, kRecord };

struct Branch {
  const char* name;
  Kind kind;
  const char* help;
  // Members separated by blanks; "Name:gp" stands for a get and a put node, "Name:g" for a
  // get node; members of every "(get, put)" interface are marked in the list itself.
  const char* members;
};

constexpr Branch kBranches[] = {
    {"IVastrel", Kind::kInterface,
     "This is the main COM interface to Vastrel ActiveX control. All properties, methods of "
     "Vastrel are declared in this interface.",
     "CallBtrieve Loaded CreateFile Open Close Stat Delete Insert UpdateFixed First Next Last "
     "Prev GreaterEq SetOwner ClearOwner LessEq Equal GetDirect Unlock GetPosition SwitchKeys "
     "BeginTransaction AbortTransaction CommitTransaction FindPercentage GetByPercentage "
     "KeyString:gp KeyWord:gp KeyInt:gp KeyByte:gp KeyLong:gp KeyDouble:gp NumberOfKeys:gp "
     "RecordCount:g Position:gp Searching:gp MoreAvailable:g About:gp DbOwner:gp "
     "OwnerProtection:gp ClientID:gp AutoCreate:gp Active:gp DataBufferLength:gp FileName:gp "
     "FirstOnOpen:gp KeyNum:gp OpenMode:gp PageSize:gp RecordSize:gp StepType:gp LockType:gp "
     "TranType:gp SharingMode:gp StreamCompression:gp IgnoreSmall:gp Version:gp AboutBox:g "
     "DataBuffer:gp KeyBuffer:gp Update Keys:gp FileFlags:gp"},
    {"IVastrelEvents", Kind::kDispInterface,
     "This is the DispInterface of the Vastrel event methods.",
     "OnRecChanged OnAutoCreate StreamingProgress"},
    {"TxUnlockType", Kind::kEnum,
     "This Enumeration type defines the unlock type used in context with Unlock procedure.",
     "utSingleSingle utSingleMulti utAllMulti"},
    {"TxOwnerProtection", Kind::kEnum,
     "This Enumeration type defines the owner protection modes available to be used.",
     "opNoAccessNoEncrypt opReadAccessNoEncrypt opNoAccessEncrypt opReadAccessEncrypt"},
    {"TxBtrOpenModes", Kind::kEnum,
     "This enumeration type defines the file open modes available to be used in context with "
     "Open.",
     "bomNormal bomAccelerated bomReadOnly bomVerify bomExclusive"},
    {"TxStepType", Kind::kEnum,
     "This enumeration type defines the step types used to navigate through records.",
     "stNormal stKeyOnly stNoKeys"},
    {"TxLockType", Kind::kEnum, "Reserved for further use. NOT IMPLEMENTED.",
     "ltNone ltSinglewait ltSinglenowait ltMultiwait ltMultinowait"},
    {"TxTranType", Kind::kEnum,
     "This enumeration type defines the transaction types used in context with "
     "BeginTransaction.",
     "ttExclusive ttConcurent"},
    {"TxBtrSharingModes", Kind::kEnum,
     "This enumeration type define the sharing modes available in context with Open.",
     "bomDefault bomSEFS bomMEFS"},
    {"TxProgressType", Kind::kEnum,
     "This enumeration type defines the state during streaming progress.",
     "ptCompressing ptUncompressing ptWriting ptReading"},
    {"TxKeyTypes", Kind::kEnum, "This enumeration defines the data type for Ikey items.",
     "ktOldBinary ktOldString ktString ktInteger ktFloat ktDate ktTime ktDecimal ktMoney "
     "ktLogical ktNumeric ktBasicFloat ktPascalString ktAsciiZString ktUnsignedBinary "
     "ktAutoIncrement ktSignTrailing ktUnknown"},
    {"TxKeyDesc", Kind::kRecord, "This record type defines the Ikey description information.",
     "Position Length KeyFlag KeyValues Extended NullVal Reserv Manually ACS"},
    {"TxFileFlags", Kind::kRecord, "This record type defines the Ikey file flags.",
     "ffVariableLength ffTruncateBlank ffPreallocate ffCompress ffKeyOnly ffIndexBalancing ff10 "
     "ff20 ff30 ffDuplicatePtrs ffKeyNumSpecified ffUseVATs"},
    {"IKeys", Kind::kInterface, "This is the interface for the file keys collection.",
     "Count:g Items:g _NewEnum:g Keys KeySeg Insert Delete Add"},
    {"IKey", Kind::kInterface, "This is the interface for the file key in IKeys collection.",
     "AllowDuplicates:gp AllSegmentNull:gp CaseInsensitive:gp Descending:gp ExtendedType:gp "
     "KeySortedByACS:gp KeyType:gp Length:gp Modifiable:gp Position:gp Segment:gp "
     "NullSegment:gp Description:gp"},
    {"TxFieldType", Kind::kEnum, "This is the field type used within DDF collection.",
     "ftSTRING ftINTEGER ftFLOAT ftBOOLEAN ftDATE ftTIME ftDATETIME"},
    {"IDDFItem", Kind::kInterface, "This is the interface for DDF Item within collection",
     "FieldName:gp FieldType:gp Offset:gp Size:gp"},
    {"IDDFItems", Kind::kInterface,
     "This is th interface for DDF collection which stores the DDF items.",
     "Count:g _NewEnum:g IndexOf Exchange Add FindField Delete Clear Items:g LoadItems "
     "SaveItems"},
    {"IBtrField", Kind::kInterface,
     "This is the interface to IBtrField object used for data field translation.",
     "AsString:gp AsInteger:gp AsFloat:gp AsBoolean:gp AsDate:gp AsTime:gp AsDateTime:gp "
     "FieldType:gp FieldName:gp Offset:gp Size:gp"},
};

// Methods and events: the whole sentence. Properties: what the get node returns and the
// put node sets, as a phrase. Keys are "Interface.Member".
struct MemberHelp {
  const char* key;
  const char* text;
};

constexpr MemberHelp kMethods[] = {
    {"IVastrel.CallBtrieve",
     "This procedure allows you to execute an engine operation with the operation code (e.g. "
     "Open=0, Close=1, etc)"},
    {"IVastrel.Loaded",
     "This is an internal ActiveX control procedure. You should not call this directly."},
    {"IVastrel.CreateFile",
     "This procedure creates a new file from the record size, page size, file flags and key "
     "segments of the control."},
    {"IVastrel.Open",
     "This procedure opens the file named by FileName with the open mode, sharing mode and "
     "owner name of the control."},
    {"IVastrel.Close", "This procedure closes the open file."},
    {"IVastrel.Stat",
     "This procedure reads the record size, page size, keys, record count and file flags of "
     "the open file."},
    {"IVastrel.Delete", "This procedure deletes the current record."},
    {"IVastrel.Insert", "This procedure inserts the data buffer as a new record."},
    {"IVastrel.UpdateFixed", "This procedure writes the data buffer over the current record."},
    {"IVastrel.First", "This procedure reads the first record in the order of the current key."},
    {"IVastrel.Next", "This procedure reads the next record in the order of the current key."},
    {"IVastrel.Last", "This procedure reads the last record in the order of the current key."},
    {"IVastrel.Prev", "This procedure reads the previous record in the order of the current key."},
    {"IVastrel.GreaterEq",
     "This procedure reads the first record whose key is greater than or equal to the key "
     "buffer."},
    {"IVastrel.SetOwner",
     "This procedure gives the open file the owner name DbOwner with the owner protection "
     "level."},
    {"IVastrel.ClearOwner", "This procedure removes the owner name of the open file."},
    {"IVastrel.LessEq",
     "This procedure reads the last record whose key is less than or equal to the key "
     "buffer."},
    {"IVastrel.Equal", "This procedure reads the first record whose key equals the key buffer."},
    {"IVastrel.GetDirect",
     "This procedure reads the record at the physical position held in Position."},
    {"IVastrel.Unlock", "This procedure releases record locks as the unlock type says."},
    {"IVastrel.GetPosition",
     "This procedure puts the physical position of the current record into Position."},
    {"IVastrel.SwitchKeys",
     "This procedure makes KeyNum the current key while keeping the current record."},
    {"IVastrel.BeginTransaction", "This procedure starts a transaction of the transaction type."},
    {"IVastrel.AbortTransaction",
     "This procedure undoes every change made since the transaction began."},
    {"IVastrel.CommitTransaction",
     "This procedure makes every change of the transaction permanent."},
    {"IVastrel.FindPercentage",
     "This procedure returns where the current record lies in the file, as a percentage."},
    {"IVastrel.GetByPercentage",
     "This procedure reads the record that lies at a percentage of the file."},
    {"IVastrel.Update",
     "This procedure writes the data buffer over the current record, as UpdateFixed does."},
    {"IVastrelEvents.OnRecChanged",
     "This event occurs whenever the data buffer contents was changed."},
    {"IVastrelEvents.OnAutoCreate", "This event occurs when an open has created the missing file."},
    {"IVastrelEvents.StreamingProgress",
     "This event reports what a streaming operation is doing and how far it has come."},
    {"IKeys.Keys", "This function returns the number of keys the segments describe."},
    {"IKeys.KeySeg",
     "This procedure will return the logical KeyNum and Segment for a physical key existent in "
     "Items array."},
    {"IKeys.Insert", "This procedure inserts a new key segment at the given position."},
    {"IKeys.Delete", "This procedure deletes the key segment at the given position."},
    {"IKeys.Add", "This function adds a new key segment at the end and returns it."},
    {"IDDFItems.IndexOf", "This function returns the position of a field definition by its name."},
    {"IDDFItems.Exchange", "This procedure exchanges two field definitions."},
    {"IDDFItems.Add", "This function adds a new field definition at the end and returns it."},
    {"IDDFItems.FindField",
     "This function returns the field object of a field definition found by its name."},
    {"IDDFItems.Delete", "This procedure deletes the field definition at the given position."},
    {"IDDFItems.Clear", "This procedure deletes every field definition."},
    {"IDDFItems.LoadItems",
     "This procedure loads the field definitions stored under an ID in a dictionary file."},
    {"IDDFItems.SaveItems",
     "This procedure saves the field definitions under an ID in a dictionary file."},
};

constexpr MemberHelp kProperties[] = {
    {"IVastrel.KeyString", "the key buffer as text"},
    {"IVastrel.KeyWord", "the key buffer as an unsigned 16-bit number"},
    {"IVastrel.KeyInt", "the key buffer as a signed 16-bit number"},
    {"IVastrel.KeyByte", "the key buffer as one byte"},
    {"IVastrel.KeyLong", "the key buffer as a signed 32-bit number"},
    {"IVastrel.KeyDouble", "the key buffer as a floating point number"},
    {"IVastrel.NumberOfKeys", "the number of keys of the file"},
    {"IVastrel.RecordCount", "the number of records in the file"},
    {"IVastrel.Position", "the physical position of a record"},
    {"IVastrel.Searching", "the search mode, in which reads raise no OnRecChanged event"},
    {"IVastrel.MoreAvailable", "whether the last record read was longer than the data buffer"},
    {"IVastrel.About", "the about text of the control"},
    {"IVastrel.DbOwner", "the owner name used to open the file"},
    {"IVastrel.OwnerProtection", "the protection level of an owner name"},
    {"IVastrel.ClientID", "the client identifier of the engine calls"},
    {"IVastrel.AutoCreate", "whether an open creates a missing file"},
    {"IVastrel.Active", "whether the file is open"},
    {"IVastrel.DataBufferLength", "the length of the data buffer"},
    {"IVastrel.FileName", "the name of the file"},
    {"IVastrel.FirstOnOpen", "whether an open reads the first record"},
    {"IVastrel.KeyNum", "the number of the current key"},
    {"IVastrel.OpenMode", "the mode in which the file is opened"},
    {"IVastrel.PageSize", "the page size of the file"},
    {"IVastrel.RecordSize", "the record size of the file"},
    {"IVastrel.StepType", "the step type of physical navigation"},
    {"IVastrel.LockType", "the lock type of reads"},
    {"IVastrel.TranType", "the type of the transactions"},
    {"IVastrel.SharingMode", "the sharing mode in which the file is opened"},
    {"IVastrel.StreamCompression", "the stream compression setting"},
    {"IVastrel.IgnoreSmall", "whether a record longer than the data buffer is no error"},
    {"IVastrel.Version", "the version of the record engine"},
    {"IVastrel.AboutBox", "the about box of the control, shown modally"},
    {"IVastrel.DataBuffer", "the contents of the data buffer"},
    {"IVastrel.KeyBuffer", "the contents of the key buffer"},
    {"IVastrel.Keys", "the collection of key segments used to create files"},
    {"IVastrel.FileFlags", "the file flags used to create files"},
    {"IKeys.Count", "the number of key segments"},
    {"IKeys.Items", "the key segment at a position"},
    {"IKeys._NewEnum", "an enumerator over the key segments"},
    {"IKey.AllowDuplicates", "whether the key allows duplicate values"},
    {"IKey.AllSegmentNull", "whether the key leaves out records whose segments are all null"},
    {"IKey.CaseInsensitive", "whether the segment ignores letter case"},
    {"IKey.Descending", "whether the segment sorts in descending order"},
    {"IKey.ExtendedType", "the extended data type of the segment"},
    {"IKey.KeySortedByACS", "whether the segment sorts by an alternate collating sequence"},
    {"IKey.KeyType", "the data type of the segment"},
    {"IKey.Length", "the length of the segment in bytes"},
    {"IKey.Modifiable", "whether the key value may change in an update"},
    {"IKey.Position", "the position of the segment in the record, from 1"},
    {"IKey.Segment", "whether another segment of the same key follows"},
    {"IKey.NullSegment", "whether the segment has a null value"},
    {"IKey.Description", "the whole description of the segment as a record"},
    {"IDDFItem.FieldName", "the name of the field definition"},
    {"IDDFItem.FieldType", "the type of the field definition"},
    {"IDDFItem.Offset", "the offset of the field in the record text, from 0"},
    {"IDDFItem.Size", "the size of the field in characters"},
    {"IDDFItems.Count", "the number of field definitions"},
    {"IDDFItems._NewEnum", "an enumerator over the field definitions"},
    {"IDDFItems.Items", "the field definition at a position"},
    {"IBtrField.AsString", "the value of the field as text"},
    {"IBtrField.AsInteger", "the value of the field as an integer"},
    {"IBtrField.AsFloat", "the value of the field as a floating point number"},
    {"IBtrField.AsBoolean", "the value of the field as a Boolean"},
    {"IBtrField.AsDate", "the value of the field as a date"},
    {"IBtrField.AsTime", "the value of the field as a time"},
    {"IBtrField.AsDateTime", "the value of the field as a date and time"},
    {"IBtrField.FieldType", "the type of the field"},
    {"IBtrField.FieldName", "the name of the field"},
    {"IBtrField.Offset", "the offset of the field in the record text"},
    {"IBtrField.Size", "the size of the field in characters"},
};

QString Lookup(const MemberHelp* table, size_t n, const QString& key) {
  for (size_t i = 0; i < n; ++i)
    if (key == QLatin1String(table[i].key)) return QString::fromLatin1(table[i].text);
  return QString();
}

std::vector<HelpNode> Build() {
  std::vector<HelpNode> nodes;
  nodes.push_back({QStringLiteral("Vastrel User Guide - Welcome"), kIconRoot, kIconRoot, 0, -1,
                   QStringLiteral("This ActiveX control allows you to access record files via the "
                                  "record engine with direct API calls (no ODBC required, but the "
                                  "engine library must be installed) ")});
  for (const Branch& b : kBranches) {
    const int icon = b.kind == Kind::kInterface       ? kIconInterface
                     : b.kind == Kind::kDispInterface ? kIconDispInterface
                     : b.kind == Kind::kEnum          ? kIconEnum
                                                      : kIconRecord;
    const int parent = static_cast<int>(nodes.size());
    const QString iface = QString::fromLatin1(b.name);
    nodes.push_back({iface, icon, icon, 1, 0, QString::fromLatin1(b.help)});
    const QStringList members = QString::fromLatin1(b.members).split(QLatin1Char(' '));
    for (const QString& member : members) {
      const QString name = member.section(QLatin1Char(':'), 0, 0);
      const QString marks = member.section(QLatin1Char(':'), 1);
      const QString key = iface + QLatin1Char('.') + name;
      if (b.kind == Kind::kEnum) {
        nodes.push_back({name, kIconEnumValue, kIconSelected, 2, parent, QString()});
      } else if (b.kind == Kind::kRecord) {
        nodes.push_back({name, kIconRecordField, kIconSelected, 2, parent, QString()});
      } else if (marks.isEmpty()) {
        nodes.push_back({name, kIconMethod, kIconSelected, 2, parent,
                         Lookup(kMethods, std::size(kMethods), key)});
      } else {
        const QString what = Lookup(kProperties, std::size(kProperties), key);
        nodes.push_back({name, kIconGet, kIconSelected, 2, parent,
                         QStringLiteral("This function returns %1.").arg(what)});
        if (marks == QLatin1String("gp"))
          nodes.push_back({name, kIconPut, kIconSelected, 2, parent,
                           QStringLiteral("This procedure sets %1.").arg(what)});
      }
    }
  }
  return nodes;
}

}  // namespace

void FillDateLine(QLabel* label) {
  constexpr int kDay = 20, kMonth = 7, kYear = 2000;
  QString text = label->text();
  for (int value : {kMonth, kDay, kYear}) {
    const qsizetype at = text.indexOf(QLatin1String("%d"));
    if (at < 0) break;
    text.replace(at, 2, QString::number(value));
  }
  label->setText(text);
}

const std::vector<HelpNode>& HelpTree() {
  static const std::vector<HelpNode> tree = Build();
  return tree;
}

}  // namespace vastrel::pages
