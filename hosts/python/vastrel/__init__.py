"""Record files from Python, through the Vastrel control.

For data work, :func:`open` gives a :class:`Table`: records as dictionaries of typed
field values, typed by the file's field dictionary (a dictionary item file and an ID)::

    import vastrel

    with vastrel.open("/data/orders.dat", dictionary="/data/orders.ddf", id="ORDERS") as t:
        t.insert({"OrderNo": 10, "Customer": "Ågren", "Status": "OPEN"})
        t.insert_many(rows, batch=1000)           # a transaction per 1,000 records
        order = t.get("ByOrder", 10)              # None when no record has the key
        for o in t.records(index="ByCustomer", start="C", stop="D", reverse=True):
            print(o["Customer"], o["OrderNo"])
        t.update("ByOrder", 10, {"Status": "SHIPPED"})
        with t.transaction():                     # aborted if the block raises
            t.delete("ByOrder", 10)

A value that does not fit its field, or is of a type the field does not hold, is refused
before anything is written, naming the field; so is an index name the dictionary lacks.
Nothing is cut or converted in silence.

Late binding, as a script host does it::

    t = vastrel.Dispatch("VastrelCtrl.Vastrel")   # a ProgID or a CLSID
    t.FileName = "/data/parts.dat"
    t.Open()
    t.First()
    print(t.DataBuffer, t.RecordCount)

Attributes read and write properties, calls run methods (positional or named arguments;
out-parameters come back after the result), ``t.DDFFields.Items(0)`` reads a property
with an argument, and ``for f in t.DDFFields`` walks a collection.
:func:`DispatchWithEvents` connects a handler's ``OnRecChanged``, ``OnAutoCreate`` and
``StreamingProgress`` methods.

Every failure raises :class:`Error`, the module's one exception type. Its attributes
tell the details: ``message``; ``status`` (the engine status, or None); ``hresult`` and
``scode`` of a failed call; ``field``, ``index``, ``value``, ``path``, ``id`` where they
apply; ``committed`` after a failed :meth:`Table.insert_many`.
"""

import contextlib
import os

from ._vastrel import Dispatch, Error, Record, _connect, _Fields, _take_slots

__all__ = ["Dispatch", "DispatchWithEvents", "Error", "Record", "Table", "open",
           "STATUS_END_OF_FILE", "STATUS_KEY_NOT_FOUND"]

# The engine status of a walk that ran past the last record, and of a key no record has.
STATUS_END_OF_FILE = 9
STATUS_KEY_NOT_FOUND = 4

_PROGID = "VastrelCtrl.Vastrel"

# Every Error has these attributes; those that do not apply are None.
for _name in ("message", "hresult", "scode", "status", "field", "index", "value", "path", "id",
              "committed"):
    setattr(Error, _name, None)


def _error(message, **details):
    e = Error(message)
    e.message = message
    for name, value in details.items():
        setattr(e, name, value)
    return e


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


class Table:
    """One record file opened with its field dictionary; see :func:`open`.

    Attributes: ``control``, the control itself (late bound, for anything this class does
    not cover); ``fields``, (name, field type) of each field; ``indexes``, index name to
    key number; ``key``, the key that iteration follows by default.

    Reads answer dictionaries of field name to value: str for text fields, int, float,
    bool, datetime.date, datetime.time and datetime.datetime for the others, None for a
    blank field that is not text. Searches and walks go along an index, given by its name
    in the dictionary or by its key number.
    """

    def __init__(self, path, dictionary=None, id="", key=0, owner=None, read_only=False,
                 control=None):
        c = control if control is not None else Dispatch(_PROGID)
        self.control = c
        self.key = key
        self._in_transaction = False
        c.FileName = str(path)
        if owner:
            c.DbOwner = owner
        if read_only:
            c.OpenMode = 2  # bomReadOnly
        if dictionary is not None:
            ddf = os.fspath(dictionary)
            if not os.path.isfile(ddf):
                raise _error("the dictionary file %s does not exist" % ddf, path=ddf, id=id)
            c.DDFFields.LoadItems(ddf, id)
            c.DDFIndexes.LoadItems(ddf, id)
            if c.DDFFields.Count == 0:
                raise _error('the dictionary %s has no fields under the ID "%s"' % (ddf, id),
                             path=ddf, id=id)
        c.Open()
        try:
            specs = [(f.FieldName, int(f.FieldType), f.Offset, f.Size) for f in c.DDFFields]
            self.fields = [(name, kind) for name, kind, _, _ in specs]
            self.indexes = {i.IndexName: i.IndexKeyNum for i in c.DDFIndexes}
            self._codec = _Fields(c, specs)
            self._keys = self._read_keys(specs)
        except BaseException:
            c.Close()
            raise
        self._insert = c.Insert

    @staticmethod
    def _read_keys_segments(control):
        keys, current = [], []
        for segment in control.Keys:
            current.append((segment.Position, segment.Length))
            if not segment.Segment:
                keys.append(current)
                current = []
        return keys

    def _read_keys(self, specs):
        """Of each key: its width and the field that its one segment covers exactly (the
        field whose rules write a search value), or -1."""
        keys = []
        for segments in self._read_keys_segments(self.control):
            field = -1
            if len(segments) == 1:
                position, length = segments[0]
                for i, (_, _, offset, size) in enumerate(specs):
                    if offset == position - 1 and size == length:
                        field = i
                        break
            keys.append((sum(length for _, length in segments), field))
        return keys

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Closes the file; a closed table may be closed again."""
        if self.control.Active:
            self.control.Close()

    def __len__(self):
        return self.control.RecordCount

    def __iter__(self):
        return self.records()

    # ---- Indexes and keys ------------------------------------------------------------------

    def _key_number(self, index):
        """The key number of an index name or number (None: the table's key)."""
        if index is None:
            index = self.key
        if isinstance(index, str):
            if index not in self.indexes:
                known = ", ".join(self.indexes) or "none"
                raise _error('the dictionary has no index named "%s"; its indexes: %s'
                             % (index, known), index=index)
            number = self.indexes[index]
        elif isinstance(index, int) and not isinstance(index, bool):
            number = index
        else:
            raise _error("an index is a name or a key number, not %r" % (index,), index=index)
        if not 0 <= number < len(self._keys):
            raise _error("index %r: the file has no key number %d (it has %d keys)"
                         % (index, number, len(self._keys)), index=index)
        return number

    def _search(self, index, number, value, operation):
        """Puts value as the key of a search along key number, runs the read, and answers
        the record found or None."""
        width, field = self._keys[number]
        c = self.control
        text = self._codec.key_text(str(index), field, value, width)
        c.KeyNum = number
        c.KeyBuffer = text
        return self._codec.move(operation)

    # ---- Reads ---------------------------------------------------------------------------

    def current(self):
        """The record in the data buffer, as a dict of field name to typed value."""
        return self._codec.read()

    def get(self, index, value):
        """The record whose key along index equals value (the first of duplicates), or
        None. The value is written as the field the key covers: it must fit that field."""
        number = self._key_number(index)
        self._codec.load_formats()
        return self._search(index, number, value, "Equal")

    def records(self, index=None, start=None, stop=None, reverse=False, key=None):
        """The records along index (name or key number; the table's key by default) whose
        key is at least start and below stop (either may be None), in the key's order or,
        with reverse, in the opposite order. ``key`` is an older name of ``index``.

        Keys compare as the file compares them: a text key over a number field puts "10"
        before "9". start and stop are written as the field the key covers, and must fit it.

        The walk moves the table's current record: a get, update or delete along another
        index in the middle of it leaves the walk elsewhere."""
        if index is None:
            index = key
        number = self._key_number(index)
        name = self.key if index is None else index
        codec = self._codec
        codec.load_formats()
        width, field = self._keys[number]
        texts = [codec.key_text(str(name), field, v, width) for v in (start, stop)
                 if v is not None]
        if len(texts) == 2 and texts[0] >= texts[1]:
            return iter(())  # an empty range
        return self._walk(name, number, start, stop, reverse)

    def _walk(self, name, number, start, stop, reverse):
        codec, c = self._codec, self.control
        bound = None
        if not reverse:
            if stop is not None:
                if self._search(name, number, stop, "GreaterEq") is not None:
                    bound = c.KeyBuffer  # the first key at or above stop ends the walk
            if start is None:
                c.KeyNum = number
                record = codec.move("First")
            else:
                record = self._search(name, number, start, "GreaterEq")
            step = "Next"
        else:
            if start is not None:
                if self._search(name, number, start, "GreaterEq") is None:
                    return iter(())  # every key lies below start
                if codec.move("Prev") is not None:
                    bound = c.KeyBuffer  # the last key below start ends the walk
            if stop is None:
                c.KeyNum = number
                record = codec.move("Last")
            elif self._search(name, number, stop, "GreaterEq") is None:
                record = codec.move("Last")
            else:
                record = codec.move("Prev")
            step = "Prev"
        if record is None or (bound is not None and c.KeyBuffer == bound):
            return iter(())
        return codec.walk(record, step, bound)

    # ---- Writes --------------------------------------------------------------------------

    def insert(self, values):
        """Inserts a record made from a mapping of field name to value. It starts from an
        empty record: the fields it leaves out, and those given as None, are blank."""
        self._codec.load_formats()
        self._put(values)

    def _put(self, values):
        self._codec.write(values if type(values) is dict else dict(values), True)
        self._insert()

    def insert_many(self, records, batch=1000):
        """Inserts every mapping of an iterable, committing a transaction per ``batch``
        records (inside :meth:`transaction`, that one transaction instead). Answers the
        number inserted. When one fails its batch is rolled back and the Error tells
        ``committed``, the records kept before it."""
        if not isinstance(batch, int) or batch < 1:
            raise _error("batch is a number of records, at least 1, not %r" % (batch,))
        self._codec.load_formats()
        if self._in_transaction:
            count = 0
            for values in records:
                self._put(values)
                count += 1
            return count
        c, committed, it = self.control, 0, iter(records)
        while True:
            c.begintransaction()
            self._in_transaction = True
            n = 0
            try:
                for values in it:
                    self._put(values)
                    n += 1
                    if n == batch:
                        break
            except BaseException as e:
                self._in_transaction = False
                c.aborttransaction()
                if isinstance(e, Error):
                    e.committed = committed
                    e.args = ("%s (record %d; %d records committed before its batch)"
                              % (e, committed + n, committed),)
                raise
            self._in_transaction = False
            c.committransaction()
            committed += n
            if n < batch:
                return committed

    def update(self, index, value, changes):
        """Changes the fields named in changes (a mapping) of the record whose key along
        index equals value, and answers the record as stored. Raises Error (status 4)
        when no record has that key."""
        self._locate(index, value)
        self._codec.write(changes if type(changes) is dict else dict(changes), False)
        self.control.Post()
        return self._codec.read()

    def delete(self, index, value):
        """Deletes the record whose key along index equals value (the first of
        duplicates). Raises Error (status 4) when no record has that key."""
        self._locate(index, value)
        self.control.Delete()

    def _locate(self, index, value):
        if self.get(index, value) is None:
            raise _error("no record has the key %r in index %r" % (value, index),
                         index=index, value=value, status=STATUS_KEY_NOT_FOUND)

    @contextlib.contextmanager
    def transaction(self):
        """A transaction over the block of a ``with`` statement: committed when the block
        ends, aborted when it raises (the exception goes on)."""
        if self._in_transaction:
            raise _error("a transaction is already under way on this table")
        c = self.control
        c.begintransaction()
        self._in_transaction = True
        try:
            yield self
        except BaseException:
            self._in_transaction = False
            c.aborttransaction()
            raise
        self._in_transaction = False
        c.committransaction()


def open(path, dictionary=None, id="", key=0, owner=None, read_only=False):  # noqa: A001
    """Opens a record file as a :class:`Table`. With a field dictionary (a dictionary item
    file and its ID) its records read and write as mappings of field name to typed value,
    and its index names serve searches and walks; a dictionary file that does not exist,
    or that has no fields under the ID, raises :class:`Error`. Use it in a ``with`` block,
    which closes the file."""
    return Table(path, dictionary=dictionary, id=id, key=key, owner=owner, read_only=read_only)
