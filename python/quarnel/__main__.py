"""Command line: ``python -m quarnel duplicates [FILE ...]`` lists the phrases a text repeats."""

import argparse
import json
import sys
from importlib import resources

from quarnel import _native
from quarnel._version import __version__

SAMPLE = "sample.txt"
PHRASE_WIDTH = 60
MAX_SHOWN_OCCURRENCES = 8


class InputError(Exception):
    pass


def read_text(name):
    """Reads one input as UTF-8: a path, '-' for standard input, or the bundled sample (None)."""
    try:
        if name is None:
            raw = resources.files("quarnel").joinpath("data", SAMPLE).read_bytes()
        elif name == "-":
            raw = sys.stdin.buffer.read()
        else:
            with open(name, "rb") as f:
                raw = f.read()
    except OSError as exc:
        raise InputError(f"cannot read {name}: {exc.strerror or exc}") from exc
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        label = "standard input" if name == "-" else name
        raise InputError(f"{label} is not valid UTF-8 (byte 0x{raw[exc.start]:02x} at offset "
                         f"{exc.start})") from exc


def find(text, args):
    params = dict(min_words=args.min_words, min_chars=args.min_chars, max_words=args.max_words,
                  min_words_in_substring=args.min_words_in_substring,
                  enable_block_detection=args.blocks)
    if args.ignore_case or args.collapse_whitespace:
        return _native.find_duplicates_normalized(text, case_insensitive=args.ignore_case,
                                                  collapse_whitespace=args.collapse_whitespace,
                                                  **params)
    return _native.find_duplicates(text, **params)


class LineColumns:
    """Turns UTF-16 offsets of a text into 1-based line:column positions (columns in
    characters)."""

    def __init__(self, text):
        self.text = text
        self.astral = any(ord(c) > 0xFFFF for c in text)
        if self.astral:
            self.index_of_unit = []
            for i, c in enumerate(text):
                self.index_of_unit.append(i)
                if ord(c) > 0xFFFF:
                    self.index_of_unit.append(i)
            self.index_of_unit.append(len(text))
        self.line_starts = [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]

    def __call__(self, utf16_offset):
        index = self.index_of_unit[min(utf16_offset, len(self.index_of_unit) - 1)] \
            if self.astral else min(utf16_offset, len(self.text))
        lo, hi = 0, len(self.line_starts)
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if self.line_starts[mid] <= index:
                lo = mid
            else:
                hi = mid
        return f"{lo + 1}:{index - self.line_starts[lo] + 1}"


def shorten(phrase):
    flat = " ".join(phrase.split())
    return flat if len(flat) <= PHRASE_WIDTH else flat[: PHRASE_WIDTH - 1] + "…"


def print_table(label, text, results, out):
    if label is not None:
        print(f"== {label}", file=out)
    if not results:
        print("no repeated phrases", file=out)
        return
    position = LineColumns(text)
    print(f"{'count':>5}  {'words':>5}  {'phrase':<{PHRASE_WIDTH}}  occurrences (line:column)", file=out)
    for r in results:
        spots = [position(o["start"]) for o in r["occurrences"][:MAX_SHOWN_OCCURRENCES]]
        more = len(r["occurrences"]) - len(spots)
        where = ", ".join(spots) + (f", +{more} more" if more > 0 else "")
        print(f"{r['count']:>5}  {r['number_of_words']:>5}  {shorten(r['phrase']):<{PHRASE_WIDTH}}  {where}",
              file=out)


def duplicates(args, out):
    names = args.files or [None]
    texts = [(name, read_text(name)) for name in names]  # every input is read before any output
    found = [(name, text, find(text, args)) for name, text in texts]
    if args.json:
        if len(found) == 1:
            json.dump(found[0][2], out, ensure_ascii=False, indent=2)
        else:
            json.dump({name: results for name, _, results in found}, out, ensure_ascii=False, indent=2)
        out.write("\n")
        return
    for name, text, results in found:
        label = (name if name is not None else f"{SAMPLE} (bundled sample)") if len(found) > 1 or name is None else None
        print_table(label, text, results, out)


def build_parser():
    parser = argparse.ArgumentParser(prog="quarnel", description="Fast text tooling built on suffix arrays.")
    parser.add_argument("--version", action="version", version=f"quarnel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    dup = commands.add_parser(
        "duplicates", help="list the phrases a text repeats, longest first",
        description="Lists every phrase that occurs at two or more places, longest first. "
                    "With no FILE, analyses a bundled sample document; '-' reads standard input. "
                    "--json prints the result dictionaries (an object keyed by file name when "
                    "several files are given).")
    dup.add_argument("files", nargs="*", metavar="FILE", help="UTF-8 text files ('-' for standard input)")
    dup.add_argument("--min-words", type=int, default=4, help="fewest words in a phrase (default: 4)")
    dup.add_argument("--min-chars", type=int, default=9, help="a phrase needs more non-space bytes than this (default: 9)")
    dup.add_argument("--max-words", type=int, default=50, help="most words in a phrase (default: 50)")
    dup.add_argument("--min-words-in-substring", type=int, default=2,
                     help="fewest whitespace-separated words a phrase keeps (default: 2)")
    dup.add_argument("--blocks", action="store_true", help="also report long repeated blocks")
    dup.add_argument("--ignore-case", action="store_true", help="compare ASCII letters case-insensitively")
    dup.add_argument("--collapse-whitespace", action="store_true", help="treat every run of white space as one space")
    dup.add_argument("--json", action="store_true", help="print JSON instead of a table")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    for option in ("min_words", "min_chars", "max_words", "min_words_in_substring"):
        if getattr(args, option) < 0:
            parser.error(f"--{option.replace('_', '-')} must not be negative")
    try:
        duplicates(args, sys.stdout)
    except InputError as exc:
        print(f"quarnel: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
