#!/usr/bin/python3
"""battery-report on a database of a discharge with one weak block: the ranking names it first,
the page's pictures exist with the sizes the page gives, the accelerated run is said, the range
and device options pick what they say, and every error is one line with exit status 2.

    report_test.py --report PATH --db DISCHARGE.sqlite --weak N --generator PATH --work DIR

The database is an input (made by the ctest fixture), so that one from battery-host against the
simulator can take the place of the generator's.
"""

import argparse
import html.parser
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import unittest

ARGS = None


class Page(html.parser.HTMLParser):
    """The parts of index.html the tests look at: images, tables by id, sections, texts."""

    def __init__(self, text):
        super().__init__()
        self.images, self.tables, self.sections, self.notes = [], {}, [], []
        self._table, self._row, self._cell, self._in_note = None, None, None, False
        self.text = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "img":
            self.images.append(a)
        elif tag == "table":
            self._table = self.tables.setdefault(a.get("id") or a.get("class") or "table%d"
                                                 % len(self.tables), [])
        elif tag == "tr" and self._table is not None:
            self._row = []
            self._table.append(self._row)
        elif tag in ("td", "th") and self._row is not None:
            self._cell = []
        elif tag == "section":
            self.sections.append(a.get("id"))
        elif tag == "p" and a.get("class") == "note":
            self._in_note = True
            self.notes.append("")

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self._row.append("".join(self._cell).strip())
            self._cell = None
        elif tag == "table":
            self._table, self._row = None, None
        elif tag == "p":
            self._in_note = False

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)
        if self._in_note:
            self.notes[-1] += data
        self.text.append(data)


def run(*argv):
    return subprocess.run([ARGS.report] + list(argv), capture_output=True, text=True, timeout=120)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


def out_dir(name):
    path = os.path.join(ARGS.work, name)
    shutil.rmtree(path, ignore_errors=True)
    return path


def pdf_pages(pdf, work):
    """The PDF's pages rendered by poppler, each as (width, height, share of dark pixels)."""
    os.makedirs(work)
    prefix = os.path.join(work, "page")
    subprocess.run(["pdftoppm", "-r", "30", "-gray", pdf, prefix], check=True, timeout=60)
    pages = []
    for name in sorted(n for n in os.listdir(work) if n.startswith("page")):
        with open(os.path.join(work, name), "rb") as f:
            data = f.read()
        magic, width, height, maxval = data.split(maxsplit=4)[:4]
        assert magic == b"P5" and maxval == b"255", name
        pixels = data[-int(width) * int(height):]
        pages.append((int(width), int(height), sum(1 for p in pixels if p < 128) / len(pixels)))
    return pages


class DischargeReport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = out_dir("one")
        cls.pdf = os.path.join(cls.out, "report.pdf")
        cls.result = run(ARGS.db, "--out", cls.out, "--pdf", cls.pdf, "--rated-ah", "100",
                         "--rated-minutes", "120")
        index = os.path.join(cls.out, "index.html")
        cls.page = None
        if os.path.exists(index):
            with open(index, encoding="utf-8") as f:
                cls.page = Page(f.read())

    def test_prints_the_page_path(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(self.result.stdout, os.path.join(self.out, "index.html") + "\n")
        self.assertEqual(self.result.stderr, "")

    def test_verdict_and_weak_block_ranked_first(self):
        # The simulated string trips its load at 210 V; the weak block, half the capacity,
        # reaches 10.5 V long before.
        text = "".join(self.page.text)
        self.assertRegex(text, r"(PASS|FAIL): \d+\.\d % capacity \(pass mark 80 %\)")
        self.assertIn("when the load stopped with the string at", text)
        rows = self.page.tables["rank-1-1"]
        self.assertEqual(rows[0][:3], ["rank", "block", "to 10.50 V"])
        self.assertEqual(rows[1][1], str(ARGS.weak))
        self.assertRegex(rows[1][2], r"^\d:\d\d$")
        self.assertEqual(len(rows), 1 + 20)
        self.assertEqual(len(self.page.tables["volts-1-1"]), 1 + 2 + 20)

    def test_pictures_exist_with_the_sizes_the_page_gives(self):
        self.assertEqual([i["src"] for i in self.page.images],
                         ["blocks_1_1.png", "group_1_1.png", "times_1_1.png"])
        for img in self.page.images:
            path = os.path.join(self.out, img["src"])
            self.assertEqual(png_size(path), (int(img["width"]), int(img["height"])))
            self.assertGreater(os.path.getsize(path), 10000, path)  # a plot, not an empty frame
            self.assertTrue(img["alt"])

    def test_pdf_pages_rendered_are_a4_and_not_blank(self):
        pages = pdf_pages(self.pdf, out_dir("pdf"))
        self.assertEqual(len(pages), 4)  # verdict, voltages, per block, alarms
        for width, height, dark in pages:
            self.assertEqual((width, height), (249, 351))  # A4 at 30 dpi, rounded up
            self.assertGreater(dark, 0.01)

    def test_accelerated_run_is_said(self):
        self.assertEqual(len(self.page.notes), 1)
        self.assertIn("ran ×60 faster than the clock", self.page.notes[0])

    def test_timeline_has_the_weak_blocks_alarm_and_the_lost_line(self):
        rows = self.page.tables["timeline-1"][1:]
        kinds = [r[2] for r in rows]
        self.assertIn("port lost", kinds)
        self.assertIn("port reopened", kinds)
        first_alarm = next(r for r in rows if r[2] == "alarm raised")
        self.assertEqual(first_alarm[3], "第%d节电池 (block %d)" % (ARGS.weak, ARGS.weak))
        self.assertLess(float(first_alarm[4]), float(first_alarm[5]))  # below the low limit


class Options(unittest.TestCase):
    def test_one_section_per_device_unless_one_is_named(self):
        db = os.path.join(ARGS.work, "two.sqlite")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(db + suffix):
                os.remove(db + suffix)
        subprocess.run([ARGS.generator, db, "--devices", "2", "--rounds", "30"], check=True,
                       capture_output=True, timeout=60)
        out = out_dir("two")
        self.assertEqual(run(db, "--out", out).returncode, 0)
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            page = Page(f.read())
        self.assertEqual(page.sections, ["device-1", "discharge-1-1", "device-2",
                                         "discharge-2-1"])
        self.assertEqual(len(page.images), 6)
        # One device, and a range of it: rounds are stamped 10:00:00 + n s.
        out = out_dir("two-one")
        r = run(db, "--device", "2", "--from", "2026-03-02 10:00:05", "--to",
                "2026-03-02T10:00:20", "--out", out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            page = Page(f.read())
        self.assertEqual(page.sections, ["device-2", "discharge-2-1"])
        self.assertEqual([i["src"] for i in page.images],
                         ["blocks_2_1.png", "group_2_1.png", "times_2_1.png"])
        text = "".join(page.text)
        self.assertIn("Start2026-03-02 10:00:05", text)
        self.assertIn("End2026-03-02 10:00:20 (the last round in range)", text)

    def test_version_one_database_has_no_runs(self):
        # A database of the first layout: no runs, so no time scale; the report says nothing
        # of acceleration and reads the receive times as real time.
        import sqlite3
        db = os.path.join(ARGS.work, "v1.sqlite")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(db + suffix):
                os.remove(db + suffix)
        src = sqlite3.connect(ARGS.db)
        dst = sqlite3.connect(db)
        src.backup(dst)
        src.close()
        dst.executescript("DROP TABLE runs; DROP TABLE run_devices; DROP INDEX rounds_by_run;"
                          "ALTER TABLE rounds DROP COLUMN run_id;"
                          "ALTER TABLE alarms DROP COLUMN run_id;"
                          "ALTER TABLE port_events DROP COLUMN run_id; PRAGMA user_version = 1;")
        dst.close()
        out = out_dir("v1")
        # Rounds a second apart: the discharge lasts under two minutes of real time.
        r = run(db, "--out", out, "--min-minutes", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            page = Page(f.read())
        self.assertEqual(page.notes, [])
        self.assertEqual(page.tables["rank-1-1"][1][:2], ["1", str(ARGS.weak)])
        self.assertIn("Duration0:02 (h:mm)", "".join(page.text))

    def test_help_names_every_option_and_default(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout[:15]), (0, "battery-report "))
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        for text in ("--device ID", "--from T", "--to T", "--out DIR", "HISTORY.sqlite",
                     "--pdf FILE", "--rated-minutes MIN", "--rated-ah AH", "--end-voltage V",
                     "--temperature-correction K|FILE", "--pass-percent P", "--extrapolate",
                     "default: every device", "percent capacity", "exit status"):
            self.assertIn(text, r.stdout)

    def test_errors_are_one_line_with_status_2(self):
        missing = os.path.join(ARGS.work, "none.sqlite")
        not_db = os.path.join(ARGS.work, "not_a_db.txt")
        with open(not_db, "w") as f:
            f.write("hello\n" * 100)
        damaged = os.path.join(ARGS.work, "damaged.sqlite")
        shutil.copyfile(ARGS.db, damaged)
        with sqlite3.connect(damaged) as conn:
            conn.execute("UPDATE rounds SET group_voltage = 'abc' WHERE id = "
                         "(SELECT MIN(id) FROM rounds)")
        cases = [
            ([damaged, "--out", ARGS.work],
             "battery-report: the history holds 'abc' where a number belongs: a damaged "
             "database, or one battery-host did not write"),
            ([missing, "--out", ARGS.work], "battery-report: no such file: %s" % missing),
            ([ARGS.db, "--device", "9", "--out", ARGS.work],
             "battery-report: no rounds of device 9 in the range; devices with rounds: 1"),
            ([ARGS.db, "--from", "2030-01-01", "--out", ARGS.work],
             "battery-report: no rounds in the range in %s" % ARGS.db),
            ([ARGS.db, "--from", "yesterday", "--out", ARGS.work],
             "battery-report: time 'yesterday' is not YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] or the "
             "same with T"),
            ([ARGS.db, "--from", "2026-03-03", "--to", "2026-03-02", "--out", ARGS.work],
             "battery-report: --from 2026-03-03 00:00:00 is after --to 2026-03-02 23:59:59"),
            ([ARGS.db], "battery-report: the following arguments are required: --out"),
            ([ARGS.db, "--device", "x", "--out", ARGS.work],
             "battery-report: argument --device: invalid int value: 'x'"),
            ([ARGS.db, "--out", ARGS.work, "--rated-ah", "100"],
             "battery-report: --rated-ah needs --rated-minutes (the rating at the test rate)"),
            ([ARGS.db, "--out", ARGS.work, "--temperature-correction", not_db],
             "battery-report: %s line 1: want DEGREES FACTOR, not 'hello'" % not_db),
            ([ARGS.db, "--out", ARGS.work, "--pass-percent", "-5"],
             "battery-report: argument --pass-percent: must be a number above 0, not '-5'"),
            ([not_db, "--out", ARGS.work],
             "battery-report: %s is not a history database (file is not a database)" % not_db),
        ]
        for argv, line in cases:
            r = run(*argv)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (2, "", line + "\n"), argv)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--report", required=True)
    p.add_argument("--db", required=True)
    p.add_argument("--weak", type=int, required=True)
    p.add_argument("--generator", required=True)
    p.add_argument("--work", required=True)
    ARGS, rest = p.parse_known_args()
    os.makedirs(ARGS.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
