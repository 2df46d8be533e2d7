"""The pictures: each one drawn onto axes it is given, so that the page's PNG files and the
PDF's A4 pages show the same drawing. Time axes are h:mm from the start of the discharge (or
of the range, for a float charge)."""

import math

from . import analysis

WEAK = "#d62728"
SECOND = "#ff7f0e"
OTHER = "#4a78b0"
ALARM = "#d62728"
GAP = "#999999"
# Alarm labels carry the device's own (Chinese) names: a font with those glyphs after the usual.
FONTS = ["DejaVu Sans", "WenQuanYi Micro Hei"]


def pyplot():
    import matplotlib
    matplotlib.use("Agg")  # no display: files only
    import matplotlib.pyplot as plt
    plt.rcParams["font.family"] = FONTS
    plt.rcParams["font.size"] = 9
    return plt


def hm(seconds):
    """'1:36' for 96 minutes; negative times with a sign."""
    total = int(round(seconds / 60.0))
    sign = "-" if total < 0 else ""
    return "%s%d:%02d" % ((sign,) + divmod(abs(total), 60))


def time_axis(ax, seconds_span, axis="x"):
    """h:mm ticks at a round number of minutes, about eight to twelve of them."""
    from matplotlib.ticker import FuncFormatter, MultipleLocator
    minutes = max(seconds_span / 60.0, 1.0)
    step = next((s for s in (1, 2, 5, 10, 15, 20, 30, 60, 120, 180, 360, 720, 1440)
                 if minutes / s <= 12), 2880)
    which = ax.xaxis if axis == "x" else ax.yaxis
    which.set_major_locator(MultipleLocator(step))
    which.set_major_formatter(FuncFormatter(lambda x, _: hm(x * 60)))


def broken(xs, ys, gaps):
    """The series with a NaN inserted inside every gap, so that no line is drawn across it."""
    out_x, out_y = [], []
    starts = {a for a, _ in gaps}
    for x, y in zip(xs, ys):
        out_x.append(x)
        out_y.append(math.nan if y is None else y)
        if x in starts:
            out_x.append(x)
            out_y.append(math.nan)
    return out_x, out_y


class View:
    """The rounds one picture shows, on minutes from a zero (the discharge's start)."""

    def __init__(self, rounds, t, first, last, zero, events):
        self.rounds, self.t = rounds[first:last + 1], t[first:last + 1]
        self.zero = zero
        self.x = [(s - zero) / 60.0 for s in self.t]
        self.gaps = analysis.find_gaps(self.x, [r["span"] for r in self.rounds])
        self.events = events
        self.all_rounds, self.all_t = rounds, t

    def series(self, key):
        return broken(self.x, [r.get(key) for r in self.rounds], self.gaps)

    def block(self, b):
        return broken(self.x, analysis.volts_of(self.rounds, b), self.gaps)

    def minutes_at(self, ms):
        return (analysis.seconds_at(ms, self.all_rounds, self.all_t) - self.zero) / 60.0


def mark_events(ax, view, legend):
    """Alarm raises as red marks along the top edge (a discharge raises one per block, and full
    height lines would hide the curves), lost lines and gaps in the readings as grey bands."""
    lost_at, first_gap, raised = None, True, []
    for e in view.events:
        x = view.minutes_at(e["ms"])
        if x < view.x[0] or x > view.x[-1]:
            continue
        if e["kind"] == "alarm raised":
            raised.append(x)
        elif e["kind"] == "port lost":
            lost_at = x
        elif e["kind"] == "port reopened" and lost_at is not None:
            ax.axvspan(lost_at, x, color=GAP, alpha=0.3, linewidth=0)
            lost_at = None
    for a, b in view.gaps:
        ax.axvspan(a, b, color=GAP, alpha=0.25, linewidth=0,
                   label="no readings (gap)" if legend and first_gap else None)
        first_gap = False
    if raised:
        ax.plot(raised, [1.0] * len(raised), "v", color=ALARM, markersize=6, clip_on=False,
                transform=ax.get_xaxis_transform(), zorder=5,
                label="alarm raised (%d, see the alarm table)" % len(raised) if legend else None)


def draw_blocks(ax, view, d, labels):
    """Every block's voltage, the weak ones picked out, the end voltage and each crossing."""
    ranked = [b["index"] for b in d["ranked"]] if d else []
    order = {ranked[0]: (WEAK, 2.2, 3)} if ranked else {}
    if len(ranked) > 1:
        order[ranked[1]] = (SECOND, 1.6, 2.5)
    count = analysis.block_count(view.rounds)
    for b in range(count):
        if b in order:
            continue
        xs, ys = view.block(b)
        ax.plot(xs, ys, color=OTHER, linewidth=0.8, alpha=0.55)
    ax.plot([], [], color=OTHER, linewidth=0.8, label="the other blocks")
    for b, (colour, width, z) in order.items():
        xs, ys = view.block(b)
        blk = d["blocks"][b]
        when = (" reached %.2f V at %s" % (d["end_v"], hm(blk["cross_s"]))
                if blk["cross_s"] is not None else " did not reach %.2f V" % d["end_v"])
        ax.plot(xs, ys, color=colour, linewidth=width, zorder=z,
                label="block %d:%s" % (labels[b], when))
    missing = [(x, b) for b in range(count) for x, v in zip(view.x, analysis.volts_of(
        view.rounds, b)) if v is None and b < len(view.rounds[0]["volts"])]
    if d:
        ax.axhline(d["end_v"], color="black", linestyle="--", linewidth=1.0,
                   label="end voltage %.2f V a block" % d["end_v"])
        crossed = [b for b in d["blocks"] if b["cross_s"] is not None]
        if crossed:
            ax.plot([b["cross_s"] / 60.0 for b in crossed], [d["end_v"]] * len(crossed), "o",
                    markersize=6, markerfacecolor="none", markeredgecolor="black", zorder=4,
                    label="a block reaching the end voltage (%d)" % len(crossed))
            for b in sorted(crossed, key=lambda b: b["cross_s"])[:3]:
                ax.annotate("%d" % b["label"], (b["cross_s"] / 60.0, d["end_v"]),
                            textcoords="offset points", xytext=(0, -14), ha="center",
                            fontsize=8, fontweight="bold")
    if missing:
        low = ax.get_ylim()[0]
        ax.plot([m[0] for m in missing], [low] * len(missing), "|", color="#8c564b",
                markersize=10, clip_on=False,
                label="a reading outside the window, no value (%d)" % len(missing))
    mark_events(ax, view, legend=True)
    ax.set_ylabel("block voltage (V)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower left", fontsize=7.5, framealpha=0.9)
    time_axis(ax, (view.x[-1] - view.x[0]) * 60)


EXTREMES = {"gv": ("gv_min", "gv_max"), "current": ("current_min", "current_max"),
            "temp": ("temp_min", "temp_max")}


def draw_group(axes, view, d):
    """Group voltage (with the string's end voltage), current and temperature."""
    rows = [("gv", "group voltage (V)", "#1f77b4"), ("current", "current (A)", "#2ca02c"),
            ("temp", "temperature (°C)", "#ff7f0e")]
    for ax, (key, label, colour) in zip(axes, rows):
        xs, ys = view.series(key)
        ax.plot(xs, ys, color=colour, linewidth=1.4, label=label.split(" (")[0])
        low, high = view.series(EXTREMES[key][0]), view.series(EXTREMES[key][1])
        if any(r["span"] > 1 for r in view.rounds):
            # Rows of a thinned history stand for many rounds: their lowest and highest.
            ax.fill_between(low[0], [lo if lo == lo else y for lo, y in zip(low[1], ys)],
                            [hi if hi == hi else y for hi, y in zip(high[1], ys)],
                            color=colour, alpha=0.25, linewidth=0,
                            label="lowest to highest of the rounds a row stands for")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
        mark_events(ax, view, legend=(key == "gv"))
    if d:
        axes[0].axhline(d["string_end_v"], color="black", linestyle="--", linewidth=1.0,
                        label="string end voltage %.1f V" % d["string_end_v"])
        if d["string_cross_s"] is not None:
            axes[0].plot([d["string_cross_s"] / 60.0], [d["string_end_v"]], "o", color="black",
                         label="string reached it at %s" % hm(d["string_cross_s"]))
        if d["avg_current"]:
            axes[1].axhline(-d["avg_current"], color="black", linestyle=":", linewidth=1.0,
                            label="average %.1f A" % -d["avg_current"])
    for ax in axes[:2]:
        ax.legend(loc="upper right", fontsize=7.5, framealpha=0.9)
    for ax in axes:
        time_axis(ax, (view.x[-1] - view.x[0]) * 60)
    for ax in axes[:-1]:
        ax.tick_params(labelbottom=False)


def draw_times(ax, d, labels, opts):
    """Each block's time to its end voltage; blocks that never got there, hatched, at the
    discharge's length."""
    blocks = [b for b in d["blocks"] if b["readings"]]
    first = d["ranked"][0]["index"] if d["ranked"] else None
    xs = list(range(len(blocks)))
    for x, b in zip(xs, blocks):
        reached = b["cross_s"] is not None
        h = (b["cross_s"] if reached else d["duration_s"]) / 60.0
        ax.bar(x, h, color=WEAK if b["index"] == first else (OTHER if reached else "white"),
               edgecolor=OTHER, hatch=None if reached else "//")
    if opts.rated_minutes:
        rated = opts.rated_minutes * (d["factor"] or 1.0)
        ax.axhline(rated, color="black", linewidth=1.0, label="rated time %s" % hm(rated * 60))
        ax.axhline(rated * opts.pass_percent / 100.0, color=WEAK, linestyle="--", linewidth=1.0,
                   label="pass mark %g %%: %s" % (opts.pass_percent,
                                                 hm(rated * opts.pass_percent * 0.6)))
    if d["string_cross_s"] is not None:
        ax.axhline(d["string_cross_s"] / 60.0, color="#2ca02c", linewidth=1.0,
                   label="string at end voltage: %s" % hm(d["string_cross_s"]))
    ax.set_xticks(xs)
    ax.set_xticklabels([str(labels[b["index"]]) for b in blocks], fontsize=7)
    ax.set_xlabel("block")
    ax.set_ylabel("time to %.2f V (h:mm)" % d["end_v"])
    # Room above the bars for the legend, so that no bar hides behind it.
    top = max([p.get_height() for p in ax.patches] + [ax.get_ylim()[1]]) * 1.6
    ax.set_ylim(0, top)
    time_axis(ax, top * 60, axis="y")
    from matplotlib.patches import Patch
    handles = ax.get_legend_handles_labels()[0] + [
        Patch(facecolor=WEAK, edgecolor=OTHER, label="the first block to reach it"),
        Patch(facecolor=OTHER, edgecolor=OTHER, label="a block that reached it"),
        Patch(facecolor="white", edgecolor=OTHER, hatch="//",
              label="not reached before the end of the discharge")]
    ax.legend(handles=handles, loc="upper left", fontsize=7, framealpha=0.9)
    ax.grid(True, axis="y", alpha=0.3)


def draw_resistance(ax, d, labels, step_amps):
    """Each block's internal resistance estimate, the highest picked out."""
    blocks = [b for b in d["blocks"] if b["ohms"] is not None]
    if not blocks:
        ax.text(0.5, 0.5, "no load step of %g A or more inside the discharge:\nno internal "
                "resistance estimate" % step_amps, ha="center", va="center",
                transform=ax.transAxes)
        ax.set_axis_off()
        return
    worst = max(blocks, key=lambda b: b["ohms"])["index"]
    xs = list(range(len(blocks)))
    ax.bar(xs, [b["ohms"] * 1000 for b in blocks],
           color=[WEAK if b["index"] == worst else OTHER for b in blocks])
    median = sorted(b["ohms"] for b in blocks)[len(blocks) // 2] * 1000
    ax.axhline(median, color="black", linestyle=":", linewidth=1.0,
               label="median of the string %.1f mΩ" % median)
    ax.set_xticks(xs)
    ax.set_xticklabels([str(labels[b["index"]]) for b in blocks], fontsize=7)
    ax.set_xlabel("block")
    ax.set_ylabel("internal resistance (mΩ)")
    ax.set_ylim(0, max(b["ohms"] for b in blocks) * 1000 * 1.3)
    ax.legend(loc="upper left", fontsize=7.5, framealpha=0.9)
    ax.grid(True, axis="y", alpha=0.3)


def draw_float_blocks(ax, view, labels):
    """Every block on float: the lowest on average in red."""
    count = analysis.block_count(view.rounds)
    means = []
    for b in range(count):
        vs = [v for v in analysis.volts_of(view.rounds, b) if v is not None]
        means.append((sum(vs) / len(vs), b) if vs else (math.inf, b))
    low = min(means)[1] if means and min(means)[0] != math.inf else None
    for b in range(count):
        xs, ys = view.block(b)
        if b == low:
            ax.plot(xs, ys, color=WEAK, linewidth=2.0, zorder=3,
                    label="block %d (lowest on average)" % labels[b])
        else:
            ax.plot(xs, ys, color=OTHER, linewidth=0.8, alpha=0.55)
    ax.plot([], [], color=OTHER, linewidth=0.8, label="the other blocks")
    if any(r["span"] > 1 for r in view.rounds):
        # Rows of a thinned history keep the lowest and highest reading of their rounds.
        lows, highs = view.series("cell_min")[1], view.series("cell_max")[1]
        xs = view.series("cell_min")[0]
        ax.fill_between(xs, lows, highs, color=GAP, alpha=0.3, linewidth=0,
                        label="lowest to highest reading of the rounds a row stands for")
    mark_events(ax, view, legend=True)
    ax.set_ylabel("block voltage (V)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower left", fontsize=7.5, framealpha=0.9)
    time_axis(ax, (view.x[-1] - view.x[0]) * 60)
