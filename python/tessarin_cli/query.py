"""A search described once, with the command's defaults, and checked before
any text is read. Kept free of slow imports: the command starts with it."""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is slow to import

if TYPE_CHECKING:
    from tessarin_cli.search import Hit

from tessarin_names import METRICS, STRATEGIES

# Windows are compared trimmed but reported whole, so among equally good
# windows "shortest" drops the ones that carry a neighbouring space.
DEFAULT_FUZZY_STRATEGIES = ("best_match", "shortest")
DEFAULT_THRESHOLD = {1: 0.2, 0: 1.0}  # by threshold kind: normalized, absolute
_FIELDS = ("pattern", "separator", "ignore_case", "ignore_accents", "metric", "threshold",
           "threshold_kind", "strategies")


class Search:
    """A search: exact or fuzzy, over raw or token windows. Immutable."""
    __slots__ = (*_FIELDS, "_query")
    pattern: str
    separator: str | None         # None: raw windows; else token windows
    ignore_case: bool
    ignore_accents: bool
    metric: str | None            # None: exact search
    threshold: float
    threshold_kind: int
    strategies: tuple[str, ...]

    def __init__(self, pattern: str, separator: str | None = None, ignore_case: bool = False,
                 ignore_accents: bool = False, metric: str | None = None, threshold: float = 0.0,
                 threshold_kind: int = 1, strategies: tuple[str, ...] = ()) -> None:
        values = (pattern, separator, ignore_case, ignore_accents, metric, threshold, threshold_kind,
                  tuple(strategies))
        for name, value in zip(_FIELDS, values):
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to field {name!r}: a Search is immutable")

    def _values(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in _FIELDS)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Search) and self._values() == other._values()

    def __hash__(self) -> int:
        return hash(self._values())

    def __repr__(self) -> str:
        inner = ", ".join(f"{name}={getattr(self, name)!r}" for name in _FIELDS)
        return f"Search({inner})"

    def __reduce__(self) -> tuple[type[Search], tuple[object, ...]]:
        return Search, self._values()

    def replace(self, **changes: object) -> Search:
        values = {name: getattr(self, name) for name in _FIELDS}
        values.update(changes)
        return Search(**values)  # type: ignore[arg-type]

    def spans(self, text: str) -> list[tuple[int, int, float]]:
        """The module's own answer: spans of code points into the folded text."""
        import tessarin

        flags = (self.ignore_case, self.ignore_accents)
        strategies = list(self.strategies)
        if self.metric is None:
            if self.separator is None:
                return tessarin.exact_raw_extract(text, self.pattern, *flags, strategies)
            return tessarin.exact_token_extract(text, self.pattern, self.separator, *flags)
        if self.separator is None:
            return tessarin.fuzzy_raw_extract(text, self.pattern, *flags, self.metric, self.threshold,
                                              self.threshold_kind, strategies)
        return tessarin.fuzzy_token_extract(text, self.pattern, self.separator, *flags, self.metric,
                                            self.threshold, self.threshold_kind, strategies)

    def find(self, text: str) -> list[Hit]:
        """The matches in `text`, located in it.

        Searched by the search library's native entry with these very
        settings (the module's own answer, the interpreter lock released),
        which locates each match in `text` itself.
        """
        from tessarin_cli.search import hit_of

        try:
            query = self._query
        except AttributeError:
            from tessarin_search._native import Query

            query = Query([self.pattern], self.separator, self.ignore_case, self.ignore_accents, self.metric,
                          self.threshold, self.threshold_kind, -1, list(self.strategies), False)
            object.__setattr__(self, "_query", query)
        return [hit_of(text, match) for match in query.find(text)]


def build_search(pattern: str, *, separator: str | None = None, ignore_case: bool = False,
                 ignore_accents: bool = False, fuzzy: bool = False, metric: str | None = None,
                 threshold: float | None = None, threshold_kind: int | None = None,
                 strategies: list[str] | tuple[str, ...] | None = None) -> Search:
    """A Search with the command's defaults; ValueError for what cannot work."""
    fuzzy = fuzzy or metric is not None or threshold is not None or threshold_kind is not None
    if not pattern:
        raise ValueError("the pattern is empty: there is nothing to search for")
    if separator == "":
        raise ValueError("the separator is empty: it cannot cut the text into tokens")
    if metric is not None and metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r} (choose from {', '.join(METRICS)})")
    unknown = [name for name in strategies or () if name not in STRATEGIES]
    if unknown:
        raise ValueError(f"unknown strategy {unknown[0]!r} (choose from {', '.join(STRATEGIES)})")
    if strategies and separator is not None and not fuzzy:
        raise ValueError("exact token search reports every match; it takes no strategy")
    if threshold is not None and not threshold >= 0:  # NaN fails this too
        raise ValueError("the threshold must be a number of at least 0")
    if not fuzzy:
        return Search(pattern, separator, ignore_case, ignore_accents,
                      strategies=tuple(strategies or ()))
    kind = 1 if threshold_kind is None else threshold_kind
    return Search(pattern, separator, ignore_case, ignore_accents,
                  metric or "levenshtein", DEFAULT_THRESHOLD[kind] if threshold is None else threshold,
                  kind, tuple(strategies or DEFAULT_FUZZY_STRATEGIES))
