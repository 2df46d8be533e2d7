#!/usr/bin/python3
"""battery-report: a discharge test at a glance, from battery-host's history database.

Reads the database (never writes it) and writes into DIR an HTML page, index.html, with a
summary, the plots as PNG files beside it, the blocks ranked by their voltage at the end of the
discharge and by their drop, and the timeline of alarms and port events.
"""

import argparse
import datetime
import html
import math
import os
import sqlite3
import statistics
import struct
import sys
import urllib.parse

PROG = "battery-report"
KNOWN_SCHEMA = 2
CELL_COLUMNS = 32
# A row's time as the site saw it: the record's own stamp (local time), or for a record without
# a date the host's receive time in this machine's local time.
LOCAL_TIME = ("COALESCE({t}.record_time, "
              "datetime({t}.received_ms / 1000, 'unixepoch', 'localtime'))")

DESCRIPTION = """\
Writes DIR/index.html with plots (PNG files beside it) of a discharge test stored by
battery-host --history: every block's voltage over time with the lowest block in red; group
voltage, current and temperature; the spread (highest minus lowest block); the blocks ranked by
their voltage at the end of the discharge and by their drop; the alarms and port events.
Prints the path of index.html."""

EPILOG = """\
definitions:
  block N           cell_N of the record (1-based); a reading of 0.0 is "no valid reading"
  end of discharge  the round with the lowest group voltage in the range (the deepest point;
                    for a range that ends while still discharging, about the last round)
  drop              a block's voltage in the first round of the range minus its voltage at the
                    end of the discharge (its nearest valid readings when a round has none)
  spread            highest minus lowest valid block voltage of one round
  time axis         time since the first round of the range; when the run was accelerated (a
                    simulator with --time-scale X, recorded by battery-host) it is simulated
                    time, and the page says so

T is 'YYYY-MM-DD', 'YYYY-MM-DD HH:MM', 'YYYY-MM-DD HH:MM:SS' or the same with 'T' between date
and time, in the site's local time (that of the records' own stamps); --to with a date alone
includes that whole day.

exit status: 0 written; 2 bad arguments, no such file, not a history database, no rounds in
the range; 1 the report could not be written."""


class ReportError(Exception):
    def __init__(self, message, status=2):
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise ReportError(message)


def parse_args(argv):
    p = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("history", metavar="HISTORY.sqlite",
                   help="history database written by battery-host --history")
    p.add_argument("--device", metavar="ID", type=int, default=None,
                   help="data id of the device to report (default: every device with rounds in "
                        "the range, one section each)")
    p.add_argument("--from", dest="t_from", metavar="T", default=None,
                   help="first time to include (default: the first round)")
    p.add_argument("--to", dest="t_to", metavar="T", default=None,
                   help="last time to include (default: the last round)")
    p.add_argument("--out", metavar="DIR", required=True,
                   help="folder for index.html and the PNG files (made if missing; files of "
                        "the same names are replaced)")
    a = p.parse_args(argv)
    a.t_from = parse_time(a.t_from) if a.t_from else None
    a.t_to = parse_time(a.t_to, end_of_day=True) if a.t_to else None
    if a.t_from and a.t_to and a.t_from > a.t_to:
        raise ReportError("--from %s is after --to %s" % (a.t_from, a.t_to))
    return a


def parse_time(text, end_of_day=False):
    """'YYYY-MM-DD[( |T)HH:MM[:SS]]' -> 'YYYY-MM-DD HH:MM:SS', the stored text form."""
    t = text.strip().replace("T", " ", 1)
    for form, has_time in (("%Y-%m-%d %H:%M:%S", True), ("%Y-%m-%d %H:%M", True),
                           ("%Y-%m-%d", False)):
        try:
            value = datetime.datetime.strptime(t, form)
        except ValueError:
            continue
        if not has_time and end_of_day:
            value = value.replace(hour=23, minute=59, second=59)
        return value.strftime("%Y-%m-%d %H:%M:%S")
    raise ReportError("time '%s' is not YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] or the same with T"
                      % text)


# ---- Reading the database ---------------------------------------------------------------------

def open_history(path):
    if not os.path.exists(path):
        raise ReportError("no such file: %s" % path)
    if not os.path.isfile(path):
        raise ReportError("%s is not a file" % path)
    uri = "file:%s?mode=ro" % urllib.parse.quote(os.path.abspath(path))
    try:
        conn = sqlite3.connect(uri, uri=True)
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
    except sqlite3.Error as e:
        raise ReportError("%s is not a history database (%s)" % (path, e))
    if version > KNOWN_SCHEMA:
        raise ReportError("%s was written by a newer battery-host (schema version %d; this "
                          "report knows %d)" % (path, version, KNOWN_SCHEMA))
    if version < 1 or "rounds" not in tables:
        raise ReportError("%s is not a history database (no rounds table)" % path)
    return conn, version


def range_clause(alias, t_from, t_to):
    local = LOCAL_TIME.format(t=alias)
    where, args = [], []
    if t_from:
        where.append(local + " >= ?")
        args.append(t_from)
    if t_to:
        where.append(local + " <= ?")
        args.append(t_to)
    return "".join(" AND " + w for w in where), args


def devices_in_range(conn, t_from, t_to):
    extra, args = range_clause("r", t_from, t_to)
    return [r[0] for r in conn.execute(
        "SELECT DISTINCT data_id FROM rounds r WHERE 1 = 1" + extra + " ORDER BY data_id", args)]


def valid(v):
    return v if (v is not None and math.isfinite(v) and v > 0) else None


def load_rounds(conn, version, device, t_from, t_to):
    extra, args = range_clause("r", t_from, t_to)
    cells = ", ".join("r.cell_%d" % i for i in range(1, CELL_COLUMNS + 1))
    scale, join = ("u.time_scale", " LEFT JOIN runs u ON u.id = r.run_id") if version >= 2 \
        else ("NULL", "")
    sql = ("SELECT r.received_ms, r.record_time, %s, r.cells, r.group_voltage, r.group_current, "
           "r.temperature, %s, %s FROM rounds r%s WHERE r.data_id = ?%s "
           "ORDER BY r.received_ms, r.id" % (LOCAL_TIME.format(t="r"), scale, cells, join, extra))
    rounds = []
    for row in conn.execute(sql, [device] + args):
        count = max(0, min(CELL_COLUMNS, row[3] or 0))
        rounds.append({
            "ms": row[0], "stamp": row[1], "time": row[2], "gv": row[4], "current": row[5],
            "temp": row[6], "scale": float(row[7]) if row[7] else 1.0,
            "volts": [valid(v) for v in row[8:8 + count]]})
    return rounds


def device_info(conn, version, device):
    if version < 2:
        return None
    return conn.execute("SELECT name, type, cells, port FROM run_devices "
                        "WHERE data_id = ? ORDER BY run_id DESC LIMIT 1", [device]).fetchone()


def run_texts(conn, version):
    if version < 2:
        return []
    return [r for r in conn.execute("SELECT DISTINCT host_version, sources FROM runs ORDER BY id")]


def site_offset_ms(rounds):
    """Site local time minus UTC, from rounds that carry both (rounded to the minute)."""
    diffs = []
    for r in rounds:
        if r["stamp"]:
            try:
                local = datetime.datetime.strptime(r["stamp"], "%Y-%m-%d %H:%M:%S")
            except ValueError:
                continue
            epoch = (local - datetime.datetime(1970, 1, 1)).total_seconds() * 1000
            diffs.append(epoch - r["ms"])
    if not diffs:
        return datetime.datetime.now().astimezone().utcoffset().total_seconds() * 1000
    return round(statistics.median(diffs) / 60000) * 60000


def local_text(ms, offset):
    t = datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=ms + offset)
    return t.strftime("%Y-%m-%d %H:%M:%S")


def load_events(conn, device, t_from, t_to, offset):
    """Alarms and port events of the device in the range, in the order they happened."""
    events = []
    extra, args = range_clause("a", t_from, t_to)
    for ms, local, state, key, label, value, limit in conn.execute(
            "SELECT a.received_ms, %s, a.state, a.key, a.label, a.value, a.limit_value "
            "FROM alarms a WHERE a.data_id = ?%s" % (LOCAL_TIME.format(t="a"), extra),
            [device] + args):
        events.append({"ms": ms, "time": local, "kind": "alarm " + state, "key": key,
                       "what": label, "value": value, "limit": limit})
    # Port events carry no record stamp: the site's time is their receive time plus its offset.
    for ms, state, path, detail in conn.execute(
            "SELECT received_ms, state, path, detail FROM port_events WHERE data_id = ?",
            [device]):
        local = local_text(ms, offset)
        if (t_from and local < t_from) or (t_to and local > t_to):
            continue
        events.append({"ms": ms, "time": local, "kind": "port " + state, "key": "",
                       "what": path + (": " + detail if detail else ""), "value": None,
                       "limit": None})
    events.sort(key=lambda e: e["ms"])
    return events


# ---- What the test shows ----------------------------------------------------------------------

def elapsed_hours(rounds):
    """Hours since the first round, simulated time where the run was accelerated."""
    hours, t = [], 0.0
    for i, r in enumerate(rounds):
        if i:
            t += (r["ms"] - rounds[i - 1]["ms"]) / 1000.0 * r["scale"]
        hours.append(t / 3600.0)
    return hours


def hours_at(ms, rounds, hours):
    """The time axis value of a moment between (or around) rounds."""
    if ms <= rounds[0]["ms"]:
        return hours[0]
    for i in range(1, len(rounds)):
        if ms <= rounds[i]["ms"]:
            a, b = rounds[i - 1]["ms"], rounds[i]["ms"]
            return hours[i - 1] + (hours[i] - hours[i - 1]) * (ms - a) / (b - a)
    return hours[-1] + (ms - rounds[-1]["ms"]) / 3.6e6 * rounds[-1]["scale"]


def block_count(rounds):
    """Blocks with at least one valid reading bound the string (cells past it read 0.0)."""
    n = 0
    for r in rounds:
        for i, v in enumerate(r["volts"]):
            if v is not None:
                n = max(n, i + 1)
    return n


def spread_of(volts):
    vs = [v for v in volts if v is not None]
    return max(vs) - min(vs) if len(vs) >= 2 else None


def end_index(rounds):
    """The end of the discharge: the round of the lowest group voltage (the last one on ties)."""
    best = None
    for i, r in enumerate(rounds):
        if valid(r["gv"]) is not None and (best is None or r["gv"] <= rounds[best]["gv"]):
            best = i
    return len(rounds) - 1 if best is None else best


def reading_near(rounds, block, index, forward):
    """The block's reading at `index`, or the nearest valid one before (or after) it."""
    steps = range(index, len(rounds)) if forward else range(index, -1, -1)
    for i in steps:
        volts = rounds[i]["volts"]
        if block < len(volts) and volts[block] is not None:
            return volts[block]
    return None


def analyse(rounds):
    blocks = block_count(rounds)
    end = end_index(rounds)
    ranking = []
    for b in range(blocks):
        start = reading_near(rounds, b, 0, True)
        stop = reading_near(rounds, b, end, False)
        if start is None or stop is None:
            continue
        ranking.append({"block": b + 1, "start": start, "end": stop, "drop": start - stop})
    by_end = sorted(ranking, key=lambda x: (x["end"], -x["drop"], x["block"]))
    by_drop = sorted(ranking, key=lambda x: (-x["drop"], x["end"], x["block"]))
    spreads = [spread_of(r["volts"]) for r in rounds]
    return {"blocks": blocks, "end": end, "by_end": by_end, "by_drop": by_drop,
            "spreads": spreads, "hours": elapsed_hours(rounds),
            "scales": sorted({r["scale"] for r in rounds}),
            "missing": [b for b in range(1, blocks + 1)
                        if b not in {x["block"] for x in ranking}]}


def scale_text(scales):
    return " and ".join("×%g" % s for s in scales)


def accelerated_note(a, rounds):
    fast = [s for s in a["scales"] if s != 1.0]
    if not fast:
        return None
    real_s = (rounds[-1]["ms"] - rounds[0]["ms"]) / 1000.0
    return ("Accelerated run: the simulated module's time ran %s faster than the clock, so "
            "%s of discharge took %s. Record times are the real clock's; the time axis and the "
            "durations are simulated time." % (scale_text(fast), duration(a["hours"][-1] * 3600),
                                               duration(real_s)))


def duration(seconds):
    if seconds < 59.5:
        return "%d s" % int(round(seconds))
    h, m = divmod(int(round(seconds / 60.0)), 60)
    return "%d h %02d min" % (h, m) if h else "%d min" % m


def block_of_key(key):
    """'battery_6_value' -> 7: the block the alarm names (keys count from 0)."""
    if key.startswith("battery_") and key.endswith("_value"):
        try:
            return int(key[len("battery_"):-len("_value")]) + 1
        except ValueError:
            return None
    return None


# ---- Plots ------------------------------------------------------------------------------------

def plotting():
    import matplotlib
    matplotlib.use("Agg")  # no display: files only
    import matplotlib.pyplot as plt
    return plt


def time_label(a):
    fast = [s for s in a["scales"] if s != 1.0]
    if fast:
        return "simulated time since the first round (h), run accelerated %s" % scale_text(fast)
    return "time since the first round (h)"


def mark_events(ax, events, rounds, hours):
    lost_at = None
    for e in events:
        x = hours_at(e["ms"], rounds, hours)
        if e["kind"] == "alarm raised":
            ax.axvline(x, color="#d62728", linestyle=":", linewidth=0.8, alpha=0.6)
        elif e["kind"] == "port lost":
            lost_at = x
        elif e["kind"] == "port reopened" and lost_at is not None:
            ax.axvspan(lost_at, x, color="#999999", alpha=0.25, linewidth=0)
            lost_at = None


def save(fig, path):
    fig.savefig(path, dpi=100)
    return png_size(path)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


def plot_cells(plt, rounds, a, events, lowest, path):
    hours = a["hours"]
    fig, ax = plt.subplots(figsize=(10, 4.8))
    for b in range(a["blocks"]):
        ys = [r["volts"][b] if b < len(r["volts"]) and r["volts"][b] is not None else math.nan
              for r in rounds]
        if b + 1 == lowest:
            continue
        ax.plot(hours, ys, color="#4a78b0", linewidth=0.9, alpha=0.55)
    if lowest:
        ys = [r["volts"][lowest - 1] if lowest - 1 < len(r["volts"]) and
              r["volts"][lowest - 1] is not None else math.nan for r in rounds]
        ax.plot(hours, ys, color="#d62728", linewidth=2.2, label="block %d (lowest at the end)"
                % lowest)
    ax.plot([], [], color="#4a78b0", linewidth=0.9, label="the other blocks")
    mark_events(ax, events, rounds, hours)
    ax.axvline(hours[a["end"]], color="black", linewidth=0.8, linestyle="--",
               label="end of discharge")
    ax.set_xlabel(time_label(a))
    ax.set_ylabel("block voltage (V)")
    ax.set_title("Every block's voltage")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower left", fontsize=9)
    fig.tight_layout()
    size = save(fig, path)
    plt.close(fig)
    return size


def plot_group(plt, rounds, a, events, path):
    hours = a["hours"]
    fig, axes = plt.subplots(3, 1, figsize=(10, 7.2), sharex=True)
    series = [("gv", "group voltage (V)", "#1f77b4"), ("current", "current (A)", "#2ca02c"),
              ("temp", "temperature (°C)", "#ff7f0e")]
    for ax, (key, label, colour) in zip(axes, series):
        ys = [r[key] if r[key] is not None and math.isfinite(r[key]) else math.nan
              for r in rounds]
        ax.plot(hours, ys, color=colour, linewidth=1.4)
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
        mark_events(ax, events, rounds, hours)
    axes[0].set_title("Group voltage, current and temperature")
    axes[-1].set_xlabel(time_label(a))
    fig.tight_layout()
    size = save(fig, path)
    plt.close(fig)
    return size


def plot_spread(plt, rounds, a, events, path):
    hours = a["hours"]
    fig, ax = plt.subplots(figsize=(10, 3.6))
    ys = [s if s is not None else math.nan for s in a["spreads"]]
    ax.plot(hours, ys, color="#9467bd", linewidth=1.4)
    ax.fill_between(hours, ys, color="#9467bd", alpha=0.15)
    mark_events(ax, events, rounds, hours)
    ax.set_xlabel(time_label(a))
    ax.set_ylabel("highest − lowest block (V)")
    ax.set_title("Spread of the block voltages")
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    size = save(fig, path)
    plt.close(fig)
    return size


# ---- The page ---------------------------------------------------------------------------------

CSS = """
body { font-family: sans-serif; margin: 1.5em 2em; color: #222; max-width: 1100px; }
h1 { font-size: 1.5em; } h2 { border-bottom: 2px solid #4a78b0; padding-bottom: .2em; }
table { border-collapse: collapse; margin: .5em 0 1.2em; }
td, th { border: 1px solid #ccc; padding: .25em .6em; text-align: right; }
th { background: #eef2f8; } td.l, th.l { text-align: left; }
tr.weak td { background: #fde2e2; font-weight: bold; }
.note { background: #fff4d6; border-left: 4px solid #f0b400; padding: .5em .8em; }
.rank { display: flex; gap: 2em; flex-wrap: wrap; } img { display: block; margin: .5em 0; }
dl { display: grid; grid-template-columns: max-content auto; gap: .2em 1em; }
dt { font-weight: bold; } dd { margin: 0; }
"""


def esc(x):
    return html.escape(str(x))


def v2(x):
    return "–" if x is None else "%.2f" % x


def hm(hours):
    total = int(round(hours * 60))
    return "%d:%02d" % divmod(total, 60)


def ranking_table(table_id, title, rows, lowest):
    out = ['<div><h3>%s</h3><table id="%s"><tr><th>rank</th><th>block</th><th>start V</th>'
           "<th>end V</th><th>drop V</th></tr>" % (esc(title), table_id)]
    for i, r in enumerate(rows, 1):
        cls = ' class="weak"' if r["block"] == lowest else ""
        out.append("<tr%s><td>%d</td><td>%d</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
            cls, i, r["block"], v2(r["start"]), v2(r["end"]), v2(r["drop"])))
    out.append("</table></div>")
    return "".join(out)


def timeline_table(events, rounds, hours):
    if not events:
        return "<p>No alarms and no port events in this range.</p>"
    out = ['<table class="timeline"><tr><th class=l>time (record)</th><th>test time (h:mm)</th>'
           "<th class=l>event</th><th class=l>what</th><th>value</th><th>limit</th></tr>"]
    for e in events:
        what = e["what"]
        block = block_of_key(e["key"])
        if block:
            what = "%s (block %d)" % (what, block)
        elif e["key"] and e["key"] != e["what"]:
            what = "%s (%s)" % (what, e["key"])
        out.append("<tr><td class=l>%s</td><td>%s</td><td class=l>%s</td><td class=l>%s</td>"
                   "<td>%s</td><td>%s</td></tr>" % (
                       esc(e["time"]), hm(hours_at(e["ms"], rounds, hours)), esc(e["kind"]),
                       esc(what), v2(e["value"]), v2(e["limit"])))
    out.append("</table>")
    return "".join(out)


def device_section(conn, version, device, args, plt):
    rounds = load_rounds(conn, version, device, args.t_from, args.t_to)
    a = analyse(rounds)
    offset = site_offset_ms(rounds)
    events = load_events(conn, device, args.t_from, args.t_to, offset)
    lowest = a["by_end"][0]["block"] if a["by_end"] else None
    images = [("cells", "Every block's voltage over time; the lowest block at the end in red",
               plot_cells(plt, rounds, a, events, lowest, os.path.join(args.out, "cells_%d.png"
                                                                          % device))),
              ("group", "Group voltage, current and temperature over time",
               plot_group(plt, rounds, a, events, os.path.join(args.out, "group_%d.png" % device))),
              ("spread", "Spread (highest minus lowest block) over time",
               plot_spread(plt, rounds, a, events, os.path.join(args.out, "spread_%d.png"
                                                                 % device)))]
    first, end, last = rounds[0], rounds[a["end"]], rounds[-1]
    info = device_info(conn, version, device)
    title = "Device %d" % device
    if info:
        title = "%s%s (%s, %d cells, %s)" % (info[0] + ": " if info[0] else "", title, info[1],
                                           info[2], info[3])
    alarms = [e for e in events if e["kind"].startswith("alarm")]
    raised = sum(1 for e in alarms if e["kind"] == "alarm raised")
    lost = sum(1 for e in events if e["kind"] == "port lost")
    spreads = [s for s in a["spreads"] if s is not None]
    items = [
        ("Period", "%s to %s, %d rounds, %s" % (first["time"], last["time"], len(rounds),
                                                  duration(a["hours"][-1] * 3600))),
        ("End of discharge", "%s (test time %s, lowest group voltage)" % (
            end["time"], hm(a["hours"][a["end"]]))),
        ("Group voltage", "%s V at the start, %s V at the end" % (v2(first["gv"]), v2(end["gv"]))),
        ("Current", "%s A at the start, %s A at the end" % (v2(first["current"]),
                                                            v2(end["current"]))),
        ("Temperature", "%s °C at the start, %s °C at the end" % (v2(first["temp"]),
                                                                  v2(end["temp"]))),
    ]
    if lowest:
        weak = a["by_end"][0]
        items.append(("Lowest block", "block %d: %s V at the end, dropped %s V (from %s V)" % (
            weak["block"], v2(weak["end"]), v2(weak["drop"]), v2(weak["start"]))))
        fastest = a["by_drop"][0]
        items.append(("Largest drop", "block %d: %s V" % (fastest["block"], v2(fastest["drop"]))))
    items.append(("Spread", "%s V at the start, %s V at the end, at most %s V" % (
        v2(a["spreads"][0]), v2(a["spreads"][a["end"]]), v2(max(spreads) if spreads else None))))
    items.append(("Alarms", "%d raised, %d cleared; port lost %d time(s)" % (
        raised, len(alarms) - raised, lost)))
    note = accelerated_note(a, rounds)
    parts = ['<section id="device-%d"><h2>%s</h2>' % (device, esc(title))]
    if note:
        parts.append('<p class="note" id="accelerated-%d">%s</p>' % (device, esc(note)))
    parts.append("<dl>" + "".join("<dt>%s</dt><dd>%s</dd>" % (esc(k), esc(v)) for k, v in items)
                 + "</dl>")
    for name, alt, (w, h) in images:
        parts.append('<img src="%s_%d.png" width="%d" height="%d" alt="%s">' % (
            name, device, w, h, esc(alt)))
    parts.append('<h3>Blocks ranked</h3><div class="rank">')
    parts.append(ranking_table("rank-end-%d" % device, "by voltage at the end of the discharge",
                               a["by_end"], lowest))
    parts.append(ranking_table("rank-drop-%d" % device, "by drop", a["by_drop"], lowest))
    parts.append("</div>")
    if a["missing"]:
        parts.append("<p>No valid reading in this range: block %s.</p>"
                     % esc(", ".join(map(str, a["missing"]))))
    parts.append("<h3>Alarms and port events</h3>")
    parts.append(timeline_table(events, rounds, a["hours"]))
    parts.append("</section>")
    return "\n".join(parts)


def write_report(args):
    conn, version = open_history(args.history)
    devices = devices_in_range(conn, args.t_from, args.t_to)
    if args.device is not None:
        if args.device not in devices:
            raise ReportError("no rounds of device %d in the range%s" % (
                args.device, "; devices with rounds: " + ", ".join(map(str, devices))
                if devices else ""))
        devices = [args.device]
    if not devices:
        raise ReportError("no rounds in the range in %s" % args.history)
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise ReportError("--out %s is not a folder" % args.out)
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as e:
        raise ReportError("cannot make %s: %s" % (args.out, e.strerror), 1)
    plt = plotting()
    sections = [device_section(conn, version, d, args, plt) for d in devices]
    runs = run_texts(conn, version)
    footer = "; ".join("%s, sources: %s" % (h, s.replace("\n", ", ")) for h, s in runs)
    period = ""
    if args.t_from or args.t_to:
        period = " from %s to %s" % (args.t_from or "the start", args.t_to or "the end")
    page = ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>Discharge test: %s</title><style>%s</style></head><body>\n"
            "<h1>Discharge test: %s</h1><p>History %s%s, report made %s.</p>\n%s\n"
            "<footer><p>Written by %s.</p></footer></body></html>\n" % (
                esc(os.path.basename(args.history)), CSS, esc(os.path.basename(args.history)),
                esc(os.path.abspath(args.history)), esc(period),
                datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "\n".join(sections),
                esc(footer or "battery-host")))
    index = os.path.join(args.out, "index.html")
    with open(index, "w", encoding="utf-8") as f:
        f.write(page)
    return index


def main(argv):
    try:
        args = parse_args(argv)
        print(write_report(args))
        return 0
    except ReportError as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return e.status
    except OSError as e:
        print("%s: %s: %s" % (PROG, e.filename or "", e.strerror), file=sys.stderr)
        return 1
    except sqlite3.Error as e:
        print("%s: reading the history: %s" % (PROG, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
