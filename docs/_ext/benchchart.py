"""The ``benchmark-ratios`` directive: the ratios of one or more runs of
``tools/bench --json FILE`` as bar charts (inline SVG) and as a table; and
the ``scale-chart`` directive: one run of ``benchmarks/scale.py --json FILE``
as a chart per row and a table of ratios per size.

    .. benchmark-ratios:: benchmarks/bench-3.14.json benchmarks/bench-3.15.json

Paths are relative to the documentation's source folder.  Each run is one
series, labelled with the Python version it ran on; rows are the operations
of the first run, in its order.
"""
import json
from html import escape
from pathlib import Path

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

COLOURS = ("#1f5f8b", "#e08a1e", "#4f8f3a", "#8b1f5f")
ROW, BAR_AREA, LABEL, PAD = 20, 420, 250, 8


def load(path):
    data = json.loads(Path(path).read_text())
    rows = {r["operation"]: r for r in data["table"] if "skipped" not in r}
    return data["python"], rows


def bar_chart(title, key, runs, operations, reference=None):
    """An SVG of horizontal bars: one group per operation, one bar per run."""
    values = [[rows.get(op, {}).get(key) for _, rows in runs] for op in operations]
    top = max(v for group in values for v in group if v is not None)
    scale = BAR_AREA / top
    per = (ROW - 4) / len(runs)
    height = PAD * 2 + 30 + ROW * len(operations) + 20
    width = LABEL + BAR_AREA + 60
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="11" role="img" aria-label="{escape(title)}">',
           f'<text x="{PAD}" y="{PAD + 12}" font-size="13" font-weight="bold">{escape(title)}</text>']
    for i, (version, _) in enumerate(runs):
        x = LABEL + i * 90
        out.append(f'<rect x="{x}" y="{PAD + 18}" width="10" height="10" fill="{COLOURS[i % len(COLOURS)]}"/>'
                   f'<text x="{x + 14}" y="{PAD + 27}">CPython {escape(version)}</text>')
    y0 = PAD + 36
    for row, (op, group) in enumerate(zip(operations, values)):
        y = y0 + row * ROW
        out.append(f'<text x="{LABEL - 6}" y="{y + ROW / 2 + 3}" text-anchor="end">{escape(op)}</text>')
        for i, v in enumerate(group):
            if v is None:
                continue
            out.append(f'<rect x="{LABEL}" y="{y + 2 + i * per:.1f}" width="{v * scale:.1f}" height="{per - 1:.1f}" '
                       f'fill="{COLOURS[i % len(COLOURS)]}"><title>{escape(op)}, {escape(runs[i][0])}: '
                       f'{v:.2f}</title></rect>')
            out.append(f'<text x="{LABEL + v * scale + 3:.1f}" y="{y + 2 + (i + 1) * per - 2:.1f}" '
                       f'font-size="9">{v:.2f}</text>')
    bottom = y0 + ROW * len(operations)
    if reference is not None:
        x = LABEL + reference * scale
        out.append(f'<line x1="{x:.1f}" y1="{y0}" x2="{x:.1f}" y2="{bottom}" stroke="#888" stroke-dasharray="4 3"/>'
                   f'<text x="{x + 3:.1f}" y="{bottom + 12}" fill="#555">{reference:g}</text>')
    out.append("</svg>")
    return "".join(out)


def table(runs, operations):
    versions = [v for v, _ in runs]
    head = ["operation"] + [f"native / builtin, {v}" for v in versions] + [f"Python / native, {v}" for v in versions]
    body = []
    for op in operations:
        cells = [op]
        for key, fmt in (("native_over_builtin", "{:.2f}"), ("python_over_native", "{:.1f}")):
            for _, rows in runs:
                v = rows.get(op, {}).get(key)
                cells.append(fmt.format(v) if v is not None else "")
        body.append(cells)
    tbl = nodes.table(classes=["benchmark-ratios"])
    group = nodes.tgroup(cols=len(head))
    tbl += group
    group.extend(nodes.colspec(colwidth=w) for w in [30] + [10] * (len(head) - 1))
    for part, lines in ((nodes.thead(), [head]), (nodes.tbody(), body)):
        for cells in lines:
            row = nodes.row()
            for text in cells:
                row += nodes.entry("", nodes.paragraph(text=text))
            part += row
        group += part
    return tbl


class BenchmarkRatios(SphinxDirective):
    required_arguments = 1
    optional_arguments = 3

    def run(self):
        paths = [Path(self.env.srcdir) / a for a in self.arguments]
        for p in paths:
            self.env.note_dependency(str(p))
        runs = [load(p) for p in paths]
        operations = [op for op in runs[0][1]]
        charts = (bar_chart("native / builtin (lower is faster; 1 = as fast as the builtin)", "native_over_builtin",
                            runs, [op for op in operations if runs[0][1][op]["native_over_builtin"] is not None], 1.0)
                  + bar_chart("Python / native (how many times faster than the pure-Python classes)",
                              "python_over_native", runs, operations, 1.0))
        return [nodes.raw("", f'<div class="benchmark-charts">{charts}</div>', format="html"), table(runs, operations)]


# ------------------------------------------------------------ scale charts
# ``.. scale-chart:: FILE`` draws the rows of one run of
# ``benchmarks/scale.py --json FILE``: ns per element against the size, both
# on log scales, for the native module, the pure-Python classes and the floor,
# then a table of native / floor at each size.

SIDES = (("native", "native"), ("python", "pure Python"), ("floor", "floor"))
PLOT_W, PLOT_H, MARGIN, TOP = 300, 170, 44, 36


def per_element(cell, side):
    v = cell.get(side)
    return v * 1e9 / cell["n"] if v else None


def line_chart(name, cells):
    """An SVG of ns per element against n, log-log, one line per side."""
    import math
    points = [(c["n"], per_element(c, s)) for c in cells for s, _ in SIDES if per_element(c, s)]
    xs = [math.log10(n) for n, _ in points]
    ys = [math.log10(v) for _, v in points]
    x0, x1 = min(xs), max(xs) if max(xs) > min(xs) else min(xs) + 1
    y0, y1 = math.floor(min(ys)), math.ceil(max(ys))
    if y1 == y0:
        y1 += 1

    def at(n, v):
        return (MARGIN + (math.log10(n) - x0) / (x1 - x0) * PLOT_W,
                TOP + (y1 - math.log10(v)) / (y1 - y0) * PLOT_H)

    width, height = MARGIN + PLOT_W + 16, TOP + PLOT_H + 34
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
           f'font-size="10" role="img" aria-label="{escape(name)}">',
           f'<text x="{MARGIN}" y="14" font-size="12" font-weight="bold">{escape(name)}</text>']
    for decade in range(y0, y1 + 1):
        _, y = at(10 ** x0, 10 ** decade)
        out.append(f'<line x1="{MARGIN}" y1="{y:.1f}" x2="{MARGIN + PLOT_W}" y2="{y:.1f}" stroke="#ddd"/>'
                   f'<text x="{MARGIN - 4}" y="{y + 3:.1f}" text-anchor="end">{10 ** decade:g}</text>')
    for c in cells:
        x, _ = at(c["n"], 10 ** y0)
        out.append(f'<text x="{x:.1f}" y="{TOP + PLOT_H + 12}" text-anchor="middle">{c["n"]:.0e}</text>'.replace(
            "e+0", "e"))
    out.append(f'<text x="{MARGIN + PLOT_W / 2}" y="{TOP + PLOT_H + 26}" text-anchor="middle">elements '
               f'(ns per element, log scales)</text>')
    for i, (side, label) in enumerate(SIDES):
        colour = COLOURS[i % len(COLOURS)]
        line = [at(c["n"], per_element(c, side)) for c in cells if per_element(c, side)]
        if not line:
            continue
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2" points="'
                   + " ".join(f"{x:.1f},{y:.1f}" for x, y in line) + '"/>')
        out.append(f'<text x="{MARGIN + i * 80}" y="{TOP - 8}" fill="{colour}">{escape(label)}</text>')
    out.append("</svg>")
    return "".join(out)


def scale_table(rows):
    sizes = sorted({c["n"] for cells in rows.values() for c in cells})
    head = ["operation"] + [f"{n:,}" for n in sizes]
    tbl = nodes.table(classes=["scale-ratios"])
    group = nodes.tgroup(cols=len(head))
    tbl += group
    group.extend(nodes.colspec(colwidth=w) for w in [30] + [8] * len(sizes))
    thead, tbody = nodes.thead(), nodes.tbody()
    for part, lines in ((thead, [head]), (tbody, [])):
        for cells in lines:
            row = nodes.row()
            for text in cells:
                row += nodes.entry("", nodes.paragraph(text=text))
            part += row
    for name, cells in rows.items():
        by_n = {c["n"]: c for c in cells}
        row = nodes.row()
        row += nodes.entry("", nodes.paragraph(text=name))
        for n in sizes:
            c = by_n.get(n)
            nat, floor = (per_element(c, "native"), per_element(c, "floor")) if c else (None, None)
            row += nodes.entry("", nodes.paragraph(text=f"{nat / floor:.2f}" if nat and floor else ""))
        tbody += row
    group += thead
    group += tbody
    return tbl


class ScaleChart(SphinxDirective):
    required_arguments = 1

    def run(self):
        path = Path(self.env.srcdir) / self.arguments[0]
        self.env.note_dependency(str(path))
        data = json.loads(path.read_text())
        rows = {name: cells for name, cells in data["rows"].items() if cells}
        charts = "".join(line_chart(name, cells) for name, cells in rows.items())
        caption = nodes.paragraph(text=f"CPython {data['python']}: native / floor, per size")
        return [nodes.raw("", f'<div class="scale-charts">{charts}</div>', format="html"), caption,
                scale_table(rows)]


def setup(app):
    app.add_directive("benchmark-ratios", BenchmarkRatios)
    app.add_directive("scale-chart", ScaleChart)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
