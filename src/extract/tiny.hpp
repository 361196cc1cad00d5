// Calls on a text of a few dozen code points, served in place: the inputs
// are folded into buffers on the stack, each window is compared directly,
// candidates are reduced as they come and the matches kept in place. Such a
// call would otherwise spend most of its time setting up what pays off only
// on long texts (occurrence finders, solvers, lists on the heap).
#pragma once

#include <cstddef>
#include <string_view>

#include "extract/extract.hpp"

namespace tessarin {

// The longest text, pattern and separator served here, in code points.
constexpr std::size_t tiny_most = 64;

// The matches of a tiny call. Each window start gives at most one match
// (exact token search), and each conflict group one (the other searches),
// so a text of n code points gives at most n + 1.
struct TinyMatches {
    Match items[tiny_most + 1];
    std::size_t size = 0;

    void push_back(const Match& match) noexcept { items[size++] = match; }
};

// Serves a call of `mode` into `out` (empty on entry) and returns true, with
// the matches that the extractor of that mode returns; or returns false
// with nothing done when the call is not one for this path: an input longer
// than tiny_most, one whose folding changes more than ASCII units, a
// trimmed pattern that is empty for a fuzzy search, an unknown metric, or a
// token search with a window of no tokens (these fail on the general path,
// where the failure is due). `separator` is read by the token modes alone.
// The three texts come as one byte per code point (Latin-1, read as
// unsigned), as a Python str of such code points holds them.
bool tiny_extract(SearchMode mode, std::string_view s, std::string_view pattern, std::string_view separator,
                  const SearchOptions& options, TinyMatches& out) noexcept;

} // namespace tessarin
