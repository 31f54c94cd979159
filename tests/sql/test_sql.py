"""The SQLite module as a Python user loads it into the standard sqlite3 module, and a writer
in another process holding records in its transaction."""
import os
import sqlite3
import subprocess
import sys

import pytest

ORDERS = """{"record_length": 64,
 "keys": [{"segments": [{"position": 1, "length": 8, "type": "ktString"}]},
          {"segments": [{"position": 9, "length": 20, "type": "ktString",
                         "flags": ["AllowDuplicates", "Modifiable", "CaseInsensitive"]}]}],
 "dictionary": {
   "fields": [{"name": "OrderNo", "type": "ft_INTEGER", "offset": 0, "size": 8},
              {"name": "Customer", "type": "ft_STRING", "offset": 8, "size": 20},
              {"name": "Qty", "type": "ft_INTEGER", "offset": 28, "size": 6},
              {"name": "Price", "type": "ft_FLOAT", "offset": 34, "size": 12},
              {"name": "Day", "type": "ft_DATE", "offset": 46, "size": 8}],
   "indexes": [{"name": "ByOrder", "key": 0}, {"name": "ByCustomer", "key": 1}]}}"""

CSV = """OrderNo,Customer,Qty,Price,Day
1001,Smith & Co,5,12.5,2026-03-01
1002,Baker Ltd,12,3.75,2026-03-02
1003,Zoë Ågren,1,199,2026-03-02
"""


@pytest.fixture
def orders(tmp_path):
    tool = os.environ["VASTREL_TOOL"]
    (tmp_path / "orders.json").write_text(ORDERS)
    (tmp_path / "orders.csv").write_text(CSV, encoding="utf-8")
    dat, ddf = str(tmp_path / "orders.dat"), str(tmp_path / "orders.ddf")
    for args in (["create", dat, str(tmp_path / "orders.json")],
                 ["dict", "create", ddf, "--id", "ORDERS", str(tmp_path / "orders.json")],
                 ["import", dat, str(tmp_path / "orders.csv"), "--dict", ddf, "--id", "ORDERS"]):
        subprocess.run([tool] + args, check=True, capture_output=True)
    con = sqlite3.connect(":memory:", isolation_level=None)
    con.enable_load_extension(True)
    con.load_extension(os.environ["VASTREL_SQLITE_EXTENSION"])
    con.execute(f"CREATE VIRTUAL TABLE orders USING vastrel(file='{dat}', dictionary='{ddf}', "
                "id='ORDERS')")
    yield con, dat, ddf
    con.close()


def test_loaded_from_python_with_typed_values_both_ways(orders):
    con, _, _ = orders
    rows = con.execute("SELECT OrderNo, Customer, Price, Day FROM orders "
                       "WHERE Customer = ? ", ("Zoë Ågren",)).fetchall()
    assert rows == [(1003, "Zoë Ågren", 199.0, "2026-03-02")]
    con.execute("INSERT INTO orders VALUES (?, ?, ?, ?, ?)", (1004, "Clark", 2, 8.5, "2026-03-03"))
    assert con.execute("SELECT sum(Qty) FROM orders").fetchone() == (20,)
    with pytest.raises(sqlite3.Error, match="Customer.*code page lacks"):
        con.execute("UPDATE orders SET Customer = '☃' WHERE OrderNo = 1001")


def test_a_writer_in_another_process_is_answered_with_the_engine_status(orders):
    con, dat, ddf = orders
    writer = subprocess.Popen(
        [sys.executable, "-c", f"""
import sys, vastrel
with vastrel.open({dat!r}, dictionary={ddf!r}, id="ORDERS") as t:
    with t.transaction():
        t.update("ByOrder", 1001, {{"Qty": 9}})
        print("held", flush=True)
        sys.stdin.readline()
"""], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "held\n"
        with pytest.raises(sqlite3.Error, match=r"\(8[0-9]\)"):
            con.execute("UPDATE orders SET Qty = 1 WHERE OrderNo = 1001")
        # Our own statement left nothing behind, and the other's change is not seen yet.
        assert con.execute("SELECT Qty FROM orders WHERE OrderNo = 1001").fetchone() == (5,)
    finally:
        writer.communicate("go\n", timeout=60)
    assert writer.returncode == 0
    con.execute("UPDATE orders SET Qty = Qty + 1 WHERE OrderNo = 1001")
    assert con.execute("SELECT Qty FROM orders WHERE OrderNo = 1001").fetchone() == (10,)
