"""Inputs of the command line: folders walked as ripgrep walks them, files read, decompressed
and decoded.

`discover` lists the files that paths name (folders walked in sorted order, ignore files
honoured, the same file reached twice kept once) and `read_document` reads one of them to text;
`read_inputs` does both for a report. Nothing here is fatal: what cannot be read is noted and
counted, what is left out on purpose is noted by kind.
"""

import bz2
import fnmatch
import gzip
import io
import lzma
import os
import re
import sys
import zlib
from dataclasses import dataclass, field
from importlib import resources

SAMPLE = "sample.txt"
STDIN = "<stdin>"
BOM = "\ufeff"
IGNORE_FILES = (".gitignore", ".ignore")  # in this order: a rule of .ignore wins
ALWAYS_LEFT_OUT = ".git"  # a repository's own store is never text to compare
CHUNK = 1 << 20
# Compressed files are read up to this size: a folder's compressed files (changelogs, logs,
# manuals) are often many times larger than its text, and their size is not in sight.
MAX_DECOMPRESSED = 1 << 20

# What is left out, by kind: each kind is one line on stderr (unless --verbose) and one count in
# the summary, in this order.
KINDS = {  # kind: (what is counted, the summary's word for them, what they are)
    "same file": ("files", "links", "the same file as one read (a link or a hard link)"),
    "binary": ("files", "binary", "binary"),
    "undecodable": ("files", "undecodable",
                    "not in the encoding (--encoding NAME or --lossy reads them)"),
    "compressed": ("files", "compressed", "compressed (read without --no-decompress)"),
    "corrupt": ("files", "corrupt", "corrupt compressed data"),
    "large": ("files", "large compressed",
              "larger than --max-decompressed once decompressed"),
    "too large": ("files", "over a limit", "alone they break a limit of the analysis"),
    "link": ("folders", "symlinked folders", "symlinked, not walked without --follow"),
    "loop": ("folders", "folders reached again", "walked already, reached again by a link"),
}


@dataclass(frozen=True)
class Options:
    """How paths are walked and files read; the defaults are the command line's."""

    globs: tuple = ()
    excludes: tuple = ()
    hidden: bool = False
    ignore: bool = True  # honour .gitignore and .ignore files
    follow: bool = False  # walk symlinked folders
    decompress: bool = True  # read gzip, bzip2 and xz files decompressed
    encoding: str = "utf-8"
    lossy: bool = False  # undecodable bytes become U+FFFD instead of skipping the file
    max_decompressed: int = MAX_DECOMPRESSED  # bytes; 0: no limit


@dataclass
class Found:
    path: object  # what to open: a path, "-" for standard input, None for the bundled sample
    name: str  # as reports name it
    relative: str  # below the folder it was found in; the name for a path given directly
    key: object = None  # (device, inode) when known
    link: bool = False  # reached through a symlink: another path to it names it better


@dataclass
class Skip:
    kind: str  # a key of KINDS
    name: str
    reason: str


@dataclass
class Discovery:
    files: list = field(default_factory=list)  # Found, in walk order, each file once
    skipped: list = field(default_factory=list)  # Skip
    failed: list = field(default_factory=list)  # (name, reason): could not be listed


# ------------------------------------------------------------------------------------------
# Ignore files
# ------------------------------------------------------------------------------------------

def _translate(pattern):
    """A gitignore glob as a regular expression over a path relative to its file's folder."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        if pattern.startswith("**", i) and (i == 0 or pattern[i - 1] == "/"):
            if pattern[i + 2:i + 3] == "/":
                out.append("(?:.*/)?")
                i += 3
                continue
            if i + 2 == n:
                out.append(".*")
                i += 2
                continue
        if c == "*":
            while pattern.startswith("*", i + 1):
                i += 1
            out.append("[^/]*")
        elif c == "?":
            out.append("[^/]")
        elif c == "[" and (j := _class_end(pattern, i)) > 0:
            body = pattern[i + 1:j]
            negate = body[:1] in ("!", "^")
            body = (body[1:] if negate else body).replace("\\", "\\\\").replace("[", "\\[")
            out.append(f"(?!/)[{'^' if negate else ''}{body}]")
            i = j
        elif c == "\\" and i + 1 < n:
            i += 1
            out.append(re.escape(pattern[i]))
        else:
            out.append(re.escape(c))
        i += 1
    return "".join(out)


def _class_end(pattern, i):
    j = i + 1
    if pattern[j:j + 1] in ("!", "^"):
        j += 1
    if pattern[j:j + 1] == "]":
        j += 1
    j = pattern.find("]", j)
    return j


def parse_ignore(text):
    """The rules of an ignore file: (regex, negated, folders only), in file order."""
    rules = []
    for line in text.splitlines():
        while line.endswith(" ") and not line.endswith("\\ "):
            line = line[:-1]
        if not line or line.startswith("#"):
            continue
        negated = line.startswith("!")
        if negated:
            line = line[1:]
        folders_only = line.endswith("/")
        line = line.rstrip("/")
        if not line:
            continue
        anchored = "/" in line
        regex = _translate(line.lstrip("/"))
        rules.append((re.compile(regex if anchored else "(?:.*/)?" + regex, re.DOTALL), negated,
                      folders_only))
    return rules


@dataclass
class IgnoreFile:
    rules: list
    below: str  # its folder relative to the walk's root ("" for the root) ...
    above: str = ""  # ... or the root relative to its folder, for a file above the root

    def local(self, relative):
        if self.above:
            return f"{self.above}/{relative}"
        return relative[len(self.below) + 1:] if self.below else relative


def load_ignore_files(folder, below="", above=""):
    found = []
    for name in IGNORE_FILES:
        try:
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                rules = parse_ignore(f.read())
        except OSError:
            continue
        if rules:
            found.append(IgnoreFile(rules, below, above))
    return found


def ignore_files_above(root):
    """The ignore files of the folders above `root` up to its repository's top (a folder
    holding .git); none when `root` is not inside a repository."""
    folder = os.path.abspath(root)
    chain, parts = [], []
    while True:
        if os.path.exists(os.path.join(folder, ALWAYS_LEFT_OUT)):
            break
        parent = os.path.dirname(folder)
        if parent == folder:
            return []
        parts.insert(0, os.path.basename(folder))
        folder = parent
        chain.append((folder, "/".join(parts)))
    found = []
    for above_folder, above in reversed(chain):  # outermost first: inner rules win
        found += load_ignore_files(above_folder, above=above)
    return found


def ignored(ignore_files, relative, is_folder):
    """Whether the last rule matching `relative`, the innermost file's last, leaves it out."""
    verdict = False
    for ignore_file in ignore_files:
        local = ignore_file.local(relative)
        for regex, negated, folders_only in ignore_file.rules:
            if (is_folder or not folders_only) and regex.fullmatch(local):
                verdict = not negated
    return verdict


# ------------------------------------------------------------------------------------------
# Walking
# ------------------------------------------------------------------------------------------

def _matches(patterns, name, relative):
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p) for p in patterns)


def _key(st):
    return st.st_dev, st.st_ino


def walk(root, options, discovery, walked):
    """Regular files under a folder: each folder's files in sorted order, then its folders
    (FIFOs and devices are left out: reading them could block or never end). With --follow a
    folder reached through a link is walked unless it was walked already or holds the link
    (a cycle); its files then lose to their paths without a link."""
    def fail(path, exc):
        discovery.failed.append((path, exc.strerror or str(exc)))

    try:
        root_key = _key(os.stat(root))
    except OSError as exc:
        fail(root, exc)
        return
    walked.add(root_key)
    above = ignore_files_above(root) if options.ignore else []
    pending = [(root, "", above, (root_key,), False)]
    while pending:
        folder, below, ignore_files, ancestors, through_link = pending.pop()
        try:
            with os.scandir(folder) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            fail(folder, exc)
            continue
        if options.ignore:
            ignore_files = ignore_files + load_ignore_files(folder, below)
        folders = []
        for entry in entries:
            name = entry.name
            relative = f"{below}/{name}" if below else name
            if name == ALWAYS_LEFT_OUT or (not options.hidden and name.startswith(".")):
                continue
            try:
                is_folder = entry.is_dir()
                is_file = not is_folder and entry.is_file()
                link = entry.is_symlink()
            except OSError:
                continue
            if not (is_folder or is_file) or _matches(options.excludes, name, relative):
                continue
            if ignore_files and ignored(ignore_files, relative, is_folder):
                continue
            path = _join(folder, name)
            if is_file:
                if not options.globs or _matches(options.globs, name, relative):
                    try:
                        key = _key(entry.stat())
                    except OSError as exc:
                        fail(path, exc)
                        continue
                    discovery.files.append(Found(path, path, relative, key,
                                                 link or through_link))
            elif link and not options.follow:
                discovery.skipped.append(Skip("link", path, "a symlinked folder, not walked "
                                                            "without --follow"))
            else:
                try:
                    key = _key(entry.stat())
                except OSError as exc:
                    fail(path, exc)
                    continue
                linked = link or through_link
                if key in ancestors or (linked and key in walked):
                    discovery.skipped.append(Skip("loop", path, "a folder walked already, "
                                                                "reached again by a link"))
                    continue
                walked.add(key)
                folders.append((path, relative, ignore_files, ancestors + (key,), linked))
        pending.extend(reversed(folders))


def _join(folder, name):
    return name if folder == "." else os.path.join(folder, name)


def _root(path):
    """A path as reports name what is below it: relative paths stay relative, without ./"""
    return path if os.path.isabs(path) else os.path.normpath(path)


def display_name(path):
    return STDIN if path == "-" else SAMPLE if path is None else path


def discover(paths, options=Options(), leave_out=()):
    """The files that `paths` name, in walk order, each once. A path names a file ("-" is
    standard input, None the bundled sample) or a folder, which is walked. The same file
    reached twice (by a link or a hard link: the same device and inode) is kept once, under the
    name of its first non-link path, and the others are noted as skipped. `leave_out` holds
    (device, inode) pairs not to list (the report being written)."""
    discovery = Discovery()
    walked = set()
    for path in paths:
        if path is not None and path != "-" and os.path.isdir(path):
            walk(_root(path), options, discovery, walked)
            continue
        found = Found(path, display_name(path), display_name(path))
        if path is not None and path != "-":
            found.path = found.name = found.relative = _root(path)
            try:
                found.key = _key(os.stat(path))
                found.link = os.path.islink(path)
            except OSError:
                pass  # reading it will say why
        discovery.files.append(found)
    _keep_each_once(discovery, set(leave_out))
    return discovery


def _keep_each_once(discovery, leave_out):
    kept = {}  # key -> the Found that stands for the file: its first non-link path
    for found in discovery.files:
        if found.key is None:
            continue
        first = kept.get(found.key)
        if first is None or (first.link and not found.link):
            kept[found.key] = found
    files = []
    for found in discovery.files:
        if found.key is None:
            files.append(found)
        elif found.key not in leave_out:
            first = kept[found.key]
            if first is found:
                files.append(found)
            elif found.name != first.name:  # a path named twice is simply read once
                discovery.skipped.append(Skip("same file", found.name,
                                              f"the same file as {first.name}"))
    discovery.files = files


# ------------------------------------------------------------------------------------------
# Reading
# ------------------------------------------------------------------------------------------

def _bzip2(raw):
    return raw[:3] == b"BZh" and raw[3:4] in b"123456789" and raw[4:10] in (
        b"1AY&SY", b"\x17rE8P\x90")


COMPRESSED = (  # (format, test of the first bytes, reader over a byte stream)
    ("gzip", lambda raw: raw[:2] == b"\x1f\x8b", lambda f: gzip.GzipFile(fileobj=f)),
    ("bzip2", _bzip2, bz2.BZ2File),
    ("xz", lambda raw: raw[:6] == b"\xfd7zXZ\x00", lzma.LZMAFile),
)
CORRUPT = (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error)


def _ascii_compatible(encoding):
    try:
        return "a\0".encode(encoding) == b"a\0"
    except (LookupError, UnicodeError):
        return False


def decompressed(raw, options):
    """The bytes of a compressed file, or (None, Skip kind, reason); a file that turns out to
    be binary (a NUL byte) is given up after its first megabyte."""
    for name, test, reader in COMPRESSED:
        if not test(raw):
            continue
        if not options.decompress:
            return None, "compressed", f"{name}-compressed (--no-decompress)"
        chunks, size, check_nul = [], 0, _ascii_compatible(options.encoding)
        limit = options.max_decompressed or float("inf")
        try:
            with reader(io.BytesIO(raw)) as f:
                while chunk := f.read(min(CHUNK, limit + 1 - size)):
                    if check_nul and (nul := chunk.find(b"\0")) >= 0:
                        return None, "binary", (f"binary after {name} decompression (NUL "
                                                f"byte at offset {size + nul})")
                    size += len(chunk)
                    if size > limit:
                        return None, "large", (f"more than {limit:,} bytes once decompressed "
                                               f"(--max-decompressed)")
                    chunks.append(chunk)
        except CORRUPT as exc:
            return None, "corrupt", f"corrupt {name} data ({exc})"
        return b"".join(chunks), None, None
    return raw, None, None


def decode(raw, options=Options()):
    """The text of a file's bytes (decompressed first), or (None, Skip kind, reason)."""
    raw, kind, reason = decompressed(raw, options)
    if raw is None:
        return None, kind, reason
    if _ascii_compatible(options.encoding):
        nul = raw.find(b"\0")
        if nul >= 0:
            return None, "binary", f"binary (NUL byte at offset {nul})"
    try:
        text = raw.decode(options.encoding, "replace" if options.lossy else "strict")
    except UnicodeDecodeError as exc:
        return None, "undecodable", (f"not {options.encoding} (byte 0x{raw[exc.start]:02x} "
                                     f"at offset {exc.start}; --encoding NAME or --lossy "
                                     f"reads it)")
    # offsets count from the first character after a byte-order mark
    return (text[1:] if text.startswith(BOM) else text), None, None


def read_raw(path):
    if path == "-":
        return sys.stdin.buffer.read()
    if path is None:
        return resources.files("quarnel").joinpath("data", SAMPLE).read_bytes()
    with open(path, "rb") as f:
        return f.read()


def read_document(path, options=Options()):
    """(text, None, None) or (None, Skip kind, reason); OSError when it cannot be read."""
    return decode(read_raw(path), options)


# ------------------------------------------------------------------------------------------
# The inputs of a report
# ------------------------------------------------------------------------------------------

@dataclass
class Inputs:
    names: list = field(default_factory=list)
    texts: list = field(default_factory=list)
    skipped: list = field(default_factory=list)  # Skip: left out on purpose
    failed: list = field(default_factory=list)  # (name, reason): could not be read at all
    bytes_read: int = 0
    reference: list | None = None  # (name, text) of the files compared against, if any


def _file_key(path):
    try:
        return _key(os.stat(path))
    except (OSError, TypeError, ValueError):
        return None


def read_inputs(paths, options, progress, report_path=None, verbose=False):
    """Reads every input; failures and skips are noted and counted, never fatal. The report
    being written (`report_path`) is left out, as when it is written into a folder read."""
    inputs = Inputs()
    report = _file_key(report_path) if report_path is not None else None
    discovery = discover(paths, options, [report] if report else ())
    inputs.skipped = discovery.skipped
    for name, reason in discovery.failed:
        fail(inputs, progress, name, reason)
    for found in discovery.files:
        progress.set(f"reading {len(inputs.names) + 1} files, "
                     f"{inputs.bytes_read / 1e6:.0f} MB: {found.name}")
        try:
            raw = read_raw(found.path)
        except OSError as exc:
            fail(inputs, progress, found.name, exc.strerror or str(exc))
            continue
        inputs.bytes_read += len(raw)
        text, kind, reason = decode(raw, options)
        del raw
        if text is None:
            inputs.skipped.append(Skip(kind, found.name, reason))
            continue
        inputs.names.append(found.name)
        inputs.texts.append(text)
    note_skipped(inputs.skipped, progress, verbose)
    return inputs


def fail(inputs, progress, name, reason):
    inputs.failed.append((name, reason))
    progress.note(f"quarnel: error: cannot read {name}: {reason}", error=True)


def skipped_by_kind(skipped):
    by_kind = {}
    for skip in skipped:
        by_kind.setdefault(skip.kind, []).append(skip)
    return [(kind, by_kind[kind]) for kind in KINDS if kind in by_kind]


def note_skipped(skipped, progress, verbose):
    """One line per file with --verbose, else one per kind with its first file."""
    if verbose:
        for skip in skipped:
            progress.note(f"quarnel: skipped {skip.name}: {skip.reason}")
        return
    for kind, skips in skipped_by_kind(skipped):
        first = skips[0]
        if len(skips) == 1:
            progress.note(f"quarnel: skipped {first.name}: {first.reason}")
        else:
            noun, _, what = KINDS[kind]
            progress.note(f"quarnel: skipped {len(skips):,} {noun}, {what}: {first.name} "
                          f"({first.reason}) and {len(skips) - 1:,} more; --verbose names "
                          f"each")
