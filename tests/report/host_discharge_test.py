#!/usr/bin/python3
"""The report on a discharge that battery-host itself recorded: the simulator's string on load
with one weak block and a load step, run to its end voltage in seconds of real time, every
round stored by the host's history output. The string reaches its end voltage (the load
trips), the weak block reaches its own first; the run
is said to be accelerated, and the pictures are there.

    host_discharge_test.py --report PATH --db HISTORY.sqlite --weak N --scale X --work DIR
"""

import argparse
import html.parser
import os
import sqlite3
import subprocess
import sys
import unittest


class Page(html.parser.HTMLParser):
    """The tables (by id), the images and the text of the page."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.images, self.text = {}, [], []
        self._table, self._row, self._cell = None, None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "table":
            self._table = self.tables.setdefault(a.get("id", "table%d" % len(self.tables)), [])
        elif tag == "tr" and self._table is not None:
            self._row = []
            self._table.append(self._row)
        elif tag in ("td", "th") and self._row is not None:
            self._cell = []
        elif tag == "img":
            self.images.append(a)

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self._row.append("".join(self._cell).strip())
            self._cell = None
        elif tag == "table":
            self._table, self._row = None, None

    def handle_data(self, data):
        self.text.append(data)
        if self._cell is not None:
            self._cell.append(data)


class HostDischarge(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(ARGS.work, "page")
        cls.result = subprocess.run([ARGS.report, ARGS.db, "--out", cls.out, "--rated-minutes",
                                     "120"],
                                    capture_output=True, text=True)
        with open(os.path.join(cls.out, "index.html"), encoding="utf-8") as f:
            cls.page = Page(f.read())

    def test_the_database_holds_the_hosts_rounds_whole(self):
        db = sqlite3.connect("file:%s?mode=ro" % ARGS.db, uri=True)
        rows = db.execute("SELECT raw, group_voltage, cell_%d FROM rounds" % ARGS.weak).fetchall()
        self.assertGreaterEqual(len(rows), 40)
        for raw, group, weak in rows:
            self.assertEqual(len(raw), 152)
        scale = db.execute("SELECT time_scale FROM runs").fetchall()
        self.assertEqual(scale, [(ARGS.scale,)])

    def test_string_at_end_voltage_and_the_weak_block_first(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        text = "".join(self.page.text)
        self.assertRegex(text, r"String at end voltage\d:\d\d")
        self.assertRegex(text, r"(PASS|FAIL): \d+\.\d % capacity")
        table = self.page.tables["rank-1-1"]
        self.assertEqual(len(table), 1 + 20, table)
        self.assertEqual(table[1][:2], ["1", str(ARGS.weak)], table)
        self.assertRegex(table[1][2], r"^\d:\d\d$")
        # The resistance column is there for every block; its figures are checked with worked
        # numbers on a synthetic history (verdict_test.py). Here the load step falls between
        # rounds wherever the machine's speed puts it against the accelerated clock, and a step
        # met by a block already out of its window has no estimate to rank.
        self.assertEqual(len(table[1]), len(table[2]), table)

    def test_the_run_is_said_to_be_accelerated(self):
        text = "".join(self.page.text)
        self.assertIn("ran ×%g faster than the clock" % ARGS.scale, text)

    def test_every_picture_is_there(self):
        self.assertEqual(len(self.page.images), 3)
        for img in self.page.images:
            path = os.path.join(self.out, img["src"])
            self.assertGreater(os.path.getsize(path), 10000, path)


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--report", required=True)
    p.add_argument("--db", required=True)
    p.add_argument("--weak", type=int, required=True)
    p.add_argument("--scale", type=float, required=True)
    p.add_argument("--work", required=True)
    ARGS, rest = p.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
