// Coverage-guided fuzzing of the matching library (libFuzzer, with
// AddressSanitizer and UndefinedBehaviorSanitizer). One input drives one
// check: the UTF-8 helpers over arbitrary bytes, folding, the tokenizer, the
// conflict solver, or one of the four extractors, each of which must also
// find exactly what a plain walk over every window finds. Every check states
// what must hold of the result, not only that nothing crashed; a broken
// invariant aborts with a description of it.
//
// The extractors only ever receive valid UTF-8 (the module encodes Python
// strings itself), so their inputs are built from code points; the helpers
// alone get raw bytes, and must never read outside them.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "../tests/cpp/oracle.hpp"
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"
#include "text/text.hpp"

using namespace tessarin;

namespace {

[[noreturn]] void broken(const char* what, int line)
{
    std::fprintf(stderr, "invariant broken (core_fuzzer.cpp:%d): %s\n", line, what);
    std::abort();
}
#define REQUIRE(condition) ((condition) ? (void)0 : broken(#condition, __LINE__))

// Code points that exercise folding, trimming and tokenizing: cased letters
// whose lower case is longer or context dependent, the fourteen special
// characters and their upper-case forms, white space of every width, and
// code points of every UTF-8 length.
constexpr char32_t interesting[] = {
    U'a',
    U'b',
    U'c',
    U'A',
    U'B',
    U' ',
    U'\n',
    U'\t',
    U'\r',
    U'@',
    U',',
    U'-',
    U'.',
    U'x',
    0x20AC,
    0xE9,
    0xC9,
    0xE8,
    0xE0,
    0xE7,
    0xEF,
    0xFC,
    0xF1,
    0xDC,
    0xC7, // € é É è à ç ï ü
          // ñ Ü Ç
    0x130,
    0x3A3,
    0x3C3,
    0x3C2,
    0xDF,
    0x1E9E,
    0x1C5,
    0xFB03,
    0x307,
    0x345, // İ Σ σ ς ß ẞ ǅ ﬃ, combining marks
    0xA0,
    0x3000,
    0x2028,
    0x85,
    0x200B,
    0x1680,
    0x0B,
    0x0C, // white space, and U+200B (not)
    0xFFFD,
    0x1F600,
    0x1D538,
    0x10FFFF,
    0x0,
    0x7F,
    0x80,
    0x7FF,
    0x800,
    0xFFFF,
    0x10000,
};

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Valid UTF-8 of at most `limit` code points: mostly from the table above,
// now and then any scalar value at all.
std::string valid_text(FuzzedDataProvider& input, std::size_t limit)
{
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, limit);
    std::string text;
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        const auto pick = input.ConsumeIntegral<std::uint8_t>();
        char32_t c;
        if (pick < std::size(interesting)) {
            c = interesting[pick];
        } else if (pick < 0xF0) {
            c = interesting[pick % 14]; // the ASCII head of the table, so that matches are frequent
        } else {
            c = input.ConsumeIntegralInRange<char32_t>(0, 0x10FFFF - 0x800);
            if (c >= 0xD800) c += 0x800; // skip the surrogates
        }
        append_utf8(text, c);
    }
    return text;
}

double threshold_from(FuzzedDataProvider& input)
{
    static constexpr double special[] = {0.0,       0.25, 0.5,   1.0,  2.0, -0.0,  NAN,   INFINITY,
                                         -INFINITY, -0.5, 1e300, 0.34, 5.0, 127.0, 0.999, 1e-300};
    const auto pick = input.ConsumeIntegral<std::uint8_t>();
    if (pick < std::size(special)) return special[pick];
    if (pick < 0xC0) return input.ConsumeFloatingPointInRange<double>(-1.0, 3.0);
    const auto bits = input.ConsumeIntegral<std::uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr const char* strategy_names[] = {"best_match", "shortest", "longest", "minimum_isolated_character"};

std::string metric_from(FuzzedDataProvider& input)
{
    const auto pick = input.ConsumeIntegral<std::uint8_t>();
    if (pick < 0xF0) return std::string(metric_table[pick % metric_count].name);
    return input.ConsumeRandomLengthString(24); // mostly unknown names
}

std::vector<std::string> strategies_from(FuzzedDataProvider& input)
{
    std::vector<std::string> strategies(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (std::string& name : strategies) {
        const auto pick = input.ConsumeIntegral<std::uint8_t>();
        name = pick < 0xF0 ? strategy_names[pick % std::size(strategy_names)] : input.ConsumeRandomLengthString(12);
    }
    return strategies;
}

std::u32string decode(std::string_view text)
{
    return decode_utf8(text);
}

std::string code_point_slice(const std::string& text, const Match& match)
{
    return char_slice(text, match.start, match.end - match.start);
}

// Reported matches of a solver's result: ascending, and at least one code
// point apart, since touching candidates would have shared a group.
void require_separated(const MatchList& matches)
{
    for (std::size_t i = 1; i < matches.size(); ++i)
        REQUIRE(matches[i - 1].end < matches[i].start);
}

void require_within(const MatchList& matches, std::uint64_t text_length)
{
    for (const Match& match : matches) {
        REQUIRE(match.start <= match.end);
        REQUIRE(match.end <= text_length);
    }
}

void require_exact_scores(const MatchList& matches)
{
    for (const Match& match : matches)
        REQUIRE(match.score == 0.0 && !std::signbit(match.score));
}

// Scores are distances: never NaN or negative, at most 1 when normalized,
// and within the threshold that accepted them.
void require_fuzzy_scores(const MatchList& matches, double threshold, std::uint8_t threshold_kind)
{
    for (const Match& match : matches) {
        REQUIRE(!std::isnan(match.score));
        REQUIRE(match.score >= 0.0);
        REQUIRE(match.score <= threshold);
        if (threshold_kind != 0) REQUIRE(match.score <= 1.0);
    }
}

// The library's own score of a candidate, with none of the core's bounds or
// shortcuts: the plain walks and the rescoring judge by it, so that a bound
// that rules out a passing window shows as a missing match. Only reached
// for a known metric (the extractor has refused any other by then).
Comparison library_verdict(const std::string& metric, double threshold, std::uint8_t kind,
                           std::u32string_view candidate, std::u32string_view pattern)
{
    const std::optional<Metric> parsed = parse_metric(metric);
    REQUIRE(parsed.has_value());
    const double score = testing::oracle_score(*parsed, threshold_kind_of(kind), candidate, pattern);
    return Comparison{score <= threshold, score};
}

// The library gives the reported score to the reported window.
void require_rescored(const MatchList& matches, const std::string& folded_text, const std::string& folded_pattern,
                      const std::string& metric, double threshold, std::uint8_t threshold_kind)
{
    if (matches.empty()) return;
    const std::u32string pattern = decode(trim_whitespace(folded_pattern));
    for (const Match& match : matches) {
        const std::string window = code_point_slice(folded_text, match);
        const Comparison verdict =
            library_verdict(metric, threshold, threshold_kind, decode(trim_whitespace(window)), pattern);
        REQUIRE(verdict.accepted);
        REQUIRE(std::memcmp(&verdict.score, &match.score, sizeof(double)) == 0);
    }
}

SearchOptions options_from(bool ci, bool sci, const std::string& metric, double threshold, std::uint8_t kind,
                           const std::vector<std::string>& strategies)
{
    SearchOptions options = exact_search_options(ci, sci, parse_strategies(strategies));
    options.metric = MetricChoice(metric);
    options.threshold = threshold;
    options.threshold_kind = threshold_kind_of(kind);
    return options;
}

bool known_metric(const std::string& metric)
{
    return parse_metric(metric).has_value();
}

void require_same(const MatchList& got, const MatchList& expected)
{
    REQUIRE(got.size() == expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        REQUIRE(got[i].start == expected[i].start && got[i].end == expected[i].end);
        REQUIRE(std::memcmp(&got[i].score, &expected[i].score, sizeof(double)) == 0);
    }
}

// Calls check(TextInput) with `text` lent as code units of every width that
// holds its code points: the narrowest is how a Python str keeps it, the
// others must search alike.
template <typename Check> void for_each_width(const std::string& text, Check check)
{
    const std::u32string ucs4 = decode_utf8(text);
    const char32_t largest = ucs4.empty() ? 0 : *std::max_element(ucs4.begin(), ucs4.end());
    const std::u16string ucs2(ucs4.begin(), ucs4.end());
    std::string latin1(ucs4.size(), '\0');
    std::transform(ucs4.begin(), ucs4.end(), latin1.begin(), [](char32_t c) { return static_cast<char>(c); });
    check(TextInput::borrowed(UnitText::borrowed(std::u32string_view(ucs4))));
    if (largest <= 0xFFFF) check(TextInput::borrowed(UnitText::borrowed(std::u16string_view(ucs2))));
    if (largest <= 0xFF) check(TextInput::borrowed(UnitText::borrowed(std::string_view(latin1), largest < 0x80)));
}

// The extractors take shortcuts (occurrence search, bounds that rule windows
// out unscored, bit-parallel scoring); the plain walks below form and judge
// every window one by one, and must find exactly the same.
std::u32string_view trimmed(std::u32string_view text)
{
    while (!text.empty() && is_white_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_white_space(text.back()))
        text.remove_suffix(1);
    return text;
}

MatchList plain_exact_raw(const std::string& text, const std::string& pattern,
                          const std::vector<std::string>& strategies)
{
    const std::u32string t = decode(text), p = decode(pattern);
    ConflictSolver solver(std::u32string_view(t), parse_strategies(strategies));
    if (!p.empty())
        for (std::uint64_t i = 0; i < t.size(); ++i) {
            const std::uint64_t end = std::min<std::uint64_t>(i + p.size(), t.size());
            if (trimmed(std::u32string_view(t).substr(i, end - i)) == trimmed(p)) solver.add(Match{i, end, 0.0});
        }
    return solver.finish();
}

MatchList plain_exact_token(const std::string& text, const std::string& pattern, const std::string& separator)
{
    const std::u32string t = decode(text), p = decode(pattern), cut = decode(separator);
    Tokenizer<char32_t> tokenizer(t, cut, pattern_token_count(p, cut));
    MatchList matches;
    while (const std::optional<TokenWindow<char32_t>> window = tokenizer.next())
        if (trimmed(window->text) == trimmed(p)) matches.push_back(Match{window->start, window->end, 0.0});
    return matches;
}

MatchList plain_fuzzy_raw(const std::string& text, const std::string& pattern, const std::string& metric,
                          double threshold, std::uint8_t kind, const std::vector<std::string>& strategies)
{
    const std::u32string t = decode(text), p = decode(pattern);
    ConflictSolver solver(std::u32string_view(t), parse_strategies(strategies));
    if (p.empty() || t.empty()) return solver.finish();
    std::int64_t slack = 0;
    const double product = static_cast<double>(p.size()) * threshold;
    if (kind != 0 && !std::isnan(product)) slack = static_cast<std::int64_t>(std::clamp(product, -128.0, 127.0));
    const std::int64_t longest = std::max<std::int64_t>(slack, 0);
    const std::int64_t shrink = std::min(static_cast<std::int64_t>(p.size()) - 1, longest);
    const std::u32string_view pattern_trimmed = trimmed(p);
    for (std::uint64_t start = 0; start < t.size(); ++start)
        for (std::int64_t k = -shrink; k <= longest; ++k) {
            const std::uint64_t nominal = start + p.size() + static_cast<std::uint64_t>(k);
            const std::uint64_t end = std::min<std::uint64_t>(nominal, t.size());
            const Comparison verdict = library_verdict(
                metric, threshold, kind, trimmed(std::u32string_view(t).substr(start, end - start)), pattern_trimmed);
            if (verdict.accepted) solver.add(Match{start, end, verdict.score});
            if (nominal >= t.size()) break;
        }
    return solver.finish();
}

MatchList plain_fuzzy_token(const std::string& text, const std::string& pattern, const std::string& separator,
                            const std::string& metric, double threshold, std::uint8_t kind,
                            const std::vector<std::string>& strategies)
{
    const std::u32string t = decode(text), p = decode(pattern), cut = decode(separator);
    Tokenizer<char32_t> tokenizer(t, cut, pattern_token_count(p, cut));
    const std::u32string pattern_trimmed(trimmed(p));
    ConflictSolver solver(std::u32string_view(t), parse_strategies(strategies));
    while (const std::optional<TokenWindow<char32_t>> window = tokenizer.next()) {
        const Comparison verdict = library_verdict(metric, threshold, kind, trimmed(window->text), pattern_trimmed);
        if (verdict.accepted) solver.add(Match{window->start, window->end, verdict.score});
    }
    return solver.finish();
}

// --- the checks ---------------------------------------------------------------

// Arbitrary bytes, valid UTF-8 or not, each time in a heap block of exactly
// their size so that a read past the end is caught.
void check_utf8_helpers(FuzzedDataProvider& input)
{
    const std::string needle_bytes = input.ConsumeRandomLengthString(8);
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::unique_ptr<char[]> block(new char[bytes.size()]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    const std::string_view text(block.get(), bytes.size());

    const std::uint64_t count = char_count(text);
    REQUIRE(count <= text.size());
    const std::u32string decoded = decode_utf8(text);
    if (is_ascii(text)) REQUIRE(decoded.size() == text.size());

    std::size_t pos = 0, steps = 0;
    while (pos < text.size()) {
        const std::size_t before = pos;
        utf8::decode_forward(text, pos);
        REQUIRE(pos > before && pos <= text.size());
        ++steps;
    }
    REQUIRE(steps == decoded.size());
    for (pos = text.size(); pos > 0;) {
        const std::size_t before = pos;
        utf8::decode_backward(text, pos);
        REQUIRE(pos < before);
    }

    const std::string_view trimmed = trim_whitespace(text);
    REQUIRE(trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size());
    for (std::uint64_t index : {std::uint64_t{0}, count / 2, count, count + 1})
        REQUIRE(utf8::offset_of(text, index) <= text.size());
    const std::string slice = char_slice(text, count / 3, count / 2);
    REQUIRE(slice.size() <= text.size());

    if (!needle_bytes.empty()) {
        const std::unique_ptr<char[]> needle_block(new char[needle_bytes.size()]);
        std::memcpy(needle_block.get(), needle_bytes.data(), needle_bytes.size());
        const std::string_view needle(needle_block.get(), needle_bytes.size());
        OccurrenceFinder finder(text, needle);
        std::size_t expected = text.size() >= needle.size() ? text.find(needle) : std::string_view::npos;
        for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next()) {
            REQUIRE(at == expected);
            expected = text.find(needle, at + 1);
        }
        REQUIRE(expected == std::string_view::npos);
    }

    // Folding never gets invalid text from the module; given some, it must
    // still stay within the bytes.
    normalize(std::string(text), bytes.size() % 2 == 0, bytes.size() % 3 == 0);
    // Nor units that are no code point (beyond U+10FFFF): they stay as they are.
    std::u32string units(bytes.size() / 4, U'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 4);
    Cancellation never;
    const auto folded_units =
        fold_units(std::u32string_view(units), bytes.size() % 2 == 0, bytes.size() % 3 == 0, never);
    const auto beyond = [](auto sequence) {
        std::u32string found;
        std::copy_if(sequence.begin(), sequence.end(), std::back_inserter(found),
                     [](char32_t c) { return c > 0x10FFFF; });
        return found;
    };
    REQUIRE(beyond(std::u32string_view(units)) == beyond(folded_units.view()));
}

// fold_units in every width that holds `code_points` gives what folding of
// UTF-8 gives, and no copy when that leaves them unchanged.
template <typename Char>
void check_fold_units(const std::u32string& code_points, const std::u32string& expected, bool case_insensitive,
                      bool special)
{
    std::basic_string<Char> units;
    for (char32_t c : code_points)
        units += static_cast<Char>(c);
    Cancellation never;
    const auto folded = fold_units(std::basic_string_view<Char>(units), case_insensitive, special, never);
    std::u32string widened;
    for (Char unit : folded.view())
        widened += static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(unit));
    REQUIRE(widened == expected);
    REQUIRE(folded.borrowed() == (expected == code_points));
}

void check_folding(FuzzedDataProvider& input)
{
    const bool case_insensitive = input.ConsumeBool(), special = input.ConsumeBool();
    const std::string text = valid_text(input, 512);
    const std::string folded = normalize(text, case_insensitive, special);
    REQUIRE(folded.find('\n') == std::string::npos);
    if (is_ascii(text)) REQUIRE(folded.size() == text.size());
    // Only lower-casing may change the number of code points.
    if (!case_insensitive) REQUIRE(char_count(folded) == char_count(text));
    if (special) {
        for (char32_t c : decode(folded)) {
            REQUIRE(c != U'@' && c != 0x20AC);
            REQUIRE(!(c >= 0xE0 && c <= 0xFC &&
                      std::u32string_view(U"\u00e0\u00e2\u00e4\u00e7\u00e8\u00e9\u00ea"
                                          U"\u00eb\u00ef\u00f9\u00fb\u00fc")
                              .find(c) != std::u32string_view::npos));
        }
    }
    // The folded text is valid UTF-8: it decodes to code points that encode
    // back to the same bytes.
    std::string round_trip;
    for (char32_t c : decode(folded)) {
        REQUIRE(c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF));
        append_utf8(round_trip, c);
    }
    REQUIRE(round_trip == folded);

    const std::u32string code_points = decode(text), expected = decode(folded);
    const char32_t widest = code_points.empty() ? 0 : *std::max_element(code_points.begin(), code_points.end());
    if (widest < 0x100) check_fold_units<char>(code_points, expected, case_insensitive, special);
    if (widest < 0x10000) check_fold_units<char16_t>(code_points, expected, case_insensitive, special);
    check_fold_units<char32_t>(code_points, expected, case_insensitive, special);
}

void check_tokenizer(FuzzedDataProvider& input)
{
    const std::string separator = valid_text(input, 4);
    const std::string pattern = valid_text(input, 12);
    const std::string text = valid_text(input, 256);
    const std::uint64_t size = pattern_token_count(pattern, separator);
    if (!pattern.empty() || !separator.empty()) REQUIRE(size >= 1);

    const std::uint64_t length = char_count(text), width = char_count(separator);
    const std::u32string code_points = decode(text), cut = decode(separator);
    Tokenizer<char32_t> tokenizer(code_points, cut, size);
    const std::vector<Token>& tokens = tokenizer.tokens();
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        REQUIRE(tokens[i].start <= tokens[i].end && tokens[i].end <= length);
        if (i > 0) REQUIRE(tokens[i - 1].end + width <= tokens[i].start);
        if (width > 0)
            REQUIRE(code_point_slice(text, Match{tokens[i].start, tokens[i].end, 0}).find(separator) ==
                    std::string::npos);
    }
    if (size == 0) {
        bool failed = false;
        try {
            tokenizer.next();
        } catch (const ExtractionFailure&) {
            failed = true;
        }
        REQUIRE(failed);
        return;
    }
    std::size_t index = 0;
    while (const std::optional<TokenWindow<char32_t>> window = tokenizer.next()) {
        REQUIRE(index + size <= tokens.size());
        REQUIRE(window->start == tokens[index].start && window->end == tokens[index + size - 1].end);
        REQUIRE(window->text == decode(code_point_slice(text, Match{window->start, window->end, 0})));
        ++index;
    }
    REQUIRE(index == (tokens.size() >= size ? tokens.size() - size + 1 : 0));
}

// The solver keeps only each group's best candidate while candidates arrive;
// narrowing the whole group, strategy after strategy, must pick the same.
std::uint64_t isolated_characters(const std::u32string& text, const Match& match)
{
    std::uint64_t count = 0;
    for (std::uint64_t p = match.start; p < match.end; ++p) {
        const bool left = text[p == match.start ? p : p - 1] == U' ';
        const bool right = text[p + 1 == match.end ? p : p + 1] == U' ';
        if ((p == match.start && right) || (p + 1 == match.end && left) || (left && right)) ++count;
    }
    return count;
}

Match narrowed_pick(std::vector<Match> group, const std::vector<std::string>& strategies, const std::u32string& text)
{
    for (const std::string& name : strategies) {
        const Strategy strategy = parse_strategy(name);
        if (strategy == Strategy::unknown) break;
        const auto value = [&](const Match& m) -> double {
            switch (strategy) {
            case Strategy::best_match: return m.score;
            case Strategy::shortest: return static_cast<double>(m.end - m.start);
            case Strategy::longest: return -static_cast<double>(m.end - m.start);
            default: return static_cast<double>(isolated_characters(text, m));
            }
        };
        double best = value(group.front());
        for (const Match& m : group)
            best = std::min(best, value(m));
        group.erase(std::remove_if(group.begin(), group.end(), [&](const Match& m) { return value(m) != best; }),
                    group.end());
    }
    return group.front();
}

void check_solver(FuzzedDataProvider& input)
{
    const std::vector<std::string> strategies = strategies_from(input);
    const std::string text = valid_text(input, 64);
    const std::u32string code_points = decode(text);
    const std::uint64_t length = code_points.size();
    if (length == 0) return;

    MatchList candidates(input.ConsumeIntegralInRange<std::size_t>(0, 48));
    std::uint64_t start = 0;
    for (Match& candidate : candidates) {
        start = std::min<std::uint64_t>(start + input.ConsumeIntegralInRange<std::uint64_t>(0, 3), length - 1);
        candidate.start = start;
        candidate.end = std::min<std::uint64_t>(start + input.ConsumeIntegralInRange<std::uint64_t>(1, 8), length);
        candidate.score = input.ConsumeIntegralInRange<int>(0, 4) / 4.0;
    }
    Cancellation never;
    ConflictSolver solver(decode_to_units(text, never), parse_strategies(strategies));
    for (const Match& candidate : candidates)
        solver.add(candidate);
    const MatchList picks = solver.finish();
    require_separated(picks);

    std::vector<Match> group;
    std::uint64_t group_end = 0;
    std::size_t next_pick = 0;
    const auto close_group = [&] {
        if (group.empty()) return;
        REQUIRE(next_pick < picks.size());
        const Match expected = narrowed_pick(group, strategies, code_points);
        const Match& got = picks[next_pick++];
        REQUIRE(got.start == expected.start && got.end == expected.end && got.score == expected.score);
        group.clear();
    };
    for (const Match& candidate : candidates) {
        if (!group.empty() && candidate.start > group_end) close_group();
        group_end = group.empty() ? candidate.end : std::max(group_end, candidate.end);
        group.push_back(candidate);
    }
    close_group();
    REQUIRE(next_pick == picks.size());
}

void check_exact_raw(FuzzedDataProvider& input)
{
    const bool ci = input.ConsumeBool(), sci = input.ConsumeBool();
    const std::vector<std::string> strategies = strategies_from(input);
    const std::string pattern = valid_text(input, 16);
    const std::string text = valid_text(input, 1024);
    const MatchList matches =
        exact_raw_extract(text, pattern, exact_search_options(ci, sci, parse_strategies(strategies)));

    const std::string folded_text = normalize(text, ci, sci), folded_pattern = normalize(pattern, ci, sci);
    const std::uint64_t n = char_count(folded_text), window = char_count(folded_pattern);
    // ASCII text is searched as it stands, folded byte by byte as it is
    // read: the same as searching the folded text with folding off.
    const MatchList prefolded = exact_raw_extract(folded_text, folded_pattern,
                                                  exact_search_options(false, false, parse_strategies(strategies)));
    REQUIRE(prefolded.size() == matches.size());
    for (std::size_t i = 0; i < matches.size(); ++i)
        REQUIRE(prefolded[i].start == matches[i].start && prefolded[i].end == matches[i].end);
    require_within(matches, n);
    require_separated(matches);
    require_exact_scores(matches);
    for (const Match& match : matches) {
        REQUIRE(match.end - match.start == std::min(window, n - match.start));
        REQUIRE(trim_whitespace(code_point_slice(folded_text, match)) == trim_whitespace(folded_pattern));
    }
    require_same(matches, plain_exact_raw(folded_text, folded_pattern, strategies));
    for_each_width(text, [&](TextInput units) {
        require_same(exact_raw_extract(std::move(units), pattern,
                                       exact_search_options(ci, sci, parse_strategies(strategies))),
                     matches);
    });
}

void check_exact_token(FuzzedDataProvider& input)
{
    const bool ci = input.ConsumeBool(), sci = input.ConsumeBool();
    const std::string separator = valid_text(input, 3);
    const std::string pattern = valid_text(input, 16);
    const std::string text = valid_text(input, 1024);
    const std::string folded_text = normalize(text, ci, sci), folded_pattern = normalize(pattern, ci, sci);
    const std::string folded_separator = normalize(separator, ci, sci);
    MatchList matches;
    try {
        matches = exact_token_extract(text, pattern, separator, exact_search_options(ci, sci));
    } catch (const ExtractionFailure&) {
        REQUIRE(pattern_token_count(folded_pattern, folded_separator) == 0);
        return;
    }
    require_within(matches, char_count(folded_text));
    require_exact_scores(matches);
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (i > 0) REQUIRE(matches[i - 1].start < matches[i].start);
        REQUIRE(trim_whitespace(code_point_slice(folded_text, matches[i])) == trim_whitespace(folded_pattern));
    }
    require_same(matches, plain_exact_token(folded_text, folded_pattern, folded_separator));
    for_each_width(text, [&](TextInput units) {
        require_same(exact_token_extract(std::move(units), pattern, separator, exact_search_options(ci, sci)),
                     matches);
    });
}

void check_fuzzy_raw(FuzzedDataProvider& input)
{
    const bool ci = input.ConsumeBool(), sci = input.ConsumeBool();
    const std::string metric = metric_from(input);
    const double threshold = threshold_from(input);
    const auto kind = input.ConsumeIntegral<std::uint8_t>();
    const std::vector<std::string> strategies = strategies_from(input);
    const std::string pattern = valid_text(input, 24);
    const std::string text = valid_text(input, 160);
    MatchList matches;
    try {
        matches = fuzzy_raw_extract(text, pattern, options_from(ci, sci, metric, threshold, kind, strategies));
    } catch (const ExtractionFailure&) {
        REQUIRE(!known_metric(metric));
        return;
    }
    const std::string folded_text = normalize(text, ci, sci), folded_pattern = normalize(pattern, ci, sci);
    const std::uint64_t n = char_count(folded_text), m = char_count(folded_pattern);
    require_same(matches, plain_fuzzy_raw(folded_text, folded_pattern, metric, threshold, kind, strategies));
    for_each_width(text, [&](TextInput units) {
        require_same(
            fuzzy_raw_extract(std::move(units), pattern, options_from(ci, sci, metric, threshold, kind, strategies)),
            matches);
    });
    require_within(matches, n);
    require_separated(matches);
    require_fuzzy_scores(matches, threshold, kind);

    // Window lengths: the pattern's, give or take the slack of a normalized
    // threshold (at most 127 longer, never under one code point), cut short
    // at the end of the text.
    if (m == 0) REQUIRE(matches.empty());
    if (matches.empty()) return;
    std::int64_t slack = 0;
    const double product = static_cast<double>(m) * threshold;
    if (kind != 0 && !std::isnan(product)) slack = static_cast<std::int64_t>(std::clamp(product, -128.0, 127.0));
    const std::int64_t longest = std::max<std::int64_t>(slack, 0);
    const std::int64_t shortest = static_cast<std::int64_t>(m) - std::min(static_cast<std::int64_t>(m) - 1, longest);
    for (const Match& match : matches) {
        const auto span = static_cast<std::int64_t>(match.end - match.start);
        REQUIRE(span >= 1);
        REQUIRE(span <= static_cast<std::int64_t>(m) + longest);
        REQUIRE(match.end == n || span >= shortest);
    }
    require_rescored(matches, folded_text, folded_pattern, metric, threshold, kind);
}

void check_fuzzy_token(FuzzedDataProvider& input)
{
    const bool ci = input.ConsumeBool(), sci = input.ConsumeBool();
    const std::string metric = metric_from(input);
    const double threshold = threshold_from(input);
    const auto kind = input.ConsumeIntegral<std::uint8_t>();
    const std::vector<std::string> strategies = strategies_from(input);
    const std::string separator = valid_text(input, 3);
    const std::string pattern = valid_text(input, 24);
    const std::string text = valid_text(input, 512);
    const std::string folded_text = normalize(text, ci, sci), folded_pattern = normalize(pattern, ci, sci);
    const std::string folded_separator = normalize(separator, ci, sci);
    const std::uint64_t size = pattern_token_count(folded_pattern, folded_separator);
    MatchList matches;
    try {
        matches =
            fuzzy_token_extract(text, pattern, separator, options_from(ci, sci, metric, threshold, kind, strategies));
    } catch (const ExtractionFailure&) {
        REQUIRE(size == 0 || !known_metric(metric));
        return;
    }
    require_within(matches, char_count(folded_text));
    require_separated(matches);
    require_fuzzy_scores(matches, threshold, kind);
    // Every match is one of the tokenizer's windows.
    const std::u32string folded_units = decode(folded_text), folded_cut = decode(folded_separator);
    Tokenizer<char32_t> tokenizer(folded_units, folded_cut, size);
    std::size_t next = 0;
    while (const std::optional<TokenWindow<char32_t>> window = tokenizer.next())
        if (next < matches.size() && window->start == matches[next].start && window->end == matches[next].end) ++next;
    REQUIRE(next == matches.size());
    require_rescored(matches, folded_text, folded_pattern, metric, threshold, kind);
    require_same(matches,
                 plain_fuzzy_token(folded_text, folded_pattern, folded_separator, metric, threshold, kind, strategies));
    for_each_width(text, [&](TextInput units) {
        require_same(fuzzy_token_extract(std::move(units), pattern, separator,
                                         options_from(ci, sci, metric, threshold, kind, strategies)),
                     matches);
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    // Only a refused input (ExtractionFailure, checked where it may arise)
    // or running out of memory may end a call early; anything else that
    // escapes reaches libFuzzer as a crash.
    try {
        switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: check_utf8_helpers(input); break;
        case 1: check_folding(input); break;
        case 2: check_tokenizer(input); break;
        case 3: check_solver(input); break;
        case 4: check_exact_raw(input); break;
        case 5: check_exact_token(input); break;
        case 6: check_fuzzy_raw(input); break;
        default: check_fuzzy_token(input); break;
        }
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
