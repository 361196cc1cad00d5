"""Find a pattern in a text, exactly or with a few typos, and get back where
it is in the text you passed: code points, line and column.

>>> from tessarin_search import Search
>>> search = Search("lighthouse", edits=1)
>>> [(m.start, m.end, m.text) for m in search.find("a lightthouse here")]
[(2, 13, 'lightthouse')]
>>> [(m.line, m.column, m.text) for m in Search(["Paris", "Lyon"], edits=1).find("Pris\\nto Lyn")]
[(1, 1, 'Pris'), (2, 4, 'Lyn')]

A search is described once, checked at once (a bad value raises ValueError
or TypeError naming it and the valid choices) and used for any number of
texts: ``find`` for one, ``find_many`` for many on several threads. The
module ``tessarin``'s four functions are the low-level contract that this
layer is built on; its searches are theirs.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Sequence
from decimal import Decimal

from tessarin_names import METRICS, STRATEGIES
from tessarin_search._native import Match, Query

__all__ = ["METRICS", "STRATEGIES", "Match", "Search", "find", "find_many"]

# Windows are compared trimmed but reported whole: among equally close
# windows, "shortest" drops those that carry a neighbouring space.
DEFAULT_STRATEGIES = ("best_match", "shortest")
# Metrics whose absolute distance is a count (of edits, or of code points
# that differ), so that `edits` means something for them.
COUNTING_METRICS = tuple(name for name in METRICS if name not in ("jaro", "jaro_winkler"))
# The core reads at most this many code points of reach either side.
MOST_EDITS = 127


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def _patterns(pattern: str | Sequence[str] | None, patterns: Sequence[str] | None) -> list[str]:
    if (pattern is None) == (patterns is None):
        raise TypeError("give one pattern, or a list of them, either as the first argument or as patterns=")
    given = pattern if pattern is not None else patterns
    if isinstance(given, str):
        given = [given]
    if not isinstance(given, Sequence):
        raise TypeError(f"patterns must be a str or a sequence of str, not {type(given).__name__}")
    chosen = list(given)
    if not chosen:
        raise ValueError("the list of patterns is empty: there is nothing to search for")
    for item in chosen:
        if not isinstance(item, str):
            raise TypeError(f"every pattern must be a str, not {item!r}")
        if not item.strip():
            raise ValueError(f"the pattern {item!r} is empty or only white space: it would match nothing useful")
    return chosen


def _threshold(edits: int | None, similarity: float | None, metric: str) -> tuple[float, int, int]:
    """The core's (threshold, threshold kind, edit reach) for a fuzzy search."""
    if edits is not None:
        if isinstance(edits, bool) or not isinstance(edits, int):
            raise TypeError(f"edits must be an int (a count of edits), not {edits!r}")
        if not 0 <= edits <= MOST_EDITS:
            raise ValueError(f"edits={edits} is out of range: choose from 0 to {MOST_EDITS}")
        if metric not in COUNTING_METRICS:
            raise ValueError(f"metric {metric!r} counts no edits: with edits=, choose from "
                             f"{', '.join(COUNTING_METRICS)}; or give a similarity")
        return float(edits), 0, edits
    assert similarity is not None
    if isinstance(similarity, bool) or not isinstance(similarity, (int, float)):
        raise TypeError(f"similarity must be a number from 0 to 1, not {similarity!r}")
    if math.isnan(similarity) or not 0 <= similarity <= 1:
        raise ValueError(f"similarity={similarity!r} is out of range: choose a number from 0 to 1 "
                         "(1 is an exact match)")
    # 1 - 0.8 in binary floating point is 0.19999999999999996, which would
    # allow a 10-code-point pattern windows one code point longer, not two:
    # the distance is taken as the decimal that the caller wrote.
    distance = float(1 - Decimal(repr(float(similarity))))
    return distance, 1, -1


class Search:
    """A search for one pattern or several, described once and checked at once.

    Arguments (all but the pattern by keyword):

    - ``pattern``: a str, or a list of them (also as ``patterns=``); each
      match says which pattern it is (``pattern``, ``pattern_index``).
    - ``edits``: fuzzy search allowing at most this many edits (insertions,
      deletions, substitutions), as agrep and ugrep count them: windows from
      m - k to m + k code points for a pattern of m, kept when their distance
      is at most k.
    - ``similarity``: fuzzy search by a normalized distance instead: a window
      is kept when its distance divided by the longer length is at most
      1 - similarity (0.8 accepts 2 edits in 10).
    - ``metric``: the distance of a fuzzy search (default "levenshtein"); one
      of ``METRICS``.
    - ``ignore_case``: full Unicode lower-casing of text and pattern.
    - ``ignore_accents``: reads à â ä ç è é ê ë ï ù û ü as plain letters
      (and @ as a, € as e).
    - ``collapse_white_space``: any run of white space in the text (a line
      break, CRLF, tabs, indentation, a no-break space) matches a space of
      the pattern.
    - ``separator``: compare runs of whole tokens cut at this literal text
      (such as " ") instead of raw windows of code points.
    - ``strategies``: how one match is picked among overlapping or touching
      ones, in order (default: "best_match", then "shortest"); see
      ``STRATEGIES``. An exact token search reports every match and takes none.

    Without ``edits`` or ``similarity`` the search is exact. Positions are
    always those of the text passed in, whatever folding or collapsing did.
    """

    __slots__ = ("patterns", "edits", "similarity", "metric", "ignore_case", "ignore_accents",
                 "collapse_white_space", "separator", "strategies", "_query")

    patterns: tuple[str, ...]
    edits: int | None
    similarity: float | None
    metric: str | None
    ignore_case: bool
    ignore_accents: bool
    collapse_white_space: bool
    separator: str | None
    strategies: tuple[str, ...]

    def __init__(self, pattern: str | Sequence[str] | None = None, *, patterns: Sequence[str] | None = None,
                 edits: int | None = None, similarity: float | None = None, metric: str | None = None,
                 ignore_case: bool = False, ignore_accents: bool = False, collapse_white_space: bool = False,
                 separator: str | None = None, strategies: Sequence[str] | None = None) -> None:
        chosen = _patterns(pattern, patterns)
        flags = [_flag(name, value) for name, value in (("ignore_case", ignore_case),
                                                         ("ignore_accents", ignore_accents),
                                                         ("collapse_white_space", collapse_white_space))]
        if edits is not None and similarity is not None:
            raise ValueError("give edits (a count) or similarity (a fraction), not both")
        fuzzy = edits is not None or similarity is not None
        if metric is not None:
            if not isinstance(metric, str):
                raise TypeError(f"metric must be a str, one of {', '.join(METRICS)}; not {metric!r}")
            if metric not in METRICS:
                raise ValueError(f"unknown metric {metric!r}: choose from {', '.join(METRICS)}")
            if not fuzzy:
                raise ValueError(f"metric {metric!r} is for a fuzzy search: give edits= or similarity= too")
        if separator is not None:
            if not isinstance(separator, str):
                raise TypeError(f"separator must be a str or None, not {separator!r}")
            if not separator:
                raise ValueError("the separator is empty: it cannot cut the text into tokens")
        if strategies is not None:
            if isinstance(strategies, str) or not isinstance(strategies, Sequence):
                raise TypeError(f"strategies must be a list of names, not {strategies!r}; "
                                f"choose from {', '.join(STRATEGIES)}")
            for name in strategies:
                if name not in STRATEGIES:
                    raise ValueError(f"unknown strategy {name!r}: choose from {', '.join(STRATEGIES)}")
            if separator is not None and not fuzzy:
                raise ValueError("an exact token search reports every match: it takes no strategies")
        metric_name = (metric or "levenshtein") if fuzzy else None
        threshold, threshold_kind, edit_reach = (
            _threshold(edits, similarity, metric_name) if metric_name else (0.0, 0, -1))
        chosen_strategies = tuple(DEFAULT_STRATEGIES if strategies is None else strategies)
        set_field = object.__setattr__
        for name, value in (("patterns", tuple(chosen)), ("edits", edits),
                            ("similarity", None if similarity is None else float(similarity)),
                            ("metric", metric_name), ("ignore_case", flags[0]), ("ignore_accents", flags[1]),
                            ("collapse_white_space", flags[2]), ("separator", separator),
                            ("strategies", chosen_strategies)):
            set_field(self, name, value)
        set_field(self, "_query", Query(chosen, separator, flags[0], flags[1], metric_name, threshold,
                                        threshold_kind, edit_reach, list(chosen_strategies), flags[2]))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to {name!r}: a Search is immutable (make another)")

    def _arguments(self) -> dict[str, object]:
        arguments: dict[str, object] = {"patterns": self.patterns}
        for name in ("edits", "similarity", "ignore_case", "ignore_accents", "collapse_white_space", "separator"):
            arguments[name] = getattr(self, name)
        if self.metric is not None:
            arguments["metric"] = self.metric
        if not (self.separator is not None and self.metric is None):
            arguments["strategies"] = self.strategies
        return arguments

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={value!r}" for name, value in self._arguments().items()
                          if value is not None and value is not False)
        return f"Search({shown})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Search) and self._arguments() == other._arguments()

    def __hash__(self) -> int:
        return hash(tuple(self._arguments().items()))

    def __reduce__(self) -> tuple[object, ...]:
        # A Search travels to worker processes (Dask, Spark) as its arguments.
        return _rebuild, (self._arguments(),)

    def find(self, text: str) -> list[Match]:
        """The matches in `text`, in order of start, located in it.

        Each match unpacks as (start, end, score), as the module's functions
        give it, and has ``line``,
        ``column`` (both from 1), ``text`` (``text[start:end]``), ``pattern``
        and ``pattern_index``. The interpreter lock is released while the
        text is searched.
        """
        return self._query.find(text)

    def find_many(self, texts: Iterable[str], *, threads: int = 1) -> Iterator[list[Match]]:
        """The matches of each text, in the order of `texts`, searched on `threads` threads.

        `texts` may be any iterable of str (a list, a generator reading
        files): it is read as the results are, a few hundred texts ahead at
        most, while the other threads search with the interpreter lock
        released; the calling thread is one of the `threads`. A text that is
        no str, or an error raised by the iterable, is raised in that text's
        place, after the results of the texts before it.
        """
        if isinstance(threads, bool) or not isinstance(threads, int):
            raise TypeError(f"threads must be an int of at least 1, not {threads!r}")
        if threads < 1:
            raise ValueError(f"threads={threads} is out of range: choose 1 or more")
        if isinstance(texts, str):
            raise TypeError("texts must be an iterable of str, not one str: use find() for one text")
        return self._query.find_many(iter(texts), threads)


def _rebuild(arguments: dict[str, object]) -> Search:
    return Search(**arguments)  # type: ignore[arg-type]


def find(pattern: str | Sequence[str], text: str, *, edits: int | None = None, similarity: float | None = None,
         metric: str | None = None, ignore_case: bool = False, ignore_accents: bool = False,
         collapse_white_space: bool = False, separator: str | None = None,
         strategies: Sequence[str] | None = None) -> list[Match]:
    """The matches of `pattern` in `text`: ``Search(pattern, ...).find(text)``."""
    return Search(pattern, edits=edits, similarity=similarity, metric=metric, ignore_case=ignore_case,
                  ignore_accents=ignore_accents, collapse_white_space=collapse_white_space, separator=separator,
                  strategies=strategies).find(text)


def find_many(pattern: str | Sequence[str], texts: Iterable[str], *, threads: int = 1, edits: int | None = None,
              similarity: float | None = None, metric: str | None = None, ignore_case: bool = False,
              ignore_accents: bool = False, collapse_white_space: bool = False, separator: str | None = None,
              strategies: Sequence[str] | None = None) -> Iterator[list[Match]]:
    """The matches of `pattern` in each of `texts`: ``Search(pattern, ...).find_many(texts, threads=threads)``."""
    return Search(pattern, edits=edits, similarity=similarity, metric=metric, ignore_case=ignore_case,
                  ignore_accents=ignore_accents, collapse_white_space=collapse_white_space, separator=separator,
                  strategies=strategies).find_many(texts, threads=threads)
