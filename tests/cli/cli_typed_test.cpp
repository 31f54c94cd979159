// The vastrel tool on descriptions and typed records: describe and create, typed export and
// import, dictionaries.
#include "tests/cli/tool_fixture.h"

namespace vastrel::table {
namespace {

TEST_F(Tool, DescribeAndCreateRoundTrip) {
  const std::string from = Make("items.dat", {Record("C1", "nut")}, /*variable=*/true);
  const Result d = Run({"describe", from});
  ASSERT_EQ(d.code, 0) << d.err;
  EXPECT_NE(d.out.find("\"ffVariableLength\""), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("\"AllowDuplicates\""), std::string::npos) << d.out;
  std::ofstream(PathOf("d.json")) << d.out;
  ASSERT_EQ(Run({"create", PathOf("copy.dat"), PathOf("d.json")}).code, 0);
  EXPECT_EQ(Run({"describe", PathOf("copy.dat")}).out, d.out);
  EXPECT_EQ(Run({"create", PathOf("copy.dat"), PathOf("d.json")}).code, 1) << "never over a file";
  std::ofstream(PathOf("bad.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktNothing"}]}]})";
  const Result bad = Run({"create", PathOf("bad.dat"), PathOf("bad.json")});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("key 0 segment 1: unknown key type \"ktNothing\"; the key types are "
                         "ktOldBinary, ktOldString, ktString,"),
            std::string::npos)
      << bad.err;
  EXPECT_FALSE(fs::exists(PathOf("bad.dat")));
  std::ofstream(PathOf("dup.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktString", "flags": ["Dup"]}]}]})";
  const Result dup = Run({"create", PathOf("bad.dat"), PathOf("dup.json")});
  EXPECT_NE(dup.err.find("unknown key flag \"Dup\"; the key flags are AllowDuplicates, "
                         "Modifiable, Binary,"),
            std::string::npos)
      << dup.err;
  // A type that is a flag bit of its own keeps it without the flag being named.
  std::ofstream(PathOf("old.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktOldBinary"}]}]})";
  ASSERT_EQ(Run({"create", PathOf("old.dat"), PathOf("old.json")}).code, 0);
  EXPECT_NE(Run({"describe", PathOf("old.dat")}).out.find("\"ktOldBinary\""), std::string::npos);

  // A path beyond ASCII names the same file on disk, and one the code page cannot spell
  // is refused rather than turned into another name.
  ASSERT_EQ(Run({"create", PathOf("caf\xC3\xA9.dat"), PathOf("d.json")}).code, 0);
  EXPECT_TRUE(fs::exists(PathOf("caf\xC3\xA9.dat")));
  EXPECT_EQ(Run({"describe", PathOf("caf\xC3\xA9.dat")}).out, d.out);
  const Result cjk = Run({"create", PathOf("\xE4\xB8\xAD.dat"), PathOf("d.json")});
  EXPECT_EQ(cjk.code, 1);
  EXPECT_NE(cjk.err.find("code page"), std::string::npos) << cjk.err;
  // A path longer than a file name may be is refused, never cut to a shorter one.
  const std::string too_long = PathOf(std::string(250, 'n'));
  const Result cut = Run({"create", too_long, PathOf("d.json")});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("File name is too long: \"" + too_long + "\""), std::string::npos)
      << cut.err;
  EXPECT_FALSE(fs::exists(too_long.substr(0, 254))) << "no file made under the cut name";

  const Result info = Run({"info", from, "--json"});
  EXPECT_NE(info.out.find("\"records\": 1"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"free_pages\": "), std::string::npos) << info.out;
  const Result check = Run({"check", from, "--json"});
  EXPECT_NE(check.out.find("\"ok\": true"), std::string::npos) << check.out;
}

TEST_F(TypedTool, ExportThenImportGivesTheSameRecordsInEveryCodePage) {
  const std::string from = MakeTyped("items.dat", HighByteRows());
  const std::vector<std::string> original = CsvRecords(from, "--physical");
  ASSERT_EQ(original.size(), 7u);
  // Byte 0x80 is a different character in each code page.
  const std::pair<const char*, const char*> pages[] = {
      {"cp1252", "\u20ac"}, {"cp437", "\u00c7"}, {"cp850", "\u00c7"}, {"latin-1", "\u0080"}};
  for (const auto& [page, first] : pages) {
    for (const char* format : {"csv", "jsonl"}) {
      SCOPED_TRACE(std::string(page) + " " + format);
      const std::string out = PathOf(std::string("out.") + format);
      const Result e = Run(Typed("export", from, out, {"--code-page", page}));
      ASSERT_EQ(e.code, 0) << e.err;
      EXPECT_NE(Slurp(out).find(first), std::string::npos);
      const std::string to = Fresh(from, std::string(page) + format + ".dat");
      const Result i = Run(Typed("import", to, out, {"--code-page", page, "--batch", "3"}));
      ASSERT_EQ(i.code, 0) << i.err;
      EXPECT_EQ(CsvRecords(to, "--physical"), original);
    }
  }
  const std::string jsonl = PathOf("check.jsonl");
  ASSERT_EQ(Run(Typed("export", from, jsonl)).code, 0);
  EXPECT_NE(Slurp(jsonl).find(R"("Qty":4,"Price":0.75,"Ok":false,"Day":"1919-02-11")"),
            std::string::npos)
      << Slurp(jsonl);
}

TEST_F(TypedTool, ImportRefusesBadInputNamingThePlaceAndKeepsOnlyWholeBatches) {
  const std::string from = MakeTyped("items.dat", {});
  auto import = [&](const std::string& text, const std::string& ext,
                    std::vector<std::string> more = {}) {
    const std::string in = PathOf("in." + ext);
    std::ofstream(in) << text;
    return Run(Typed("import", from, in, more));
  };
  const std::string header = "Code,Name,Qty\n";
  const struct {
    std::string text, ext, message;
  } bad[] = {
      {header + "A1,\"x\",1\nA2,y,1,9\n", "csv", "line 3: 4 values, the header names 3"},
      {"Code,Colour\n", "csv", "line 1: the dictionary has no field \"Colour\""},
      {header + "A1,\"never closed,1\n", "csv", "line 2: a quote is never closed"},
      {header + "A1,x,one\n", "csv", "line 2, field Qty: \"one\" is not a whole number"},
      {header + "A1,x,1234567\n", "csv",
       "line 2, field Qty: the value takes 7 characters, the field 6"},
      {header + "A1,\"\u65e5\",1\n", "csv",
       "line 2, field Name: the text holds a character the code page lacks"},
      {"{\"Code\":\"A1\"}\n{\"Code\":\n", "jsonl", "line 2: "},
      {"{\"Code\":\"A1\",\"Ok\":\"yes\"}\n", "jsonl", "line 1, field Ok: a true or false expected"},
      {"{\"Code\":\"A1\",\"Day\":\"2024-02-30\"}\n", "jsonl",
       "line 1, field Day: \"2024-02-30\" is not a date"},
      {"Code,Name,code\n", "csv", "line 1: the header names the field \"Code\" twice"},
      {"{\"Code\":\"A1\",\"code\":\"A2\"}\n", "jsonl",
       "line 1, field code: the field is given twice"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.text);
    const Result r = import(b.text, b.ext);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 0u) << "a failed batch leaves nothing";
  std::ofstream(PathOf("one.csv")) << header << "A1,x,1\n";
  const Result no_id =
      Run({"import", from, PathOf("one.csv"), "--dict", PathOf("items.ddf"), "--id", "NOPE"});
  EXPECT_EQ(no_id.code, 1);
  EXPECT_NE(no_id.err.find("no fields under the ID \"NOPE\""), std::string::npos) << no_id.err;

  // Batches of 2: the first two batches stay, the third (records 5 and 6) is undone.
  std::string text = header;
  for (int i = 1; i <= 6; ++i)
    text += "B" + std::to_string(i) + ",n," + (i == 6 ? "x" : "1") + "\n";
  const Result r = import(text, "csv", {"--batch", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("imported 4 records; the batch in work was undone"), std::string::npos)
      << r.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);
  const Result dup = import(header + "C9,n,1\nB1,n,1\n", "csv");
  EXPECT_EQ(dup.code, 1);
  EXPECT_NE(dup.err.find("line 3: Duplicate Key Value (5): " + from +
                         ": a record with key 0 (Code \"B1\") is already in the file"),
            std::string::npos)
      << dup.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);
  // Without --batch the import is one transaction, however many records it holds: a
  // failure after more than any batch's worth of records leaves the file as it was.
  std::string many = header;
  for (int i = 0; i < 70000; ++i) many += "M" + std::to_string(i) + ",n,1\n";
  const Result whole = import(many + "Z1,n,x\n", "csv");
  EXPECT_EQ(whole.code, 1);
  EXPECT_NE(whole.err.find("imported nothing: the run was one transaction and is undone"),
            std::string::npos)
      << whole.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);

  // Batches of 1: a failure with no batch in work still says what the file kept.
  const Result ones = import(header + "D1,n,1\nD2,n,1\nD3,n,1\nD4,n,x\n", "csv", {"--batch", "1"});
  EXPECT_EQ(ones.code, 1);
  EXPECT_NE(ones.err.find("imported 3 records before the failure"), std::string::npos) << ones.err;
  EXPECT_NE(ones.err.find("line 5, field Qty"), std::string::npos) << ones.err;
  // A byte-order mark before the header is no part of the first name.
  const Result marked = import("\xEF\xBB\xBF" + header + "E1,n,1\n", "csv");
  EXPECT_EQ(marked.code, 0) << marked.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 8u);
}

TEST_F(TypedTool, ImportMapsColumnsChecksItsInputAndReadsOtherEncodings) {
  const std::string from = MakeTyped("items.dat", {});
  auto import = [&](const std::string& text, std::vector<std::string> more = {}) {
    std::ofstream(PathOf("in.csv")) << text;
    return Run(Typed("import", from, PathOf("in.csv"), more));
  };
  auto exported = [&] {
    EXPECT_EQ(Run(Typed("export", from, PathOf("out.csv"))).code, 0);
    return Slurp(PathOf("out.csv"));
  };
  const std::string header = "Code,Colour,Label,Qty\n";
  const Result unknown = import(header + "A1,red,nut,1\n");
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("line 1: the dictionary has no field \"Colour\"; skip the column "
                             "with --columns 'Colour=-'"),
            std::string::npos)
      << unknown.err;
  const struct {
    std::string columns, message;
  } wrong[] = {
      {"Colour=-,Label=Nome",
       "the dictionary has no field \"Nome\"; its fields are Code, Name, "
       "Qty, Price, Ok, Day"},
      {"Colour=-,Label=Name,Size=-", "--columns names the column \"Size\", which the header"},
      {"Colour", "\"Colour\" is not COLUMN=FIELD or COLUMN=-"},
  };
  for (const auto& w : wrong) {
    const Result r = import(header + "A1,red,nut,1\n", {"--columns", w.columns});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(w.message), std::string::npos) << r.err;
  }
  const Result mapped = import(header + "A1,red,nut,1\n", {"--columns", "Colour=-,Label=Name"});
  ASSERT_EQ(mapped.code, 0) << mapped.err;
  EXPECT_NE(exported().find("\"A1\",\"nut\",1,"), std::string::npos);
  std::ofstream(PathOf("in.jsonl")) << "{\"Code\":\"J1\",\"Colour\":\"red\",\"Label\":\"bolt\"}\n";
  const Result members =
      Run(Typed("import", from, PathOf("in.jsonl"), {"--columns", "Colour=-,Label=Name"}));
  ASSERT_EQ(members.code, 0) << members.err;
  EXPECT_NE(exported().find("\"J1\",\"bolt\","), std::string::npos);

  // A check reads everything, reports every fault with its place, and writes nothing.
  const std::string faults = "Code,Name,Qty,Ok\nB1,a,1,true\nB2,b,x,maybe\nB3,c,3\nB4,d,4,false\n";
  const Result check = import(faults, {"--check"});
  EXPECT_EQ(check.code, 1);
  for (const char* m : {"line 3, field Qty: \"x\" is not a whole number",
                        "line 3, field Ok: \"maybe\" is not true or false",
                        "line 4: 3 values, the header names 4", "3 errors; nothing was written"}) {
    EXPECT_NE(check.err.find(m), std::string::npos) << check.err;
  }
  const Result clean = import("Code,Qty\nB1,1\nB2,2\n", {"--check"});
  EXPECT_EQ(clean.code, 0) << clean.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 2u) << "a check writes nothing";

  // Latin-1 input: refused as UTF-8 with a hint, read with its encoding named.
  const std::string latin = "Code,Name\nC1,\"caf\xE9\"\n";
  const Result plain = import(latin);
  EXPECT_EQ(plain.code, 1);
  EXPECT_NE(plain.err.find("line 2, field Name: byte 0xE9 is not UTF-8: name the file's "
                           "encoding with --input-encoding"),
            std::string::npos)
      << plain.err;
  const Result named = import(latin, {"--input-encoding", "latin1"});
  ASSERT_EQ(named.code, 0) << named.err;
  EXPECT_NE(exported().find("\"C1\",\"caf\u00e9\""), std::string::npos);
}

// Inputs from outside are read up to a limit that fits their kind, also when they never
// end, and refused naming the file; run under a cap on the tool's memory, so that a
// reader without a limit fails here rather than taking the machine's memory.
TEST_F(TypedTool, InputsThatNeverEndAreRefusedWithinALimit) {
  const std::string file = MakeTyped("items.dat", {});
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kSanitized = true;
#elif defined(__has_feature)
  constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
  constexpr bool kSanitized = false;
#endif
  if (!kSanitized) prefix_ = "ulimit -d 262144; ";  // 256 MiB; the sanitizer needs far more
  const struct {
    std::vector<std::string> args;
    std::string message;
  } inputs[] = {
      {{"create", PathOf("new.dat"), "/dev/zero"},
       "cannot read the description /dev/zero: larger than 1 MiB"},
      {{"load", PathOf("new.dat"), "/dev/zero"}, "/dev/zero: line 1 is longer than 1 MiB"},
      {Typed("import", file, "/dev/zero"), "/dev/zero: line 1: a record longer than 4 MiB"},
      {Typed("import", file, "/dev/zero", {"--format", "jsonl"}),
       "/dev/zero: line 1: longer than 4 MiB"},
      {{"import", file, PathOf("in.csv"), "--dict", "/dev/zero", "--id", "ITEMS"},
       "Dictionary file \"/dev/zero\" is too large"},
  };
  std::ofstream(PathOf("in.csv")) << "Code\nA1\n";
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.args[0] + " " + input.args[2]);
    const Result r = Run(input.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(input.message), std::string::npos) << r.err;
  }
  const Result shell = Run({"shell", file}, "", "/dev/zero");
  EXPECT_EQ(shell.code, 1);
  EXPECT_NE(shell.err.find("standard input: a line is longer than 4 MiB"), std::string::npos)
      << shell.err;
  EXPECT_FALSE(fs::exists(PathOf("new.dat")));
}

TEST_F(TypedTool, DictionariesMadeCheckedAndChangedByTheTool) {
  const std::string file = MakeTyped("items.dat", {});
  const std::string ddf = PathOf("new.ddf");
  auto dict = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "dict");
    return Run(args);
  };
  auto json_file = [&](const std::string& name, const std::string& text) {
    std::ofstream(PathOf(name)) << text;
    return PathOf(name);
  };

  // What show prints, create takes back, and the two files then agree.
  const Result shown = dict({"show", PathOf("items.ddf"), "--id", "items"});
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find(R"("name": "Qty",)"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(R"("type": "ft_INTEGER",)"), std::string::npos) << shown.out;
  ASSERT_EQ(dict({"create", ddf, "--id", "ITEMS", json_file("d.json", shown.out)}).code, 0);
  EXPECT_EQ(dict({"show", ddf, "--id", "ITEMS"}).out, shown.out);
  EXPECT_EQ(Slurp(ddf), Slurp(PathOf("items.ddf")));
  EXPECT_EQ(dict({"create", ddf, "--id", "ITEMS", PathOf("d.json")}).code, 1) << "never over one";
  Result ok = dict({"check", ddf, "--id", "ITEMS", file});
  EXPECT_EQ(ok.code, 0) << ok.out << ok.err;
  EXPECT_EQ(Lines(ok.out).back(), "ok");

  // Each refusal names what is wrong, and nothing is written.
  const std::string two = R"({"fields": [{"name": "A", "type": "ft_STRING", "offset": 0, "size": 6},
                                          {"name": "%s", "type": "%s", "offset": %s, "size": 6}]})";
  auto two_fields = [&](const std::string& name, const std::string& type, int offset) {
    std::string text = two;
    for (const std::string& v : {name, type, std::to_string(offset)})
      text.replace(text.find("%s"), 2, v);
    return json_file(name + type + ".json", text);
  };
  const struct {
    std::string json, message;
  } refused[] = {
      {two_fields("B", "ft_STRING", 3),
       R"(fields "A" (bytes 0 to 5) and "B" (bytes 3 to 8) overlap (--overlap allows it))"},
      {two_fields("a", "ft_STRING", 6),
       R"(fields "A" and "a": the same name (names compare without regard to case))"},
      {two_fields("B", "integr", 6),
       R"(field 2 ("B"): unknown type "integr"; the types are ft_STRING, ft_INTEGER, ft_FLOAT, )"
       "ft_BOOLEAN, ft_DATE, ft_TIME, ft_DATETIME"},
      {two_fields("ThisNameIsLongerThanTwentyFive", "ft_STRING", 6),
       R"(field "ThisNameIsLongerThanTwentyFive" is 30 characters long)"},
      {json_file("x.json", R"({"fields": [{"name": "A", "type": 0, "offset": 0, "width": 6}]})"),
       R"(unknown member "width"; the members are name, type, offset, size)"},
      {json_file("far.json",
                 R"({"record_length": 64, "dictionary": {"fields": [{"name": "A", "type": 0, )"
                 R"("offset": 9223372036854775807, "size": 6}]}})"),
       R"(field "A": the offset 9223372036854775807 is not from 0 to 2147483647)"},
  };
  for (const auto& r : refused) {
    const Result c = dict({"create", PathOf("bad.ddf"), "--id", "BAD", r.json});
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.err.find(r.message), std::string::npos) << c.err;
    EXPECT_FALSE(fs::exists(PathOf("bad.ddf")));
  }
  EXPECT_EQ(
      dict({"create", PathOf("bad.ddf"), "--id", "BAD", two_fields("B", "string", 3), "--overlap"})
          .code,
      0);

  // Fields beyond the record and indexes of keys the file lacks are for check to find.
  const Result add_far = dict({"add", ddf, "--id", "ITEMS", "--field", "Far", "--type", "ft_STRING",
                               "--offset", "60", "--size", "10"});
  ASSERT_EQ(add_far.code, 0) << add_far.err;
  ASSERT_EQ(dict({"add", ddf, "--id", "ITEMS", "--index", "ByName", "--key", "1"}).code, 0);
  const Result twice = dict({"add", ddf, "--id", "ITEMS", "--index", "byname", "--key", "0"});
  EXPECT_EQ(twice.code, 1);
  EXPECT_NE(twice.err.find(R"(indexes "ByName" and "byname": the same name)"), std::string::npos)
      << twice.err;
  const Result problems = dict({"check", ddf, "--id", "ITEMS", file});
  EXPECT_EQ(problems.code, 1);
  for (const char* p :
       {R"(problem: field "Far" (bytes 60 to 69) ends beyond the record's 64 bytes)",
        R"(problem: index "ByName": key 1 does not exist; the file has keys 0 to 0)"}) {
    EXPECT_NE(problems.out.find(p), std::string::npos) << problems.out;
  }
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--field", "far"}).code, 0);
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--index", "ByName"}).code, 0);
  EXPECT_EQ(Slurp(ddf), Slurp(PathOf("items.ddf")));
  const Result none = dict({"remove", ddf, "--id", "ITEMS", "--field", "Colour"});
  EXPECT_NE(none.err.find(R"(has no field "Colour"; its fields: Code, Name, Qty)"),
            std::string::npos)
      << none.err;

  // Another ID in the same file stays as it is through changes to the first.
  ASSERT_EQ(dict({"create", ddf, "--id", "OTHER", two_fields("B", "ft_DATE", 6)}).code, 0);
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--field", "Day"}).code, 0);
  const Result all = dict({"show", ddf});
  EXPECT_NE(all.out.find(R"("id": "OTHER")"), std::string::npos) << all.out;
  EXPECT_EQ(all.out.find(R"("name": "Day")"), std::string::npos) << all.out;

  // describe carries the dictionary beside the keys, and create makes both files from it;
  // a field beyond the record refuses both.
  const Result whole = Run({"describe", file, "--dict", PathOf("items.ddf"), "--id", "ITEMS"});
  ASSERT_EQ(whole.code, 0) << whole.err;
  ASSERT_EQ(Run({"create", PathOf("again.dat"), json_file("whole.json", whole.out), "--dict",
                 PathOf("again.ddf"), "--id", "ITEMS"})
                .code,
            0);
  EXPECT_EQ(Slurp(PathOf("again.ddf")), Slurp(PathOf("items.ddf")));
  std::string shorter = whole.out;
  const std::string length = "\"record_length\": 64";
  shorter.replace(shorter.find(length), length.size(), "\"record_length\": 50");
  const Result beyond = Run({"create", PathOf("short.dat"), json_file("short.json", shorter),
                             "--dict", PathOf("short.ddf"), "--id", "ITEMS"});
  EXPECT_NE(beyond.err.find(R"(field "Day" (bytes 45 to 52) ends beyond the record's 50 bytes)"),
            std::string::npos)
      << beyond.err;
  EXPECT_FALSE(fs::exists(PathOf("short.dat")));
  EXPECT_FALSE(fs::exists(PathOf("short.ddf")));

  // A missing file or ID is named as such, here and where a command loads the dictionary.
  const Result wrong_id = dict({"show", ddf, "--id", "NOPE"});
  EXPECT_NE(wrong_id.err.find(R"(no dictionary under the ID "NOPE"; the IDs in the file: ITEMS, )"
                              "OTHER"),
            std::string::npos)
      << wrong_id.err;
  const Result no_file =
      Run({"export", file, PathOf("out.csv"), "--dict", PathOf("gone.ddf"), "--id", "ITEMS"});
  EXPECT_EQ(no_file.code, 1);
  EXPECT_EQ(no_file.err, "vastrel: " + PathOf("gone.ddf") + ": no such dictionary file\n");
}

}  // namespace
}  // namespace vastrel::table
