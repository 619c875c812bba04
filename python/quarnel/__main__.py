"""Command line: ``python -m quarnel passages|duplicates [PATH ...]`` and ``dedup IN... -o OUT``.

``passages`` lists the runs of words that the inputs share, ``duplicates`` the finder's repeated
phrases; both analyse all inputs together and report where each repeat is, file by file.
``dedup`` writes the inputs cleaned of repeated passages (see quarnel._dedup_cli).
"""

import argparse
import math
import os
import sys

from quarnel import _dedup_cli
from quarnel._inputs import SAMPLE, read_inputs
from quarnel._progress import Progress
from quarnel._report import WRITERS, Report
from quarnel._version import __version__

LIMIT = 2**31 - 1
EXIT_UNREADABLE = 1
EXIT_USAGE = 2  # also: duplicated share above --fail-over
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
    found = parser.add_argument_group("files found in directories")
    found.add_argument("--glob", action="append", default=[], metavar="PATTERN",
                       help="read only files whose name or path below the directory matches "
                            "(repeatable; e.g. '*.txt')")
    found.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                       help="leave out files and directories whose name or path below the "
                            "directory matches (repeatable)")
    found.add_argument("--hidden", action="store_true",
                       help="also read files and directories whose name starts with '.'")
    output = parser.add_argument_group("output")
    output.add_argument("--format", choices=sorted(WRITERS), default="table",
                        help="table (default), json, jsonl (one record a line) or html (a "
                             "self-contained page; use with -o)")
    output.add_argument("--json", dest="format", action="store_const", const="json",
                        help="the same as --format json")
    output.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE")
    output.add_argument("-q", "--quiet", action="store_true",
                        help="no progress line and no notes other than errors")
    output.add_argument("--fail-over", type=percent, metavar="PERCENT",
                        help="exit with status 2 when the duplicated share of all words is "
                             "above PERCENT (for CI)")


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
    passages.add_argument("--min-chars", type=count(0), default=0, metavar="N",
                          help="fewest characters in a passage (default: 0)")
    passages.set_defaults(default_min_words=8)

    dup = commands.add_parser(
        "duplicates", help="the repeated phrases of the inputs, longest first",
        description="Lists every phrase that occurs at two or more places across all inputs, "
                    "longest first (by characters, the first column), with the places as "
                    "file:line:column, then the duplicated share of the words.")
    add_common(dup, 0)
    dup.add_argument("--min-chars", type=count(0), default=9, metavar="N",
                     help="a phrase needs more non-space characters than this (default: 9)")
    dup.add_argument("--max-words", type=count(1), default=50, metavar="N",
                     help="most words in a phrase (default: 50)")
    dup.add_argument("--min-words-in-substring", type=count(0), default=2, metavar="N",
                     help="fewest whitespace-separated words a phrase keeps (default: 2)")
    dup.add_argument("--blocks", action="store_true", help="also report long repeated blocks")
    dup.set_defaults(default_min_words=4)
    _dedup_cli.add_parser(commands, count)
    for sub, default in ((passages, 8), (dup, 4)):
        for action in sub._actions:
            if action.dest == "min_words":
                action.help += f" (default: {default})"
    return parser


def stdin_is_terminal():
    return sys.stdin is None or sys.stdin.isatty()


def analyse(args, names, texts):
    import quarnel  # NumPy is needed from here on only

    documents = list(zip(names, texts))
    common = dict(min_words=args.min_words, min_chars=args.min_chars,
                  ignore_case=args.ignore_case, collapse_whitespace=args.collapse_whitespace)
    if args.command == "passages":
        return quarnel.find_passages(documents, **common)
    return quarnel.find_phrases(documents, max_words=args.max_words,
                                min_words_in_substring=args.min_words_in_substring,
                                blocks=args.blocks, **common)


def open_output(args):
    if args.output is None:
        sys.stdout.reconfigure(encoding="utf-8", errors="surrogateescape")
        return sys.stdout
    return open(args.output, "w", encoding="utf-8", errors="surrogateescape", newline="\n")


def run(args, out, progress):
    paths = args.paths
    if not paths:
        paths = [None] if stdin_is_terminal() else ["-"]
        if paths == [None]:
            progress.note(f"quarnel: no input given; analysing the bundled sample ({SAMPLE})")
    inputs = read_inputs(paths, args.glob, args.exclude, args.hidden, progress, args.output)
    chars = sum(map(len, inputs.texts))
    progress.set(f"analysing {len(inputs.texts):,} files, {chars / 1e6:.1f} M characters")
    try:
        matches = analyse(args, inputs.names, inputs.texts)
    except ValueError as exc:  # parameters the library refuses
        raise UsageError(str(exc)) from None
    report = Report(args.command, matches, inputs.names, inputs.texts, inputs.skipped,
                    inputs.failed)
    WRITERS[args.format](report, out, progress)
    out.flush()
    status = EXIT_UNREADABLE if inputs.failed else 0
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
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.min_words is None:
        args.min_words = args.default_min_words
    if args.command == "duplicates" and args.max_words < args.min_words:
        parser.error(f"--max-words ({args.max_words}) must be at least --min-words "
                     f"({args.min_words})")
    progress = Progress(enabled=not args.quiet and sys.stderr is not None and sys.stderr.isatty(),
                        quiet=args.quiet)
    try:
        if args.command == "dedup":
            return _dedup_cli.main(args, progress)
        try:
            out = open_output(args)
        except OSError as exc:
            print(f"quarnel: error: cannot write {args.output}: {exc.strerror or exc}",
                  file=sys.stderr)
            return EXIT_USAGE
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
