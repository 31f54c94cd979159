"""Record files from Python, through the Vastrel control.

Late binding, as a script host does it::

    import vastrel
    t = vastrel.Dispatch("VastrelCtrl.Vastrel")   # a ProgID or a CLSID
    t.FileName = "/data/parts.dat"
    t.Open()
    t.First()
    print(t.DataBuffer, t.RecordCount)

Attributes read and write properties, calls run methods (positional or named arguments;
out-parameters come back after the result), ``t.DDFFields.Items(0)`` reads a property
with an argument, and ``for f in t.DDFFields`` walks a collection. A failed call raises
:class:`Error`. :func:`DispatchWithEvents` connects a handler's ``OnRecChanged``,
``OnAutoCreate`` and ``StreamingProgress`` methods.

For data work, :func:`open` gives records as dictionaries of typed field values::

    with vastrel.open("/data/parts.dat", dictionary="/data/parts.ddf", id="PARTS") as t:
        for record in t:
            print(record["Name"], record["Price"])
        t.insert({"Name": "bolt", "Price": 0.25})
"""

from ._vastrel import Dispatch, Error, Record, _connect, _take_slots

__all__ = ["Dispatch", "DispatchWithEvents", "Error", "Record", "Table", "open",
           "STATUS_END_OF_FILE"]

# The engine status of a walk that ran past the last record.
STATUS_END_OF_FILE = 9

_PROGID = "VastrelCtrl.Vastrel"


def DispatchWithEvents(progid, handler_class):
    """A new object, as :class:`Dispatch`, that is also an instance of handler_class.

    The object's events call the methods of handler_class of the same name, inside the
    call that raises them. handler_class.__init__ runs once the object exists; attributes
    the object does not know stay on the Python side. An exception a handler raises comes
    out of the call that raised the event.
    """
    cls = type(handler_class.__name__, (Dispatch, handler_class), {})
    _take_slots(cls)
    obj = cls(progid)
    if handler_class.__init__ is not object.__init__:
        handler_class.__init__(obj)
    _connect(obj, obj)
    return obj


# The typed reader of each field type (TxFieldType), in the order of the enumeration.
_ACCESSORS = ("AsString", "AsInteger", "AsFloat", "AsBoolean", "AsDate", "AsTime",
              "AsDateTime")


class Table:
    """One record file opened with its field dictionary; see :func:`open`."""

    def __init__(self, path, dictionary=None, id="", key=0, owner=None, read_only=False,
                 control=None):
        c = control if control is not None else Dispatch(_PROGID)
        self.control = c
        c.FileName = str(path)
        if owner:
            c.DbOwner = owner
        if read_only:
            c.OpenMode = 2  # bomReadOnly
        if dictionary is not None:
            c.DDFFields.LoadItems(str(dictionary), id)
        c.Open()
        self.key = key
        self._field_by_name = c.FieldByName   # resolved once, called per field
        self.fields = [(f.FieldName, f.FieldType) for f in c.DDFFields]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Closes the file; a closed table may be closed again."""
        if self.control.Active:
            self.control.Close()

    def __iter__(self):
        return self.records()

    def records(self, key=None):
        """Every record along key (the table's key by default), as a dict."""
        c = self.control
        c.KeyNum = self.key if key is None else key
        step = c.First
        while True:
            try:
                step()
            except Error as e:
                if e.status == STATUS_END_OF_FILE:
                    return
                raise
            yield self.current()
            step = c.Next

    def current(self):
        """The record in the data buffer, as a dict of field name to typed value; a blank
        number, date or time is None."""
        return {name: self._read(name, kind) for name, kind in self.fields}

    def _read(self, name, kind):
        field = self._field_by_name(name)
        if kind != 0 and not field.AsString.strip():
            return None
        return getattr(field, _ACCESSORS[kind])

    def insert(self, values):
        """Inserts a record made from a mapping of field name to value. It starts from an
        empty record: the fields it leaves out, and those given as None, are blank."""
        known = {name.lower(): (name, kind) for name, kind in self.fields}
        for name in values:
            if name.lower() not in known:
                raise KeyError("the dictionary has no field named %r" % name)
        c = self.control
        length = c.DataBufferLength
        c.DataBufferLength = length + 1  # a new length brings a new, zeroed buffer
        c.DataBufferLength = length
        field = self._field_by_name
        for name, value in values.items():
            name, kind = known[name.lower()]
            if value is None:
                field(name).AsString = ""
            else:
                setattr(field(name), _ACCESSORS[kind], value)
        c.Insert()

    def __len__(self):
        return self.control.RecordCount


def open(path, dictionary=None, id="", key=0, owner=None, read_only=False):  # noqa: A001
    """Opens a record file; with a field dictionary (a dictionary item file and its ID)
    its records read and insert as mappings of field name to typed value. Use it in a
    ``with`` block, which closes the file."""
    return Table(path, dictionary=dictionary, id=id, key=key, owner=owner, read_only=read_only)
