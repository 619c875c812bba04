"""Reports of the command line: table, JSON, JSON Lines, a self-contained HTML page, CSV and
SARIF.

The rows of the groups are formatted natively from the result's NumPy columns, about a megabyte
at a time, and written as UTF-8 bytes as they come, so a report never holds a second copy of
the results as Python objects. The summaries around them are formatted here.
"""

from dataclasses import dataclass

from quarnel._version import __version__

HTML_GROUPS = 10_000  # longest groups on the page; beyond that a page is too big to browse


FILE_ROWS = 50  # files in the table's per-file summary, highest share first, unless --top


@dataclass
class Report:
    command: str  # "passages" or "duplicates"
    matches: object  # quarnel.corpus.Matches: the groups shown, selected from all found
    names: list
    texts: list
    skipped: list  # quarnel._inputs.Skip
    failed: list
    top: int = 0  # the limits the groups shown were selected by (0: none)
    max_places: int = 0
    summary_only: bool = False
    min_count: int = 2

    @property
    def kind(self):
        return "passage" if self.command == "passages" else "phrase"

    @property
    def groups_key(self):
        return "passages" if self.command == "passages" else "phrases"

    @property
    def shown(self):
        return None if self.summary_only else self.matches

    def left_out(self):
        """What the limits left out, in words, or '' when every group and place is shown."""
        m = self.matches
        groups, places = (0, 0) if self.summary_only else (len(m), len(m.start))
        if (groups, places) == (m.found_groups, m.found_places):
            return ""
        if self.summary_only:
            return f"--summary: none of the {plural(m.found_groups, self.kind)} is listed"
        parts = [f"{groups:,} of {m.found_groups:,} {self.groups_key}"]
        if groups < m.found_groups:
            why = [f"--min-count {self.min_count}"] if self.min_count > 2 else []
            why += [f"--top {self.top}"] if self.top and groups == self.top else []
            parts[0] += f" ({', '.join(why)})" if why else ""
        parts.append(f"{places:,} of {m.found_places:,} places")
        if self.max_places and places < int(m.counts.sum()):
            parts[1] += f" (at most {self.max_places:,} each: --max-places)"
        return f"listed: {', '.join(parts)}; --top 0 --max-places 0 lists all"

    def skipped_counts(self):
        from quarnel._inputs import skipped_by_kind

        return {kind: len(skips) for kind, skips in skipped_by_kind(self.skipped)}

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


def write_bytes(out, data):
    """UTF-8 bytes after the text written so far; a stream without a byte buffer gets text."""
    buffer = getattr(out, "buffer", None)
    if buffer is None:
        out.write(data.decode("utf-8", "surrogateescape"))
    else:
        out.flush()
        buffer.write(data)


def written_names(names, style):
    """The file names as `style` writes them, in UTF-8; a name read with surrogate escapes
    keeps the bytes it stood for."""
    if style in ("json", "jsonl"):
        from json.encoder import encode_basestring

        forms = ("null" if name is None else encode_basestring(name) for name in names)
    elif style == "html":
        forms = (esc(str(name)) for name in names)
    elif style == "csv":
        forms = (csv_field(str(name)) for name in names)
    elif style == "sarif":
        from json.encoder import encode_basestring

        forms = (encode_basestring(uri(str(name))) for name in names)
    else:
        forms = (str(name) for name in names)
    return tuple(form.encode("utf-8", "surrogateescape") for form in forms)


def write_groups(report, out, progress, style, groups=None, prefix=""):
    """The rows of the first `groups` groups (all by default) in `style`: json, jsonl, html,
    passages or phrases (the tables), formatted natively a megabyte or two at a time. Tuples:
    the native writer reads them without the interpreter lock."""
    from quarnel import _corpus

    m = report.shown
    if m is None:
        return
    columns = (m.first, m.words, m.chars, m.document, m.start, m.end, m.line, m.column,
               m.end_line, m.end_column, m.counts)
    names = written_names(report.names, style)
    documents = tuple(report.texts) if style == "html" else None
    texts = tuple(m.texts)
    total = len(m)
    g, end = 0, total if groups is None else min(groups, total)
    first = True
    while g < end:
        progress.set(f"writing {g:,}/{total:,} groups")
        data, g = _corpus._format_groups(style, columns, names, texts, documents, g, end, prefix)
        if style == "sarif" and first and data:
            data, first = data[1:], False  # each result comes after a comma
        write_bytes(out, data)
        del data  # before the next chunk is made


def csv_field(text):
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def uri(name):
    """A file name as a URI reference: a relative one stays relative."""
    from urllib.parse import quote

    path = quote(name.encode("utf-8", "surrogateescape"))
    return "file://" + path if name.startswith("/") else path


# ------------------------------------------------------------------------------------------
# Table
# ------------------------------------------------------------------------------------------

def write_table(report, out, progress):
    m = report.matches
    if report.summary_only:
        pass
    elif not m.found_groups:
        out.write(f"no repeated {report.groups_key}\n")
    elif report.command == "passages":
        out.write(f"{'words':>7}  {'count':>5}  passage, then every place "
                  f"(file:line:column-line:column)\n")
        write_groups(report, out, progress, "passages")
    else:
        out.write(f"{'chars':>7}  {'count':>5}  {'words':>5}  {'phrase':<60}  "
                  f"places (file:line:column)\n")
        write_groups(report, out, progress, "phrases")
    write_table_summary(report, out)


def write_table_summary(report, out):
    from quarnel._inputs import KINDS

    words, duplicated, overall = report.totals()
    files = len(report.names)
    line = (f"\n{files} file{'' if files == 1 else 's'}, {words} words, {duplicated} duplicated "
            f"words ({overall:.1f} %), {plural(report.matches.found_groups, report.kind)}")
    counts = report.skipped_counts()
    if counts:
        line += "; skipped: " + ", ".join(f"{n:,} {KINDS[kind][1]}" for kind, n in counts.items())
    if report.failed:
        line += f"; {len(report.failed)} unreadable"
    out.write(line + "\n")
    left_out = report.left_out()
    if left_out:
        out.write(left_out + "\n")
    if report.names:
        rows = sorted(report.files(), key=lambda f: -f[4])
        shown = rows if not report.top else rows[:max(report.top, FILE_ROWS)]
        out.write(f"{'share':>7}  {'duplicated':>10}  {'words':>10}  file (highest share "
                  f"first)\n")
        out.write("".join(f"{s:>5.1f} %  {d:>10}  {w:>10}  {name}\n"
                          for name, _, w, d, s in shown))
        if len(shown) < len(rows):
            out.write(f"{'':>7}  and {len(rows) - len(shown):,} more files; --format json "
                      f"lists them all\n")


# ------------------------------------------------------------------------------------------
# JSON and JSON Lines
# ------------------------------------------------------------------------------------------

def dumps(value):
    import json

    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))  # as the native rows


def file_records(report):
    for name, chars, words, duplicated, s in report.files():
        yield {"file": name, "characters": chars, "words": words, "duplicated_words": duplicated,
               "duplicated_share": round(s, 4)}


def summary_record(report):
    words, duplicated, overall = report.totals()
    m, shown = report.matches, report.shown
    return {"files": len(report.names), "words": words, "duplicated_words": duplicated,
            "duplicated_share": round(overall, 4), report.groups_key: m.found_groups,
            "places": m.found_places, f"shown_{report.groups_key}": len(shown or ()),
            "shown_places": 0 if shown is None else len(shown.start),
            "skipped": len(report.skipped), "skipped_by_kind": report.skipped_counts(),
            "unreadable": len(report.failed)}


def skipped_records(report):
    return [{"file": s.name, "kind": s.kind, "reason": s.reason} for s in report.skipped]


def write_json(report, out, progress):
    head = {"command": report.command, "version": __version__,
            "summary": summary_record(report), "files": list(file_records(report)),
            "skipped": skipped_records(report),
            "unreadable": [{"file": n, "reason": r} for n, r in report.failed]}
    out.write(dumps(head)[:-1] + f',"{report.groups_key}":[')
    write_groups(report, out, progress, "json")
    out.write("\n]}\n")


def write_jsonl(report, out, progress):
    lines = [{"type": "summary", "command": report.command, "version": __version__,
              **summary_record(report)}]
    lines += [{"type": "file", **record} for record in file_records(report)]
    lines += [{"type": "skipped", **record} for record in skipped_records(report)]
    lines += [{"type": "unreadable", "file": n, "reason": r} for n, r in report.failed]
    out.write("".join(dumps(line) + "\n" for line in lines))
    write_groups(report, out, progress, "jsonl", prefix=f'"type":"{report.kind}",')


# ------------------------------------------------------------------------------------------
# HTML
# ------------------------------------------------------------------------------------------


def esc(text):
    import html

    return html.escape(text, quote=True)


def html_files(report):
    rows = []
    for name, _, words, duplicated, s in report.files():
        rows.append(f"<tr><td>{esc(name)}</td><td><div class=\"bar\"><div style=\"width:"
                    f"{s:.2f}%\"></div></div></td><td>{s:.1f} %</td>"
                    f"<td>{duplicated:,} / {words:,} words</td></tr>")
    return "<table class=\"files\">" + "".join(rows) + "</table>"


def write_html(report, out, progress):
    from quarnel import _corpus  # the stylesheet lives beside the layout of the groups' blocks

    words, duplicated, overall = report.totals()
    title = f"quarnel {report.command}"
    notes = ""
    if report.skipped or report.failed:
        items = [f"<li>skipped {esc(s.name)}: {esc(s.reason)}</li>" for s in report.skipped]
        items += [f"<li>could not read {esc(n)}: {esc(r)}</li>" for n, r in report.failed]
        notes = f"<ul class=\"notes\">{''.join(items)}</ul>"
    out.write(
        f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<meta name=\"viewport\" content=\"width=device-width\"><title>{title}</title>"
        f"<style>{_corpus._html_stylesheet()}</style></head><body>\n<h1>{title}</h1>\n"
        f"<p class=\"summary\">{plural(len(report.names), 'file')}, {plural(words, 'word')}, "
        f"{duplicated:,} duplicated ({overall:.1f} %), "
        f"{plural(report.matches.found_groups, report.kind)}.</p>"
        f"\n{notes}{html_files(report)}\n<h2>{report.groups_key.capitalize()}</h2>\n")
    write_groups(report, out, progress, "html")
    left_out = report.left_out()
    if left_out:
        out.write(f"<p class=\"cut\">{esc(left_out)}.</p>\n")
    out.write(f"<p class=\"meta\">quarnel {__version__}</p></body></html>\n")


# ------------------------------------------------------------------------------------------
# CSV and SARIF
# ------------------------------------------------------------------------------------------

CSV_HEADER = ("group,count,words,chars,file,document,start,end,line,column,end_line,"
              "end_column,text\r\n")


def write_csv(report, out, progress):
    out.write(CSV_HEADER)
    write_groups(report, out, progress, "csv")


SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"


def write_sarif(report, out, progress):
    """SARIF 2.1.0: one result per place after a group's first, the first its related
    location; columns count characters (code points), as everywhere in the reports."""
    rule = {"id": f"repeated-{report.kind}",
            "shortDescription": {"text": f"A {report.kind} found at another place too"},
            "helpUri": "https://pypi.org/project/quarnel/"}
    words, duplicated, overall = report.totals()
    run = {"tool": {"driver": {"name": "quarnel", "version": __version__,
                               "informationUri": "https://pypi.org/project/quarnel/",
                               "rules": [rule]}},
           "columnKind": "unicodeCodePoints",
           "properties": {"summary": summary_record(report)}}
    head = {"$schema": SARIF_SCHEMA, "version": "2.1.0", "runs": [run]}
    text = dumps(head)
    out.write(text[:-3] + ',"results":[')
    write_groups(report, out, progress, "sarif", prefix=report.kind)
    out.write("\n]}]}\n")


WRITERS = {"table": write_table, "json": write_json, "jsonl": write_jsonl, "html": write_html,
           "csv": write_csv, "sarif": write_sarif}
