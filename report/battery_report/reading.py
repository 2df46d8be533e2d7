"""Reading battery-host's history database (never writing it).

Tolerant of every layout battery-host has written: version 1 (no runs), version 2 (runs and
their devices) and version 3 (cell columns NULL for readings outside the device's window, and
quiet stretches folded into one row that says how many rounds it stands for and keeps their
extremes). Whatever the layout, a round comes out as one dict with the same keys.
"""

import datetime
import math
import os
import sqlite3
import statistics
import urllib.parse

from .errors import ReportError

KNOWN_SCHEMA = 3
CELL_COLUMNS = 32
# A row's time as the site saw it: the record's own stamp (local time), or for a record without
# a date the host's receive time in this machine's local time.
LOCAL_TIME = ("COALESCE({t}.record_time, "
              "datetime({t}.received_ms / 1000, 'unixepoch', 'localtime'))")
# Columns a folded row may carry, by the names the host may give them, and the key they get.
SPAN_COLUMNS = ("rounds_count", "round_count", "rounds", "span_rounds")
EXTREME_COLUMNS = {
    "gv_min": ("group_voltage_min", "min_group_voltage"),
    "gv_max": ("group_voltage_max", "max_group_voltage"),
    "current_min": ("group_current_min", "min_group_current", "current_min"),
    "current_max": ("group_current_max", "max_group_current", "current_max"),
    "temp_min": ("temperature_min", "min_temperature"),
    "temp_max": ("temperature_max", "max_temperature"),
    "cell_min": ("cell_min", "min_cell", "lowest_cell"),
    "cell_max": ("cell_max", "max_cell", "highest_cell"),
}
FIRST_CELL_COLUMNS = ("battery_start", "first_cell")


def open_history(path):
    """(connection, schema version, {table: set of columns}) of a readable history file."""
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
    columns = {t: {r[1] for r in conn.execute("PRAGMA table_info(%s)" % t)}
               for t in ("rounds", "run_devices", "runs") if t in tables}
    return conn, version, columns


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


def checked(v):
    """A value stored where a number belongs. A text or a blob there is a damaged database (or
    one battery-host did not write): said in one line, not a traceback."""
    if v is None or isinstance(v, (int, float)):
        return v
    shown = repr(v)
    raise ReportError("the history holds %s where a number belongs: a damaged database, or one "
                      "battery-host did not write" % (shown if len(shown) <= 40 else
                                                       shown[:37] + "..."))


def reading(v):
    """A stored cell value as a voltage, or None: NULL (outside the window, schema 3), the 0.0
    that older layouts stored for the same, and anything not finite."""
    v = checked(v)
    return v if (v is not None and math.isfinite(v) and v > 0) else None


def number(v):
    v = checked(v)
    return v if (v is not None and math.isfinite(v)) else None


def _first(names, available):
    return next((n for n in names if n in available), None)


def load_rounds(conn, columns, device, t_from, t_to):
    """The device's rounds in the range, oldest first."""
    have = columns["rounds"]
    extra, args = range_clause("r", t_from, t_to)
    cells = ", ".join("r.cell_%d" % i for i in range(1, CELL_COLUMNS + 1))
    runs = "runs" in columns and "run_id" in have
    scale, join = ("u.time_scale", " LEFT JOIN runs u ON u.id = r.run_id") if runs \
        else ("NULL", "")
    span = _first(SPAN_COLUMNS, have)
    extremes = [(key, _first(names, have)) for key, names in EXTREME_COLUMNS.items()]
    extremes = [(key, col) for key, col in extremes if col]
    first = _first(FIRST_CELL_COLUMNS, have)
    more = "".join(", r.%s" % c for c in ([span] if span else []) + [c for _, c in extremes] +
                   ([first] if first else []))
    sql = ("SELECT r.received_ms, r.record_time, %s, r.cells, r.group_voltage, r.group_current, "
           "r.temperature, %s, %s%s FROM rounds r%s WHERE r.data_id = ?%s "
           "ORDER BY r.received_ms, r.id" % (LOCAL_TIME.format(t="r"), scale, cells, more, join,
                                             extra))
    rounds = []
    for row in conn.execute(sql, [device] + args):
        count = max(0, min(CELL_COLUMNS, checked(row[3]) or 0))
        tail = list(row[8 + CELL_COLUMNS:])
        r = {"ms": row[0], "stamp": row[1], "time": row[2], "gv": number(row[4]),
             "current": number(row[5]), "temp": number(row[6]),
             "scale": float(checked(row[7])) if row[7] else 1.0,
             "volts": [reading(v) for v in row[8:8 + count]], "span": 1}
        if span:
            r["span"] = max(1, int(checked(tail.pop(0)) or 1))
        for key, _ in extremes:
            r[key] = number(tail.pop(0))
        # The device's number for its first cell is battery_start + 1 (21 for a second group).
        r["first_cell"] = int(checked(tail.pop(0)) or 0) if first else None
        rounds.append(r)
    return rounds


def device_info(conn, columns, device):
    """{"name", "type", "cells", "port", "first_cell"} of the device's latest run, or None."""
    have = columns.get("run_devices")
    if not have:
        return None
    first = _first(FIRST_CELL_COLUMNS, have)
    row = conn.execute("SELECT name, type, cells, port%s FROM run_devices WHERE data_id = ? "
                       "ORDER BY run_id DESC LIMIT 1" % (", " + first if first else ""),
                       [device]).fetchone()
    if not row:
        return None
    return {"name": row[0], "type": row[1], "cells": row[2], "port": row[3],
            "first_cell": int(row[4] or 0) if first else 0}


def run_texts(conn, columns):
    if "runs" not in columns:
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
