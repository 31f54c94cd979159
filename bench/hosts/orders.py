"""The orders of hosts_bench through vastrel.open: single inserts (a commit each), then
insert_many (a transaction per 1,000 records) into the same file, then a walk along the
index ByOrder that reads every field of every record as a dict. Prints one line each: the
inserts in records per wall-clock second, the walk in the thread's CPU time per record in
nanoseconds, as the C++ walks of hosts_bench are timed.

    orders.py FILE DICTIONARY SINGLE MANY
"""
import datetime
import sys
import time

import vastrel

STATUSES = ("OPEN", "PAID", "CLOSED")


def rows(total):
    """Orders in an order unrelated to their numbers (7919 is prime to every count tried)."""
    first = datetime.date(2024, 1, 1)
    return [{"OrderNo": (i * 7919) % total + 1, "Customer": "C%05d" % (i % 5000),
             "Status": STATUSES[i % 3], "Amount": (i % 100000) / 100,
             "Placed": first + datetime.timedelta(days=i % 365), "Qty": i % 1000}
            for i in range(total)]


def main():
    path, ddf, single, many = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    orders = rows(single + many)
    with vastrel.open(path, dictionary=ddf, id="ORDERS") as t:
        begin = time.perf_counter()
        for order in orders[:single]:
            t.insert(order)
        print("insert_single %.0f" % (single / (time.perf_counter() - begin)))
        begin = time.perf_counter()
        t.insert_many(orders[single:], batch=1000)
        print("insert_many %.0f" % (many / (time.perf_counter() - begin)))
        for _ in t.records(index="ByOrder"):  # warms the caches
            pass
        count = 0
        begin = time.thread_time_ns()
        for _ in t.records(index="ByOrder"):
            count += 1
        print("walk %.1f" % ((time.thread_time_ns() - begin) / count))
        assert count == single + many


if __name__ == "__main__":
    main()
