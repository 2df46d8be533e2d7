"""The same report as one PDF of A4 pages, for filing with a maintenance record: per discharge a
page of the verdict and the ranking, a page of the voltage pictures, a page of the per-block
pictures and the table of voltages at every tenth, and the alarms."""

import textwrap

from matplotlib.backends.backend_pdf import PdfPages

from . import analysis, page, plots

A4 = (8.27, 11.69)
LEFT, WIDTH = 0.07, 0.86
VERDICT_COLOURS = {"PASS": "#dff3df", "FAIL": "#fde2e2"}
EVENTS_PER_PAGE = 48


def new_page(plt, heading, sub=None):
    fig = plt.figure(figsize=A4)
    fig.text(LEFT, 0.965, heading, fontsize=13, fontweight="bold", va="top")
    if sub:
        fig.text(LEFT, 0.94, sub, fontsize=8.5, va="top", color="#444444")
    return fig


def items(fig, rows, top, wrap=92):
    """Label and text lines down the page from `top`; returns where they end."""
    y = top
    for label, text in rows:
        lines = textwrap.wrap(text, wrap) or [""]
        fig.text(LEFT, y, label, fontsize=8.5, fontweight="bold", va="top")
        fig.text(LEFT + 0.22, y, "\n".join(lines), fontsize=8.5, va="top", linespacing=1.25)
        y -= 0.0165 * len(lines) + 0.004
    return y


def table(fig, head, rows, top, fontsize=7.5, row_h=0.0165, highlight=None, widths=None):
    """A ruled table below `top`; returns where it ends."""
    height = row_h * (len(rows) + 1)
    ax = fig.add_axes([LEFT, top - height, WIDTH, height])
    ax.axis("off")
    t = ax.table(cellText=rows, colLabels=head, bbox=[0, 0, 1, 1], cellLoc="center",
                 colWidths=widths)
    t.auto_set_font_size(False)
    t.set_fontsize(fontsize)
    for (r, c), cell in t.get_celld().items():
        cell.set_linewidth(0.4)
        if r == 0:
            cell.set_facecolor("#eef2f8")
            cell.set_text_props(fontweight="bold")
        elif highlight is not None and r - 1 == highlight:
            cell.set_facecolor("#fde2e2")
        elif rows[r - 1][c] == page.OUT:
            cell.get_text().set_color("#8c564b")
    return top - height


def verdict_box(fig, d, opts, y):
    status = d["verdict"]["status"]
    fig.text(LEFT, y, page.verdict_line(d, opts), fontsize=12, fontweight="bold", va="top",
             wrap=True, bbox={"facecolor": VERDICT_COLOURS.get(status, "#fff4d6"),
                              "edgecolor": "#888888", "boxstyle": "round,pad=0.5"})
    return y - 0.05


def discharge_pages(plt, pdf, heading, rep, k, d):
    sub = "Discharge %d of %d, from %s" % (k, len(rep.discharges), rep.rounds[d["first"]]["time"])
    fig = new_page(plt, heading, sub)
    y = verdict_box(fig, d, rep.opts, 0.91)
    note = rep.accelerated_note()
    rows = page.discharge_items(d, rep.rounds, rep.opts, rep.labels,
                                analysis.rated_current(rep.opts))[1:]
    y = items(fig, rows + ([("Note", note)] if note else []), y)
    fig.text(LEFT, y - 0.01, "Blocks ranked by time to end voltage, then end voltage and drop",
             fontsize=9.5, fontweight="bold", va="top")
    head, rows = page.ranking_rows(d, rep.opts)
    table(fig, head, rows, y - 0.035, highlight=0,
          row_h=min(0.0165, (y - 0.08) / (len(rows) + 1)))
    pdf.savefig(fig)
    plt.close(fig)

    view = rep.view_of(d)
    fig = new_page(plt, heading, sub + ": voltages, current and temperature")
    ax = fig.add_axes([LEFT + 0.06, 0.55, WIDTH - 0.06, 0.36])
    plots.draw_blocks(ax, view, d, rep.labels)
    ax.set_title("Every block's voltage", fontsize=10)
    axes = [fig.add_axes([LEFT + 0.06, 0.06 + i * 0.14, WIDTH - 0.06, 0.12]) for i in (2, 1, 0)]
    plots.draw_group(axes, view, d)
    axes[-1].set_xlabel("time since the start of the discharge (h:mm)")
    pdf.savefig(fig)
    plt.close(fig)

    fig = new_page(plt, heading, sub + ": per block")
    ax1 = fig.add_axes([LEFT + 0.03, 0.64, 0.38, 0.27])
    ax2 = fig.add_axes([LEFT + 0.5, 0.64, 0.36, 0.27])
    plots.draw_times(ax1, d, rep.labels, rep.opts)
    plots.draw_resistance(ax2, d, rep.labels, rep.opts.step_amps)
    ax1.set_title("Time to end voltage", fontsize=10)
    ax2.set_title("Internal resistance estimate", fontsize=10)
    fig.text(LEFT, 0.565, "Block voltages at every tenth of the discharge and at its end",
             fontsize=9.5, fontweight="bold", va="top")
    head, rows = page.interval_rows(d, rep.rounds)
    head = [h.replace(" (", "\n(") for h in head]
    table(fig, head, rows, 0.54, fontsize=6.5, row_h=min(0.0165, 0.48 / (len(rows) + 1)))
    pdf.savefig(fig)
    plt.close(fig)


def float_pages(plt, pdf, heading, rep):
    fig = new_page(plt, heading, "Float charge, no discharge in range")
    note = rep.accelerated_note()
    y = items(fig, page.float_items(rep.float, rep.rounds, rep.labels) +
              ([("Note", note)] if note else []), 0.91)
    head, rows = page.float_rows(rep.float)
    table(fig, head, rows, y - 0.02, row_h=min(0.0165, (y - 0.06) / (len(rows) + 1)))
    pdf.savefig(fig)
    plt.close(fig)
    view = rep.whole_view()
    fig = new_page(plt, heading, "Float charge: voltages, current and temperature")
    ax = fig.add_axes([LEFT + 0.06, 0.55, WIDTH - 0.06, 0.36])
    plots.draw_float_blocks(ax, view, rep.labels)
    axes = [fig.add_axes([LEFT + 0.06, 0.06 + i * 0.14, WIDTH - 0.06, 0.12]) for i in (2, 1, 0)]
    plots.draw_group(axes, view, None)
    axes[-1].set_xlabel("time since the first round (h:mm)")
    pdf.savefig(fig)
    plt.close(fig)


def event_pages(plt, pdf, heading, rep):
    zero = rep.discharges[0]["t0"] if rep.discharges else 0.0
    head, rows = page.event_rows(rep.events, zero, rep.seconds_of, rep.first_cell)
    for start in range(0, len(rows), EVENTS_PER_PAGE):
        chunk = rows[start:start + EVENTS_PER_PAGE]
        fig = new_page(plt, heading, "Alarms and port events %d to %d of %d" % (
            start + 1, start + len(chunk), len(rows)))
        table(fig, head, chunk, 0.92, fontsize=7, widths=[0.2, 0.08, 0.13, 0.39, 0.1, 0.1])
        pdf.savefig(fig)
        plt.close(fig)


def write(plt, path, title, intro, reports):
    with PdfPages(path) as pdf:
        for rep in reports:
            heading = "%s: %s" % (title.split(":")[0], rep.title())
            for k, d in enumerate(rep.discharges, 1):
                discharge_pages(plt, pdf, heading, rep, k, d)
            if rep.float:
                float_pages(plt, pdf, heading, rep)
            event_pages(plt, pdf, heading, rep)
        info = pdf.infodict()
        info["Title"] = title
        info["Subject"] = intro
        info["Creator"] = "battery-report"
