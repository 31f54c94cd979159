"""The walk of hosts_bench through the Python module: along key 0, reading Code as text and
Qty as a whole number through FieldByName on every record, and the bare walk beside it.
Prints one line per walk: its name and the thread's CPU time per record in nanoseconds, as
the C++ walks of hosts_bench are timed.

    field_walk.py FILE DICTIONARY ID RECORDS
"""
import sys
import time

import vastrel


def main():
    path, ddf, ident, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    t = vastrel.Dispatch("VastrelCtrl.Vastrel")
    t.FileName = path
    t.DDFFields.LoadItems(ddf, ident)
    t.Open()
    t.KeyNum = 0
    step_first, step_next, field = t.First, t.Next, t.FieldByName  # names resolved once

    def walk(read_fields):
        step_first()
        total = 0
        begin = time.thread_time_ns()
        for _ in range(count - 1):
            step_next()
            if read_fields:
                code = field("Code").AsString
                total += field("Qty").AsInteger + len(code)
        return (time.thread_time_ns() - begin) / (count - 1), total

    walk(True)  # warms the caches and the names
    for name, read in (("bare", False), ("fields", True)):
        ns, _ = walk(read)
        print("%s %.1f" % (name, ns))
    t.Close()


if __name__ == "__main__":
    main()
