"""Reports of the command line: table, JSON, JSON Lines and a self-contained HTML page.

Every writer reads the result's NumPy columns a chunk of rows at a time and writes as it goes,
so a report never holds a second copy of the results as Python objects.
"""

import html
import json
from dataclasses import dataclass
from json.encoder import encode_basestring

from quarnel._version import __version__

TEXT_WIDTH = 60
SHOWN_PLACES = 8  # per phrase in the duplicates table
CHUNK_ROWS = 1 << 15  # occurrence rows converted to Python at a time
HTML_CARDS = 6  # occurrences shown in context per passage; the others are listed
HTML_LISTED = 100  # places listed after the cards; JSON has them all
HTML_GROUPS = 10_000  # longest groups on the page; beyond that a page is too big to browse
HTML_CONTEXT = 160  # characters of context on each side
HTML_MARK_LIMIT = 1200  # longer occurrences show their two ends around a gap
HTML_MARK_END = 500

OCCURRENCE_COLUMNS = ("document", "start", "end", "line", "column", "end_line", "end_column")
OCCURRENCE_JSON = ('{"file":%s,"document":%d,"start":%d,"end":%d,"line":%d,"column":%d,'
                   '"end_line":%d,"end_column":%d}')


@dataclass
class Report:
    command: str  # "passages" or "duplicates"
    matches: object  # quarnel.corpus.Matches
    names: list
    texts: list
    skipped: list
    failed: list

    @property
    def kind(self):
        return "passage" if self.command == "passages" else "phrase"

    @property
    def groups_key(self):
        return "passages" if self.command == "passages" else "phrases"

    def totals(self):
        words = int(self.matches.document_words.sum())
        duplicated = int(self.matches.covered_words.sum())
        return words, duplicated, share(duplicated, words)

    def files(self):
        """(name, characters, words, duplicated words, share) per analysed file."""
        m = self.matches
        for name, chars, words, duplicated in zip(self.names, m.document_chars.tolist(),
                                                   m.document_words.tolist(),
                                                   m.covered_words.tolist()):
            yield name, chars, words, duplicated, share(duplicated, words)


def plural(count, word):
    return f"{count:,} {word}" if count == 1 else f"{count:,} {word}s"


def share(part, whole):
    return 100.0 * part / whole if whole else 0.0


def chunk_bounds(first):
    """(first group, end group, first row, end row) of runs of groups with at most about
    CHUNK_ROWS occurrence rows together (one group may exceed it)."""
    g, groups = 0, len(first) - 1
    while g < groups:
        end = g + 1
        while end < groups and first[end + 1] - first[g] <= CHUNK_ROWS:
            end += 1
        yield g, end, first[g], first[end]
        g = end


def chunks(m, keys):
    """Yields (first group, end group, first row, rows) with rows the occurrence columns `keys`
    of those groups as Python lists."""
    for g0, g1, lo, hi in chunk_bounds(m.first.tolist()):
        yield g0, g1, lo, [getattr(m, key)[lo:hi].tolist() for key in keys]


def each_group(m, progress=None, keys=OCCURRENCE_COLUMNS):
    """Yields (group, offset of its rows inside the chunk, end of its rows, rows of the chunk)."""
    first = m.first.tolist()
    total = len(m)
    for g0, g1, lo, rows in chunks(m, keys):
        if progress is not None:
            progress.set(f"writing {g0:,}/{total:,} groups")
        for g in range(g0, g1):
            yield g, first[g] - lo, first[g + 1] - lo, rows


def flat_groups(m, names, keys, progress=None):
    """Yields (group, its occurrence count, words, characters, its fields): per occurrence the
    name of its document, then the columns `keys`, all in one flat list, so that a caller
    formats a whole group with a single %-format call instead of one call per occurrence."""
    import numpy as np

    names = np.array(list(names) + [""], dtype=object)
    width = 1 + len(keys)
    first = m.first.tolist()
    total = len(m)
    for g0, g1, lo, hi in chunk_bounds(first):
        if progress is not None:
            progress.set(f"writing {g0:,}/{total:,} groups")
        fields = np.empty((hi - lo, width), dtype=object)
        fields[:, 0] = names[m.document[lo:hi]]
        for j, key in enumerate(keys, 1):
            fields[:, j] = getattr(m, key)[lo:hi]
        values = fields.ravel().tolist()
        del fields
        words, chars = m.words[g0:g1].tolist(), m.chars[g0:g1].tolist()
        for g in range(g0, g1):
            yield (g, first[g + 1] - first[g], words[g - g0], chars[g - g0],
                   values[(first[g] - lo) * width:(first[g + 1] - lo) * width])


def flat(text, width=TEXT_WIDTH):
    text = " ".join(text[: width * 8].split())
    return text if len(text) <= width else text[: width - 1] + "\u2026"


# ------------------------------------------------------------------------------------------
# Table
# ------------------------------------------------------------------------------------------

PLACE_ROW = " " * 16 + "%s:%d:%d-%d:%d\n"


def place(name, line, column, end_line=None, end_column=None):
    if end_line is None:
        return f"{name}:{line}:{column}"
    return f"{name}:{line}:{column}-{end_line}:{end_column}"


def write_table(report, out, progress):
    m = report.matches
    names = report.names
    if not len(m):
        out.write(f"no repeated {report.groups_key}\n")
    elif report.command == "passages":
        out.write(f"{'words':>7}  {'count':>5}  passage, then every place "
                  f"(file:line:column-line:column)\n")
        keys = ("line", "column", "end_line", "end_column")
        for g, count, words, _, values in flat_groups(m, names, keys, progress):
            head = f"{words:>7}  {count:>5}  {flat(m.texts[g])}\n".replace("%", "%%")
            out.write((head + PLACE_ROW * count) % tuple(values))
    else:
        out.write(f"{'chars':>7}  {'count':>5}  {'words':>5}  {'phrase':<{TEXT_WIDTH}}  "
                  f"places (file:line:column)\n")
        keys = ("document", "line", "column")
        for g, lo, hi, (doc, line, col) in each_group(m, progress, keys):
            shown = range(lo, min(hi, lo + SHOWN_PLACES))
            where = ", ".join(place(names[doc[r]], line[r], col[r]) for r in shown)
            if hi - lo > len(shown):
                where += f", +{hi - lo - len(shown)} more"
            out.write(f"{int(m.chars[g]):>7}  {hi - lo:>5}  {int(m.words[g]):>5}  "
                      f"{flat(m.texts[g]):<{TEXT_WIDTH}}  {where}\n")
    write_table_summary(report, out)


def write_table_summary(report, out):
    words, duplicated, overall = report.totals()
    files = len(report.names)
    line = (f"\n{files} file{'' if files == 1 else 's'}, {words} words, {duplicated} duplicated "
            f"words ({overall:.1f} %)")
    if report.skipped:
        line += f"; {len(report.skipped)} skipped (binary or not UTF-8)"
    if report.failed:
        line += f"; {len(report.failed)} unreadable"
    out.write(line + "\n")
    if report.names:
        out.write(f"{'share':>7}  {'duplicated':>10}  {'words':>10}  file\n")
        out.write("".join(f"{s:>5.1f} %  {d:>10}  {w:>10}  {name}\n"
                          for name, _, w, d, s in report.files()))


# ------------------------------------------------------------------------------------------
# JSON and JSON Lines
# ------------------------------------------------------------------------------------------

def dumps(value):
    return json.dumps(value, ensure_ascii=False)


def json_string(text):
    return "null" if text is None else encode_basestring(text)


def file_records(report):
    for name, chars, words, duplicated, s in report.files():
        yield {"file": name, "characters": chars, "words": words, "duplicated_words": duplicated,
               "duplicated_share": round(s, 4)}


def summary_record(report):
    words, duplicated, overall = report.totals()
    return {"files": len(report.names), "words": words, "duplicated_words": duplicated,
            "duplicated_share": round(overall, 4), "skipped": len(report.skipped),
            "unreadable": len(report.failed)}


def group_json(report, progress, prefix=""):
    """JSON text of each group."""
    m = report.matches
    head = f'{{{prefix}"text":%s,"count":%d,"words":%d,"chars":%d,"occurrences":['
    names = (json_string(name) for name in report.names)
    texts = m.texts
    for g, count, words, chars, values in flat_groups(m, names, OCCURRENCE_COLUMNS, progress):
        template = head + ",".join([OCCURRENCE_JSON] * count) + "]}"
        yield template % (json_string(texts[g]), count, words, chars, *values)


def write_json(report, out, progress):
    head = {"command": report.command, "version": __version__,
            "summary": summary_record(report), "files": list(file_records(report)),
            "skipped": [{"file": n, "reason": r} for n, r in report.skipped],
            "unreadable": [{"file": n, "reason": r} for n, r in report.failed]}
    out.write(dumps(head)[:-1] + f',"{report.groups_key}":[')
    separator = "\n"
    for text in group_json(report, progress):
        out.write(separator + text)
        separator = ",\n"
    out.write("\n]}\n")


def write_jsonl(report, out, progress):
    lines = [{"type": "summary", "command": report.command, "version": __version__,
              **summary_record(report)}]
    lines += [{"type": "file", **record} for record in file_records(report)]
    lines += [{"type": "skipped", "file": n, "reason": r} for n, r in report.skipped]
    lines += [{"type": "unreadable", "file": n, "reason": r} for n, r in report.failed]
    out.write("".join(dumps(line) + "\n" for line in lines))
    for text in group_json(report, progress, prefix=f'"type":"{report.kind}",'):
        out.write(text + "\n")


# ------------------------------------------------------------------------------------------
# HTML
# ------------------------------------------------------------------------------------------

STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fff}
h1{font-size:1.4em}table.files{border-collapse:collapse}
table.files td{padding:1px 8px;white-space:nowrap}
.bar{background:#eee;width:20em;height:.9em}.bar div{background:#d9534f;height:100%}
details{border-top:1px solid #ddd;padding:.3em 0}summary{cursor:pointer}
.meta{color:#666}.cards{display:flex;gap:.8em;overflow-x:auto;margin:.5em 0}
.card{flex:0 0 32em;max-width:32em;border:1px solid #ccc;border-radius:4px}
.card h3{font-size:.9em;margin:0;padding:.2em .5em;background:#f3f3f3}
pre{white-space:pre-wrap;word-break:break-word;margin:0;padding:.5em;font-size:12px}
mark{background:#ffe066}.gap{color:#999;font-style:italic}
ul.more{columns:3;font-size:.9em;color:#444}
"""


def esc(text):
    return html.escape(text, quote=True)


def highlighted(text, start, end):
    """Context around text[start:end] with the occurrence marked; a long one shows its ends."""
    before = text[max(0, start - HTML_CONTEXT):start]
    after = text[end:end + HTML_CONTEXT]
    if end - start <= HTML_MARK_LIMIT:
        marked = f"<mark>{esc(text[start:end])}</mark>"
    else:
        hidden = end - start - 2 * HTML_MARK_END
        marked = (f"<mark>{esc(text[start:start + HTML_MARK_END])}</mark>"
                  f"<span class=\"gap\">[\u2026 {hidden:,} characters \u2026]</span>"
                  f"<mark>{esc(text[end - HTML_MARK_END:end])}</mark>")
    return f"{esc(before)}{marked}{esc(after)}"


def html_files(report):
    rows = []
    for name, _, words, duplicated, s in report.files():
        rows.append(f"<tr><td>{esc(name)}</td><td><div class=\"bar\"><div style=\"width:"
                    f"{s:.2f}%\"></div></div></td><td>{s:.1f} %</td>"
                    f"<td>{duplicated:,} / {words:,} words</td></tr>")
    return "<table class=\"files\">" + "".join(rows) + "</table>"


def html_group(report, g, lo, hi, rows):
    m = report.matches
    doc, start, end, line, col, eline, ecol = rows
    names, texts = report.names, report.texts
    cards = []
    for r in range(lo, min(hi, lo + HTML_CARDS)):
        where = place(names[doc[r]], line[r], col[r], eline[r], ecol[r])
        cards.append(f"<div class=\"card\"><h3>{esc(where)}</h3><pre class=\"occurrence\" "
                     f"data-document=\"{doc[r]}\" data-start=\"{start[r]}\" data-end=\"{end[r]}\">"
                     f"{highlighted(texts[doc[r]], start[r], end[r])}</pre></div>")
    more = ""
    if hi - lo > HTML_CARDS:
        listed = range(lo + HTML_CARDS, min(hi, lo + HTML_CARDS + HTML_LISTED))
        items = "".join(f"<li>{esc(place(names[doc[r]], line[r], col[r], eline[r], ecol[r]))}</li>"
                        for r in listed)
        rest = hi - listed.stop
        if rest:
            items += f"<li>\u2026 and {rest:,} more (all are in --format json)</li>"
        more = f"<p>{hi - lo - HTML_CARDS:,} more places:</p><ul class=\"more\">{items}</ul>"
    return (f"<details class=\"group\" id=\"g{g}\"><summary><b>{int(m.words[g]):,} words</b>, "
            f"{hi - lo:,} places <span class=\"meta\">{esc(flat(m.texts[g], 100))}</span>"
            f"</summary><div class=\"cards\">{''.join(cards)}</div>{more}</details>\n")


def write_html(report, out, progress):
    words, duplicated, overall = report.totals()
    title = f"quarnel {report.command}"
    notes = ""
    if report.skipped or report.failed:
        items = [f"<li>skipped {esc(n)}: {esc(r)}</li>" for n, r in report.skipped]
        items += [f"<li>could not read {esc(n)}: {esc(r)}</li>" for n, r in report.failed]
        notes = f"<ul class=\"notes\">{''.join(items)}</ul>"
    out.write(
        f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<meta name=\"viewport\" content=\"width=device-width\"><title>{title}</title>"
        f"<style>{STYLE}</style></head><body>\n<h1>{title}</h1>\n"
        f"<p class=\"summary\">{plural(len(report.names), 'file')}, {plural(words, 'word')}, "
        f"{duplicated:,} duplicated ({overall:.1f} %), "
        f"{plural(len(report.matches), report.kind)}.</p>"
        f"\n{notes}{html_files(report)}\n<h2>{report.groups_key.capitalize()}, "
        f"longest first</h2>\n")
    for g, lo, hi, rows in each_group(report.matches, progress):
        if g == HTML_GROUPS:
            out.write(f"<p class=\"cut\">The {HTML_GROUPS:,} longest of {len(report.matches):,} "
                      f"{report.groups_key} are shown; --format json lists them all.</p>\n")
            break
        out.write(html_group(report, g, lo, hi, rows))
    out.write(f"<p class=\"meta\">quarnel {__version__}</p></body></html>\n")


WRITERS = {"table": write_table, "json": write_json, "jsonl": write_jsonl, "html": write_html}
