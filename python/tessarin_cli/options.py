"""The command's arguments: grep's, ripgrep's and ugrep's letters where they
have an option for the same thing, ours where they have none."""

from __future__ import annotations

import sys
TYPE_CHECKING = False  # typing itself is slow to import
if TYPE_CHECKING:
    import argparse
    from typing import Sequence

from tessarin_cli.query import METRICS, STRATEGIES, Search, build_search

DESCRIPTION = """\
Search files for a literal pattern, exactly or fuzzily (-Z). Directories are
searched recursively, skipping hidden files, binary files and what .gitignore
and .ignore files exclude. With no FILE, standard input is searched when it is
not a terminal, else the current directory."""

EPILOG = """\
fuzzy matches: every window whose distance from the pattern is within the
threshold is a candidate; candidates that overlap or touch form one group and
only the best of each group is shown (--strategy). A loose threshold makes
neighbouring candidates touch, so groups merge and a higher threshold can
show fewer matches. -t reads a fraction of the pattern's length unless
--absolute makes it a count of edits.

exit status: 0 if something matched, 1 if nothing did, 2 on error (even when
something matched, unless -q), 130 when interrupted."""


class Options:
    """The parsed arguments (argparse fills in what it reads)."""

    patterns: list[str]
    files: list[str]
    search: Search
    # filled by argparse
    regexp: list[str] | None
    file: list[str] | None
    positional: list[str]
    ignore_case: bool
    ignore_accents: bool
    collapse_white_space: bool
    separator: str | None
    fuzzy: bool
    metric: str | None
    threshold: float | None
    threshold_kind: int | None
    edits: int | None
    strategy: list[str] | None
    files_with_matches: bool
    count: bool
    only_matching: bool
    with_pattern: bool
    line_number: bool
    column: bool
    with_filename: bool | None
    after_context: int | None
    before_context: int | None
    context: int | None
    max_count: int | None
    quiet: bool
    no_messages: bool
    glob: list[str] | None
    hidden: bool
    no_ignore: bool
    follow: bool
    text: bool
    binary: bool
    json: bool
    color: str
    threads: int


def show_version_class() -> type:
    import argparse

    class ShowVersion(argparse.Action):
        """-V: the version of the installed package, read from its metadata
        when asked (pyproject.toml alone states it)."""

        def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
            from importlib.metadata import version

            sys.stdout.write(f"tessarin {version('tessarin')}\n")
            parser.exit()

    return ShowVersion


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        import argparse
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    import argparse

    parser = argparse.ArgumentParser(
        prog="tessarin", usage="tessarin [OPTIONS] PATTERN [FILE ...]\n       tessarin [OPTIONS] "
        "-e PATTERN ... [FILE ...]", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    add = parser.add_argument
    ShowVersion = show_version_class()
    add("positional", nargs="*", metavar="PATTERN FILE", help=argparse.SUPPRESS)
    add("-V", "--version", action=ShowVersion, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    what = parser.add_argument_group("what to find")
    what.add_argument("-e", "--regexp", action="append", metavar="PATTERN",
                      help="a pattern (repeatable); it is literal text, not a regular expression")
    what.add_argument("-f", "--file", action="append", metavar="FILE",
                      help="read patterns from FILE, one per line")
    what.add_argument("-F", "--fixed-strings", action="store_true",
                      help="accepted for habit's sake: patterns are always literal")
    what.add_argument("-i", "--ignore-case", action="store_true",
                      help="fold case with full Unicode lower-casing")
    what.add_argument("--ignore-accents", action="store_true",
                      help="fold à â ä ç è é ê ë ï ù û ü to plain letters, @ to a, € to e")
    what.add_argument("--collapse-white-space", action="store_true",
                      help="read every run of white space (CR LF, tabs, indentation, no-break spaces), "
                           "in the files and in the patterns, as one space: a phrase is found across "
                           "line breaks; lines, columns and printed text stay those of the file")
    what.add_argument("--separator", metavar="SEP",
                      help="compare runs of tokens cut at SEP instead of raw windows")
    what.add_argument("-Z", "--fuzzy", action="store_true",
                      help="fuzzy search (implied by --metric, -t, --absolute, --normalized)")
    what.add_argument("--metric", metavar="NAME",
                      help=f"distance metric (default levenshtein): {', '.join(METRICS)}")
    what.add_argument("-t", "--threshold", type=float, metavar="X",
                      help="largest distance accepted (default 0.2 normalized, 1 absolute)")
    what.add_argument("--edits", type=non_negative, metavar="K",
                      help="fuzzy search allowing K edits as agrep and ugrep count them: windows of the "
                           "pattern's length less K to plus K, insertions and deletions included "
                           "(-ZK says the same, as ugrep spells it)")
    kind = what.add_mutually_exclusive_group()
    kind.add_argument("--normalized", action="store_const", const=1, dest="threshold_kind",
                      help="the threshold is a distance in [0, 1] (default)")
    kind.add_argument("--absolute", action="store_const", const=0, dest="threshold_kind",
                      help="the threshold counts edits")
    what.add_argument("--strategy", action="append", metavar="NAME",
                      help="tie-breaker among overlapping matches, repeatable "
                           f"(fuzzy default: best_match, shortest): {', '.join(STRATEGIES)}")

    where = parser.add_argument_group("where to look")
    where.add_argument("-r", "--recursive", action="store_true",
                       help="accepted for habit's sake: directories are always searched recursively")
    where.add_argument("-g", "--glob", action="append", metavar="GLOB",
                       help="search only files matching GLOB; !GLOB excludes (repeatable)")
    where.add_argument("--hidden", action="store_true", help="search hidden files and directories")
    where.add_argument("--no-ignore", action="store_true",
                       help="do not skip what .gitignore and .ignore files exclude")
    where.add_argument("-L", "--follow", action="store_true", help="follow symbolic links")
    where.add_argument("-a", "--text", action="store_true",
                       help="search binary files as if they were text")
    where.add_argument("--binary", action="store_true",
                       help="search binary files found in directories too, and say when they match")

    show = parser.add_argument_group("what to print")
    show.add_argument("-l", "--files-with-matches", action="store_true",
                      help="print only the names of files with a match")
    show.add_argument("-c", "--count", action="store_true",
                      help="print only a count of matching lines per file")
    show.add_argument("-o", "--only-matching", action="store_true",
                      help="print only the matched text, one match per line")
    show.add_argument("--with-pattern", action="store_true",
                      help="with -o, follow each match by a tab and the pattern that found it")
    show.add_argument("-q", "--quiet", action="store_true",
                      help="print nothing; exit 0 at the first match")
    show.add_argument("-n", "--line-number", action="store_true", default=True,
                      help="show line numbers (default)")
    show.add_argument("-N", "--no-line-number", action="store_false", dest="line_number",
                      help="do not show line numbers")
    show.add_argument("--column", action="store_true",
                      help="show the column of the first match on the line")
    show.add_argument("-H", "--with-filename", action="store_true", default=None,
                      help="show the file name on every line (default with several files)")
    show.add_argument("-I", "--no-filename", action="store_false", dest="with_filename",
                      help="never show file names")
    show.add_argument("-A", "--after-context", type=non_negative, metavar="NUM",
                      help="show NUM lines after each match")
    show.add_argument("-B", "--before-context", type=non_negative, metavar="NUM",
                      help="show NUM lines before each match")
    show.add_argument("-C", "--context", type=non_negative, metavar="NUM",
                      help="show NUM lines before and after each match")
    show.add_argument("-m", "--max-count", type=non_negative, metavar="NUM",
                      help="stop reading a file after NUM matching lines")
    show.add_argument("-s", "--no-messages", action="store_true",
                      help="do not report unreadable or missing files")
    show.add_argument("--json", action="store_true",
                      help="print one JSON object per match, one per line")
    show.add_argument("--color", "--colour", choices=("auto", "always", "never"), default="auto",
                      help="color paths, numbers and matches (auto: on a terminal, unless NO_COLOR)")
    show.add_argument("-j", "--threads", "--jobs", type=non_negative, default=0, metavar="NUM",
                      help="search NUM files at once in threads (default 0: one per CPU)")
    return parser


def read_pattern_file(path: str) -> list[str]:
    stream = sys.stdin.buffer if path == "-" else open(path, "rb")
    with stream:
        return [line.decode("utf-8").removesuffix("\r") for line in stream.read().split(b"\n")
                if line.strip(b"\r")]


# Options whose value may itself start with "-", as grep's -e -x does.
TAKES_ANY_VALUE = {"-e": "--regexp", "--regexp": "--regexp", "-f": "--file", "--file": "--file",
                   "-g": "--glob", "--glob": "--glob"}


def split_arguments(argv: list[str]) -> tuple[list[str], list[str], str | None]:
    """The arguments for the parser, those after "--" (patterns or files,
    never options), and the separator's value if one was given. The parser
    would drop a separator of "--" (argparse removes that string from every
    option's values) and refuse one that starts with "-", so it never sees it."""
    options: list[str] = []
    separator = None
    at = 0
    while at < len(argv):
        argument = argv[at]
        if argument == "--":
            return options, argv[at + 1:], separator
        if argument == "--separator" and at + 1 < len(argv):
            separator = argv[at + 1]
            at += 2
            continue
        if argument.startswith("--separator="):
            separator = argument.partition("=")[2]
            at += 1
            continue
        if argument in TAKES_ANY_VALUE and at + 1 < len(argv):
            options.append(f"{TAKES_ANY_VALUE[argument]}={argv[at + 1]}")
            at += 2
            continue
        options.append(argument)
        at += 1
    return options, [], separator


# What argparse leaves in Options when an option is not given.
DEFAULTS = {
    "regexp": None, "file": None, "fixed_strings": False, "ignore_case": False, "ignore_accents": False,
    "collapse_white_space": False,
    "separator": None, "fuzzy": False, "metric": None, "threshold": None, "threshold_kind": None, "edits": None,
    "strategy": None, "recursive": False, "glob": None, "hidden": False, "no_ignore": False, "follow": False,
    "text": False, "binary": False, "files_with_matches": False, "count": False, "only_matching": False, "with_pattern": False,
    "quiet": False, "line_number": True, "column": False, "with_filename": None, "after_context": None,
    "before_context": None, "context": None, "max_count": None, "no_messages": False, "json": False,
    "color": "auto", "threads": 0,
}

# Options read without argparse, whose import and set-up take longer than
# most searches: flags to (field, value), and options taking the next
# argument to (field, conversion, whether repeatable).
QUICK_FLAGS = {
    "-F": ("fixed_strings", True), "--fixed-strings": ("fixed_strings", True),
    "-i": ("ignore_case", True), "--ignore-case": ("ignore_case", True),
    "--ignore-accents": ("ignore_accents", True),
    "--collapse-white-space": ("collapse_white_space", True), "-Z": ("fuzzy", True), "--fuzzy": ("fuzzy", True),
    "--normalized": ("threshold_kind", 1), "--absolute": ("threshold_kind", 0),
    "-r": ("recursive", True), "--recursive": ("recursive", True), "--hidden": ("hidden", True),
    "--no-ignore": ("no_ignore", True), "-L": ("follow", True), "--follow": ("follow", True),
    "-a": ("text", True), "--text": ("text", True), "--binary": ("binary", True),
    "-l": ("files_with_matches", True), "--files-with-matches": ("files_with_matches", True),
    "-c": ("count", True), "--count": ("count", True), "-o": ("only_matching", True),
    "--only-matching": ("only_matching", True), "-q": ("quiet", True), "--quiet": ("quiet", True),
    "-n": ("line_number", True), "--line-number": ("line_number", True),
    "-N": ("line_number", False), "--no-line-number": ("line_number", False), "--column": ("column", True),
    "-H": ("with_filename", True), "--with-filename": ("with_filename", True),
    "-I": ("with_filename", False), "--no-filename": ("with_filename", False),
    "-s": ("no_messages", True), "--no-messages": ("no_messages", True), "--json": ("json", True),
    "--with-pattern": ("with_pattern", True),
}
QUICK_VALUES = {
    "-e": ("regexp", str, True), "--regexp": ("regexp", str, True), "-f": ("file", str, True),
    "--file": ("file", str, True), "-g": ("glob", str, True), "--glob": ("glob", str, True),
    "--separator": ("separator", str, False), "--metric": ("metric", str, False),
    "--edits": ("edits", non_negative, False), "-t": ("threshold", float, False), "--threshold": ("threshold", float, False),
    "--strategy": ("strategy", str, True), "-A": ("after_context", non_negative, False),
    "--after-context": ("after_context", non_negative, False), "-B": ("before_context", non_negative, False),
    "--before-context": ("before_context", non_negative, False), "-C": ("context", non_negative, False),
    "--context": ("context", non_negative, False), "-m": ("max_count", non_negative, False),
    "--max-count": ("max_count", non_negative, False), "-j": ("threads", non_negative, False),
    "--threads": ("threads", non_negative, False), "--jobs": ("threads", non_negative, False),
    "--color": ("color", str, False), "--colour": ("color", str, False),
}


def quick_parse(argv: list[str]) -> Options | None:
    """Reads the arguments as argparse would, when they are only whole
    options it knows, each value in the next argument, and positional
    arguments; None for anything else (help, attached values, "--", an
    abbreviation, a bad value), which argparse then reads and judges."""
    options = Options()
    values = dict(DEFAULTS)
    positional: list[str] = []
    kinds = set()
    at = 0
    while at < len(argv):
        argument = argv[at]
        at += 1
        if argument == "-" or not argument.startswith("-"):
            positional.append(argument)
        elif argument in QUICK_FLAGS:
            field, value = QUICK_FLAGS[argument]
            values[field] = value
            if field == "threshold_kind":
                kinds.add(argument)
        elif argument in QUICK_VALUES and at < len(argv):
            field, convert, repeatable = QUICK_VALUES[argument]
            text = argv[at]
            at += 1
            if text.startswith("-") and argument not in TAKES_ANY_VALUE:
                return None
            try:
                value = convert(text)
            except (ValueError, ArithmeticError):
                return None
            if field == "color" and value not in ("auto", "always", "never"):
                return None
            if repeatable:
                values[field] = (values[field] or []) + [value]
            else:
                values[field] = value
        else:
            return None
    if len(kinds) > 1:  # --normalized and --absolute exclude each other
        return None
    for field, value in values.items():
        setattr(options, field, value)
    options.positional = positional
    return options


def ugrep_edit_counts(argv: Sequence[str]) -> list[str]:
    """-Z followed by a count (-Z2), as ugrep writes an edit count, read as -Z --edits 2."""
    expanded = []
    for at, argument in enumerate(argv):
        if argument == "--":
            return expanded + list(argv[at:])
        if argument.startswith("-Z") and argument[2:].isdigit():
            expanded += ["-Z", "--edits", argument[2:]]
        else:
            expanded.append(argument)
    return expanded


def parse(argv: Sequence[str]) -> tuple[Options, list[str]]:
    """Parsed options and warnings; exits through argparse on a usage error."""
    parser: argparse.ArgumentParser | None = None
    argv = ugrep_edit_counts(argv)
    options = quick_parse(list(argv))
    if options is None:
        parser = build_parser()
        argv, rest, separator = split_arguments(list(argv))
        options = parser.parse_intermixed_args(argv, namespace=Options())
        if separator is not None:
            options.separator = separator
        if not isinstance(options.separator, (str, type(None))):  # an abbreviated option lost its "--"
            parser.error("argument --separator: write a separator of -- as --separator=--")
        options.positional = list(options.positional) + rest

    def usage_error(message: str) -> None:
        (parser or build_parser()).error(message)

    patterns = list(options.regexp or [])
    try:
        for path in options.file or []:
            patterns += read_pattern_file(path)
    except (OSError, UnicodeDecodeError) as error:
        usage_error(f"cannot read patterns: {error}")
    if options.regexp is None and options.file is None:
        if not options.positional:
            usage_error("no pattern given")
        patterns = [options.positional.pop(0)]
    if not patterns:
        usage_error("the pattern file holds no pattern")
    options.patterns = patterns
    options.files = options.positional
    warnings = []
    if options.edits is not None:
        if options.threshold is not None or options.threshold_kind is not None:
            usage_error("--edits counts edits itself: it takes no -t, --absolute or --normalized")
        if options.metric is not None and options.metric in ("jaro", "jaro_winkler"):
            usage_error(f"metric {options.metric!r} counts no edits: --edits needs another")
        options.fuzzy, options.threshold, options.threshold_kind = True, float(options.edits), 0
    if options.threshold is not None and options.threshold > 1 and options.threshold_kind != 0:
        warnings.append(f"-t {options.threshold:g} is read as a normalized distance above 1, which "
                        "accepts nearly everything; add --absolute to count edits")
    try:
        options.search = build_search(
            patterns[0], separator=options.separator, ignore_case=options.ignore_case,
            ignore_accents=options.ignore_accents, fuzzy=options.fuzzy, metric=options.metric,
            threshold=options.threshold, threshold_kind=options.threshold_kind,
            strategies=options.strategy)
        for pattern in patterns[1:]:
            build_search(pattern, separator=options.separator)
    except ValueError as error:
        usage_error(str(error))
    return options, warnings
