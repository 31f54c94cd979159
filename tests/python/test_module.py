"""The module driven as a script drives the control: create, fill, navigate, dictionaries,
events, errors with their status, enumeration, and the open() layer over them."""
import datetime

import pytest

import vastrel

KT_STRING = 2
FT_STRING, FT_INTEGER, FT_FLOAT, FT_BOOLEAN, FT_DATE = 0, 1, 2, 3, 4
STATUS_KEY_NOT_FOUND, STATUS_DUPLICATE_KEY = 4, 5


def new_control():
    return vastrel.Dispatch("VastrelCtrl.Vastrel")


def describe_small_file(t, path):
    """Sets t up for a file of 10-byte records under one 4-byte text key at their start."""
    t.FileName = str(path)
    t.RecordSize = 10
    keys = t.Keys
    keys.Add()
    k = keys.Items(0)
    k.Position, k.Length, k.KeyType = 1, 4, KT_STRING
    t.Keys = keys


def create_people(folder):
    """people.dat: records of text fields, Id (key 0), Name (key 1, duplicates allowed),
    Price, Active and Born; and its dictionary people.ddf under the ID PEOPLE."""
    t = new_control()
    t.FileName = str(folder / "people.dat")
    t.RecordSize = 64
    t.PageSize = 4096
    # The collection's items are copies, made again by every Add and written back as a
    # whole; Add answers a copy of its own.
    keys = t.Keys
    keys.Add()
    keys.Add()
    for k, (position, length, kind, duplicates) in zip(keys, ((1, 4, KT_STRING, False),
                                                              (5, 20, KT_STRING, True))):
        k.Position, k.Length, k.KeyType, k.AllowDuplicates = position, length, kind, duplicates
    t.Keys = keys
    t.CreateFile()
    fields = t.DDFFields
    spec = (("Id", FT_INTEGER, 0, 4), ("Name", FT_STRING, 4, 20), ("Price", FT_FLOAT, 24, 16),
            ("Active", FT_BOOLEAN, 40, 1), ("Born", FT_DATE, 41, 8))
    for _ in spec:
        fields.Add()
    for f, (name, kind, offset, size) in zip(fields, spec):
        f.FieldName, f.FieldType, f.Offset, f.Size = name, kind, offset, size
    t.DDFFields = fields
    fields.SaveItems(str(folder / "people.ddf"), OverwriteWhenExists=True, AppendToFile=False,
                     ID="PEOPLE")
    indexes = t.DDFIndexes
    for _ in range(2):
        indexes.Add()
    for i, name in zip(indexes, ("ById", "ByName")):
        i.IndexName, i.IndexKeyNum = name, ("ById", "ByName").index(name)
    t.DDFIndexes = indexes
    indexes.SaveItems(str(folder / "people.ddf"), True, True, "PEOPLE")
    if t.Active:
        t.Close()
    return folder / "people.dat", folder / "people.ddf"


PEOPLE = [
    {"Id": 3, "Name": "Zoë Ågren", "Price": 2.5, "Active": True,
     "Born": datetime.date(1990, 5, 17)},
    {"Id": 1, "Name": "Ærø Çelik", "Price": -0.125, "Active": False,
     "Born": datetime.date(1899, 12, 1)},
    {"Id": 2, "Name": "Bob", "Price": 1e6, "Active": True, "Born": datetime.date(2024, 2, 29)},
]


@pytest.fixture
def people(tmp_path):
    data, ddf = create_people(tmp_path)
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        for p in PEOPLE:
            t.insert(p)
    return data, ddf


def test_records_round_trip_typed_along_each_key(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        rows = list(t)
        assert len(t) == 3
        by_name = [r["Name"] for r in t.records(key=1)]
    assert rows == sorted(PEOPLE, key=lambda p: p["Id"])
    assert by_name == sorted(p["Name"] for p in PEOPLE)


def test_late_binding_calls_properties_and_records(people):
    data, ddf = people
    t = new_control()
    t.FileName = str(data)
    t.DDFFields.LoadItems(DDFFileName=str(ddf), ID="PEOPLE")
    t.Open()
    assert (t.RecordSize, t.NumberOfKeys, t.RecordCount) == (64, 2, 3)
    flags = t.FileFlags
    assert isinstance(flags, vastrel.Record) and flags._type == "TxFileFlags"
    assert flags.ffVariableLength is False
    key1 = t.Keys.Items(1)
    assert (key1.Position, key1.Length, key1.AllowDuplicates) == (5, 20, True)
    desc = key1.Description
    assert (desc.Position, desc.Length) == (5, 20)
    assert [k.Position for k in t.Keys] == [1, 5]
    # A key search by value and a walk on by the number of a key.
    t.KeyNum = 0
    t.KeyBuffer = "2   "
    t.Equal()
    assert t.FieldByName("Name").AsString == "Bob"
    t.Next()
    assert t.FieldByName(FieldName="Id").AsInteger == 3
    assert t.IsRightToLeft() is False
    # Out-parameters come back as results.
    assert t.Keys.KeySeg(1) == (1, 1)
    t.Close()


def test_records_go_back_from_python_objects(tmp_path):
    t = new_control()
    flags = t.FileFlags
    flags.ffVariableLength = True
    t.FileFlags = flags
    assert t.FileFlags.ffVariableLength is True
    keys = t.Keys
    keys.Add()
    keys.Items(0).Description = key_desc(acs=3, null_value=32)
    t.Keys = keys
    desc = t.Keys.Items(0).Description
    assert (desc.ACS, desc.NullVal) == (3, 32)


def key_desc(acs, null_value):
    """A TxKeyDesc as a plain Python object of the record's fields."""
    class Desc:
        pass
    d = Desc()
    for name in ("Position", "Length", "KeyFlag", "KeyValues", "Extended", "Manually"):
        setattr(d, name, 0)
    d.Reserv = ""
    d.ACS, d.NullVal = acs, null_value
    return d


def test_errors_carry_message_hresult_and_status(people):
    data, ddf = people
    t = new_control()
    t.FileName = str(data)
    t.Open()
    t.KeyNum = 0
    t.KeyBuffer = "99  "
    with pytest.raises(vastrel.Error) as e:
        t.Equal()
    assert e.value.status == STATUS_KEY_NOT_FOUND
    assert e.value.hresult == -2147352567  # DISP_E_EXCEPTION
    assert e.value.message.startswith("Key Not Found (4)\r") and str(data) in e.value.message
    with pytest.raises(vastrel.Error) as e:
        t.FieldByName("Salary")
    assert e.value.status is None and "Salary" in e.value.message
    with pytest.raises(vastrel.Error) as e:
        t.RecordSize = 80  # refused on an open file
    assert e.value.status is None
    with pytest.raises(vastrel.Error) as e:
        t.KeyNum = "not a number"
    assert e.value.hresult == -2147352571  # DISP_E_TYPEMISMATCH
    with pytest.raises(AttributeError):
        t.NoSuchMember
    with pytest.raises(TypeError, match="no parameter named"):
        t.DDFFields.IndexOf(ExceptIndex=-1, Name="x")
    with pytest.raises(vastrel.Error):
        vastrel.Dispatch("NoSuch.Class")
    assert vastrel.Dispatch("{E3C4D791-CE7C-44CF-9006-A29A63309145}").Active is False
    # The same table accepts a duplicate-free insert after a failed one.
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as table:
        with pytest.raises(vastrel.Error) as e:
            table.insert(PEOPLE[0])
        assert e.value.status == STATUS_DUPLICATE_KEY
        with pytest.raises(vastrel.Error) as e:
            table.insert({"Id": 7, "Salary": 1})
        assert e.value.field == "Salary" and "Id, Name, Price, Active, Born" in str(e.value)


def test_events_reach_the_handler_inside_the_call(people):
    data, _ = people

    class Handler:
        def __init__(self):
            self.seen = []

        def OnRecChanged(self):
            self.seen.append(self.DataBuffer[:4])

        def OnAutoCreate(self):
            self.seen.append("created")

    t = vastrel.DispatchWithEvents("VastrelCtrl.Vastrel", Handler)
    t.FileName = str(data)
    t.Open()
    t.KeyNum = 0
    t.First()
    t.Next()
    assert t.seen == ["1   ", "2   "]
    t.Close()

    class Failing:
        def OnRecChanged(self):
            raise RuntimeError("handler failed")

    f = vastrel.DispatchWithEvents("VastrelCtrl.Vastrel", Failing)
    f.FileName = str(data)
    f.Open()
    with pytest.raises(RuntimeError, match="handler failed"):
        f.First()
    f.Close()


def test_auto_create_event(tmp_path):
    class Handler:
        def __init__(self):
            self.created = 0

        def OnAutoCreate(self):
            self.created += 1

    t = vastrel.DispatchWithEvents("VastrelCtrl.Vastrel", Handler)
    describe_small_file(t, tmp_path / "new.dat")
    t.AutoCreate = True
    t.Open()
    assert t.created == 1 and (tmp_path / "new.dat").exists()
    t.Close()


def test_text_and_dates_cross_as_python_values(tmp_path):
    data, ddf = create_people(tmp_path)
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        t.insert({"Id": 1, "Name": "€ ÿ Œ", "Born": datetime.datetime(1850, 1, 2)})
        (row,) = list(t)
    assert row["Name"] == "€ ÿ Œ"
    assert row["Born"] == datetime.date(1850, 1, 2)
    # A record starts empty: what the mapping leaves out is blank, not the last record's.
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        t.insert({"Id": 2, "Price": None})
        assert list(t)[1] == {"Id": 2, "Name": "", "Price": None, "Active": None, "Born": None}
    c = new_control()
    c.DATEFormat = "yyyy-mm-dd"
    assert c.DATEFormat == "yyyy-mm-dd"


def test_values_that_do_not_fit_or_have_the_wrong_type_are_refused_naming_the_field(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        for values, field in (({"Id": 12345}, "Id"),  # five digits in four characters
                              ({"Id": 4, "Name": "x" * 21}, "Name"),
                              ({"Id": 4, "Name": "Ω"}, "Name"),  # a character the code page lacks
                              ({"Id": 4.0}, "Id"),
                              ({"Id": 4, "Price": "2.5"}, "Price"),
                              ({"Id": 4, "Active": "yes"}, "Active"),
                              ({"Id": 4, "Born": datetime.datetime(2000, 1, 1, 12)}, "Born")):
            with pytest.raises(vastrel.Error) as e:
                t.insert(values)
            assert e.value.field == field and '"%s"' % field in str(e.value), values
        assert len(t) == 3
        with pytest.raises(vastrel.Error) as e:
            t.update("ById", 1, {"Name": "y" * 21})
        assert e.value.field == "Name" and t.get("ById", 1)["Name"] == "Ærø Çelik"
        # A search key longer than the key would find the record of its first characters.
        with pytest.raises(vastrel.Error) as e:
            t.get("ByName", "Bob" + " " * 20 + "!")
        assert e.value.index == "ByName"


def test_a_missing_dictionary_an_unknown_id_and_an_unknown_index_are_refused(people, tmp_path):
    data, ddf = people
    with pytest.raises(vastrel.Error) as e:
        vastrel.open(data, dictionary=tmp_path / "none.ddf", id="PEOPLE")
    assert e.value.path == str(tmp_path / "none.ddf")
    with pytest.raises(vastrel.Error) as e:
        vastrel.open(data, dictionary=ddf, id="ORDERS")
    assert e.value.id == "ORDERS" and "no fields" in str(e.value)
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        for call in (lambda: t.get("ByOrder", 1), lambda: t.records(index="byid"),
                     lambda: t.delete("ByOrder", 1)):
            with pytest.raises(vastrel.Error) as e:
                call()
            assert e.value.index in ("ByOrder", "byid") and "ById, ByName" in str(e.value)
        assert len(t) == 3


def test_ranges_walk_along_an_index_both_ways(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        def ids(**kw):
            return [r["Id"] for r in t.records(index="ById", **kw)]
        assert ids() == [1, 2, 3] and ids(reverse=True) == [3, 2, 1]
        assert ids(start=2) == [2, 3] and ids(start=2, reverse=True) == [3, 2]
        assert ids(stop=3) == [1, 2] and ids(stop=3, reverse=True) == [2, 1]
        assert ids(start=2, stop=3) == [2] == ids(start=2, stop=3, reverse=True)
        assert ids(start=3, stop=2) == [] == ids(start=4) == ids(stop=1, reverse=True)
        t.insert({"Id": 4, "Name": "Bob"})

        def names(**kw):
            return [(r["Name"], r["Id"]) for r in t.records(index="ByName", **kw)]
        # Duplicates of a bound stay together on their side of it.
        assert names(start="Bob", stop="Zoë Ågren") == [("Bob", 2), ("Bob", 4)]
        assert names(stop="Zoë Ågren", reverse=True) == [("Bob", 4), ("Bob", 2)]
        assert names(stop="Bob") == [] == names(start="Bob", stop="Bob")
        assert names(start="C", reverse=True) == [("Ærø Çelik", 1), ("Zoë Ågren", 3)]


def test_update_and_delete_reach_the_record_of_the_key(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        assert t.update("ById", 2, {"price": 7.5, "Born": None})["Price"] == 7.5
        t.delete("ByName", "Ærø Çelik")
        assert [(r["Id"], r["Price"], r["Born"]) for r in t] == [
            (2, 7.5, None), (3, 2.5, datetime.date(1990, 5, 17))]
        with pytest.raises(vastrel.Error) as e:
            t.update("ById", 1, {"Price": 1.0})
        assert e.value.status == vastrel.STATUS_KEY_NOT_FOUND and e.value.value == 1
        assert t.get("ById", 1) is None and len(t) == 2


def test_a_transaction_rolls_back_when_its_block_raises(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        with pytest.raises(RuntimeError):
            with t.transaction():
                t.insert({"Id": 7})
                t.delete("ById", 1)
                raise RuntimeError("stop")
        assert [r["Id"] for r in t] == [1, 2, 3]
        with t.transaction():
            t.insert({"Id": 7})
        assert [r["Id"] for r in t] == [1, 2, 3, 7]


def test_insert_many_commits_per_batch_and_reports_what_it_kept(people):
    data, ddf = people
    with vastrel.open(data, dictionary=ddf, id="PEOPLE") as t:
        assert t.insert_many(({"Id": i} for i in range(10, 15)), batch=2) == 5
        rows = [{"Id": i} for i in range(20, 25)] + [{"Id": 1}, {"Id": 30}]
        with pytest.raises(vastrel.Error) as e:
            t.insert_many(rows, batch=2)
        # 20 to 23 were committed in two batches; 24 went with the batch of the duplicate.
        assert e.value.status == STATUS_DUPLICATE_KEY and e.value.committed == 4
        assert sorted(r["Id"] for r in t) == [1, 2, 3, 10, 11, 12, 13, 14, 20, 21, 22, 23]


def test_a_record_whose_fields_fill_it_keeps_its_last_character(tmp_path):
    t = new_control()
    describe_small_file(t, tmp_path / "tags.dat")
    t.CreateFile()
    fields = t.DDFFields
    fields.Add()
    fields.Add()
    for f, (name, kind, offset, size) in zip(fields, (("Id", FT_INTEGER, 0, 4),
                                                      ("Tag", FT_STRING, 4, 6))):
        f.FieldName, f.FieldType, f.Offset, f.Size = name, kind, offset, size
    t.DDFFields = fields
    fields.SaveItems(str(tmp_path / "tags.ddf"), True, False, "TAGS")
    t.Close()
    with vastrel.open(tmp_path / "tags.dat", dictionary=tmp_path / "tags.ddf", id="TAGS") as t:
        t.insert({"Id": 1, "Tag": "abcdef"})
        assert t.update(0, 1, {"Tag": "uvwxyz"}) == {"Id": 1, "Tag": "uvwxyz"}
        assert list(t) == [{"Id": 1, "Tag": "uvwxyz"}]


def test_outside_inputs_are_refused_past_their_limits(tmp_path):
    t = new_control()
    big = tmp_path / "big.ddf"
    with open(big, "wb") as f:
        f.truncate(17 << 20)  # past the 16 MiB an item file may hold
    with pytest.raises(vastrel.Error, match="is too large") as e:
        t.DDFFields.LoadItems(str(big), "PEOPLE")
    assert str(big) in e.value.message
    with pytest.raises(vastrel.Error, match="File name is too long"):
        t.FileName = str(tmp_path / ("n" * 250))
    assert t.FileName == ""
