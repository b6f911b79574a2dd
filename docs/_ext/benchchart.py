"""The ``benchmark-ratios`` directive: the ratios of one or more runs of
``tools/bench --json FILE`` as bar charts (inline SVG) and as a table.

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


def setup(app):
    app.add_directive("benchmark-ratios", BenchmarkRatios)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
