"""The HTML page of `check --report`: diagnostics, the samples' values and the float outputs, in one offline file."""
from __future__ import annotations

import base64
import html
import io
from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    from qarv_convert.preflight import Report
    from qarv_convert.preflight.samples import InputContents

from qarv_convert.preflight.samples import THUMBNAIL_SIDE

#: The page loads nothing: the policy refuses any request, so a stray reference shows as a console
#: error instead of a silent fetch; only inline styles and data: images are allowed.
POLICY = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"
BINS = 60

STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 72em; padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; } h2 { border-bottom: 1px solid #ccc; margin-top: 2em; } h3 { margin-top: 1.5em; }
.error { color: #a40000; } .warning { color: #8a5a00; } .ok { color: #1a6e1a; }
ul.diagnostics { padding-left: 1.2em; } ul.diagnostics li { margin: .4em 0; }
pre { background: #f4f4f4; padding: .4em .6em; overflow-x: auto; margin: .2em 0; color: #222; }
table { border-collapse: collapse; margin: .6em 0; } td, th { border: 1px solid #ccc; padding: .2em .6em; text-align: right; }
th { background: #f0f0f0; } figure { margin: .6em 0; } figure svg { max-width: 100%; height: auto; }
.thumbs img { margin-right: .6em; border: 1px solid #ccc; image-rendering: pixelated; }
.thumbs figcaption { font-size: .85em; color: #555; }
"""


def write_page(path: str, reports: Sequence[Report]) -> None:
    """Writes the page for `reports` to `path`. Raises `OSError`."""
    text = page(reports)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def page(reports: Sequence[Report]) -> str:
    """The whole page, one section per configuration."""
    from qarv_convert.source import display_name

    names = ", ".join(display_name(report.path) for report in reports)
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
             f'<meta http-equiv="Content-Security-Policy" content="{POLICY}">',
             f"<title>qarv-convert check: {_e(names)}</title>", f"<style>{STYLE}</style></head><body>",
             f"<h1>qarv-convert check: {_e(names)}</h1>"]
    for report in reports:
        parts += _section(report)
    parts.append("</body></html>\n")
    return "\n".join(parts)


def _e(text: Any) -> str:
    from qarv_convert.text import printable

    return html.escape(printable(str(text)))


def _section(report: Report) -> list[str]:
    from qarv_convert.preflight.diagnostics import excerpt
    from qarv_convert.source import display_name

    name = display_name(report.path)
    counts = []
    if report.errors:
        counts.append(f'<span class="error">{report.errors} error{"s" * (report.errors != 1)}</span>')
    if report.warnings:
        counts.append(f'<span class="warning">{report.warnings} warning{"s" * (report.warnings != 1)}</span>')
    out = [f"<section><h2>{_e(name)}</h2>", f"<p>{', '.join(counts) or '<span class=ok>ok</span>'}</p>"]
    if report.diagnostics:
        lines = report.text.split("\n")
        out.append('<ul class="diagnostics">')
        for diagnostic in report.ordered():
            place = f"{name}:{diagnostic.line}:{diagnostic.column}" if diagnostic.line else name
            severity = diagnostic.severity.value
            quoted = ""
            if diagnostic.line and diagnostic.line <= len(lines):
                quoted = "<pre>" + _e("\n".join(excerpt(lines[diagnostic.line - 1], diagnostic.line,
                                                        diagnostic.column or 1, diagnostic.carets))) + "</pre>"
            key = f" <code>{_e(diagnostic.key)}</code>" if diagnostic.key else ""
            out.append(f'<li><span class="{severity}">{severity}</span>{key} at {_e(place)}: '
                       f"{_e(diagnostic.message)}{quoted}</li>")
        out.append("</ul>")
    out += [f"<p>{_e(note)}</p>" for note in report.notes]
    if (ran := report.run_line()) is not None:
        out.append(f"<p>{_e(ran)}</p>")
    contents = report.contents
    if contents is not None:
        out.append(f"<p>{contents.read} of the {contents.total} samples of the dataset read "
                   f"({contents.selected} chosen, spread over the list), {contents.distinct} distinct.</p>")
        for state in contents.inputs:
            out += _input(state)
    run = report.run
    if run is not None and run.values:
        out.append("<h3>Float outputs</h3>")
        for output, values in run.values.items():
            out.append(f"<h4>output <code>{_e(output)}</code> over {len(values)} samples</h4>")
            out.append(_figure([(f"values of {output}", values)]))
    out.append("</section>")
    return out


def _input(state: InputContents) -> list[str]:
    layout = state.layout
    shape = "[" + ", ".join(map(str, layout.shape)) + "]" if layout.shape is not None else "size unknown"
    out = [f"<h3>input <code>{_e(layout.name)}</code> {_e(shape)}</h3>"]
    if not state.read:
        out.append("<p>No sample of this input could be read.</p>")
        return out
    out.append(f"<p>{state.read} samples read; values from {state.low:.6g} to {state.high:.6g}"
               f"{', all whole numbers' if state.integral else ''}.</p>")
    panels = [("as stored", state.values)]
    if state.normalized:
        normalized = layout.mean is not None or layout.std is not None
        panels.append(("as fed to the model" + (" (normalized)" if normalized else ""), state.normalized))
    out.append(_figure(panels))
    means, deviations = state.channel_means(), state.channel_deviations()
    if means:
        out.append("<table><tr><th>channel</th><th>mean of the data</th><th><code>mean_values</code></th>"
                   "<th>deviation of the data</th><th><code>std_values</code></th></tr>")
        for channel, (mean, deviation) in enumerate(zip(means, deviations)):
            configured_mean = f"{layout.mean[channel]:.6g}" if layout.mean is not None else "–"
            configured_std = f"{layout.std[channel]:.6g}" if layout.std is not None else "–"
            out.append(f"<tr><td>{channel}</td><td>{mean:.6g}</td><td>{configured_mean}</td>"
                       f"<td>{deviation:.6g}</td><td>{configured_std}</td></tr>")
        out.append("</table>")
    if state.thumbnails:
        out.append('<div class="thumbs">')
        for place, pixels in state.thumbnails:
            # Shown with the longer side at the thumbnail size: small inputs are enlarged, pixel for pixel.
            scale = THUMBNAIL_SIDE / max(pixels.shape[0], pixels.shape[1])
            out.append(f'<figure style="display:inline-block"><img alt="{_e(place.path)}" '
                       f'src="data:image/png;base64,{_png(pixels)}" width="{round(pixels.shape[1] * scale)}" '
                       f'height="{round(pixels.shape[0] * scale)}"><figcaption>{_e(place.path)} (line {place.line})'
                       f'</figcaption></figure>')
        out.append("</div>")
    return out


def _figure(panels: list[tuple[str, list[Any]]]) -> str:
    """Histograms side by side, one per (title, arrays) panel, as inline SVG."""
    import numpy as np
    from matplotlib.figure import Figure

    figure = Figure(figsize=(4.2 * len(panels), 2.6), layout="constrained")
    for axes, (title, arrays) in zip(np.atleast_1d(figure.subplots(1, len(panels))), panels):
        values = np.concatenate([np.asarray(a, dtype=np.float64).reshape(-1) for a in arrays]) if arrays else np.zeros(0)
        values = values[np.isfinite(values)]
        axes.hist(values, bins=BINS, color="#3a6ea5")
        axes.set_title(title, fontsize=10)
        axes.set_xlabel("value", fontsize=9)
        axes.set_ylabel("count", fontsize=9)
        axes.tick_params(labelsize=8)
    buffer = io.StringIO()
    figure.savefig(buffer, format="svg", metadata={"Date": None})
    svg = buffer.getvalue()
    return f"<figure>{svg[svg.index('<svg'):]}</figure>"


def _png(pixels: Any) -> str:
    from PIL import Image

    image = Image.fromarray(pixels[:, :, 0] if pixels.shape[2] == 1 else pixels)
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return base64.b64encode(buffer.getvalue()).decode("ascii")
