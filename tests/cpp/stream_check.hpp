// A search over a stream of bytes against one search over the whole text:
// the matches must be the module's (over the text with CR LF read as a line
// feed where asked), each located where it lies in the original text, and
// the search must never read bytes before those it said it needed, nor
// report a match before where it said all would be. Shared by the core's
// stream test and the fuzzing harness.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "stream/stream.hpp"

namespace tessarin::testing {

// Pieces of text that exercise the stream search: line feeds, CR LF and a
// lone CR, separators, code points that folding lengthens or that fold to
// ASCII, sigmas, ill-formed UTF-8, code points of every UTF-8 length, white
// space of several kinds (tabs, indentation, no-break spaces).
inline const char* const text_pieces[] = {"a",
                                          "b",
                                          "ab",
                                          " ",
                                          " ",
                                          "  ",
                                          "\n",
                                          "\r\n",
                                          "\r",
                                          ",",
                                          ".",
                                          "'",
                                          "\t",
                                          "\n  ",
                                          "x",
                                          "\xc3\xa9",
                                          "\xc3\x89",
                                          "\xc4\xb0",
                                          "\xce\xa3",
                                          "\xcf\x83",
                                          "\xe2\x84\xaa",
                                          "@",
                                          "\xe2\x82\xac",
                                          "\xe6\x97\xa5",
                                          "\xf0\x9f\x98\x80",
                                          "\xff",
                                          "\xe2\x82",
                                          "\xed\xa0\x80",
                                          "K",
                                          "Ab",
                                          "\xc2\xa0",
                                          "\xe3\x80\x80"};

// The module's answer over the whole text, or nothing where it fails.
inline bool whole_text(const StreamQuery& query, const std::string& text, MatchList& matches)
{
    try {
        switch (query.mode) {
        case SearchMode::exact_raw: matches = exact_raw_extract(text, query.pattern, query.options); break;
        case SearchMode::exact_token:
            matches = exact_token_extract(text, query.pattern, query.separator, query.options);
            break;
        case SearchMode::fuzzy_raw: matches = fuzzy_raw_extract(text, query.pattern, query.options); break;
        case SearchMode::fuzzy_token:
            matches = fuzzy_token_extract(text, query.pattern, query.separator, query.options);
            break;
        }
        return true;
    } catch (const ExtractionFailure&) {
        return false;
    }
}

// The folded position of each original code point, and one past the last:
// lower-casing lengthens a code point by as much as str.lower() does.
inline std::vector<std::uint64_t> folded_starts(const std::u32string& code_points, bool case_insensitive)
{
    std::vector<std::uint64_t> starts{0};
    for (const char32_t c : code_points) {
        Cancellation never;
        const std::u32string one(1, c);
        const std::uint64_t length =
            case_insensitive ? fold_code_points(TextInput::borrowed(UnitText::borrowed(std::u32string_view(one))), true,
                                                false, never)
                                   .size()
                             : 1;
        starts.push_back(starts.back() + length);
    }
    return starts;
}

// The text as the stream searches it with every run of white space read
// as one space; `file_index` as as_searched() gives it (a run: its first
// code point's).
inline std::string as_searched_collapsed(const std::string& text, std::vector<std::uint64_t>& file_index)
{
    std::string searched;
    file_index.clear();
    bool in_run = false;
    std::uint64_t index = 0;
    for (std::size_t pos = 0; pos < text.size(); ++index) {
        const std::size_t start = pos;
        const bool white = is_white_space(utf8::decode_replacing(text, pos));
        if (white && in_run) continue;
        in_run = white;
        file_index.push_back(index);
        // Ill-formed parts stay as they are, and decode as they did.
        searched.append(white ? std::string(" ") : text.substr(start, pos - start));
    }
    file_index.push_back(index);
    return searched;
}

// The text as the stream searches it: each CR that a line feed follows
// left out where CR LF is read as a line feed, or every run of white space
// read as one space where asked. `file_index` gets, for each code point
// kept and one past the last, its index in the text itself (a line feed
// read for CR LF: its CR's).
inline std::string as_searched(const std::string& text, bool crlf, const std::u32string& code_points,
                               std::vector<std::uint64_t>& file_index, bool collapse = false)
{
    if (collapse) return as_searched_collapsed(text, file_index);
    std::string searched;
    file_index.clear();
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const bool paired_cr =
            crlf && code_points[i] == U'\r' && i + 1 < code_points.size() && code_points[i + 1] == U'\n';
        if (paired_cr) continue;
        file_index.push_back(i > 0 && crlf && code_points[i] == U'\n' && code_points[i - 1] == U'\r' ? i - 1 : i);
    }
    file_index.push_back(code_points.size());
    // The searched text in UTF-8: the text itself, CRs of pairs left out
    // byte by byte (ill-formed parts stay as they are).
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (crlf && text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') continue;
        searched.push_back(text[pos]);
    }
    return searched;
}

// Feeds `text` to one stream search for all of `queries` (alike but for
// their patterns) in the blocks that `next_block` gives (a size, and whether
// the reader then waits), a segment being `segment_bytes`, and reports to
// `check` what does not hold: each pattern's matches must be those of one
// search for it over the whole text, all of them in order of their start.
inline void check_stream(const std::vector<StreamQuery>& queries, const std::string& text, std::size_t segment_bytes,
                         const std::function<std::pair<std::size_t, bool>()>& next_block,
                         const std::function<void(bool, const char*)>& check, bool verbose = false)
{
    const StreamQuery& query = queries.front();
    Cancellation never;
    const UnitText units = decode_to_units(text, never);
    const std::u32string code_points = units.visit([](auto view) {
        std::u32string all;
        for (auto unit : view)
            all.push_back(code_point(unit));
        return all;
    });
    std::vector<std::uint64_t> file_index;
    const std::string searched =
        as_searched(text, query.crlf_line_feeds, code_points, file_index, query.collapse_white_space);
    MatchList expected;
    std::vector<std::size_t> expected_patterns;
    bool succeeds = true;
    {
        std::vector<std::pair<Match, std::size_t>> all;
        for (std::size_t i = 0; i < queries.size(); ++i) {
            MatchList one;
            StreamQuery whole = queries[i];
            if (whole.collapse_white_space) whole.pattern = collapse_white_space(whole.pattern);
            succeeds = whole_text(whole, searched, one) && succeeds;
            for (const Match& match : one)
                all.emplace_back(match, i);
        }
        std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
            return a.first.start != b.first.start ? a.first.start < b.first.start : a.second < b.second;
        });
        for (const auto& [match, pattern] : all) {
            expected.push_back(match);
            expected_patterns.push_back(pattern);
        }
    }

    // The caller's buffer keeps only what the search still needs, so that
    // a read before it fails.
    std::vector<PreparedQuery> prepared;
    for (const StreamQuery& each : queries)
        prepared.emplace_back(each);
    StreamSearch search(prepared, segment_bytes);
    std::string held;
    std::uint64_t held_from = 0;
    std::vector<StreamMatch> found;
    std::uint64_t settled = 0, needed = 0;
    const auto take = [&] {
        for (const StreamMatch& match : search.take()) {
            check(match.byte_start >= settled, "a match starts where the search said all later ones would");
            check(match.line_start >= needed, "a match's line was kept");
            found.push_back(match);
        }
        check(search.settled() >= settled && search.needed_from() >= needed, "the bounds only move forward");
        settled = search.settled();
        needed = search.needed_from();
        held.erase(0, needed - held_from);
        held_from = needed;
    };
    try {
        for (std::size_t at = 0; at < text.size();) {
            const auto [block, waiting] = next_block();
            held.append(text, at, block);
            at += block;
            if (waiting)
                search.search_ready(HeldBytes{held, held_from}, never);
            else
                search.search(HeldBytes{held, held_from}, never);
            take();
        }
        search.finish(HeldBytes{held, held_from}, never);
        take();
    } catch (const ExtractionFailure&) {
        check(!succeeds, "the stream failed where the whole text did not");
        return;
    } catch (const std::out_of_range&) {
        check(false, "the search read bytes before the ones it said it needed");
        return;
    }
    check(succeeds, "the stream did not fail where the whole text did");
    if (verbose) {
        std::printf("mode %d pattern [%s] separator [%s] ci %d sci %d metric %d threshold %g kind %d strategies %zu "
                    "crlf %d collapse %d\n",
                    static_cast<int>(query.mode), query.pattern.c_str(), query.separator.c_str(),
                    query.options.case_insensitive, query.options.special_char_insensitive,
                    query.options.metric.known() ? static_cast<int>(query.options.metric.resolve()) : -1,
                    query.options.threshold, static_cast<int>(query.options.threshold_kind),
                    query.options.strategies.size(), query.crlf_line_feeds, query.collapse_white_space);
        std::printf("text [%s]\n", text.c_str());
        for (const Match& m : expected)
            std::printf("want %llu %llu %g\n", (unsigned long long)m.start, (unsigned long long)m.end, m.score);
        for (const StreamMatch& m : found)
            std::printf("got  %llu %llu %g\n", (unsigned long long)m.start, (unsigned long long)m.end, m.score);
    }
    check(found.size() == expected.size(), "as many matches");
    if (found.size() != expected.size()) return;

    std::u32string searched_points;
    for (std::size_t i = 0; i + 1 < file_index.size(); ++i)
        searched_points.push_back(code_points[file_index[i]]);
    const std::vector<std::uint64_t> folded = folded_starts(searched_points, query.options.case_insensitive);
    // The byte of each code point, as the decoder reads them.
    std::vector<std::uint64_t> bytes{0};
    for (std::size_t pos = 0; pos < text.size();) {
        utf8::decode_replacing(text, pos);
        bytes.push_back(pos);
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        const StreamMatch& got = found[i];
        const Match& want = expected[i];
        // A start inside what one code point became takes that code point,
        // and so does an end that cuts into it.
        const auto original = [&](std::uint64_t position, bool is_end) {
            std::uint64_t k = 0;
            while (k + 1 < folded.size() && folded[k + 1] <= position)
                ++k;
            return file_index[folded[k] == position || !is_end ? k : k + 1];
        };
        check(got.score == want.score && got.end - got.start == want.end - want.start, "the same match");
        check(got.pattern == expected_patterns[i], "the same pattern's match");
        if (query.code_points) {
            check(got.start == want.start && got.end == want.end, "the same match's place");
            check(got.original_start == original(got.start, false), "the original start");
            check(got.original_end == original(got.end, true), "the original end");
        }
        // Located by its bytes in any case.
        check(got.byte_start == bytes[original(want.start, false)] && got.byte_end == bytes[original(want.end, true)],
              "the bytes");
        if (verbose)
            std::printf("match %zu: original %llu %llu bytes %llu %llu\n", i, (unsigned long long)got.original_start,
                        (unsigned long long)got.original_end, (unsigned long long)got.byte_start,
                        (unsigned long long)got.byte_end);
        const std::string before = text.substr(0, got.byte_start);
        const std::size_t line_feed = before.rfind('\n');
        check(got.line == 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n')), "the line");
        check(got.line_start == (line_feed == std::string::npos ? 0 : line_feed + 1), "the line's start");
    }
}

inline void check_stream(const StreamQuery& query, const std::string& text, std::size_t segment_bytes,
                         const std::function<std::pair<std::size_t, bool>()>& next_block,
                         const std::function<void(bool, const char*)>& check, bool verbose = false)
{
    check_stream(std::vector<StreamQuery>{query}, text, segment_bytes, next_block, check, verbose);
}

} // namespace tessarin::testing
