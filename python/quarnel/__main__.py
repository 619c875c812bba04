"""Command line: ``python -m quarnel passages|duplicates [PATH ...]`` and ``dedup IN... -o OUT``.

``passages`` lists the runs of words that the inputs share, ``duplicates`` the finder's repeated
phrases; both analyse all inputs together and report where each repeat is, file by file.
``dedup`` writes the inputs cleaned of repeated passages (see quarnel._dedup_cli).
"""

import argparse
import codecs
import math
import os
import re
import sys

from quarnel import _corpus
from quarnel._inputs import MAX_DECOMPRESSED, SAMPLE, Options, Skip, read_inputs
from quarnel._progress import Progress
from quarnel._report import WRITERS, Report
from quarnel._version import __version__

LIMIT = _corpus._COUNT_LIMIT
FINDER = _corpus._FINDER_DEFAULTS
PASSAGE = _corpus._PASSAGE_DEFAULTS
EXIT_UNREADABLE = 1  # also: a file left out, a report that could not be written
EXIT_USAGE = 2  # also: duplicated share above --fail-over
# Limits by format when none is given: a table stays readable on a folder of thousands of files,
# a page stays browsable; the formats for programs hold everything.
DEFAULT_TOP = {"table": 50, "html": 10_000}
DEFAULT_MAX_PLACES = {"table": 10}
SORTS = ("words", "count", "share", "files")
EXIT_PIPE = 128 + 13  # as if ended by SIGPIPE
EXIT_INTERRUPT = 128 + 2


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        # one line, without the usage block
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def count(low):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= LIMIT:
            raise argparse.ArgumentTypeError(f"must be between {low} and {LIMIT}, not {text}")
        return value
    return parse


def percent(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if math.isnan(value) or not 0 <= value <= 100:
        raise argparse.ArgumentTypeError(f"must be a percentage between 0 and 100, not {text}")
    return value


def encoding(text):
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


def size(text):
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    found = re.fullmatch(r"(\d+)([KMG]?)", text.strip().upper())
    if found is None:
        raise argparse.ArgumentTypeError(f"not a size such as 512K or 4M: {text!r}")
    return int(found[1]) * units[found[2]]


def add_common(parser, min_words):
    parser.add_argument("paths", nargs="*", metavar="PATH",
                        help="files and directories (searched recursively); '-' is standard "
                             "input, which is also read when no PATH is given and it is not a "
                             "terminal")
    parser.add_argument("--min-words", type=count(min_words), default=None, metavar="N",
                        help="fewest words in a repeat")
    parser.add_argument("--ignore-case", action="store_true",
                        help="compare ASCII letters case-insensitively")
    parser.add_argument("--collapse-whitespace", action="store_true",
                        help="treat every run of white space as one space")
    parser.add_argument("--min-chars", type=count(0), default=None, metavar="N",
                        help="a repeat needs more than N characters other than white space "
                             "(the same in both commands)")
    found = parser.add_argument_group("files found in directories")
    found.add_argument("--glob", action="append", default=[], metavar="PATTERN",
                       help="read only files whose name or path below the directory matches "
                            "(repeatable; e.g. '*.txt')")
    found.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                       help="leave out files and directories whose name or path below the "
                            "directory matches (repeatable)")
    found.add_argument("--hidden", action="store_true",
                       help="also read files and directories whose name starts with '.'")
    found.add_argument("--no-ignore", action="store_true",
                       help="also read what .gitignore and .ignore files leave out")
    found.add_argument("--follow", action="store_true",
                       help="walk symlinked directories too (each directory once)")
    found.add_argument("--no-decompress", action="store_true",
                       help="skip gzip, bzip2 and xz files instead of reading them decompressed")
    found.add_argument("--max-decompressed", type=size, default=MAX_DECOMPRESSED,
                       metavar="SIZE",
                       help="skip a compressed file larger than SIZE once decompressed (e.g. "
                            "512K, 4M; 0: no limit; default: 1M)")
    found.add_argument("--encoding", type=encoding, default="utf-8", metavar="NAME",
                       help="the encoding of the files (default: utf-8)")
    found.add_argument("--lossy", action="store_true",
                       help="read bytes the encoding cannot decode as U+FFFD instead of "
                            "skipping the file (offsets are into the text read)")
    output = parser.add_argument_group("output")
    output.add_argument("--format", choices=sorted(WRITERS), default="table",
                        help="table (default), json, jsonl (one record a line), html (a "
                             "self-contained page; use with -o), csv (one row per place) or "
                             "sarif (SARIF 2.1.0, one result per place after a repeat's first)")
    output.add_argument("--json", dest="format", action="store_const", const="json",
                        help="the same as --format json")
    output.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE")
    output.add_argument("-q", "--quiet", action="store_true",
                        help="no progress line and no notes other than errors")
    output.add_argument("-v", "--verbose", action="store_true",
                        help="a note for every file skipped, not one per kind")
    output.add_argument("--fail-over", type=percent, metavar="PERCENT",
                        help="exit with status 2 when the duplicated share of all words is "
                             "above PERCENT (for CI; any format)")
    output.add_argument("--top", type=count(0), metavar="N",
                        help="list the first N repeats in the sort order; 0: all (default: 50 "
                             "in a table, 10000 on a page, all otherwise)")
    output.add_argument("--max-places", type=count(0), metavar="N",
                        help="list at most N places per repeat, its count still exact; 0: all "
                             "(default: 10 in a table, all otherwise)")
    output.add_argument("--min-count", type=count(2), default=2, metavar="N",
                        help="list only repeats found at N places or more (default: 2)")
    output.add_argument("--sort", choices=SORTS,
                        help="order by words, count (places), share (words times places) or "
                             "files (distinct files), largest first (default: longest first)")
    output.add_argument("--summary", action="store_true",
                        help="only the summary: totals, what was left out and the share per "
                             "file")


def add_dedup(commands):
    # here, not in quarnel._dedup_cli: that module is imported only when the command runs
    dedup = commands.add_parser(
        "dedup", help="a corpus with every repeated passage kept once",
        description="Writes the inputs cleaned: every window of --min-words words that occurs "
                    "again later (inputs in order, then lines or rows in order) is removed at "
                    "its later places, its first copy kept, and with --reference every window "
                    "found in the reference is removed everywhere. Cuts fall between words.")
    dedup.add_argument("paths", nargs="+", metavar="IN",
                       help="JSON Lines (.jsonl), Parquet (.parquet) or text files, or folders "
                            "of text files")
    dedup.add_argument("-o", "--output", required=True, metavar="OUT",
                       help="the cleaned file (JSON Lines, Parquet) or folder (text files)")
    dedup.add_argument("--text-field", default="text", metavar="NAME",
                       help="the field or column holding the text (default: text)")
    dedup.add_argument("--reference", nargs="+", default=[], metavar="PATH",
                       help="documents whose passages are removed from the inputs (no copy "
                            "kept)")
    dedup.add_argument("--spans", metavar="FILE",
                       help="write the removed spans as JSON Lines to FILE")
    dedup.add_argument("--min-words", type=count(1), default=50, metavar="N",
                       help="words in a window (default: 50)")
    dedup.add_argument("--drop-below", type=count(0), default=0, metavar="N",
                       help="leave out documents with fewer kept words (default: 0, none)")
    dedup.add_argument("--ignore-case", action="store_true",
                       help="compare ASCII letters case-insensitively")
    dedup.add_argument("--collapse-whitespace", action="store_true",
                       help="treat every run of white space as one space")
    where = dedup.add_mutually_exclusive_group()
    where.add_argument("--workers", type=count(1), metavar="N",
                       help="run on Dask, on a local cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS")
    dedup.add_argument("-q", "--quiet", action="store_true",
                       help="no progress line and no summary")
    return dedup


def build_parser():
    parser = Parser(prog="quarnel", description="Fast text tooling built on suffix arrays.")
    parser.add_argument("--version", action="version", version=f"quarnel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    passages = commands.add_parser(
        "passages", help="the passages the inputs share, longest first",
        description="Lists the maximal runs of words that occur at two or more places across "
                    "all inputs, longest first, each with every place as "
                    "file:line:column-line:column, then the duplicated share of the words "
                    "overall and per file. Binary and non-UTF-8 files are skipped with a note.")
    add_common(passages, 1)
    passages.add_argument("--against", nargs="+", default=[], metavar="REF",
                          help="report only passages that the inputs share with these files "
                               "(files or folders; end the list with -- before the inputs), "
                               "with each input's share copied from them")
    passages.set_defaults(default_min_words=PASSAGE["min_words"],
                          default_min_chars=PASSAGE["min_chars"])

    dup = commands.add_parser(
        "duplicates", help="the repeated phrases of the inputs, longest first",
        description="Lists every phrase that occurs at two or more places across all inputs, "
                    "longest first (by characters, the first column), with the places as "
                    "file:line:column, then the duplicated share of the words.")
    add_common(dup, 0)
    dup.add_argument("--max-words", type=count(1), default=FINDER["max_words"], metavar="N",
                     help="most words in a phrase (default: %(default)s); phrases that follow "
                          "each other at all their places are joined, and can be longer")
    dup.add_argument("--min-words-in-substring", type=count(0),
                     default=FINDER["min_words_in_substring"], metavar="N",
                     help="fewest whitespace-separated words a phrase keeps (default: %(default)s)")
    dup.add_argument("--blocks", action="store_true", help="also report long repeated blocks")
    dup.set_defaults(default_min_words=FINDER["min_words"], default_min_chars=FINDER["min_chars"])
    dedup = add_dedup(commands)
    for sub, defaults in ((passages, PASSAGE), (dup, FINDER)):
        for action in sub._actions:
            if action.dest in ("min_words", "min_chars"):
                action.help += f" (default: {defaults[action.dest]})"
    parser.subcommands = {"passages": passages, "duplicates": dup, "dedup": dedup}
    return parser


def stdin_is_terminal():
    return sys.stdin is None or sys.stdin.isatty()


def library_call(args, documents, reference=None):
    import quarnel  # NumPy is needed from here on only
    from quarnel.corpus import _find_passages

    # Groups the report will not list are never located.
    limits = (args.top or None, args.sort, args.min_count, args.max_places or None)
    common = dict(min_words=args.min_words, ignore_case=args.ignore_case,
                  collapse_whitespace=args.collapse_whitespace)
    if args.command == "passages":
        # the finder's rule: more than N characters other than white space; at least N + 1
        # characters in all is what the search can test first
        min_chars = args.min_chars + 1 if args.min_chars else 0
        return _find_passages(documents, args.min_words, min_chars, args.ignore_case,
                              args.collapse_whitespace, None, reference,
                              limits + (args.min_chars,))
    return quarnel.find_phrases(documents, min_chars=args.min_chars, max_words=args.max_words,
                                min_words_in_substring=args.min_words_in_substring,
                                blocks=args.blocks, top=limits[0], sort=limits[1],
                                min_count=limits[2], max_places=limits[3], **common)


PLACES_LIMIT = re.compile(r"more than (\d+) passage occurrences")


def analyse(args, inputs, progress):
    """The library's result over every document; a document that alone breaks a limit of the
    analysis is left out with a note, and the others are analysed without it."""
    documents = list(zip(inputs.names, inputs.texts))
    reference = inputs.reference
    try:
        return library_call(args, documents, reference)
    except ValueError as exc:
        whole = exc
    progress.set("finding the documents that break a limit alone")
    kept, left_out = [], []
    for name, text in documents:
        try:
            library_call(args, [(name, text)], reference)
            kept.append((name, text))
        except ValueError as exc:
            left_out.append(Skip("too large", name, limit_reason(exc)))
    if not left_out:
        raise UsageError(str(whole)) from None
    for skip in left_out:
        progress.note(f"quarnel: error: left out {skip.name}: {skip.reason}", error=True)
    inputs.skipped += left_out
    inputs.names[:] = [name for name, _ in kept]
    inputs.texts[:] = [text for _, text in kept]
    try:
        return library_call(args, kept)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def limit_reason(exc):
    found = PLACES_LIMIT.search(str(exc))
    if found is None:
        return str(exc)
    return (f"alone it has more than {int(found[1]):,} passage places, the limit for it (4 per "
            f"word and 16,777,216 more): a word or a few repeated many times in a row make a "
            f"passage of every length of the run; raise --min-words or leave it out")


def shown_texts(args, matches, texts):
    """Phrases found after lower-casing or collapsing read as first found."""
    if args.command == "duplicates" and (args.ignore_case or args.collapse_whitespace):
        first = matches.first[:-1].tolist()
        matches.texts = [texts[d][s:e] for d, s, e in zip(matches.document[first].tolist(),
                                                          matches.start[first].tolist(),
                                                          matches.end[first].tolist())]
    return matches


def open_output(args):
    if args.output is None:
        sys.stdout.reconfigure(encoding="utf-8", errors="surrogateescape")
        return sys.stdout
    return open(args.output, "w", encoding="utf-8", errors="surrogateescape", newline="")


def run(args, out, progress):
    paths = args.paths
    if not paths:
        paths = [None] if stdin_is_terminal() else ["-"]
        if paths == [None]:
            progress.note(f"quarnel: no input given; analysing the bundled sample ({SAMPLE})")
    options = Options(tuple(args.glob), tuple(args.exclude), args.hidden, not args.no_ignore,
                      args.follow, not args.no_decompress, args.encoding, args.lossy,
                      args.max_decompressed)
    inputs = read_inputs(paths, options, progress, args.output, args.verbose)
    against = None
    if getattr(args, "against", None):
        # The reference's files are read the same way; their documents follow the inputs'.
        against = read_inputs(args.against, options, progress, args.output, args.verbose)
        inputs.reference = list(zip(against.names, against.texts))
        inputs.skipped += against.skipped
        inputs.failed += against.failed
    chars = sum(map(len, inputs.texts))
    progress.set(f"analysing {len(inputs.texts):,} files, {chars / 1e6:.1f} M characters")
    matches = analyse(args, inputs, progress)
    if against is not None:
        # Totals and the per-file table are the inputs': their share copied from the reference.
        n = len(inputs.texts)
        for key in ("document_words", "covered_words", "document_chars"):
            setattr(matches, key, getattr(matches, key)[:n])
    names = inputs.names + (against.names if against is not None else [])
    texts = inputs.texts + (against.texts if against is not None else [])
    matches = shown_texts(args, matches, texts)
    report = Report(args.command, matches, names, texts, inputs.skipped,
                    inputs.failed, args.top, args.max_places, args.summary, args.min_count)
    WRITERS[args.format](report, out, progress)
    out.flush()
    left_out = any(skip.kind == "too large" for skip in inputs.skipped)
    status = EXIT_UNREADABLE if inputs.failed or left_out else 0
    overall = report.totals()[2]
    if args.fail_over is not None and overall > args.fail_over:
        progress.note(f"quarnel: duplicated share {overall:.2f} % is above --fail-over "
                      f"{args.fail_over:g} %", error=True)
        status = EXIT_USAGE
    return status


def quiet_stdout():
    # the interpreter flushes stdout on exit; point it at /dev/null so that cannot fail again
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv=None):
    # No command does linear algebra, and NumPy's OpenBLAS otherwise starts a thread per core
    # that spins for a tenth of a second after the import, beside the analysis' second lane.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:  # named by the subcommand, whose help lists its options
        parser.subcommands[args.command].error(f"unrecognized arguments: {' '.join(extra)}")
    if args.command != "dedup":  # the report commands' defaults depend on the format
        if args.min_words is None:
            args.min_words = args.default_min_words
        if args.min_chars is None:
            args.min_chars = args.default_min_chars
        if args.top is None:
            args.top = DEFAULT_TOP.get(args.format, 0)
        if args.max_places is None:
            args.max_places = DEFAULT_MAX_PLACES.get(args.format, 0)
        if args.command == "duplicates" and args.max_words < args.min_words:
            parser.error(f"--max-words ({args.max_words}) must be at least --min-words "
                         f"({args.min_words})")
    progress = Progress(enabled=not args.quiet and sys.stderr is not None and sys.stderr.isatty(),
                        quiet=args.quiet)
    try:
        if args.command == "dedup":
            from quarnel import _dedup_cli

            return _dedup_cli.main(args, progress)
        try:
            out = open_output(args)
        except OSError as exc:
            print(f"quarnel: error: cannot write {args.output}: {exc.strerror or exc}",
                  file=sys.stderr)
            return EXIT_UNREADABLE
        try:
            return run(args, out, progress)
        finally:
            if out is not sys.stdout:
                out.close()
    except KeyboardInterrupt:
        progress.close()
        return EXIT_INTERRUPT
    except BrokenPipeError:
        quiet_stdout()
        return EXIT_PIPE
    except UsageError as exc:
        progress.close()
        print(f"quarnel: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    finally:
        progress.close()


if __name__ == "__main__":
    sys.exit(main())
