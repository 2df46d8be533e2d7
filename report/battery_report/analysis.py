"""What a history shows: the discharges in it and, per discharge, the numbers and the verdict
an engineer signs; or, when the range holds no discharge, a summary of the float charge.

The capacity test as battery engineers run it: a constant-current discharge to a set end
voltage (1.75 V a cell: 10.5 V for a 12 V block, 5.25 V for a 6 V block); percent capacity is
the time the string took to reach its end voltage over the rated time at that rate, times 100,
with the rated time multiplied by a temperature correction factor for the temperature at the
start where one is given. Every time here is in seconds of the module's time (simulated time
for an accelerated run), counted from the first round of the range.
"""

import math
import statistics

END_VOLTS = {12: 10.5, 6: 5.25}     # a block's default end voltage by its nominal voltage
GAP_FACTOR = 2.5                     # an interval this many times the usual one is a gap
EPISODE_BREAK_S = 3600.0             # a discharge with no rounds for longer is two discharges
TRIP_MARGIN = 0.01                   # the load stopped this close above the end voltage: reached
TABLE_POINTS = [i / 10 for i in range(10)] + [1.0]


class Options:
    """What the engineer tells the report about the test (the command line's options)."""

    def __init__(self, **kw):
        self.rated_ah = kw.get("rated_ah")
        self.rated_minutes = kw.get("rated_minutes")
        self.end_voltage = kw.get("end_voltage")          # per block; None: by block class
        self.correction = kw.get("correction")            # (kind, factor or table) or None
        self.pass_percent = kw.get("pass_percent", 80.0)
        self.extrapolate = kw.get("extrapolate", False)
        self.discharge_amps = kw.get("discharge_amps", 3.0)
        self.min_minutes = kw.get("min_minutes", 3.0)
        self.step_amps = kw.get("step_amps", 3.0)


# ---- Series helpers --------------------------------------------------------------------------

def elapsed_seconds(rounds):
    """Seconds since the first round, simulated time where the run was accelerated."""
    out, t = [], 0.0
    for i, r in enumerate(rounds):
        if i:
            t += (r["ms"] - rounds[i - 1]["ms"]) / 1000.0 * r["scale"]
        out.append(t)
    return out


def seconds_at(ms, rounds, t):
    """The time axis value of a moment between (or around) rounds."""
    if ms <= rounds[0]["ms"]:
        return t[0]
    for i in range(1, len(rounds)):
        if ms <= rounds[i]["ms"]:
            a, b = rounds[i - 1]["ms"], rounds[i]["ms"]
            return t[i - 1] + (t[i] - t[i - 1]) * (ms - a) / (b - a)
    return t[-1] + (ms - rounds[-1]["ms"]) / 1000.0 * rounds[-1]["scale"]


def block_count(rounds):
    """The string's blocks: as many as the rounds say they have cells."""
    return max((len(r["volts"]) for r in rounds), default=0)


def volts_of(rounds, b):
    return [r["volts"][b] if b < len(r["volts"]) else None for r in rounds]


def nominal_volts(rounds):
    """12 or 6: the block class, from the readings (a 6 V block never reads above 7.5 V)."""
    vs = [v for r in rounds for v in r["volts"] if v is not None]
    return 6 if vs and statistics.median(vs) < 8.25 else 12


def first_crossing(ts, vs, level):
    """First time the series is at or below level, interpolated linearly from the reading
    before; None when it never is. Missing readings are stepped over."""
    prev = None
    for t, v in zip(ts, vs):
        if v is None:
            continue
        if v <= level:
            if prev is None:
                return t
            t0, v0 = prev
            return t0 + (v0 - level) / (v0 - v) * (t - t0)
        prev = (t, v)
    return None


def integrate_hours(ts, ys, until):
    """The trapezoid integral of ys over time up to `until`, in units x hours. Intervals with
    a missing end are left out."""
    total = 0.0
    for i in range(1, len(ts)):
        a, b, ya, yb = ts[i - 1], ts[i], ys[i - 1], ys[i]
        if a >= until:
            break
        if ya is None or yb is None or b <= a:
            continue
        if b > until:
            yb = ya + (yb - ya) * (until - a) / (b - a)
            b = until
        total += (ya + yb) / 2.0 * (b - a)
    return total / 3600.0


def find_gaps(ts, spans=None):
    """(start, end) of every interval much longer than the usual one between rows, unless the
    row that ends it stands for the rounds folded into it (a thinned history's quiet time)."""
    steps = [b - a for a, b in zip(ts, ts[1:])]
    if not steps:
        return []
    usual = statistics.median(steps)
    spans = spans or [1] * len(ts)
    return [(a, b) for a, b, n in zip(ts, ts[1:], spans[1:])
            if b - a > GAP_FACTOR * usual and b - a > 0 and n <= 1]


# ---- Discharges ------------------------------------------------------------------------------

def find_discharges(rounds, t, opts):
    """(first, last) round index of every discharge: current beyond the limit in consecutive
    rounds for at least the minimum time."""
    found, start = [], None
    for i, r in enumerate(rounds):
        on = r["current"] is not None and r["current"] <= -opts.discharge_amps
        if on and start is not None and t[i] - t[i - 1] > EPISODE_BREAK_S:
            found.append((start, i - 1))
            start = None
        if on and start is None:
            start = i
        elif not on and start is not None:
            found.append((start, i - 1))
            start = None
    if start is not None:
        found.append((start, len(rounds) - 1))
    return [(a, b) for a, b in found if t[b] - t[a] >= opts.min_minutes * 60]


def correction_factor(correction, temperature):
    """The temperature correction factor for the start temperature, or None for none."""
    if not correction:
        return None
    kind, value = correction
    if kind == "factor":
        return value
    if temperature is None:
        return None
    table = value  # [(degrees, factor)], sorted by degrees: linear between, flat beyond
    if temperature <= table[0][0]:
        return table[0][1]
    for (t0, k0), (t1, k1) in zip(table, table[1:]):
        if temperature <= t1:
            return k0 + (k1 - k0) * (temperature - t0) / (t1 - t0)
    return table[-1][1]


def block_resistance(rounds, i0, i1, b, step_amps):
    """Median of dV/dI over the load steps inside the discharge, in ohms, and the step count."""
    samples = []
    for i in range(i0 + 1, i1 + 1):
        a, c = rounds[i - 1], rounds[i]
        di = (c["current"] or 0) - (a["current"] or 0)
        va = a["volts"][b] if b < len(a["volts"]) else None
        vc = c["volts"][b] if b < len(c["volts"]) else None
        if abs(di) >= step_amps and va is not None and vc is not None:
            samples.append((vc - va) / di)
    return (statistics.median(samples) if samples else None), len(samples)


def nearest_index(t, i0, i1, target):
    return min(range(i0, i1 + 1), key=lambda i: (abs(t[i] - target), i))


def last_reading(vs, i0, i1):
    for i in range(i1, i0 - 1, -1):
        if vs[i] is not None:
            return vs[i]
    return None


def analyse_blocks(rounds, t, i0, i1, end_v, first_cell, opts):
    blocks = []
    ts = t[i0:i1 + 1]
    for b in range(block_count(rounds)):
        vs = volts_of(rounds, b)
        window = vs[i0:i1 + 1]
        valid = [v for v in window if v is not None]
        missing = [i for i in range(i0, i1 + 1) if b < len(rounds[i]["volts"]) and vs[i] is None]
        cross = first_crossing(ts, window, end_v)
        ohms, steps = block_resistance(rounds, i0, i1, b, opts.step_amps)
        start = next((v for v in window if v is not None), None)
        end = last_reading(vs, i0, i1)
        # Past its end voltage and then without a value: it fell below the window.
        after = [t[i] - t[i0] for i in missing if cross is not None and t[i] >= cross]
        blocks.append({
            "collapsed_s": after[0] if after else None,
            "index": b, "label": first_cell + b + 1, "readings": len(valid),
            "cross_s": None if cross is None else cross - t[i0],
            "start": start, "end": end, "lowest": min(valid) if valid else None,
            "drop": None if start is None or end is None else start - end,
            "missing": len(missing),
            "missing_from_s": t[missing[0]] - t[i0] if missing else None,
            "ohms": ohms, "steps": steps})
    return blocks


def rank_blocks(blocks):
    """Earliest to end voltage first; then lowest at the end, then largest drop. A block
    without readings is never ranked: it cannot be shown to be the weakest."""
    inf = float("inf")
    ranked = [b for b in blocks if b["readings"]]
    return sorted(ranked, key=lambda b: (b["cross_s"] if b["cross_s"] is not None else inf,
                                         b["end"] if b["end"] is not None else inf,
                                         -(b["drop"] or 0), b["index"]))


def extrapolated_seconds(rounds, t, i0, i1, level):
    """Where the group voltage's straight line over the last fifth of the discharge meets the
    end voltage; None when it does not fall."""
    first = max(i0, nearest_index(t, i0, i1, t[i1] - (t[i1] - t[i0]) / 5))
    pts = [(t[i], rounds[i]["gv"]) for i in range(first, i1 + 1) if rounds[i]["gv"] is not None]
    if len(pts) < 2:
        return None
    mt = sum(p[0] for p in pts) / len(pts)
    mv = sum(p[1] for p in pts) / len(pts)
    den = sum((p[0] - mt) ** 2 for p in pts)
    slope = sum((p[0] - mt) * (p[1] - mv) for p in pts) / den if den else 0
    if slope >= 0:
        return None
    return t[i1] + (pts[-1][1] - level) / -slope - t[i0]


def verdict(d, opts):
    """PASS, FAIL, INCOMPLETE or NOT RATED, with the percent capacity behind it."""
    v = {"status": "NOT RATED", "percent": None, "raw_percent": None, "factor": d["factor"],
         "extrapolated": None}
    if not opts.rated_minutes:
        return v
    rated = opts.rated_minutes * 60.0 * (d["factor"] or 1.0)
    if d["string_cross_s"] is not None:
        v["raw_percent"] = d["string_cross_s"] / (opts.rated_minutes * 60.0) * 100
        v["percent"] = d["string_cross_s"] / rated * 100
        v["status"] = "PASS" if round(v["percent"], 1) >= opts.pass_percent else "FAIL"
        return v
    v["status"] = "INCOMPLETE"
    v["percent"] = d["duration_s"] / rated * 100  # at least this much
    if opts.extrapolate and d["extrapolated_s"] is not None:
        v["extrapolated"] = d["extrapolated_s"] / rated * 100
    return v


def analyse_discharge(rounds, t, span, first_cell, opts):
    """Everything the report says of one discharge, rounds[i0..i1]."""
    i0, i1 = span
    nominal = nominal_volts(rounds[i0:i1 + 1])
    end_v = opts.end_voltage or END_VOLTS[nominal]
    blocks = analyse_blocks(rounds, t, i0, i1, end_v, first_cell, opts)
    n = block_count(rounds[i0:i1 + 1])
    string_end = end_v * n
    ts = t[i0:i1 + 1]
    cross = first_crossing(ts, [r["gv"] for r in rounds[i0:i1 + 1]], string_end)
    # A load bank stops the test at the end voltage, usually between two stored rounds: the
    # load gone with the string's last loaded reading just above its end voltage is the end.
    last_gv = rounds[i1]["gv"]
    tripped = (cross is None and i1 + 1 < len(rounds) and last_gv is not None
               and last_gv <= string_end * (1 + TRIP_MARGIN))
    if tripped:
        cross = t[i1]
    until = cross if cross is not None else t[i1]
    amps = [-r["current"] if r["current"] is not None else None for r in rounds[i0:i1 + 1]]
    watts = [a * r["gv"] if a is not None and r["gv"] is not None else None
             for a, r in zip(amps, rounds[i0:i1 + 1])]
    gaps = find_gaps(ts, [r["span"] for r in rounds[i0:i1 + 1]])
    temp = next((r["temp"] for r in rounds[i0:i1 + 1] if r["temp"] is not None), None)
    d = {"first": i0, "last": i1, "t0": t[i0], "duration_s": t[i1] - t[i0], "nominal": nominal,
         "end_v": end_v, "string_end_v": string_end, "blocks_in_string": n,
         "string_cross_s": None if cross is None else cross - t[i0], "tripped": tripped,
         "ah": integrate_hours(ts, amps, until), "wh": integrate_hours(ts, watts, until),
         "integrated_s": until - t[i0], "gaps": [(a - t[i0], b - t[i0]) for a, b in gaps],
         "temp_start": temp, "factor": correction_factor(opts.correction, temp),
         "blocks": blocks, "ranked": rank_blocks(blocks)}
    d["gap_s"] = sum(b - a for a, b in d["gaps"])
    d["avg_current"] = d["ah"] / (d["integrated_s"] / 3600.0) if d["integrated_s"] > 0 else None
    d["extrapolated_s"] = (extrapolated_seconds(rounds, t, i0, i1, string_end)
                           if cross is None else None)
    d["verdict"] = verdict(d, opts)
    d["table"] = interval_table(rounds, t, i0, i1)
    d["weak"] = d["ranked"][0] if d["ranked"] else None
    return d


def interval_table(rounds, t, i0, i1):
    """The round nearest every tenth of the discharge, and its last round."""
    points = []
    for f in TABLE_POINTS:
        i = i1 if f == 1.0 else nearest_index(t, i0, i1, t[i0] + f * (t[i1] - t[i0]))
        points.append({"fraction": f, "index": i, "at_s": t[i] - t[i0]})
    return points


def rated_current(opts):
    if opts.rated_ah and opts.rated_minutes:
        return opts.rated_ah / (opts.rated_minutes / 60.0)
    return None


# ---- Float charge ----------------------------------------------------------------------------

def _span_stats(rounds, key, low_key, high_key):
    vals = [r[key] for r in rounds if r[key] is not None]
    lows = [r.get(low_key) if r.get(low_key) is not None else r[key] for r in rounds
            if r[key] is not None or r.get(low_key) is not None]
    highs = [r.get(high_key) if r.get(high_key) is not None else r[key] for r in rounds
             if r[key] is not None or r.get(high_key) is not None]
    lows = [x for x in lows if x is not None]
    highs = [x for x in highs if x is not None]
    return {"min": min(lows) if lows else None, "max": max(highs) if highs else None,
            "mean": statistics.fmean(vals) if vals else None}


def float_summary(rounds, t, first_cell):
    """A range without a discharge: how the string sat on its charger. Rows that stand for
    several rounds count as many and contribute their kept extremes."""
    blocks = []
    for b in range(block_count(rounds)):
        vs = volts_of(rounds, b)
        valid = [v for v in vs if v is not None]
        missing = sum(1 for r in rounds if b < len(r["volts"]) and r["volts"][b] is None)
        blocks.append({"index": b, "label": first_cell + b + 1, "readings": len(valid),
                       "mean": statistics.fmean(valid) if valid else None,
                       "min": min(valid) if valid else None, "max": max(valid) if valid else None,
                       "missing": missing})
    cells_low = [r["cell_min"] for r in rounds if r.get("cell_min") is not None]
    cells_high = [r["cell_max"] for r in rounds if r.get("cell_max") is not None]
    return {"rounds": sum(r["span"] for r in rounds), "rows": len(rounds),
            "duration_s": t[-1] - t[0], "gv": _span_stats(rounds, "gv", "gv_min", "gv_max"),
            "current": _span_stats(rounds, "current", "current_min", "current_max"),
            "temp": _span_stats(rounds, "temp", "temp_min", "temp_max"),
            "cell_low": min(cells_low) if cells_low else None,
            "cell_high": max(cells_high) if cells_high else None,
            "blocks": blocks, "nominal": nominal_volts(rounds),
            "gaps": find_gaps(t, [r["span"] for r in rounds])}


def spread_of(volts):
    vs = [v for v in volts if v is not None]
    return max(vs) - min(vs) if len(vs) >= 2 else None
