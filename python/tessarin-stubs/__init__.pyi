"""Exact and fuzzy search of a pattern in a text, over character or token windows."""

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

__all__ = ["exact_raw_extract", "exact_token_extract", "fuzzy_raw_extract", "fuzzy_token_extract"]

# (start, end, score): code-point positions into the folded text, end
# exclusive, and a distance (0.0 for an exact match).
_Match: TypeAlias = tuple[int, int, float]

# The names the module knows. A parameter takes `_Metric | str` because any
# other name is a call the module accepts (an unknown strategy is ignored, an
# unknown metric only fails once a comparison is due) and a name held in a
# plain `str` must type-check; the literals are there so that signatures and
# editors show the known names.
_Metric: TypeAlias = Literal[
    "levenshtein",
    "damerau_levenshtein",
    "osa",
    "indel",
    "lcs_seq",
    "hamming",
    "jaro",
    "jaro_winkler",
    "prefix",
    "postfix",
]
_Strategy: TypeAlias = Literal["best_match", "shortest", "longest", "minimum_isolated_character"]

# A `str` is a sequence of strings too, but passing one as `strategies`
# raises TypeError; no static type can exclude it.
#
# The flags also accept a NumPy boolean at run time. They are typed `bool`
# anyway: naming NumPy here would make it a dependency of every type check,
# and without NumPy installed the flags would silently accept anything.

def exact_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    strategies: Sequence[_Strategy | str],
) -> list[_Match]: ...
def exact_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
) -> list[_Match]: ...
def fuzzy_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: _Metric | str,
    threshold: SupportsFloat | SupportsIndex,
    threshold_kind: SupportsIndex,
    strategies: Sequence[_Strategy | str],
) -> list[_Match]: ...
def fuzzy_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: _Metric | str,
    threshold: SupportsFloat | SupportsIndex,
    threshold_kind: SupportsIndex,
    strategies: Sequence[_Strategy | str],
) -> list[_Match]: ...
