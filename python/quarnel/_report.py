"""Reports of the command line: table, JSON, JSON Lines and a self-contained HTML page.

The rows of the groups are formatted natively from the result's NumPy columns, about a megabyte
at a time, and written as UTF-8 bytes as they come, so a report never holds a second copy of
the results as Python objects. The summaries around them are formatted here.
"""

from dataclasses import dataclass

from quarnel._version import __version__

HTML_GROUPS = 10_000  # longest groups on the page; beyond that a page is too big to browse


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
    else:
        forms = (str(name) for name in names)
    return [form.encode("utf-8", "surrogateescape") for form in forms]


def write_groups(report, out, progress, style, groups=None, prefix=""):
    """The rows of the first `groups` groups (all by default) in `style`: json, jsonl, html,
    passages or phrases (the tables), formatted natively about a megabyte at a time."""
    from quarnel import _corpus

    m = report.matches
    columns = (m.first, m.words, m.chars, m.document, m.start, m.end, m.line, m.column,
               m.end_line, m.end_column)
    names = written_names(report.names, style)
    documents = report.texts if style == "html" else None
    total = len(m)
    g, end = 0, total if groups is None else min(groups, total)
    while g < end:
        progress.set(f"writing {g:,}/{total:,} groups")
        data, g = _corpus._format_groups(style, columns, names, m.texts, documents, g, end, prefix)
        write_bytes(out, data)


# ------------------------------------------------------------------------------------------
# Table
# ------------------------------------------------------------------------------------------

def write_table(report, out, progress):
    m = report.matches
    if not len(m):
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
    import json

    return json.dumps(value, ensure_ascii=False)


def file_records(report):
    for name, chars, words, duplicated, s in report.files():
        yield {"file": name, "characters": chars, "words": words, "duplicated_words": duplicated,
               "duplicated_share": round(s, 4)}


def summary_record(report):
    words, duplicated, overall = report.totals()
    return {"files": len(report.names), "words": words, "duplicated_words": duplicated,
            "duplicated_share": round(overall, 4), "skipped": len(report.skipped),
            "unreadable": len(report.failed)}


def write_json(report, out, progress):
    head = {"command": report.command, "version": __version__,
            "summary": summary_record(report), "files": list(file_records(report)),
            "skipped": [{"file": n, "reason": r} for n, r in report.skipped],
            "unreadable": [{"file": n, "reason": r} for n, r in report.failed]}
    out.write(dumps(head)[:-1] + f',"{report.groups_key}":[')
    write_groups(report, out, progress, "json")
    out.write("\n]}\n")


def write_jsonl(report, out, progress):
    lines = [{"type": "summary", "command": report.command, "version": __version__,
              **summary_record(report)}]
    lines += [{"type": "file", **record} for record in file_records(report)]
    lines += [{"type": "skipped", "file": n, "reason": r} for n, r in report.skipped]
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
        items = [f"<li>skipped {esc(n)}: {esc(r)}</li>" for n, r in report.skipped]
        items += [f"<li>could not read {esc(n)}: {esc(r)}</li>" for n, r in report.failed]
        notes = f"<ul class=\"notes\">{''.join(items)}</ul>"
    out.write(
        f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<meta name=\"viewport\" content=\"width=device-width\"><title>{title}</title>"
        f"<style>{_corpus._html_stylesheet()}</style></head><body>\n<h1>{title}</h1>\n"
        f"<p class=\"summary\">{plural(len(report.names), 'file')}, {plural(words, 'word')}, "
        f"{duplicated:,} duplicated ({overall:.1f} %), "
        f"{plural(len(report.matches), report.kind)}.</p>"
        f"\n{notes}{html_files(report)}\n<h2>{report.groups_key.capitalize()}, "
        f"longest first</h2>\n")
    write_groups(report, out, progress, "html", groups=HTML_GROUPS)
    if len(report.matches) > HTML_GROUPS:
        out.write(f"<p class=\"cut\">The {HTML_GROUPS:,} longest of {len(report.matches):,} "
                  f"{report.groups_key} are shown; --format json lists them all.</p>\n")
    out.write(f"<p class=\"meta\">quarnel {__version__}</p></body></html>\n")


WRITERS = {"table": write_table, "json": write_json, "jsonl": write_jsonl, "html": write_html}
