"""The command line: options, one section per device, the page and the PDF written."""

import argparse
import datetime
import os
import sqlite3
import struct
import sys

from . import PROG, analysis, page, plots, reading
from .errors import ReportError

DESCRIPTION = """\
The discharge-test report from a history stored by battery-host --history. It finds the
discharges in the range by itself (current beyond --discharge-amps for at least
--min-minutes) and gives for each one the verdict an engineer signs: start, end and duration;
the time the string and each block reached the end voltage; ampere-hours and watt-hours
delivered; average current and the temperature at the start; percent capacity and PASS, FAIL
or INCOMPLETE; the blocks ranked; every block's voltage at each tenth of the discharge; an
internal resistance estimate per block where the load stepped. A range without a discharge
gets a float-charge summary instead. Writes DIR/index.html with PNG pictures beside it (and
with --pdf one PDF of the same report) and prints the path of index.html."""

EPILOG = """\
definitions:
  discharge         consecutive rounds with current at or below -A (--discharge-amps); it
                    starts at the first such round and ends at the last
  end voltage       per block: --end-voltage, else 10.5 V for 12 V blocks and 5.25 V for 6 V
                    blocks (1.75 V a cell); the string's is that times its blocks
  time to end V     when the group voltage (a block's voltage) first reached the end voltage,
                    interpolated between the two rounds around it
  percent capacity  time to end voltage / (rated minutes x K) x 100, with K the temperature
                    correction factor (1 without --temperature-correction); PASS when it is at
                    least --pass-percent (rounded to 0.1 %), FAIL below, INCOMPLETE when the
                    string never reached its end voltage (--extrapolate adds a straight-line
                    estimate, marked as such)
  Ah, Wh            current (and current x group voltage) integrated over the stored rounds
                    up to the end voltage (trapezoids); a gap (an interval over 2.5 times the
                    usual one) is bridged by a straight line and said
  internal R        median of dV/dI of a block over the rounds inside the discharge where the
                    current changed by at least --step-amps
  block N           the number the device gives the block; a reading outside the device's
                    window has no value: drawn as a gap, counted, never ranked as the lowest
  time axis         h:mm from the start of the discharge; simulated time when the run was
                    accelerated (battery-host against its simulator), and the page says so

--temperature-correction takes a factor (e.g. 1.04) or a file of lines "DEGREES FACTOR"
(# starts a comment), looked up at the temperature at the start of the discharge, linearly
between lines.

T is 'YYYY-MM-DD', 'YYYY-MM-DD HH:MM', 'YYYY-MM-DD HH:MM:SS' or the same with 'T' between date
and time, in the site's local time (that of the records' own stamps); --to with a date alone
includes that whole day.

exit status: 0 written; 2 bad arguments, no such file, not a history database, no rounds in
the range; 1 the report could not be written."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise ReportError(message)


def version():
    try:
        from .version import VERSION  # written by the build
    except ImportError:
        return "(not built)"
    return VERSION


def positive(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid number: '%s'" % text)
    if not v > 0 or v != v or v == float("inf"):
        raise argparse.ArgumentTypeError("must be a number above 0, not '%s'" % text)
    return v


def parse_args(argv):
    p = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version="%s %s" % (PROG, version()))
    p.add_argument("history", metavar="HISTORY.sqlite",
                   help="history database written by battery-host --history")
    p.add_argument("--out", metavar="DIR", required=True,
                   help="folder for index.html and the PNG files (made if missing; files of "
                        "the same names are replaced)")
    p.add_argument("--pdf", metavar="FILE", help="also write the report as one PDF (A4)")
    p.add_argument("--device", metavar="ID", type=int, default=None,
                   help="data id of the device to report (default: every device with rounds in "
                        "the range, one section each)")
    p.add_argument("--from", dest="t_from", metavar="T", default=None,
                   help="first time to include (default: the first round)")
    p.add_argument("--to", dest="t_to", metavar="T", default=None,
                   help="last time to include (default: the last round)")
    t = p.add_argument_group("the test")
    t.add_argument("--rated-minutes", metavar="MIN", type=positive,
                   help="rated time to end voltage at the test rate (default: none, no percent "
                        "capacity and no verdict)")
    t.add_argument("--rated-ah", metavar="AH", type=positive,
                   help="rated capacity at that rate; needs --rated-minutes (default: none)")
    t.add_argument("--end-voltage", metavar="V", type=positive,
                   help="end voltage of one block (default: 10.5 for 12 V blocks, 5.25 for 6 V)")
    t.add_argument("--temperature-correction", metavar="K|FILE",
                   help="temperature correction factor, or a table file (default: none applied)")
    t.add_argument("--pass-percent", metavar="P", type=positive, default=80.0,
                   help="lowest percent capacity that passes (default: 80)")
    t.add_argument("--extrapolate", action="store_true",
                   help="for a test stopped before end voltage, estimate the time to it from "
                        "the last fifth of the discharge (default: no estimate)")
    t.add_argument("--discharge-amps", metavar="A", type=positive, default=3.0,
                   help="discharge current that makes a round part of a discharge (default: 3)")
    t.add_argument("--min-minutes", metavar="MIN", type=positive, default=3.0,
                   help="shortest discharge reported (default: 3)")
    t.add_argument("--step-amps", metavar="A", type=positive, default=3.0,
                   help="smallest current step used for the resistance estimate (default: 3)")
    a = p.parse_args(argv)
    if a.rated_ah and not a.rated_minutes:
        raise ReportError("--rated-ah needs --rated-minutes (the rating at the test rate)")
    a.t_from = parse_time(a.t_from) if a.t_from else None
    a.t_to = parse_time(a.t_to, end_of_day=True) if a.t_to else None
    if a.t_from and a.t_to and a.t_from > a.t_to:
        raise ReportError("--from %s is after --to %s" % (a.t_from, a.t_to))
    a.correction = parse_correction(a.temperature_correction)
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


def parse_correction(text):
    """('factor', K), ('table', [(degrees, K), ...]) or None."""
    if text is None:
        return None
    try:
        k = float(text)
    except ValueError:
        return ("table", read_table(text))
    if not 0 < k < 10:
        raise ReportError("--temperature-correction %s: a factor is a number above 0 and below "
                          "10" % text)
    return ("factor", k)


def read_table(path):
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise ReportError("--temperature-correction %s: neither a factor nor a readable file "
                          "(%s)" % (path, e.strerror))
    table = []
    for n, line in enumerate(lines, 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        try:
            degrees, k = float(words[0]), float(words[1])
            if len(words) != 2 or not 0 < k < 10:
                raise ValueError
        except (ValueError, IndexError):
            raise ReportError("%s line %d: want DEGREES FACTOR, not '%s'" % (path, n, line.strip()))
        table.append((degrees, k))
    if not table:
        raise ReportError("%s: no DEGREES FACTOR line" % path)
    return sorted(table)


def options_of(a):
    return analysis.Options(
        rated_ah=a.rated_ah, rated_minutes=a.rated_minutes, end_voltage=a.end_voltage,
        correction=a.correction, pass_percent=a.pass_percent, extrapolate=a.extrapolate,
        discharge_amps=a.discharge_amps, min_minutes=a.min_minutes, step_amps=a.step_amps)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


# ---- One device ------------------------------------------------------------------------------

class DeviceReport:
    """Everything of one device the page and the PDF show."""

    def __init__(self, conn, columns, device, args, opts):
        self.device, self.opts = device, opts
        self.rounds = reading.load_rounds(conn, columns, device, args.t_from, args.t_to)
        self.info = reading.device_info(conn, columns, device)
        stored = [r["first_cell"] for r in self.rounds if r["first_cell"] is not None]
        first_cell = stored[-1] if stored else (self.info["first_cell"] if self.info else 0)
        self.first_cell = first_cell
        self.t = analysis.elapsed_seconds(self.rounds)
        offset = reading.site_offset_ms(self.rounds)
        self.events = reading.load_events(conn, device, args.t_from, args.t_to, offset)
        self.labels = [first_cell + b + 1 for b in range(analysis.block_count(self.rounds))]
        self.discharges = [analysis.analyse_discharge(self.rounds, self.t, s, first_cell, opts)
                           for s in analysis.find_discharges(self.rounds, self.t, opts)]
        self.float = None if self.discharges else analysis.float_summary(self.rounds, self.t,
                                                                         first_cell)
        self.scales = sorted({r["scale"] for r in self.rounds})

    def title(self):
        if not self.info:
            return "Device %d" % self.device
        name = self.info["name"] or "Device %d" % self.device
        return "%s (device %d, %d cells, %s)" % (name, self.device, self.info["cells"],
                                                 self.info["port"])

    def view_of(self, d):
        """The rounds around a discharge: a twentieth of its length before and after."""
        margin = max(d["duration_s"] / 20.0, 60.0)
        lo = next(i for i, s in enumerate(self.t) if s >= d["t0"] - margin)
        hi = max(i for i, s in enumerate(self.t) if s <= d["t0"] + d["duration_s"] + margin)
        return plots.View(self.rounds, self.t, lo, hi, d["t0"], self.events)

    def whole_view(self):
        return plots.View(self.rounds, self.t, 0, len(self.rounds) - 1, 0.0, self.events)

    def seconds_of(self, ms):
        return analysis.seconds_at(ms, self.rounds, self.t)

    def accelerated_note(self):
        fast = [s for s in self.scales if s != 1.0]
        if not fast:
            return None
        real_s = (self.rounds[-1]["ms"] - self.rounds[0]["ms"]) / 1000.0
        return ("Accelerated run: the simulated module's time ran %s faster than the clock, so "
                "%s took %s. Record times are the real clock's; the time axes, durations and "
                "capacities are simulated time." % (
                    " and ".join("×%g" % s for s in fast), page.duration(self.t[-1]),
                    page.duration(real_s)))


def figure_blocks(plt, rep, d, view):
    fig, ax = plt.subplots(figsize=(10, 5.4))
    plots.draw_blocks(ax, view, d, rep.labels)
    ax.set_title("Every block's voltage during the discharge")
    ax.set_xlabel("time since the start of the discharge (h:mm)")
    return fig


def figure_group(plt, rep, d, view):
    fig, axes = plt.subplots(3, 1, figsize=(10, 6.6), sharex=True)
    plots.draw_group(axes, view, d)
    axes[0].set_title("Group voltage, current and temperature")
    axes[-1].set_xlabel("time since the start of the discharge (h:mm)"
                        if d else "time since the first round (h:mm)")
    return fig


def figure_times(plt, rep, d):
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2))
    plots.draw_times(axes[0], d, rep.labels, rep.opts)
    axes[0].set_title("Time to end voltage, per block")
    plots.draw_resistance(axes[1], d, rep.labels, rep.opts.step_amps)
    axes[1].set_title("Internal resistance estimate, per block")
    return fig


def figure_float(plt, rep, view):
    fig, ax = plt.subplots(figsize=(10, 5.0))
    plots.draw_float_blocks(ax, view, rep.labels)
    ax.set_title("Every block's voltage on float charge")
    ax.set_xlabel("time since the first round (h:mm)")
    return fig


# Fixed margins of the page's figures (10 inches wide) for their tick labels and titles: an
# automatic layout draws every figure twice.
MARGINS = {"one": dict(left=0.07, right=0.985, top=0.93, bottom=0.1),
           "group": dict(left=0.08, right=0.985, top=0.94, bottom=0.08, hspace=0.12),
           "two": dict(left=0.07, right=0.985, top=0.92, bottom=0.12, wspace=0.22)}


def save_png(plt, fig, path, margins="one"):
    fig.subplots_adjust(**MARGINS[margins])
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return png_size(path)


def discharge_html(plt, rep, k, d, out):
    n = rep.device
    view = rep.view_of(d)
    parts = ['<section class="discharge" id="discharge-%d-%d"><h3>Discharge %d of %d, from %s'
             '</h3>' % (n, k, k, len(rep.discharges), page.esc(rep.rounds[d["first"]]["time"])),
             '<p class="verdict %s" id="verdict-%d-%d">%s</p>' % (
                 d["verdict"]["status"].replace(" ", "-"), n, k,
                 page.esc(page.verdict_line(d, rep.opts))),
             page.items_html(page.discharge_items(d, rep.rounds, rep.opts, rep.labels,
                                                  analysis.rated_current(rep.opts)))]
    for name, make, alt, margins in (
            ("blocks", lambda: figure_blocks(plt, rep, d, view),
             "Every block's voltage against time, the end voltage and each crossing marked",
             "one"),
            ("group", lambda: figure_group(plt, rep, d, view),
             "Group voltage with the string's end voltage, current and temperature", "group"),
            ("times", lambda: figure_times(plt, rep, d),
             "Each block's time to end voltage and internal resistance estimate", "two")):
        src = "%s_%d_%d.png" % (name, n, k)
        parts.append(page.image_html(src, save_png(plt, make(), os.path.join(out, src),
                                                   margins), alt))
    head, rows = page.ranking_rows(d, rep.opts)
    parts.append("<h4>Blocks ranked by time to end voltage, then end voltage and drop</h4>")
    parts.append(page.table_html("rank-%d-%d" % (n, k), head, rows, weak_row=0))
    head, rows = page.interval_rows(d, rep.rounds)
    parts.append("<h4>Block voltages at every tenth of the discharge and at its end</h4>")
    parts.append(page.table_html("volts-%d-%d" % (n, k), head, rows, left=(0,)))
    parts.append("</section>")
    return "\n".join(parts)


def float_html(plt, rep, out):
    n = rep.device
    view = rep.whole_view()
    parts = ['<h3 id="float-%d">Float charge, no discharge in range</h3>' % n,
             page.items_html(page.float_items(rep.float, rep.rounds, rep.labels))]
    for name, make, alt, margins in (
            ("float_blocks", lambda: figure_float(plt, rep, view),
             "Every block's voltage on float charge", "one"),
            ("float_group", lambda: figure_group(plt, rep, None, view),
             "Group voltage, current and temperature on float charge", "group")):
        src = "%s_%d.png" % (name, n)
        parts.append(page.image_html(src, save_png(plt, make(), os.path.join(out, src),
                                                   margins), alt))
    head, rows = page.float_rows(rep.float)
    parts.append(page.table_html("blocks-%d" % n, head, rows))
    return "\n".join(parts)


def device_html(plt, rep, out):
    parts = ['<section id="device-%d"><h2>%s</h2>' % (rep.device, page.esc(rep.title()))]
    note = rep.accelerated_note()
    if note:
        parts.append('<p class="note" id="accelerated-%d">%s</p>' % (rep.device, page.esc(note)))
    for k, d in enumerate(rep.discharges, 1):
        parts.append(discharge_html(plt, rep, k, d, out))
    if rep.float:
        parts.append(float_html(plt, rep, out))
    parts.append("<h3>Alarms and port events</h3>")
    zero = rep.discharges[0]["t0"] if rep.discharges else 0.0
    head, rows = page.event_rows(rep.events, zero, rep.seconds_of, rep.first_cell)
    parts.append(page.table_html("timeline-%d" % rep.device, head, rows, left=(0, 2, 3))
                 if rows else "<p>No alarms and no port events in this range.</p>")
    parts.append("</section>")
    return "\n".join(parts)


def write_report(args):
    conn, version, columns = reading.open_history(args.history)
    devices = reading.devices_in_range(conn, args.t_from, args.t_to)
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
    opts = options_of(args)
    reports = [DeviceReport(conn, columns, d, args, opts) for d in devices]
    plt = plots.pyplot()
    sections = [device_html(plt, rep, args.out) for rep in reports]
    runs = reading.run_texts(conn, columns)
    footer = "Written by %s." % "; ".join("%s, sources: %s" % (h, s.replace("\n", ", "))
                                          for h, s in runs) if runs else "Written by battery-host."
    title = report_title(reports)
    intro = "History %s%s, report made %s." % (
        os.path.abspath(args.history), period_text(args),
        datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
    index = os.path.join(args.out, "index.html")
    with open(index, "w", encoding="utf-8") as f:
        f.write(page.document(title, intro, sections, footer))
    if args.pdf:
        from . import pdf
        pdf.write(plt, args.pdf, title, intro, reports)
    return index


def report_title(reports):
    names = ", ".join(r.info["name"] if r.info and r.info["name"] else "device %d" % r.device
                      for r in reports)
    kind = "Discharge test" if any(r.discharges for r in reports) else "Float charge"
    return "%s: %s" % (kind, names)


def period_text(args):
    if args.t_from or args.t_to:
        return " from %s to %s" % (args.t_from or "the start", args.t_to or "the end")
    return ""


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


def run():
    sys.exit(main(sys.argv[1:]))
