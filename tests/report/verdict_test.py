#!/usr/bin/python3
"""The capacity test's numbers on synthetic histories worked out by hand: a complete test with
a weak block, a gap and readings outside the window; a test stopped early with load steps; a
float charge without any discharge. The histories are written into a copy of a real history
database (its schema as battery-host made it), read back by the report's own reading.

    verdict_test.py --source REPORT_SOURCE_DIR --report PATH --template HISTORY.sqlite --work DIR
"""

import argparse
import os
import sqlite3
import subprocess
import sys
import unittest

ARGS = None
BASE_MS = 1772442000000  # 2026-03-02 10:00:00 local, 09:00:00 UTC


def make_history(name, rounds):
    """A copy of the template with its rounds, alarms and port events replaced by `rounds`:
    (minute, current, group voltage, temperature, [20 cell values, None for no value])."""
    path = os.path.join(ARGS.work, name)
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    src = sqlite3.connect("file:%s?mode=ro" % ARGS.template, uri=True)
    db = sqlite3.connect(path)
    src.backup(db)
    src.close()
    db.executescript("DELETE FROM rounds; DELETE FROM alarms; DELETE FROM port_events;"
                     "UPDATE runs SET time_scale = 1;")
    cells = ", ".join("cell_%d" % i for i in range(1, 21))
    for minute, amps, gv, temp, volts in rounds:
        ms = BASE_MS + int(minute * 60000)
        local = "2026-03-02 %02d:%02d:00" % (10 + minute // 60, minute % 60)
        db.execute("INSERT INTO rounds (data_id, received_ms, received_utc, record_time, stamp, "
                   "cells, group_voltage, group_current, temperature, %s, raw, run_id) VALUES "
                   "(1, ?, ?, ?, ?, 20, ?, ?, ?, %s, ?, (SELECT min(id) FROM runs))"
                   % (cells, ", ".join("?" * 20)),
                   [ms, local, local, bytes(7), gv, amps, temp] + volts + [bytes(152)])
    db.commit()
    db.close()
    return path


def complete_test():
    """50.0 A for 96 min; the group falls 0.25 V a minute to 210.0 V at 96 min; the blocks
    from 12.0 to 10.6 V, block 7 from 11.9 to 10.5 V at 71 min; no rounds 41..44 (a gap of
    5 min); block 7 below the window from 90 min, block 16 in the last three rounds, both
    without a value; float before, rest after."""
    rounds = [(m, 0.5, 270.0, 25.0, [13.5] * 20) for m in range(-5, 0)]
    for m in range(0, 97):
        if 41 <= m <= 44:
            continue
        volts = [12.0 - 1.4 * m / 96] * 20
        volts[6] = 11.9 - 1.4 * m / 71 if m <= 71 else 10.5 - 0.02 * (m - 71)
        if m >= 94:
            volts[15] = None
        if m >= 90:
            volts[6] = None
        rounds.append((m, -50.0, 210.0 + 0.25 * (96 - m), 25.0, volts))
    rounds += [(m, 0.0, 235.0, 25.5, [11.9] * 20) for m in range(97, 101)]
    return rounds


def stopped_test():
    """50 A for 40 min with a 10 A load step in the rounds of minutes 10 and 20; the group
    falls 0.25 V a minute from 240 V; the blocks 0.01 V a minute and 4 mOhm x 10 A in a step,
    block 7 0.02 V a minute and 10 mOhm."""
    rounds = []
    for m in range(0, 41):
        step = m in (10, 20)
        volts = [12.0 - 0.01 * m - (0.04 if step else 0)] * 20
        volts[6] = 11.8 - 0.02 * m - (0.10 if step else 0)
        rounds.append((m, -60.0 if step else -50.0, 240.0 - 0.25 * m, 24.0, volts))
    rounds += [(m, 0.0, 240.0, 24.0, [12.2] * 20) for m in range(41, 46)]
    return rounds


THINNED_COLUMNS = ("span_rounds INTEGER NOT NULL DEFAULT 1", "group_voltage_min REAL",
                   "group_voltage_max REAL", "group_current_min REAL", "group_current_max REAL",
                   "temperature_min REAL", "temperature_max REAL", "cell_min REAL",
                   "cell_max REAL")


def thin(path, folded):
    """The layout of a thinned history (rows standing for several rounds with their extremes),
    added where the template predates it; `folded`: {minute: (rounds, column values)}."""
    db = sqlite3.connect(path)
    have = {r[1] for r in db.execute("PRAGMA table_info(rounds)")}
    for column in THINNED_COLUMNS:
        if column.split()[0] not in have:
            db.execute("ALTER TABLE rounds ADD COLUMN " + column)
    if "battery_start" not in have:
        db.execute("ALTER TABLE rounds ADD COLUMN battery_start INTEGER NOT NULL DEFAULT 0")
    db.execute("UPDATE rounds SET battery_start = 20")
    db.execute("UPDATE run_devices SET name = 'UPS A string 2'")
    db.execute("PRAGMA user_version = 3")
    for minute, (span, values) in folded.items():
        sets = ", ".join("%s = ?" % k for k in values)
        db.execute("UPDATE rounds SET span_rounds = ?, %s WHERE received_ms = ?" % sets,
                   [span] + list(values.values()) + [BASE_MS + minute * 60000])
    db.commit()
    db.close()


def analyse(path, first_cell=0, **options):
    from battery_report import analysis, reading
    conn, _, columns = reading.open_history(path)
    rounds = reading.load_rounds(conn, columns, 1, None, None)
    opts = analysis.Options(**options)
    t = analysis.elapsed_seconds(rounds)
    spans = analysis.find_discharges(rounds, t, opts)
    return rounds, opts, [analysis.analyse_discharge(rounds, t, s, first_cell, opts)
                          for s in spans], t


class CompleteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = make_history("complete.sqlite", complete_test())
        cls.rounds, cls.opts, found, _ = analyse(cls.path, rated_ah=100.0, rated_minutes=120.0)
        cls.d = found[0] if len(found) == 1 else None

    def test_worked_numbers(self):
        from battery_report import page
        d = self.d
        self.assertEqual((d["duration_s"], d["string_cross_s"], d["end_v"], d["string_end_v"]),
                         (96 * 60.0, 96 * 60.0, 10.5, 210.0))
        self.assertAlmostEqual(d["ah"], 80.0, places=9)
        self.assertAlmostEqual(d["wh"], 50 * (234 + 210) / 2 * 1.6, places=6)  # 17760 Wh
        self.assertAlmostEqual(d["avg_current"], 50.0, places=9)
        self.assertAlmostEqual(d["verdict"]["percent"], 80.0, places=9)
        self.assertEqual((d["verdict"]["status"], d["temp_start"]), ("PASS", 25.0))
        self.assertEqual(page.verdict_line(d, self.opts),
                         "PASS: 80.0 % capacity (pass mark 80 %)")
        self.assertEqual(page.readings_text(d), "1 h 31 min of 1 h 36 min had readings (95 %); "
                         "1 gap: 0:40–0:45 (5 min), bridged by a straight line")
        items = dict(page.discharge_items(d, self.rounds, self.opts, [], 50.0))
        self.assertEqual(items["Delivered"], "80.0 Ah, 17.76 kWh to end voltage (80.0 % of 100 Ah)")
        self.assertEqual(items["String at end voltage"], "1:36")

    def test_weak_block_named_first_and_no_value_never_ranked_lowest(self):
        from battery_report import page
        d = self.d
        self.assertEqual(d["ranked"][0]["label"], 7)
        self.assertAlmostEqual(d["ranked"][0]["cross_s"], 71 * 60.0, places=3)
        self.assertEqual([b["cross_s"] for b in d["ranked"][1:]], [None] * 19)
        self.assertEqual((d["ranked"][-1]["label"], d["ranked"][-1]["missing"]), (16, 3))
        self.assertEqual(page.weak_text(d, self.opts, []),
                         "block 7 reached 10.50 V first, at 1:11 (59 % of the rated time), and "
                         "fell below the window at 1:30 (collapsed or reversed)")
        self.assertEqual(page.missing_text(d["blocks"], True), "10 readings, no value, drawn as "
                         "gaps and never ranked: block 7: 7 readings from 1:30 (below the "
                         "window after its end voltage from 1:30); block 16: 3 readings from 1:34")
        head, rows = page.ranking_rows(d, self.opts)
        self.assertEqual(rows[0][:4], ["1", "7", "1:11", "59"])

    def test_voltages_at_every_tenth(self):
        from battery_report import page
        head, rows = page.interval_rows(self.d, self.rounds)
        self.assertEqual(head, ["block", "0:00 (0 %)", "0:10 (10 %)", "0:19 (20 %)",
                                "0:29 (30 %)", "0:38 (40 %)", "0:48 (50 %)", "0:58 (60 %)",
                                "1:07 (70 %)", "1:17 (80 %)", "1:26 (90 %)", "1:36 (end)"])
        self.assertEqual(rows[0][1], "234.0")                   # group V
        self.assertEqual(rows[1][-1], "-50.0")                  # current A
        self.assertEqual(rows[2 + 6][6], "10.95")               # 11.9 - 1.4 x 48 / 71
        self.assertEqual(rows[2 + 15][-1], "no value")

    def test_pass_mark_cell_numbers_and_correction(self):
        _, _, found, _ = analyse(self.path, first_cell=20, rated_minutes=120.0,
                                 pass_percent=80.1, correction=("table", [(20, 0.9), (30, 1.1)]))
        d = found[0]
        self.assertEqual(d["ranked"][0]["label"], 27)  # a second group: 21..40
        # 25.0 °C halfway along the table: K = 1.0, so still 80.0 %, below 80.1
        self.assertAlmostEqual(d["factor"], 1.0, places=12)
        self.assertEqual(d["verdict"]["status"], "FAIL")


class StoppedTest(unittest.TestCase):
    def test_incomplete_with_resistance_and_extrapolation(self):
        from battery_report import page
        path = make_history("stopped.sqlite", stopped_test())
        _, opts, found, _ = analyse(path, rated_minutes=120.0, extrapolate=True)
        d = found[0]
        self.assertEqual((d["verdict"]["status"], d["string_cross_s"]), ("INCOMPLETE", None))
        self.assertAlmostEqual(d["verdict"]["percent"], 40 / 120 * 100, places=9)
        # 230 V at 40 min falling 0.25 V a minute: 210 V at 120 min, 100 %
        self.assertAlmostEqual(d["verdict"]["extrapolated"], 100.0, places=6)
        self.assertEqual(page.verdict_line(d, opts), "INCOMPLETE: stopped at 0:40 before the "
                         "end voltage; at least 33.3 % of the rated time; extrapolated 100.0 % "
                         "(a straight line, not measured)")
        # Steps down (-0.05 V / -10 A, weak -0.12 V) and up (+0.03 V, weak +0.08 V): medians
        ohms = [b["ohms"] for b in d["blocks"]]
        self.assertAlmostEqual(ohms[6], 0.010, places=9)
        for i in (0, 5, 19):
            self.assertAlmostEqual(ohms[i], 0.004, places=9)
        self.assertEqual(d["blocks"][6]["steps"], 4)


class FloatOnly(unittest.TestCase):
    def test_float_summary_and_the_page_says_so(self):
        rounds = []
        for m in range(0, 31):
            volts = [13.5 + 0.01 * (i % 3) for i in range(20)]
            if m in (7, 8):
                volts[2] = None
            rounds.append((m, 0.5, 270.0 + 0.1 * (m % 2), 25.0, volts))
        path = make_history("float.sqlite", rounds)
        rounds, _, found, t = analyse(path)
        self.assertEqual(found, [])
        from battery_report import analysis
        f = analysis.float_summary(rounds, t, 0)
        self.assertEqual((f["rounds"], f["duration_s"], f["gv"]["min"], f["gv"]["max"]),
                         (31, 1800.0, 270.0, 270.1))
        self.assertEqual([b["missing"] for b in f["blocks"]][:4], [0, 0, 2, 0])
        out = os.path.join(ARGS.work, "float-page")
        r = subprocess.run([ARGS.report, path, "--out", out, "--rated-minutes", "120"],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            text = f.read()
        self.assertIn("<title>Float charge: ", text)
        self.assertIn("Float charge, no discharge in range", text)
        self.assertNotIn('class="verdict', text)
        self.assertIn("2 readings, no value, drawn as gaps and never ranked: block 3: 2 readings",
                      text)


class Thinned(unittest.TestCase):
    def test_folded_float_keeps_its_extremes_and_the_discharge_is_whole(self):
        # Float rows every 8 minutes, each standing for the 480 rounds since the row before,
        # then 30 min at 50 A stored every minute (its first row standing for the float
        # rounds before it too), then float rows again.
        rounds = [(m, 0.5, 270.0, 25.0, [13.5] * 20) for m in range(-40, 0, 8)]
        rounds += [(m, -50.0, 240.0 - m, 25.0, [12.0 - 0.05 * m] * 20) for m in range(0, 31)]
        rounds += [(m, 0.5, 270.0, 25.0, [13.5] * 20) for m in range(38, 80, 8)]
        path = make_history("thinned.sqlite", rounds)
        extremes = {"group_voltage_min": 268.0, "group_voltage_max": 272.5, "cell_min": 13.1}
        thin(path, dict([(m, (480, extremes)) for m in range(-32, 1, 8)] +
                        [(m, (480, extremes)) for m in range(38, 80, 8)]))
        rounds, _, found, t = analyse(path)
        self.assertEqual(len(found), 1)
        from battery_report import reading
        conn, _, columns = reading.open_history(path)
        info = reading.device_info(conn, columns, 1)  # a second group, named in the site file
        self.assertEqual((info["name"], rounds[0]["first_cell"]), ("UPS A string 2", 20))
        d = found[0]
        self.assertEqual((d["duration_s"], d["gaps"]), (30 * 60.0, []))
        self.assertAlmostEqual(d["ah"], 25.0, places=9)
        from battery_report import analysis
        f = analysis.float_summary(rounds, t, 0)
        self.assertEqual((f["rounds"], f["gaps"]), (11 * 480 + 1 + 30, []))
        self.assertEqual((f["gv"]["min"], f["gv"]["max"], f["cell_low"]), (210.0, 272.5, 13.1))


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--source", required=True)
    p.add_argument("--report", required=True)
    p.add_argument("--template", required=True)
    p.add_argument("--work", required=True)
    ARGS, rest = p.parse_known_args()
    sys.path.insert(0, ARGS.source)
    os.makedirs(ARGS.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
