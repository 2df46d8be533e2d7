"""The report's words and tables, and the HTML page that holds them with the pictures. The PDF
takes the same words and tables from here."""

import html

from .plots import hm

CSS = """
body { font-family: sans-serif; margin: 1.5em 2em; color: #222; max-width: 1100px; }
h1 { font-size: 1.5em; } h2 { border-bottom: 2px solid #4a78b0; padding-bottom: .2em; }
table { border-collapse: collapse; margin: .5em 0 1.2em; }
td, th { border: 1px solid #ccc; padding: .2em .5em; text-align: right; }
th { background: #eef2f8; } td.l, th.l { text-align: left; }
tr.weak td { background: #fde2e2; font-weight: bold; }
td.oow { color: #8c564b; font-style: italic; }
.note { background: #fff4d6; border-left: 4px solid #f0b400; padding: .5em .8em; }
.verdict { font-size: 1.4em; font-weight: bold; padding: .4em .8em; display: inline-block; }
.PASS { background: #dff3df; border: 2px solid #2ca02c; }
.FAIL { background: #fde2e2; border: 2px solid #d62728; }
.INCOMPLETE, .NOT-RATED { background: #fff4d6; border: 2px solid #f0b400; }
img { display: block; margin: .5em 0; max-width: 100%; height: auto; }
dl { display: grid; grid-template-columns: max-content auto; gap: .2em 1em; }
dt { font-weight: bold; } dd { margin: 0; }
@media print { section.discharge { page-break-before: always; } }
"""
OUT = "no value"  # a reading outside the device's window


def esc(x):
    return html.escape(str(x))


def v2(x):
    return "–" if x is None else "%.2f" % x


def v1(x):
    return "–" if x is None else ("%.1f" % x).replace("-0.0", "0.0")


def duration(seconds):
    if seconds < 59.5:
        return "%d s" % int(round(seconds))
    h, m = divmod(int(round(seconds / 60.0)), 60)
    return "%d h %02d min" % (h, m) if h else "%d min" % m


def per_cell(d):
    cells = 6 if d["nominal"] == 12 else 3
    return d["end_v"] / cells


# ---- Words -----------------------------------------------------------------------------------

def verdict_line(d, opts):
    v = d["verdict"]
    if v["status"] == "NOT RATED":
        return "NOT RATED: no rated time given (--rated-minutes), so no percent capacity"
    if v["status"] == "INCOMPLETE":
        text = ("INCOMPLETE: stopped at %s before the end voltage; at least %.1f %% of the rated "
                "time" % (hm(d["duration_s"]), v["percent"]))
        if v["extrapolated"] is not None:
            text += "; extrapolated %.1f %% (a straight line, not measured)" % v["extrapolated"]
        return text
    return "%s: %.1f %% capacity (pass mark %g %%)" % (v["status"], v["percent"],
                                                      opts.pass_percent)


def correction_text(d, opts):
    v = d["verdict"]
    if not opts.correction:
        return "none applied (no --temperature-correction)"
    if d["factor"] is None:
        return "none: no temperature at the start to look up the table with"
    text = "factor %.3f" % d["factor"]
    if opts.correction[0] == "table":
        text += " from the table for %s °C at the start" % v1(d["temp_start"])
    if v["raw_percent"] is not None:
        text += "; uncorrected %.1f %%" % v["raw_percent"]
    return text


def readings_text(d):
    covered = d["duration_s"] - d["gap_s"]
    text = "%s of %s had readings (%.0f %%)" % (duration(covered), duration(d["duration_s"]),
                                                 100.0 * covered / d["duration_s"]
                                                 if d["duration_s"] else 100.0)
    if d["gaps"]:
        text += "; %d gap%s: %s, bridged by a straight line" % (
            len(d["gaps"]), "" if len(d["gaps"]) == 1 else "s",
            ", ".join("%s–%s (%s)" % (hm(a), hm(b), duration(b - a)) for a, b in d["gaps"]))
    return text


def discharge_items(d, rounds, opts, labels, rated_amps):
    first, last = rounds[d["first"]], rounds[d["last"]]
    items = [("Verdict", verdict_line(d, opts)),
             ("Start", first["time"]), ("End", "%s (the current fell back)" % last["time"]
                                                 if d["last"] + 1 < len(rounds) else
                                                 "%s (the last round in range)" % last["time"]),
             ("Duration", "%s (h:mm)" % hm(d["duration_s"])),
             ("End voltage", "%.2f V a block (%.3f V a cell), %.1f V for the string of %d blocks"
              % (d["end_v"], per_cell(d), d["string_end_v"], d["blocks_in_string"]))]
    if d["tripped"]:
        items.append(("String at end voltage", "%s, when the load stopped with the string at %s V,"
                      " within 1 %% of its end voltage" % (hm(d["string_cross_s"]), v1(last["gv"]))))
    elif d["string_cross_s"] is not None:
        items.append(("String at end voltage", hm(d["string_cross_s"])))
    else:
        items.append(("String at end voltage", "not reached (%s V at the end)" % v1(last["gv"])))
    if opts.rated_minutes:
        rating = "%g min (%s)" % (opts.rated_minutes, hm(opts.rated_minutes * 60))
        if opts.rated_ah:
            rating = "%g Ah over %s, %.1f A" % (opts.rated_ah, rating, rated_amps)
        items.append(("Rating at the test rate", rating))
    items.append(("Temperature correction", correction_text(d, opts)))
    what = "%.1f Ah, %.2f kWh" % (d["ah"], d["wh"] / 1000.0)
    what += " to end voltage" if d["string_cross_s"] is not None else " to the end"
    if opts.rated_ah:
        what += " (%.1f %% of %g Ah)" % (100.0 * d["ah"] / opts.rated_ah, opts.rated_ah)
    items.append(("Delivered", what))
    items.append(("Average current", "%s A" % v1(d["avg_current"])))
    if rated_amps and d["avg_current"] and abs(d["avg_current"] - rated_amps) > 0.05 * rated_amps:
        items.append(("Test rate", "%.1f A differs from the rating's %.1f A by more than 5 %%: "
                      "the percent capacity holds for the rated rate only"
                      % (d["avg_current"], rated_amps)))
    items.append(("Temperature at start", "%s °C" % v1(d["temp_start"])))
    items.append(("Readings", readings_text(d)))
    items.append(("Weak block", weak_text(d, opts, labels)))
    items.append(("Outside the window", missing_text(d["blocks"], True)))
    return items


def weak_text(d, opts, labels):
    w = d["weak"]
    if not w:
        return "no block had a reading"
    if w["cross_s"] is None:
        return "no block reached %.2f V; lowest at the end: block %d, %s V" % (
            d["end_v"], w["label"], v2(w["end"]))
    text = "block %d reached %.2f V first, at %s" % (w["label"], d["end_v"], hm(w["cross_s"]))
    if opts.rated_minutes:
        text += " (%.0f %% of the rated time)" % (w["cross_s"] / 60.0 / opts.rated_minutes * 100)
    if w["collapsed_s"] is not None:
        text += ", and fell below the window at %s (collapsed or reversed)" % hm(w["collapsed_s"])
    others = [b for b in d["ranked"][1:] if b["cross_s"] is not None]
    if others:
        text += "; next block %d at %s" % (others[0]["label"], hm(others[0]["cross_s"]))
    return text


def missing_text(blocks, with_time):
    hit = [b for b in blocks if b["missing"]]
    if not hit:
        return "none: every reading was inside the window"
    parts = []
    for b in hit:
        part = "block %d: %d reading%s" % (b["label"], b["missing"], "" if b["missing"] == 1
                                           else "s")
        if with_time and b.get("missing_from_s") is not None:
            part += " from %s" % hm(b["missing_from_s"])
        if with_time and b.get("collapsed_s") is not None:
            part += " (below the window after its end voltage from %s)" % hm(b["collapsed_s"])
        parts.append(part)
    return "%d reading%s, no value, drawn as gaps and never ranked: %s" % (
        sum(b["missing"] for b in hit), "" if sum(b["missing"] for b in hit) == 1 else "s",
        "; ".join(parts))


def ranking_rows(d, opts):
    """Header and rows of the blocks ranked by time to end voltage."""
    head = ["rank", "block", "to %.2f V" % d["end_v"], "% of rated", "start V", "end V",
            "lowest V", "drop V", "R mΩ", "no value"]
    rows = []
    for i, b in enumerate(d["ranked"], 1):
        pct = "–"
        if b["cross_s"] is not None and opts.rated_minutes:
            pct = "%.0f" % (b["cross_s"] / 60.0 / opts.rated_minutes * 100)
        rows.append([str(i), str(b["label"]), hm(b["cross_s"]) if b["cross_s"] is not None
                     else "not reached", pct, v2(b["start"]), v2(b["end"]), v2(b["lowest"]),
                     v2(b["drop"]), v1(b["ohms"] * 1000) if b["ohms"] is not None else "–",
                     str(b["missing"])])
    return head, rows


def interval_rows(d, rounds):
    """Header and rows: every block's reading at each tenth of the discharge and at its end."""
    pts = d["table"]
    head = ["block"] + ["%s (%d %%)" % (hm(p["at_s"]), round(p["fraction"] * 100))
                        if p["fraction"] < 1 else "%s (end)" % hm(p["at_s"]) for p in pts]
    rows = [["group V"] + [v1(rounds[p["index"]]["gv"]) for p in pts],
            ["current A"] + [v1(rounds[p["index"]]["current"]) for p in pts]]
    for b in d["blocks"]:
        row = [str(b["label"])]
        for p in pts:
            volts = rounds[p["index"]]["volts"]
            has = b["index"] < len(volts)
            row.append(v2(volts[b["index"]]) if has and volts[b["index"]] is not None
                       else (OUT if has else "–"))
        rows.append(row)
    return head, rows


def float_items(f, rounds, labels):
    first, last = rounds[0], rounds[-1]
    items = [("Period", "%s to %s, %d rounds%s, %s" % (
        first["time"], last["time"], f["rounds"],
        " in %d rows" % f["rows"] if f["rows"] != f["rounds"] else "", duration(f["duration_s"])))]
    for key, label, unit, fmt in (("gv", "Group voltage", "V", v2), ("current", "Current", "A", v2),
                                  ("temp", "Temperature", "°C", v1)):
        s = f[key]
        items.append((label, "%s %s on average, %s to %s" % (fmt(s["mean"]), unit, fmt(s["min"]),
                                                              fmt(s["max"]))))
    ranked = sorted((b for b in f["blocks"] if b["mean"] is not None), key=lambda b: b["mean"])
    if ranked:
        items.append(("Blocks", "lowest on average block %d, %s V; highest block %d, %s V; "
                      "the lowest reading %s V, the highest %s V" % (
                          ranked[0]["label"], v2(ranked[0]["mean"]), ranked[-1]["label"],
                          v2(ranked[-1]["mean"]),
                          v2(min(b["min"] for b in ranked) if f["cell_low"] is None
                             else min(f["cell_low"], min(b["min"] for b in ranked))),
                          v2(max(b["max"] for b in ranked) if f["cell_high"] is None
                             else max(f["cell_high"], max(b["max"] for b in ranked))))))
    items.append(("Outside the window", missing_text(f["blocks"], False)))
    if f["gaps"]:
        items.append(("Gaps", "%d stretch%s without rounds, %s in all" % (
            len(f["gaps"]), "" if len(f["gaps"]) == 1 else "es",
            duration(sum(b - a for a, b in f["gaps"])))))
    return items


def float_rows(f):
    head = ["block", "average V", "lowest V", "highest V", "no value"]
    rows = [[str(b["label"]), v2(b["mean"]), v2(b["min"]), v2(b["max"]), str(b["missing"])]
            for b in f["blocks"]]
    return head, rows


def block_of_key(key, first_cell):
    """'battery_6_value' -> the number the device gives that block (keys count from 0)."""
    if key.startswith("battery_") and key.endswith("_value"):
        try:
            return first_cell + int(key[len("battery_"):-len("_value")]) + 1
        except ValueError:
            return None
    return None


def event_rows(events, zero_s, seconds_of, first_cell):
    head = ["time (record)", "test time", "event", "what", "value", "limit"]
    rows = []
    for e in events:
        what = e["what"]
        block = block_of_key(e["key"], first_cell)
        if block:
            what = "%s (block %d)" % (what, block)
        elif e["key"] and e["key"] != e["what"]:
            what = "%s (%s)" % (what, e["key"])
        rows.append([e["time"], hm(seconds_of(e["ms"]) - zero_s), e["kind"], what,
                     v2(e["value"]), v2(e["limit"])])
    return head, rows


# ---- HTML ------------------------------------------------------------------------------------

def table_html(table_id, head, rows, left=(), weak_row=None):
    out = ['<table id="%s"><tr>' % table_id]
    out += ["<th%s>%s</th>" % (" class=l" if i in left else "", esc(h)) for i, h in
            enumerate(head)]
    out.append("</tr>")
    for n, row in enumerate(rows):
        out.append("<tr%s>" % (' class="weak"' if n == weak_row else ""))
        for i, cell in enumerate(row):
            cls = "l" if i in left else ("oow" if cell == OUT else "")
            out.append("<td%s>%s</td>" % (' class="%s"' % cls if cls else "", esc(cell)))
        out.append("</tr>")
    out.append("</table>")
    return "".join(out)


def items_html(items):
    return "<dl>" + "".join("<dt>%s</dt><dd>%s</dd>" % (esc(k), esc(v)) for k, v in items) + \
        "</dl>"


def image_html(src, size, alt):
    return '<img src="%s" width="%d" height="%d" alt="%s">' % (esc(src), size[0], size[1],
                                                               esc(alt))


def document(title, intro, sections, footer):
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>%s</title><style>%s</style></head><body>\n<h1>%s</h1><p>%s</p>\n%s\n"
            "<footer><p>%s</p></footer></body></html>\n" % (
                esc(title), CSS, esc(title), esc(intro), "\n".join(sections), esc(footer)))
