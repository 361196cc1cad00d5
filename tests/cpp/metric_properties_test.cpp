// Properties of the matching core, checked against the metric library
// itself: no shortcut may change a result. Random strings over small
// alphabets, so that windows share many code points with the pattern and
// the bounds are put to work; lengths reach past one 64-bit block.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/bounds.hpp"
#include "comparator/damerau.hpp"
#include "comparator/fuzzy.hpp"
#include "comparator/jaro_matching.hpp"
#include "comparator/word.hpp"
#include "oracle.hpp"

namespace {

using namespace tessarin;
using std::uint64_t;

int failures = 0;

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            if (++failures <= 20) {                                                                                    \
                std::fprintf(stderr, "%s:%d: %s failed: ", __FILE__, __LINE__, #condition);                            \
                std::fprintf(stderr, __VA_ARGS__);                                                                     \
                std::fputc('\n', stderr);                                                                              \
            }                                                                                                          \
        }                                                                                                              \
    } while (false)

std::mt19937_64 random_source(20261208);

std::u32string random_string(std::size_t length, std::u32string_view alphabet)
{
    std::u32string text(length, U' ');
    for (char32_t& c : text)
        c = alphabet[random_source() % alphabet.size()];
    return text;
}

std::size_t random_length(std::size_t short_limit, std::size_t long_limit)
{
    return random_source() % 8 == 0 ? random_source() % long_limit : random_source() % short_limit;
}

// `text` after a few random edits (substitutions, insertions, deletions and
// swaps of neighbours), so that it stays close to where it came from.
std::u32string mutated(std::u32string text, std::u32string_view alphabet)
{
    for (std::size_t edits = random_source() % 6; edits > 0 && !text.empty(); --edits) {
        const std::size_t at = random_source() % text.size();
        const char32_t other = alphabet[random_source() % alphabet.size()];
        switch (random_source() % 4) {
        case 0: text[at] = other; break;
        case 1: text.insert(at, 1, other); break;
        case 2: text.erase(at, 1); break;
        default:
            if (at + 1 < text.size()) std::swap(text[at], text[at + 1]);
        }
    }
    return text;
}

uint64_t shared_count(std::u32string_view a, std::u32string_view b)
{
    std::u32string x(a), y(b);
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    std::u32string common;
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(common));
    return common.size();
}

std::string narrow(std::u32string_view text)
{
    std::string out;
    for (char32_t c : text)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// The last: ideographs on more pages of 256 than the tables of pages take.
constexpr std::u32string_view alphabets[] = {
    U"ab", U"abc ", U"abcdefgh", U"ab\u00e9\u4e2d", U"ab \u00e9\u0436\u0416",
    U"a\u4e00\u4f00\u5000\u5100\u5200\u5300\u5400\u5500\u5600\u5700\u5800\u5900\u5a00\u5b00\u5c00\u5d00\u5e00"};

// Thresholds around a real score: the score itself (the tightest that
// passes), a hair above it, and others that come from nothing.
std::vector<double> thresholds_around(double score)
{
    return {score, std::nextafter(score, 2.0 * score + 1.0), score + 0.25, 0.0, 1.0, 3.0};
}

// Calls `check` with the text in each unit width it fits: code points, and
// bytes and two-byte units where every code point fits them.
template <typename Check> void in_each_unit_width(const std::u32string& text, Check&& check)
{
    check(std::u32string_view(text));
    std::string latin1;
    std::u16string ucs2;
    if (narrow_units(text, latin1)) check(std::string_view(latin1));
    if (narrow_units(text, ucs2)) check(std::u16string_view(ucs2));
}

// The unrestricted Damerau-Levenshtein distance from the whole table, as
// Lowrance and Wagner define it: the reference for the passes that stop early.
std::size_t plain_damerau_distance(std::u32string_view a, std::u32string_view b)
{
    const std::size_t n = a.size(), m = b.size(), infinite = n + m + 1;
    std::vector<std::vector<std::size_t>> d(n + 2, std::vector<std::size_t>(m + 2, infinite));
    for (std::size_t i = 0; i <= n; ++i)
        d[i + 1][1] = i;
    for (std::size_t j = 0; j <= m; ++j)
        d[1][j + 1] = j;
    std::vector<std::pair<char32_t, std::size_t>> last_row; // per code point of a, its last row so far
    const auto row_of = [&](char32_t c) {
        for (const auto& [code_point, row] : last_row)
            if (code_point == c) return row;
        return std::size_t{0};
    };
    for (std::size_t i = 1; i <= n; ++i) {
        std::size_t last_column = 0;
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t k = row_of(b[j - 1]), l = last_column;
            const bool same = a[i - 1] == b[j - 1];
            if (same) last_column = j;
            d[i + 1][j + 1] = std::min(
                {d[i][j] + (same ? 0 : 1), d[i + 1][j] + 1, d[i][j + 1] + 1, d[k][l] + (i - k - 1) + 1 + (j - l - 1)});
        }
        bool found = false;
        for (auto& [code_point, row] : last_row)
            if (code_point == a[i - 1]) row = i, found = true;
        if (!found) last_row.emplace_back(a[i - 1], i);
    }
    return d[n + 1][m + 1];
}

// Whether the bit-parallel floor of the Damerau-Levenshtein distance is
// the distance itself for `text` against `pattern` (of one word).
bool bit_parallel_floor_is_exact(std::u32string_view text, std::u32string_view pattern)
{
    return detail::BitParallelPattern(pattern).damerau_floor(text) == plain_damerau_distance(text, pattern);
}

// The pass that stops once no alignment can come within its limit gives
// the distance itself wherever that is within the limit, and otherwise a
// value above the limit and not above the distance: for patterns that fit
// one word, patterns of several words (up to 300 code points, some of a
// hundred distinct ones), texts of every length around the pattern's, near
// it or not, with limits from none to beyond any distance, as bytes, as
// UTF-16 and as code points.
void damerau_within_limit_agrees_with_the_full_table()
{
    std::u32string many_code_points = U"abcdefghijklmnopqrstuvwxyz ";
    for (char32_t c = 0x430; c < 0x450; ++c)
        many_code_points += c;
    for (char32_t c = 0x4e00; c < 0x4e2a; ++c)
        many_code_points += c;
    int checked = 0;
    for (int round = 0; round < 1800; ++round) {
        const std::size_t length_kind = round % 6;
        const std::size_t alphabet_kind = length_kind == 1 ? round / 6 % (std::size(alphabets) + 1) : round % 4;
        const std::u32string_view alphabet =
            alphabet_kind < std::size(alphabets) ? alphabets[alphabet_kind] : std::u32string_view(many_code_points);
        const std::size_t pattern_length = length_kind == 0   ? 60 + random_source() % 80
                                           : length_kind == 1 ? 65 + random_source() % 236
                                                              : 1 + random_source() % 64;
        const std::u32string pattern = random_string(pattern_length, alphabet);
        std::u32string text;
        switch (round % 3) {
        case 0: text = random_string(random_source() % (pattern_length + 20), alphabet); break;
        case 1: text = mutated(mutated(pattern, alphabet), alphabet); break;
        default: // pieces of the pattern out of order: transpositions far apart
            text = pattern.substr(pattern_length / 2) + random_string(random_source() % 3, alphabet) +
                   pattern.substr(0, pattern_length / 2);
        }
        const std::size_t exact = plain_damerau_distance(text, pattern);
        detail::DamerauPrefixPass damerau(pattern);
        const std::uint32_t limits[] = {0,
                                        static_cast<std::uint32_t>(exact > 0 ? exact - 1 : 0),
                                        static_cast<std::uint32_t>(exact),
                                        static_cast<std::uint32_t>(exact + 1),
                                        static_cast<std::uint32_t>(random_source() % (pattern_length + 2)),
                                        0xFFFFFF};
        std::string ascii;
        const bool narrow_text = std::all_of(text.begin(), text.end(), [](char32_t c) { return c < 128; });
        if (narrow_text)
            for (char32_t c : text)
                ascii += static_cast<char>(c);
        std::u16string utf16;
        const bool basic_text = std::all_of(text.begin(), text.end(), [](char32_t c) { return c < 0x10000; });
        if (basic_text)
            for (char32_t c : text)
                utf16 += static_cast<char16_t>(c);
        for (const std::uint32_t limit : limits) {
            std::uint32_t within = damerau.distance_within(std::u32string_view(text), limit);
            if (basic_text) {
                const std::uint32_t utf16_within = damerau.distance_within(std::u16string_view(utf16), limit);
                CHECK(utf16_within == within, "UTF-16 and code points differ: '%s' vs '%s' within %u: %u, %u",
                      narrow(text).c_str(), narrow(pattern).c_str(), limit, utf16_within, within);
            }
            if (narrow_text) {
                const std::uint32_t narrow_within = damerau.distance_within(std::string_view(ascii), limit);
                CHECK(narrow_within == within, "bytes and code points differ: '%s' vs '%s' within %u: %u, %u",
                      narrow(text).c_str(), narrow(pattern).c_str(), limit, narrow_within, within);
            }
            CHECK(exact <= limit ? within == exact : within > limit && within <= exact,
                  "'%s' vs '%s' within %u: %u, the full table %zu", narrow(text).c_str(), narrow(pattern).c_str(),
                  limit, within, exact);
            ++checked;
        }
    }
    CHECK(checked > 10000, "only %d checks", checked);
    // A text of hundreds of thousands of code points against a pattern of
    // several words: a run that the pattern lacks inserted in its middle
    // costs exactly one edit per code point of the run.
    for (const std::size_t pattern_length : {65, 130}) {
        const std::u32string pattern = random_string(pattern_length, U"ab");
        const std::size_t run = 600000;
        const std::u32string text =
            pattern.substr(0, pattern_length / 2) + std::u32string(run, U'z') + pattern.substr(pattern_length / 2);
        detail::DamerauPrefixPass damerau(pattern);
        for (const std::size_t limit : {run, run + 3}) {
            const std::uint32_t within =
                damerau.distance_within(std::u32string_view(text), static_cast<std::uint32_t>(limit));
            CHECK(within == run, "a run of %zu inserted in a pattern of %zu, within %zu: %u", run, pattern_length,
                  limit, within);
        }
    }
}

// The floor that one bit-parallel pass gives of the Damerau-Levenshtein
// distance, for patterns of one word: never above the distance (nor below
// what the common subsequence allows), equal to it for most texts near the
// pattern, and the same from bytes, UTF-16 and code points. Texts at random,
// a few edits from the pattern, its halves swapped, and code points moved
// past a few others (what only unrestricted transpositions undo cheaply).
void damerau_floor_lies_at_or_below_the_distance()
{
    int near = 0, met = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % 64, alphabet);
        std::u32string text;
        switch (round % 4) {
        case 0: text = random_string(random_source() % 80, alphabet); break;
        case 1: text = mutated(mutated(pattern, alphabet), alphabet); break;
        case 2: text = pattern.substr(pattern.size() / 2) + pattern.substr(0, pattern.size() / 2); break;
        default:
            text = pattern;
            for (int moves = 0; moves < 3 && text.size() > 2; ++moves) {
                const std::size_t from = random_source() % (text.size() - 1);
                const std::size_t to = std::min(text.size() - 1, from + 2 + random_source() % 5);
                const char32_t moved = text[from];
                text.erase(from, 1);
                text.insert(to, 1, moved);
            }
        }
        const detail::BitParallelPattern bit_parallel(pattern);
        const std::uint32_t floor = bit_parallel.damerau_floor(std::u32string_view(text));
        const std::size_t exact = plain_damerau_distance(text, pattern);
        const std::size_t common = rapidfuzz::lcs_seq_similarity(text, pattern);
        CHECK(floor <= exact && floor >= std::max(text.size(), pattern.size()) - common,
              "'%s' vs '%s': floor %u, distance %zu, common subsequence %zu", narrow(text).c_str(),
              narrow(pattern).c_str(), floor, exact, common);
        if (round % 4 != 0) {
            ++near;
            met += floor == exact;
        }
        if (std::all_of(text.begin(), text.end(), [](char32_t c) { return c < 128; })) {
            const std::string ascii(text.begin(), text.end());
            CHECK(bit_parallel.damerau_floor(std::string_view(ascii)) == floor, "bytes: '%s' vs '%s'",
                  narrow(text).c_str(), narrow(pattern).c_str());
        }
        if (std::all_of(text.begin(), text.end(), [](char32_t c) { return c < 0x10000; })) {
            const std::u16string utf16(text.begin(), text.end());
            CHECK(bit_parallel.damerau_floor(std::u16string_view(utf16)) == floor, "UTF-16: '%s' vs '%s'",
                  narrow(text).c_str(), narrow(pattern).c_str());
        }
    }
    CHECK(bit_parallel_floor_is_exact(U"ca", U"abc") && bit_parallel_floor_is_exact(U"abc", U"ca") &&
              bit_parallel_floor_is_exact(U"", U"abc") && bit_parallel_floor_is_exact(U"abc", U"abc"),
          "the floor of a transposition with a code point between, of an empty text or of the pattern itself");
    CHECK(5 * met > 4 * near, "the floor met the distance for only %d of %d texts near the pattern", met, near);
}

// No bound rules out a candidate that the library would let pass, no floor
// lies above the library's score, and the comparator accepts exactly what the library's score accepts, with that
// very score.
void bounds_never_rule_out_a_passing_candidate()
{
    for (int round = 0; round < 8000; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern =
            random_string(round % 4 == 1 ? 150 + random_source() % 250 : 1 + random_length(12, 300), alphabet);
        // Half of the candidates close to the pattern: the scores near the
        // threshold are where a bound or a cutoff goes wrong.
        const std::u32string candidate =
            round % 2 ? mutated(pattern, alphabet) : random_string(random_length(16, 160), alphabet);
        const uint64_t length = candidate.size(), p = pattern.size();
        const uint64_t shared = shared_count(candidate, pattern);
        const uint64_t prefix = detail::common_prefix(std::u32string_view(candidate), pattern);
        // What the longest window of a start may share: at least as much.
        const uint64_t most_shared = shared + random_source() % 3;
        for (const MetricTraits& row : metric_table) {
            for (const ThresholdKind kind : {ThresholdKind::Absolute, ThresholdKind::Normalized}) {
                const double score = testing::oracle_score(row.metric, kind, candidate, pattern);
                CHECK(detail::score_floor(row.metric, kind, length, p, shared, prefix) <= score,
                      "%s kind %d: floor above the score %.17g", row.name.data(), static_cast<int>(kind), score);
                for (const double threshold : thresholds_around(score)) {
                    FuzzyComparator comparator(pattern, MetricChoice(std::string(row.name)), threshold, kind);
                    const Comparison verdict = comparator.compare(candidate);
                    const bool passes = score <= threshold;
                    CHECK(verdict.accepted == passes, "%s kind %d '%s' vs '%s' at %.17g", row.name.data(),
                          static_cast<int>(kind), narrow(candidate).c_str(), narrow(pattern).c_str(), threshold);
                    if (!passes) continue;
                    CHECK(std::memcmp(&verdict.score, &score, sizeof score) == 0, "%s: %.17g, library %.17g",
                          row.name.data(), verdict.score, score);
                    CHECK(!detail::cannot_pass(row.metric, kind, threshold, length, p, shared, prefix),
                          "%s kind %d '%s' vs '%s' at %.17g", row.name.data(), static_cast<int>(kind),
                          narrow(candidate).c_str(), narrow(pattern).c_str(), threshold);
                    const uint64_t best = detail::best_length(row.metric, p, most_shared);
                    CHECK(!detail::cannot_pass(row.metric, kind, threshold, best, p, most_shared, prefix),
                          "%s best length %llu", row.name.data(), static_cast<unsigned long long>(best));
                }
            }
        }
    }
}

// Each per-start pass yields the library's distance for every prefix of
// the text (the banded Levenshtein pass: wherever it is within its limit,
// and some value above the limit elsewhere); the whole-text search marks
// exactly the ends of substrings within its limit.
void per_start_passes_agree_with_the_library()
{
    std::vector<std::uint32_t> distances;
    for (int round = 0; round < 400; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_length(20, 300), alphabet);
        // Mostly the pattern itself, a little changed, so that many prefixes
        // come close to it.
        std::u32string text = random_string(random_length(8, 40), alphabet);
        if (round % 3 != 0) text = mutated(text + pattern, alphabet) + random_string(random_length(8, 60), alphabet);
        const std::u32string_view view(text);
        const detail::BitParallelPattern bit_parallel(pattern);
        detail::DamerauPrefixPass damerau(pattern);
        const std::size_t limit = random_source() % 2 ? random_source() % 8 : random_source() % (pattern.size() + 2);
        const auto check = [&](const char* pass, auto library) {
            for (std::size_t j = 0; j < distances.size(); ++j)
                CHECK(distances[j] == library(view.substr(0, j)), "%s: prefix %zu of '%s' vs '%s': %u", pass, j,
                      narrow(text).c_str(), narrow(pattern).c_str(), distances[j]);
        };
        bit_parallel.levenshtein_prefix_distances(view, limit, distances);
        for (std::size_t j = 0; j <= text.size(); ++j) {
            const std::size_t expected = rapidfuzz::levenshtein_distance(view.substr(0, j), pattern);
            CHECK(expected <= limit ? distances[j] == expected : distances[j] > limit,
                  "levenshtein within %zu: prefix %zu of '%s' vs '%s': %u, library %zu", limit, j, narrow(text).c_str(),
                  narrow(pattern).c_str(), distances[j], expected);
        }
        bit_parallel.osa_prefix_distances(view, distances);
        check("osa", [&](std::u32string_view prefix) { return rapidfuzz::osa_distance(prefix, pattern); });
        bit_parallel.lcs_prefix_lengths(view, distances);
        check("lcs", [&](std::u32string_view prefix) { return rapidfuzz::lcs_seq_similarity(prefix, pattern); });
        if (round % 4 == 0) { // the library's Damerau-Levenshtein is slow
            // What rules windows out before its pass: it lies between the
            // least distance the Levenshtein and LCS passes allow and the
            // Levenshtein distance.
            std::vector<std::uint32_t> common;
            bit_parallel.lcs_prefix_lengths(view, common);
            damerau.prefix_distances(view, distances);
            check("damerau_levenshtein", [&](std::u32string_view prefix) {
                const std::size_t exact = rapidfuzz::experimental::damerau_levenshtein_distance(prefix, pattern);
                const std::size_t levenshtein = rapidfuzz::levenshtein_distance(prefix, pattern);
                CHECK(detail::least_damerau_distance(levenshtein, common[prefix.size()], prefix.size(),
                                                     pattern.size()) <= exact &&
                          exact <= levenshtein,
                      "damerau_levenshtein bounds: '%s' vs '%s'", narrow(prefix).c_str(), narrow(pattern).c_str());
                // Worked out only up to a limit: the distance itself within
                // it, and something beyond it otherwise.
                const auto within = static_cast<std::uint32_t>(limit);
                const std::uint32_t stopped = damerau.distance_within(prefix, within);
                CHECK(exact <= within ? stopped == exact : stopped > within && stopped <= exact,
                      "damerau_levenshtein within %u: '%s' vs '%s': %u, library %zu", within, narrow(prefix).c_str(),
                      narrow(pattern).c_str(), stopped, exact);
                return exact;
            });
        }

        if (round % 4 != 0 || pattern.size() < 2) continue; // the exhaustive search below is slow
        const std::size_t search_limit = random_source() % pattern.size();
        std::vector<uint64_t> reachable;
        Cancellation never;
        bit_parallel.mark_reachable_ends(view, search_limit, reachable, never);
        for (std::size_t end = 1; end <= text.size(); ++end) {
            bool within = false;
            for (std::size_t start = 0; start < end && !within; ++start)
                within = rapidfuzz::levenshtein_distance(view.substr(start, end - start), pattern) <= search_limit;
            CHECK(within == static_cast<bool>((reachable[end >> 6] >> (end & 63)) & 1), "end %zu limit %zu", end,
                  search_limit);
        }
    }
}

// The passes that token windows are bounded and measured by, read at
// ascending ends (one or dozens of code points on) and started afresh at
// ascending points, against the library: a search's value at an end is the
// least distance of a stretch that starts at or after its start and ends
// there; anchored, the distance of the stretch from its start; the common
// subsequence pass, that of the text from its start. The Damerau-Levenshtein bounds drawn from them hold.
// The last rounds take patterns of 13 to 18 code points, around the length
// up to which the common subsequence is counted by the byte.
void window_passes_agree_with_the_library()
{
    int fitted_to_indices = 0;
    for (int round = 0; round < 336; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::size_t length = round >= 300 ? 13 + static_cast<std::size_t>(round % 6) : 1 + random_length(12, 150);
        const std::u32string pattern = random_string(length, alphabet);
        std::u32string text = random_string(random_length(10, 60), alphabet);
        if (round % 2 == 0) text = mutated(text + pattern, alphabet) + random_string(random_length(10, 40), alphabet);
        const std::u32string_view view(text);
        const detail::BitParallelPattern bit_parallel(pattern);
        std::u16string ucs2;
        const bool basic = narrow_units(text, ucs2);
        detail::BitParallelPattern fitted(pattern);
        fitted.fit_to(pattern, std::u16string_view(ucs2));
        fitted_to_indices += fitted.fitted_to_indices();
        for (const bool transpositions : {false, true}) {
            const auto distance = [&](std::u32string_view a) {
                return transpositions ? rapidfuzz::osa_distance(a, pattern)
                                      : rapidfuzz::levenshtein_distance(a, pattern);
            };
            detail::SemiGlobalPass search(bit_parallel, transpositions), anchored(bit_parallel, transpositions);
            // Counted with the processor's own instruction and without; and
            // in a copy of two-byte units, by index where fitted.
            detail::CommonSubsequencePass common(bit_parallel), plain_common(bit_parallel, false),
                fitted_common(fitted);
            std::size_t from = 0;
            anchored.restart(0, true);
            // Mostly one code point on, now and then a long read, which
            // counts the last row only once.
            for (std::size_t end = 0; end <= text.size();
                 end += random_source() % 4 == 0 ? 16 + random_source() % 24 : 1) {
                if (random_source() % 6 == 0) { // start afresh here
                    from = end;
                    search.restart(from);
                    anchored.restart(from, true);
                    common.restart(from);
                    plain_common.restart(from);
                    fitted_common.restart(from);
                }
                std::size_t least = distance(view.substr(end, 0));
                for (std::size_t start = from; start < end; ++start)
                    least = std::min<std::size_t>(least, distance(view.substr(start, end - start)));
                const std::u32string_view stretch = view.substr(from, end - from);
                CHECK(search.at(view, end) == least, "search %d from %zu to %zu of '%s' vs '%s'",
                      static_cast<int>(transpositions), from, end, narrow(text).c_str(), narrow(pattern).c_str());
                CHECK(anchored.at(view, end) == distance(stretch), "anchored %d from %zu to %zu",
                      static_cast<int>(transpositions), from, end);
                const std::size_t expected_common = rapidfuzz::lcs_seq_similarity(stretch, pattern);
                CHECK(common.at(view, end) == expected_common, "common subsequence from %zu to %zu", from, end);
                CHECK(plain_common.at(view, end) == expected_common, "plain common subsequence from %zu to %zu", from,
                      end);
                if (basic)
                    CHECK(fitted_common.at(std::u16string_view(ucs2), end) == expected_common,
                          "common subsequence of two-byte units from %zu to %zu of '%s' vs '%s'", from, end,
                          narrow(text).c_str(), narrow(pattern).c_str());
                if (transpositions && round % 5 == 0 && stretch.size() < 80) {
                    const std::size_t exact = rapidfuzz::experimental::damerau_levenshtein_distance(stretch, pattern);
                    const std::size_t restricted = rapidfuzz::osa_distance(stretch, pattern);
                    CHECK(exact <= restricted && (2 * restricted + 2) / 3 <= exact,
                          "damerau_levenshtein %zu against optimal string alignment %zu", exact, restricted);
                }
            }
        }
    }
    CHECK(fitted_to_indices > 10, "only %d texts read by index", fitted_to_indices);
}

// Lanes give at every end they cover the value of one pass begun where the
// end's lane began, and cover every window of up to their reach that ends
// there: patterns of one and two words, copies of the pattern near the
// lanes' edges or not, in each unit width, with the widest vectors and with
// those that every processor runs. Windows measured side by side get each
// the distance of a pass begun at its own start.
void search_lanes_agree_with_one_pass()
{
    std::size_t covered = 0, measured_together = 0;
    for (int round = 0; round < 160; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % 128, alphabet);
        std::u32string text = random_string(200 + random_source() % 2400, alphabet);
        for (auto copies = random_source() % 6; copies > 0; --copies) {
            const std::u32string near = mutated(pattern, alphabet);
            const std::size_t at = random_source() % text.size();
            text.replace(at, std::min(near.size(), text.size() - at), near.substr(0, text.size() - at));
        }
        const detail::BitParallelPattern bit_parallel(pattern);
        const std::size_t reach = random_source() % 2 ? random_source() % 40 : random_source() % 300;
        const std::size_t from = random_source() % (text.size() / 2);
        const auto check = [&](auto units) {
            for (const bool transpositions : {false, true})
                for (const bool widest : {true, false}) {
                    // Up to four windows, empty ones and ones at the text's
                    // end among them, measured side by side as each is alone.
                    if (detail::SideBySideDistances::serves(bit_parallel)) {
                        detail::SideBySideDistances side_by_side(bit_parallel, transpositions, widest);
                        std::size_t firsts[4], lasts[4];
                        std::uint32_t distances[4];
                        const std::size_t count = 1 + random_source() % 4;
                        const std::size_t longest = random_source() % 160;
                        for (std::size_t k = 0; k < count; ++k) {
                            firsts[k] = random_source() % text.size();
                            lasts[k] = std::min(text.size(), firsts[k] + random_source() % (longest + 1));
                        }
                        if (side_by_side.measure(units, firsts, lasts, count, distances)) {
                            ++measured_together;
                            for (std::size_t k = 0; k < count; ++k) {
                                detail::SemiGlobalPass alone(bit_parallel, transpositions);
                                alone.restart(firsts[k], true);
                                const std::uint32_t expected = alone.at(units, lasts[k]);
                                CHECK(distances[k] == expected,
                                      "side by side (%zu-unit, transpositions %d, widest %d): window %zu of %zu "
                                      "[%zu, %zu): %u against %u, pattern of %zu",
                                      sizeof(units[0]), static_cast<int>(transpositions), static_cast<int>(widest),
                                      k, count, firsts[k], lasts[k], distances[k], expected, pattern.size());
                            }
                        } else {
                            std::size_t steps = 0;
                            for (std::size_t k = 0; k < count; ++k)
                                steps = std::max(steps, lasts[k] - firsts[k]);
                            bool runs_off = false;
                            for (std::size_t k = 0; k < count; ++k)
                                runs_off |= firsts[k] + steps > text.size();
                            CHECK(runs_off, "side by side refused windows that lie within the text");
                        }
                    }
                    detail::SearchLanes lanes(bit_parallel, transpositions, reach, widest);
                    lanes.keep_end_values(text.size());
                    if (!detail::SearchLanes::serves(bit_parallel, reach) || !lanes.cover(units, from)) continue;
                    CHECK(from == 0 || lanes.kept_value(from - 1) == 0, "a value kept before the lanes");
                    ++covered;
                    std::map<std::size_t, detail::SemiGlobalPass> passes;
                    for (std::size_t end = from; end <= lanes.covered_to(); ++end) {
                        const std::size_t begun = lanes.begun_at(end);
                        const auto [pass, fresh] = passes.try_emplace(begun, bit_parallel, transpositions);
                        if (fresh) pass->second.restart(begun);
                        const std::uint32_t expected = pass->second.at(units, end);
                        std::uint32_t value = 0;
                        const bool found = lanes.at(end - std::min(end, reach), end, value);
                        CHECK(found == (end > begun) && (!found || value == expected),
                              "lanes (%zu-unit, transpositions %d, widest %d) at %zu of %zu, begun at %zu: %u "
                              "against %u, pattern of %zu",
                              sizeof(units[0]), static_cast<int>(transpositions), static_cast<int>(widest), end,
                              text.size(), begun, value, expected, pattern.size());
                        CHECK(lanes.kept_value(end) == (found ? std::min<std::uint32_t>(value, 255) : 0),
                              "lanes (%zu-unit) kept %u at end %zu of value %u", sizeof(units[0]),
                              lanes.kept_value(end), end, value);
                    }
                }
        };
        in_each_unit_width(text, check);
    }
    CHECK(covered > 100, "lanes covered the text %zu times", covered);
    CHECK(measured_together > 100, "windows were measured side by side %zu times", measured_together);
}

// A sweep measures the common subsequence of every stretch of a run whose
// firsts and lasts ascend, as the library does one at a time: stretches
// that begin or end together, empty ones, ones that reach the text's end,
// many open at once or a few (as many as token windows of a few tokens
// keep open, whose rows a sweep holds in registers), in each unit width a
// text may come in.
void sweeps_agree_with_the_library()
{
    // How far a stretch's first moves on from the one before, and how far
    // its last may lie past its first, at most.
    struct Shape {
        unsigned step, length;
    };
    constexpr Shape shapes[] = {{4, 40}, {6, 14}, {5, 30}, {2, 5}, {3, 3}};
    for (int round = 0; round < 1000; ++round) {
        const Shape shape = shapes[(round / std::size(alphabets)) % std::size(shapes)];
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % 64, alphabet);
        std::u32string text = random_string(random_length(20, 200), alphabet);
        if (round % 2 == 0) text = mutated(text + pattern, alphabet) + random_string(random_length(10, 40), alphabet);
        const detail::BitParallelPattern bit_parallel(pattern);
        if (!bit_parallel.sweeps()) continue;
        std::vector<detail::BitParallelPattern::Stretch> stretches(random_source() % 80);
        std::uint64_t first = 0, last = 0;
        for (auto& stretch : stretches) {
            first = std::min<std::uint64_t>(text.size(), first + random_source() % shape.step);
            last = std::min<std::uint64_t>(text.size(), std::max(last, first + random_source() % shape.length));
            stretch = detail::BitParallelPattern::Stretch{first, last, 0};
        }
        // With the widest vectors and with those that every processor runs.
        const auto check = [&](auto units) {
            for (const bool widest : {true, false}) {
                std::vector<detail::BitParallelPattern::Stretch> swept = stretches;
                bit_parallel.lcs_of_stretches(units, swept.data(), swept.size(), widest);
                for (const auto& stretch : swept) {
                    const std::u32string_view part =
                        std::u32string_view(text).substr(stretch.first, stretch.last - stretch.first);
                    CHECK(stretch.common == rapidfuzz::lcs_seq_similarity(part, pattern),
                          "sweep of %zu (widest %d): [%llu, %llu) of '%s' vs '%s'", sizeof(units[0]), widest,
                          static_cast<unsigned long long>(stretch.first),
                          static_cast<unsigned long long>(stretch.last), narrow(text).c_str(),
                          narrow(pattern).c_str());
                }
            }
        };
        in_each_unit_width(text, check);
    }
}

// Common subsequence lanes count, at every end they are read to, the text
// of each lane from where it began, as the library does: lanes begun at the
// text's start, at the end read to, ahead of it (waiting to be reached, or
// reached only by a later read), and again over a lane still counting;
// patterns of two words (with a tail of one code point, and a full last
// word), in each unit width a text may come in.
void common_lanes_agree_with_the_library()
{
    using Lanes = detail::CommonSubsequenceLanes;
    int fitted_to_indices = 0;
    for (int round = 0; round < 240; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::size_t length = round % 3 == 0 ? 65 : round % 3 == 1 ? 128 : 65 + random_source() % 64;
        const std::u32string pattern = random_string(length, alphabet);
        std::u32string text = random_string(random_length(10, 200), alphabet);
        if (round % 2 == 0) text = mutated(text + pattern, alphabet) + random_string(random_length(10, 40), alphabet);
        const detail::BitParallelPattern bit_parallel(pattern);
        if (!Lanes::serves(bit_parallel)) continue;
        const auto check = [&](auto units) {
            // Read as fitted to the text (by index, in a text of wider units
            // than bytes mostly beyond Latin-1) and as not.
            detail::BitParallelPattern fitted(pattern);
            fitted.fit_to(pattern, units);
            fitted_to_indices += fitted.fitted_to_indices();
            for (const bool widest : {true, false}) {
                Lanes lanes(widest ? fitted : bit_parallel, widest);
                std::size_t next_lane = 0;
                for (std::size_t end = 0; end <= text.size(); end += random_source() % 7) {
                    if (!lanes.waiting() && random_source() % 3 == 0) {
                        const std::size_t from = std::min(text.size(), lanes.position() + random_source() % 12);
                        lanes.begin(next_lane, from);
                        next_lane = (next_lane + 1) % Lanes::lanes;
                    }
                    lanes.read_to(units, end);
                    for (std::size_t lane = 0; lane < Lanes::lanes; ++lane) {
                        const std::size_t from = lanes.begun_at(lane);
                        if (from > end) continue; // never begun, or waiting
                        const std::u32string_view part = std::u32string_view(text).substr(from, end - from);
                        CHECK(lanes.common(lane) == rapidfuzz::lcs_seq_similarity(part, pattern),
                              "lane %zu of %zu (widest %d): [%zu, %zu) of '%s' vs '%s'", lane, sizeof(units[0]),
                              widest, from, end, narrow(text).c_str(), narrow(pattern).c_str());
                    }
                }
            }
        };
        in_each_unit_width(text, check);
    }
    CHECK(fitted_to_indices > 10, "only %d texts read by index", fitted_to_indices);
}

// The common subsequence pass over patterns of three and four words (a
// dozen words of a script without spaces), read on and started afresh at
// ascending points, against the library: counted by the processor's own
// instruction and without, and by index where fitted to the text.
void long_common_passes_agree_with_the_library()
{
    int fitted_to_indices = 0;
    for (int round = 0; round < 60; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(129 + random_source() % 128, alphabet);
        std::u32string text = random_string(random_length(10, 60), alphabet);
        if (round % 2 == 0) text = mutated(text + pattern, alphabet) + random_string(random_length(10, 40), alphabet);
        const detail::BitParallelPattern bit_parallel(pattern);
        const auto check = [&](auto units) {
            detail::BitParallelPattern fitted(pattern);
            fitted.fit_to(pattern, units);
            fitted_to_indices += fitted.fitted_to_indices();
            detail::CommonSubsequencePass common(bit_parallel), plain(bit_parallel, false), by_index(fitted);
            for (std::size_t end = 0, from = 0; end <= text.size(); end += 1 + random_source() % 24) {
                if (random_source() % 5 == 0) {
                    from = end;
                    common.restart(from);
                    plain.restart(from);
                    by_index.restart(from);
                }
                const std::size_t expected =
                    rapidfuzz::lcs_seq_similarity(std::u32string_view(text).substr(from, end - from), pattern);
                const std::size_t counts[] = {common.at(units, end), plain.at(units, end), by_index.at(units, end)};
                for (const std::size_t count : counts)
                    CHECK(count == expected, "pattern of %zu, units of %zu: [%zu, %zu) counts %zu, not %zu",
                          pattern.size(), sizeof(units[0]), from, end, count, expected);
            }
        };
        in_each_unit_width(text, check);
    }
    CHECK(fitted_to_indices > 10, "only %d texts read by index", fitted_to_indices);
}

// One candidate with a matched count needed: scored as alone, or, short of
// it, left unscored at infinity. With a count that is enough as well:
// scored as alone, or, once it matched that many, left unscored as passing,
// its score within the ceiling of that count.
// How many code points the Jaro matching pairs, worked out plainly: each
// candidate code point takes the first free pattern position within reach
// that holds it.
std::size_t jaro_matched(std::u32string_view pattern, std::u32string_view candidate)
{
    const std::size_t p = pattern.size(), t = candidate.size();
    if (p == 0 || t == 0) return 0;
    if (p == 1 && t == 1) return pattern[0] == candidate[0];
    const std::size_t bound = std::max(p, t) / 2 - 1;
    std::vector<bool> taken(p);
    std::size_t matched = 0;
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t i = j > bound ? j - bound : 0; i < std::min(p, j + bound + 1); ++i)
            if (!taken[i] && pattern[i] == candidate[j]) {
                taken[i] = true;
                ++matched;
                break;
            }
    return matched;
}

template <typename Scorer>
void check_needing(const Scorer& scorer, const std::u32string& pattern, const std::u32string& candidate, double weight)
{
    const std::size_t need = random_source() % (pattern.size() + 2);
    const std::size_t enough =
        random_source() % 3 ? 1 + random_source() % (pattern.size() + 1) : std::max<std::size_t>(need, 1);
    const double alone = scorer.distance(std::u32string_view(candidate), weight);
    const std::size_t matched = jaro_matched(pattern, candidate);
    for (const bool stops : {false, true}) {
        const double needing = scorer.distance(std::u32string_view(candidate), weight, need,
                                               stops ? enough : detail::JaroPattern::unlimited);
        if (needing == detail::JaroPattern::passes_by_count) {
            const double ceiling = detail::MatchedEnough(0.0, pattern.size()).ceiling(candidate.size(), enough);
            CHECK(stops && enough > 0 && alone <= ceiling && matched >= enough,
                  "settled by %zu matched at %.17g, above %.17g", enough, alone, ceiling);
        } else if (std::isinf(needing)) {
            CHECK(matched < need, "%zu matched, needing %zu, left unscored", matched, need);
            const double most =
                1.0 - detail::similarity_ceiling(traits_of(weight > 0.0 ? Metric::jaro_winkler : Metric::jaro),
                                                 candidate.size(), pattern.size(), need - 1, 4);
            CHECK(need > 0 && alone >= most - detail::similarity_margin, "needing %zu left unscored at %.17g", need,
                  alone);
        } else {
            CHECK(std::memcmp(&needing, &alone, sizeof alone) == 0, "needing %zu of %zu: %.17g, alone %.17g", need,
                  pattern.size(), needing, alone);
        }
    }
}

// The Jaro pair worked out for one pattern of up to 64 code points gives the
// library's distances to the bit, on candidates of every length (past 64
// code points too, which the library matches in words of its own), in each
// unit width a candidate may come in.
void jaro_pattern_agrees_with_the_library()
{
    for (int round = 0; round < 20000; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % (round % 3 ? 12 : 64), alphabet);
        const std::u32string candidate =
            round % 2 ? mutated(pattern, alphabet) : random_string(random_length(16, 140), alphabet);
        const detail::JaroPattern jaro(pattern);
        const rapidfuzz::CachedJaro<char32_t> library_jaro(pattern);
        const rapidfuzz::CachedJaroWinkler<char32_t> library_winkler(pattern);
        for (const double weight : {0.0, 0.1}) {
            const double expected =
                weight > 0.0 ? library_winkler.distance(candidate) : library_jaro.distance(candidate);
            const double got = jaro.distance(std::u32string_view(candidate), weight);
            CHECK(std::memcmp(&got, &expected, sizeof got) == 0, "weight %.1f '%s' vs '%s': %.17g, library %.17g",
                  weight, narrow(candidate).c_str(), narrow(pattern).c_str(), got, expected);
            std::string latin1;
            std::u16string ucs2;
            if (narrow_units(candidate, latin1)) {
                const double narrowed = jaro.distance(std::string_view(latin1), weight);
                CHECK(std::memcmp(&narrowed, &expected, sizeof got) == 0, "Latin-1 candidate '%s'", latin1.c_str());
            }
            if (narrow_units(candidate, ucs2)) {
                const double narrowed = jaro.distance(std::u16string_view(ucs2), weight);
                CHECK(std::memcmp(&narrowed, &expected, sizeof got) == 0, "two-byte candidate");
            }
        }
        check_needing(jaro, pattern, candidate, round % 2 ? 0.0 : 0.1);
        // Told the common prefix, as the walks over token windows tell it,
        // the inlined distance is the one worked out alone, to the bit, in
        // every unit width.
        const std::size_t need = round % 3 ? random_source() % (pattern.size() + 2) : 0;
        const auto check_told_prefix = [&](auto units) {
            for (const double weight : {0.0, 0.1}) {
                const double alone = jaro.distance(units, weight, need);
                const double told =
                    jaro.distance_with_prefix(units, weight, detail::common_prefix(units, pattern), need);
                CHECK(std::memcmp(&told, &alone, sizeof told) == 0, "told its prefix, '%s' vs '%s': %.17g, alone %.17g",
                      narrow(candidate).c_str(), narrow(pattern).c_str(), told, alone);
                // Told the least similarity that a threshold lets pass, it
                // leaves out only candidates that fail that threshold, even
                // one at the candidate's own distance or an ulp from it.
                const uint64_t prefix = detail::common_prefix(units, pattern);
                const double random_threshold = static_cast<double>(random_source() % 1001) / 1000.0;
                for (const double threshold : {alone, std::nextafter(alone, 0.0), std::nextafter(alone, 2.0),
                                               random_threshold}) {
                    const double least = detail::least_jaro_similarity(threshold, weight, prefix);
                    const double cut = jaro.distance_with_prefix(units, weight, prefix, need, least);
                    if (std::isinf(cut) && !std::isinf(alone)) {
                        CHECK(alone > threshold, "left out at %.17g, '%s' vs '%s' scores %.17g", threshold,
                              narrow(candidate).c_str(), narrow(pattern).c_str(), alone);
                        continue;
                    }
                    CHECK(std::memcmp(&cut, &alone, sizeof cut) == 0,
                          "told the least at %.17g, '%s' vs '%s': %.17g, alone %.17g", threshold,
                          narrow(candidate).c_str(), narrow(pattern).c_str(), cut, alone);
                }
            }
        };
        check_told_prefix(std::u32string_view(candidate));
        if (std::string latin1; narrow_units(candidate, latin1)) check_told_prefix(std::string_view(latin1));
        if (std::u16string ucs2; narrow_units(candidate, ucs2)) check_told_prefix(std::u16string_view(ucs2));
        // Every prefix at once, some lengths twice, with a matched count
        // needed that some fall short of: those are left unscored, the
        // others score as they do alone.
        std::vector<std::uint64_t> lengths, needs;
        for (std::size_t length = 0; length <= candidate.size(); length += 1 + random_source() % 3) {
            lengths.push_back(length);
            if (random_source() % 4 == 0) lengths.push_back(length);
        }
        for (std::size_t k = 0; k < lengths.size(); ++k)
            needs.push_back(round % 3 == 0 ? random_source() % (pattern.size() + 1) : 0);
        const double weight = round % 2 ? 0.1 : 0.0;
        std::vector<double> together(lengths.size());
        jaro.prefix_distances(std::u32string_view(candidate), lengths.data(), needs.data(), lengths.size(), weight,
                              together.data());
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            const std::u32string_view prefix = std::u32string_view(candidate).substr(0, lengths[k]);
            const double alone = jaro.distance(prefix, weight);
            if (std::isinf(together[k])) {
                // Short of the count needed: no more than that many matched.
                const double most =
                    1.0 - detail::similarity_ceiling(traits_of(weight > 0.0 ? Metric::jaro_winkler : Metric::jaro),
                                                     prefix.size(), pattern.size(), needs[k] - 1, 4);
                CHECK(needs[k] > 0 && alone >= most - detail::similarity_margin, "prefix of %zu left unscored at %.17g",
                      prefix.size(), alone);
                continue;
            }
            CHECK(std::memcmp(&together[k], &alone, sizeof alone) == 0,
                  "prefix of %zu of '%s' vs '%s': %.17g, alone %.17g", prefix.size(), narrow(candidate).c_str(),
                  narrow(pattern).c_str(), together[k], alone);
        }
    }
}

// The counts by block never exceed what the Jaro matching pairs, in each
// unit width, on candidates close to the pattern and far from it, shorter
// and longer; they count every code point of the pattern itself; and a
// candidate whose counts reach the count that the matching stops at is one
// that the matching settles there, as passing.
void jaro_block_counts_stay_within_the_matching()
{
    constexpr std::u32string_view block_alphabets[] = {U"ab", U"abc ", U"abcdefgh", U"ab\u00e9\u00ff ",
                                                       U"abcdefghijklmnop"};
    for (int round = 0; round < 20000; ++round) {
        const std::u32string_view alphabet = block_alphabets[round % std::size(block_alphabets)];
        const std::u32string pattern = random_string(2 + random_source() % (round % 3 ? 11 : 63), alphabet);
        if (!detail::JaroBlockCounts::serves(pattern)) continue;
        const std::u32string candidate =
            round % 2 ? mutated(pattern, alphabet) : random_string(random_length(16, 90), alphabet);
        const detail::JaroBlockCounts blocks(pattern);
        const detail::JaroPattern jaro(pattern);
        const detail::JaroScorer scorer(pattern);
        CHECK(blocks.at_least(std::u32string_view(pattern)) == pattern.size(), "'%s' against itself",
              narrow(pattern).c_str());
        const std::size_t counted = blocks.at_least(std::u32string_view(candidate));
        std::string latin1;
        if (narrow_units(candidate, latin1))
            CHECK(blocks.at_least(std::string_view(latin1)) == counted, "Latin-1 '%s'", latin1.c_str());
        std::u16string ucs2;
        if (narrow_units(candidate, ucs2))
            CHECK(blocks.at_least(std::u16string_view(ucs2)) == counted, "two-byte candidate");
        // Short of a count needed, the matching leaves a candidate at infinity.
        const double needing = jaro.distance(std::u32string_view(candidate), 0.0, counted);
        if (needing < 0.0) continue; // past one word: the library's
        CHECK(!std::isinf(needing), "counted %zu for '%s' vs '%s', above the matching", counted,
              narrow(candidate).c_str(), narrow(pattern).c_str());
        const std::size_t enough = 1 + random_source() % (counted + 1);
        if (scorer.stops_at(candidate.size(), enough) && counted >= enough)
            CHECK(jaro.distance(std::u32string_view(candidate), 0.1, 0, enough) == detail::JaroPattern::passes_by_count,
                  "counted %zu, enough %zu: not settled for '%s' vs '%s'", counted, enough, narrow(candidate).c_str(),
                  narrow(pattern).c_str());
    }
}

// The shared count that the Jaro pair needs, worked out from an estimate,
// is the least count from which the ceiling passes, as counting up from 0
// finds it: for every length, common prefix and threshold, those between
// the counts' steps and those that no count or every count passes. The
// Jaro pair's own floor for a shared count is the general one, to the bit.
// The cut that lets the first walk of the Jaro pair leave a window's floor
// unworked never says a window's floor is at or above one that it falls
// below: for floors of other windows (what a group leaves out), floors a
// hair off them, and the window's own, for every length, shared count and
// common prefix; and it says so of most windows well above (Winkler's
// step, which only some similarities take, makes it miss some more).
void jaro_floor_cut_never_passes_a_lower_floor()
{
    for (const Metric metric : {Metric::jaro, Metric::jaro_winkler}) {
        const double weight = traits_of(metric).prefix_weight;
        for (const uint64_t p : {1, 2, 3, 7, 11, 43, 64, 130}) {
            const detail::JaroFloor floor(metric, p);
            std::size_t clear_and_cut = 0, clear = 0;
            for (int round = 0; round < 4000; ++round) {
                const uint64_t length = 1 + random_source() % (3 * p + 8);
                const uint64_t shared = random_source() % (std::min(length, p) + 1);
                const uint64_t prefix = random_source() % 5;
                const double own = floor.of(length, shared, prefix);
                const uint64_t other_length = 1 + random_source() % (3 * p + 8);
                double given = floor.of(other_length, random_source() % (std::min(other_length, p) + 1),
                                        random_source() % 5);
                switch (round % 4) {
                case 0: given = own; break;
                case 1: given = std::nextafter(own, 2.0); break;
                case 2: given = std::nextafter(given, -2.0); break;
                default: break;
                }
                // Jaro is always asked with a prefix of 4.
                const uint64_t asked = metric == Metric::jaro ? 4 : prefix;
                const double cut = detail::jaro_floor_cut(given, weight, p, asked);
                const bool leaves = static_cast<double>(shared * (length + p)) < cut * static_cast<double>(length);
                CHECK(!leaves || own >= given, "%s, p %zu: %zu of %zu (prefix %zu) floors at %.17g, below %.17g",
                      metric == Metric::jaro ? "jaro" : "jaro_winkler", static_cast<std::size_t>(p),
                      static_cast<std::size_t>(shared), static_cast<std::size_t>(length),
                      static_cast<std::size_t>(prefix), own, given);
                if (own >= given + 1e-6) {
                    ++clear;
                    clear_and_cut += leaves;
                }
            }
            CHECK(clear == 0 || 2 * clear_and_cut >= clear, "p %zu: the cut left %zu of %zu clear floors",
                  static_cast<std::size_t>(p), clear_and_cut, clear);
        }
    }
    // None, for an infinite floor or an empty pattern.
    CHECK(detail::jaro_floor_cut(std::numeric_limits<double>::infinity(), 0.1, 5, 0) < 0.0, "a cut for infinity");
    CHECK(detail::jaro_floor_cut(0.5, 0.0, 0, 4) < 0.0, "a cut for an empty pattern");
}

void shared_needed_is_the_least_count_that_passes()
{
    const double thresholds[] = {
        0.0,         0.05, 0.1, 0.3,  0.5,     2.0 / 3.0, 0.7,
        0.95,        1.0,  1.5, -0.1, -1e-300, 1e-9,      std::numeric_limits<double>::infinity(),
        std::nan("")};
    for (const Metric metric : {Metric::jaro, Metric::jaro_winkler})
        for (const double threshold : thresholds)
            for (const uint64_t p : {1, 2, 3, 7, 11, 43, 64, 72, 130}) {
                detail::SharedNeeded needed(metric, ThresholdKind::Normalized, threshold, p);
                detail::MatchedEnough matched_enough(threshold, p);
                const detail::JaroFloor floor(metric, p);
                for (uint64_t round = 0; round < 600; ++round) {
                    // Past the lengths that are kept, too.
                    const uint64_t length = round < 400 ? round : random_source() % (8 * p + 600);
                    const uint64_t prefix = random_source() % 5;
                    // The floor of the windows that the count leaves, as
                    // every metric's is worked out.
                    const uint64_t shared = random_source() % (std::min(length, p) + 2);
                    const double got = floor.of(length, shared, prefix),
                                 expected = detail::score_floor(metric, ThresholdKind::Normalized, length, p, shared,
                                                                prefix);
                    CHECK(std::memcmp(&got, &expected, sizeof got) == 0, "floor of %zu sharing %zu: %.17g, not %.17g",
                          static_cast<std::size_t>(length), static_cast<std::size_t>(shared), got, expected);
                    uint64_t least = 0;
                    while (least <= std::min(length, p) &&
                           detail::cannot_pass(metric, ThresholdKind::Normalized, threshold, length, p, least, prefix))
                        ++least;
                    // The count that is enough: the least whose ceiling
                    // passes, if it is at most two thirds of the shorter
                    // length; asked twice, worked out, then kept.
                    uint64_t enough = 1;
                    while (enough <= std::min(length, p) && !(matched_enough.ceiling(length, enough) <= threshold))
                        ++enough;
                    if (3 * enough > 2 * std::min(length, p)) enough = length + 1;
                    for (int time = 0; time < 2; ++time)
                        CHECK(matched_enough.of(length) == enough, "enough at %.17g, %zu against %zu: %zu, counted %zu",
                              threshold, static_cast<std::size_t>(length), static_cast<std::size_t>(p),
                              static_cast<std::size_t>(matched_enough.of(length)), static_cast<std::size_t>(enough));
                    CHECK(enough > length || matched_enough.settles_any(), "enough at %.17g, yet none settles",
                          threshold);
                    // Asked twice: worked out, then kept.
                    for (int time = 0; time < 2; ++time) {
                        const uint64_t got = needed.of(length, prefix);
                        CHECK(got == least, "%s at %.17g, %zu against %zu with prefix %zu: %zu, counted %zu",
                              traits_of(metric).name.data(), threshold, static_cast<std::size_t>(length),
                              static_cast<std::size_t>(p), static_cast<std::size_t>(prefix),
                              static_cast<std::size_t>(got), static_cast<std::size_t>(least));
                    }
                }
            }
}

// The position tables hold every code point of a pattern, however many lie
// beyond Latin-1 and however their table slots collide: for each code
// point, its positions in one word or two and one id of its own; for a code
// point of no position, none. The Jaro pair over such patterns, in one
// word, two or more, agrees with the library.
void pattern_tables_hold_every_code_point()
{
    // Cyrillic and CJK letters, code points whose slots collide (equal low
    // bits, blocks 512 apart), the first beyond ASCII and beyond Latin-1,
    // and ASCII.
    std::u32string alphabet = U"ab \u00e9\u0080\u00ff\u0100";
    for (char32_t c = 0x430; c < 0x450; ++c)
        alphabet += c;
    for (char32_t c = 0x4e00; c < 0x4e00 + 40; c += 3)
        alphabet += c;
    for (char32_t k = 1; k <= 12; ++k)
        alphabet += 0x1f600 + 512 * k;
    const std::u32string absent = U"z\u00e0\u0451\u4dff\U0001f601\U00010000";
    for (int round = 0; round < 3000; ++round) {
        // Past two words, some: a scorer of as many words as it takes.
        const std::size_t length = 1 + random_source() % (round % 4 == 3 ? 400 : round % 2 ? 64 : 128);
        const std::u32string pattern = random_string(length, round % 8 == 7 ? U"abc " : alphabet);
        const detail::JaroScorer scorer(pattern);
        const std::u32string_view letters = round % 8 == 7 ? std::u32string_view(U"abc ") : alphabet;
        const std::u32string candidate =
            round % 3 ? mutated(pattern, letters) : random_string(random_length(length + 8, length + 140), letters);
        for (const double weight : {0.0, 0.1}) {
            const double expected = weight > 0.0 ? rapidfuzz::jaro_winkler_distance(candidate, pattern)
                                                 : rapidfuzz::jaro_distance(candidate, pattern);
            const double got = scorer.distance(std::u32string_view(candidate), weight);
            CHECK(std::memcmp(&got, &expected, sizeof got) == 0, "weight %.1f, pattern of %zu: %.17g, library %.17g",
                  weight, pattern.size(), got, expected);
            std::string latin1;
            std::u16string ucs2;
            if (narrow_units(candidate, latin1)) {
                const double narrowed = scorer.distance(std::string_view(latin1), weight);
                CHECK(std::memcmp(&narrowed, &expected, sizeof got) == 0, "Latin-1 candidate");
            }
            if (narrow_units(candidate, ucs2)) {
                const double narrowed = scorer.distance(std::u16string_view(ucs2), weight);
                CHECK(std::memcmp(&narrowed, &expected, sizeof got) == 0, "two-byte candidate");
            }
        }
        check_needing(scorer, pattern, candidate, round % 2 ? 0.0 : 0.1);
        if (length > detail::WidePattern::most) continue;
        const detail::WidePattern wide(pattern);
        std::vector<unsigned> ids;
        for (const std::u32string_view asked : {letters, std::u32string_view(absent)})
            for (const char32_t c : asked) {
                detail::WidePattern::Bits expected = 0;
                for (std::size_t i = 0; i < pattern.size(); ++i)
                    if (pattern[i] == c) expected |= detail::WidePattern::Bits{1} << i;
                CHECK(wide.positions_of(c) == expected, "two-word positions of U+%04X", static_cast<unsigned>(c));
                if (pattern.size() > detail::WordPattern::most) continue;
                const detail::WordPattern word(pattern);
                CHECK(word.positions_of(c) == static_cast<uint64_t>(expected), "positions of U+%04X",
                      static_cast<unsigned>(c));
                const unsigned id = word.id_of(c);
                if (expected == 0) {
                    CHECK(id == detail::WordPattern::absent, "U+%04X, absent, has id %u", static_cast<unsigned>(c), id);
                } else {
                    CHECK(std::find(ids.begin(), ids.end(), id) == ids.end(), "id %u twice", id);
                    ids.push_back(id);
                }
            }
        for (const unsigned id : ids)
            CHECK(id < ids.size(), "id %u of %zu code points", id, ids.size());
    }
}

// The reach count is, for a window, the number of pattern positions i whose
// code point the window holds at some position j with |i - j| <= reach:
// with reaches past the pattern's end and past one 64-bit word, windows
// shorter and far longer than the pattern, and at the text's start.
void jaro_reach_counts_the_positions_within_reach()
{
    for (int round = 0; round < 20000; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % (round % 3 ? 12 : 64), alphabet);
        const std::u32string text = random_string(1 + random_source() % 200, alphabet);
        const uint64_t first = random_source() % text.size();
        const uint64_t length = 1 + random_source() % (text.size() - first);
        const uint64_t reach =
            round % 4 == 0 ? 60 + random_source() % 10 : detail::jaro_reach_of(length, pattern.size());
        const detail::WordPattern positions(pattern);
        const detail::JaroReach<char32_t> counter(positions, std::u32string_view(text));
        uint64_t expected = 0;
        for (uint64_t i = 0; i < pattern.size(); ++i) {
            bool held = false;
            for (uint64_t j = 0; j < length && !held; ++j)
                held = (i > j ? i - j : j - i) <= reach && text[first + j] == pattern[i];
            expected += held;
        }
        const uint64_t got = counter.count(first, length, reach);
        CHECK(got == expected, "'%s' in '%s' from %llu, %llu long, reach %llu: %llu, expected %llu",
              narrow(pattern).c_str(), narrow(text).c_str(), static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(length), static_cast<unsigned long long>(reach),
              static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected));
    }
}

// The reach map tells, for every beginning at once, what the reach count
// tells for a candidate there of the longest length: over texts that span
// pieces, white space and code points beyond one byte (both the byte-wide
// and the wide passes), with reaches past one 64-bit word; and its rows of
// code points and white space are the text's.
template <typename Char>
void check_reach_map(const std::u32string& pattern, const std::u32string& text, uint64_t longest)
{
    std::basic_string<Char> units;
    if (!narrow_units(text, units)) return;
    const Units<Char> view(units);
    const detail::WordPattern positions(pattern);
    detail::JaroReachMap<Char> map(positions, view, longest);
    const detail::JaroReach<Char> counter(positions, view);
    const uint64_t reach = detail::jaro_reach_of(longest, pattern.size());
    for (uint64_t base = 0; base < text.size(); base += 64) {
        map.prepare(base);
        const uint64_t need = random_source() % (pattern.size() + 2);
        const uint64_t at = base + (random_source() % 2); // the next beginning too, where asked
        const uint64_t hopeful = map.at_least(at, need);
        const uint64_t i = random_source() % std::min<uint64_t>(pattern.size(), 4);
        const uint64_t holds = map.holds(i, at + i), white = map.white(at);
        for (uint64_t b = 0; b < 64 && at + b < text.size(); ++b) {
            const uint64_t f = at + b;
            const uint64_t count = counter.count(f, std::min(longest, text.size() - f), reach);
            CHECK(((hopeful >> b) & 1) == (count >= need),
                  "'%s' in '%s' from %llu, longest %llu: count %llu, need %llu", narrow(pattern).c_str(),
                  narrow(text).c_str(), static_cast<unsigned long long>(f), static_cast<unsigned long long>(longest),
                  static_cast<unsigned long long>(count), static_cast<unsigned long long>(need));
            CHECK(map.covers(f) && map.count(f) == count, "count at %llu: %llu, expected %llu",
                  static_cast<unsigned long long>(f), static_cast<unsigned long long>(map.count(f)),
                  static_cast<unsigned long long>(count));
            const bool held = f + i < text.size() && text[f + i] == pattern[i];
            CHECK(((holds >> b) & 1) == held, "holds %llu at %llu", static_cast<unsigned long long>(i),
                  static_cast<unsigned long long>(f));
            CHECK(((white >> b) & 1) == is_white_space(text[f]), "white at %llu", static_cast<unsigned long long>(f));
        }
    }
}

void jaro_reach_map_agrees_with_the_reach_count()
{
    constexpr std::u32string_view map_alphabets[] = {U"ab", U"abc ", U"abcdefgh \t", U"ab\u00e9\u00a0 ", U"ab\u4e2d "};
    for (int round = 0; round < 400; ++round) {
        const std::u32string_view alphabet = map_alphabets[round % std::size(map_alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % (round % 3 ? 12 : 64), alphabet);
        const std::u32string text = random_string(1 + random_source() % (round % 10 == 0 ? 9000 : 300), alphabet);
        const uint64_t longest = 1 + random_source() % (round % 4 == 0 ? 200 : 2 * pattern.size() + 2);
        check_reach_map<char>(pattern, text, longest);
        check_reach_map<char16_t>(pattern, text, longest);
        check_reach_map<char32_t>(pattern, text, longest);
    }
}

// A pattern of one word scores every metric as the library does, to the
// bit, and accepts exactly what that score accepts; a length that it
// refuses unscored is one that the library's score refuses too.
void word_scorer_agrees_with_the_library()
{
    for (int round = 0; round < 6000; ++round) {
        const std::u32string_view alphabet = alphabets[round % std::size(alphabets)];
        const std::u32string pattern = random_string(1 + random_source() % (round % 3 ? 10 : 64), alphabet);
        std::u32string candidate =
            round % 2 ? mutated(pattern, alphabet) : random_string(random_source() % 20, alphabet);
        if (candidate.size() > detail::WordScorer::most_candidate) candidate.resize(detail::WordScorer::most_candidate);
        for (const MetricTraits& row : metric_table) {
            if (row.metric == Metric::damerau_levenshtein && round % 4 != 0) continue; // the library's is slow
            for (const ThresholdKind kind : {ThresholdKind::Absolute, ThresholdKind::Normalized}) {
                const double score = testing::oracle_score(row.metric, kind, candidate, pattern);
                for (const double threshold : thresholds_around(score)) {
                    const detail::WordScorer scorer(pattern, row.metric, kind, threshold);
                    const Comparison verdict = scorer.compare(std::u32string_view(candidate));
                    CHECK(verdict.accepted == (score <= threshold), "%s kind %d '%s' vs '%s' at %.17g", row.name.data(),
                          static_cast<int>(kind), narrow(candidate).c_str(), narrow(pattern).c_str(), threshold);
                    CHECK(std::memcmp(&verdict.score, &score, sizeof score) == 0, "%s kind %d: %.17g, library %.17g",
                          row.name.data(), static_cast<int>(kind), verdict.score, score);
                    CHECK(!scorer.refuses_length(candidate.size()) || !(score <= threshold),
                          "%s kind %d: a length of %zu refused at %.17g, library %.17g", row.name.data(),
                          static_cast<int>(kind), candidate.size(), threshold, score);
                    std::string latin1;
                    if (narrow_units(candidate, latin1)) {
                        const Comparison narrowed = scorer.compare(std::string_view(latin1));
                        CHECK(std::memcmp(&narrowed.score, &score, sizeof score) == 0, "%s Latin-1", row.name.data());
                    }
                }
            }
        }
    }
}

// Every name in the table parses back to its row, and the Python side
// lists the same names, in the same order.
// The shared count slid over windows that move as the token walk moves
// them (both ends forward, the end now and then back, a jump past the last
// window) agrees with a fresh count, in each width of text the code point
// fits, for patterns whose distinct code points fill one vector of lanes,
// several, or more than the lanes hold; in 16-bit lanes and, where the
// pattern fits them, in 8-bit ones. So does the count from running counts
// (of_in()), kept apart, over the same windows: its ring wraps on a text
// longer than it, and restarts where a window jumps past what it holds.
template <typename Char>
uint64_t shared_from_running_counts(detail::SlidingShared<Char>& shared, Units<Char> text, uint64_t first,
                                    uint64_t last)
{
    switch (shared.vectors()) {
    case 1: return shared.template of_in<1>(text, first, last);
    case 2: return shared.template of_in<2>(text, first, last);
    case 3: return shared.template of_in<3>(text, first, last);
    case 4: return shared.template of_in<4>(text, first, last);
    case detail::SlidingShared<Char>::byte_vector:
        return shared.template of_in<detail::SlidingShared<Char>::byte_vector>(text, first, last);
    default: return shared.template of_in<0>(text, first, last);
    }
}

template <typename Char> void check_sliding_shared(std::u32string_view pattern, std::u32string_view text, bool bytes)
{
    std::basic_string<Char> units;
    for (char32_t c : text) {
        if (c > std::numeric_limits<Char>::max() || (sizeof(Char) == 2 && c >= 0xD800 && c < 0xE000)) return;
        units += static_cast<Char>(c);
    }
    detail::SlidingShared<Char> shared(pattern), running(pattern);
    if (bytes && !shared.count_in_bytes()) return;
    if (bytes) running.count_in_bytes();
    for (int walk = 0; walk < 2; ++walk) {
        uint64_t first = 0, last = 0;
        while (first < text.size()) {
            const uint64_t step = random_source() % 16;
            if (step == 0)
                first = last + random_source() % 4; // past the last window
            else
                first += random_source() % 3;
            last = std::max(first, last + (step < 3 ? 0 : random_source() % 6)) - (step == 1 && last > first);
            first = std::min<uint64_t>(first, text.size());
            last = std::min<uint64_t>(std::max(last, first), text.size());
            const uint64_t got = shared.of(Units<Char>(units), first, last);
            const uint64_t want = shared_count(text.substr(first, last - first), pattern);
            CHECK(got == want, "shared count of [%llu, %llu) in %zu-byte units: %llu, counted afresh %llu",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), sizeof(Char),
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
            const uint64_t run = shared_from_running_counts(running, Units<Char>(units), first, last);
            CHECK(run == want, "shared count of [%llu, %llu) in %zu-byte units from running counts: %llu, afresh %llu",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), sizeof(Char),
                  static_cast<unsigned long long>(run), static_cast<unsigned long long>(want));
        }
        shared.reset();
        running.reset();
    }
}

void sliding_shared_agrees_with_a_fresh_count()
{
    std::u32string many; // more distinct code points than the lanes hold
    for (char32_t c = U'a'; c < U'a' + 40; ++c)
        many += c;
    std::u32string spread = U"a "; // ideographs on more pages of 256 than are tabled
    for (char32_t c = 0x4E00; c < 0x4E00 + 20 * 256; c += 256)
        spread += {c, c + 1};
    const std::u32string_view patterns[] = {
        U"for on a", U"ab\u00e9ab", U"abcdefghijklmnopqrstuvwxyz012345", U"\u4e2d\u00e9a\U0001F600 b\u4e2d",
        many,        spread,  U"for on a he on have", U"ab\u00e9cd\u4e2defgh\U0001F600ij a"};
    const std::u32string_view letters[] = {U"ab ", U"abcdefghijklmnop ", U"ab\u00e9\u4e2d\U0001F600 ", many,
                                           std::u32string_view(spread).substr(0, 24)};
    for (const std::u32string_view pattern : patterns)
        for (const std::u32string_view alphabet : letters) {
            // Longer than the running counts' ring only where the pattern
            // has few distinct code points, to spare the checks' time.
            const std::u32string text = random_string(pattern.size() <= 8 ? 3000 : 600, alphabet);
            for (const bool bytes : {false, true}) {
                check_sliding_shared<char>(pattern, text, bytes);
                check_sliding_shared<char16_t>(pattern, text, bytes);
                check_sliding_shared<char32_t>(pattern, text, bytes);
            }
        }
    // A stretch of more copies of a code point than a lane counts: read from
    // a fresh count, and the lanes right again once it has been left.
    const std::u32string text = std::u32string(40000, U'a') + U"ba";
    std::string units(text.begin(), text.end());
    const std::pair<uint64_t, uint64_t> windows[] = {{0, 10},     {0, 300},       {45, 300},     {46, 40000},
                                                     {50, 40002}, {39700, 39956}, {39701, 39958}, {39800, 40002},
                                                     {39990, 40002}, {40000, 40002}};
    const std::u32string_view counted = U"aabcdefghij"; // ten distinct: 8-bit lanes take them
    for (const bool bytes : {false, true}) {
        detail::SlidingShared<char> shared(counted), running(counted);
        CHECK(!bytes || shared.count_in_bytes(), "8-bit lanes refused for a pattern of ten distinct code points");
        if (bytes) running.count_in_bytes();
        for (const auto& [first, last] : windows) {
            const uint64_t got = shared.of(Units<char>(units), first, last);
            const uint64_t want = shared_count(std::u32string_view(text).substr(first, last - first), counted);
            CHECK(got == want, "shared count of [%llu, %llu) in %s lanes: %llu, counted afresh %llu",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), bytes ? "8-bit" : "16-bit",
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
            const uint64_t run = shared_from_running_counts(running, Units<char>(units), first, last);
            CHECK(run == want, "shared count of [%llu, %llu) in %s lanes from running counts: %llu, afresh %llu",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last), bytes ? "8-bit" : "16-bit",
                  static_cast<unsigned long long>(run), static_cast<unsigned long long>(want));
        }
    }
}

void metric_names_agree()
{
    for (const MetricTraits& row : metric_table) {
        CHECK(parse_metric(row.name) == row.metric, "%s", row.name.data());
        CHECK(!parse_metric(std::string(row.name) + " "), "%s with a trailing space", row.name.data());
    }
    std::ifstream source(TESSARIN_NAMES_FILE);
    std::stringstream content;
    content << source.rdbuf();
    const std::string text = content.str();
    const std::size_t first = text.find("METRICS = (");
    CHECK(first != std::string::npos, "no METRICS in %s", TESSARIN_NAMES_FILE);
    if (first == std::string::npos) return;
    const std::string listed = text.substr(first, text.find(')', first) - first);
    std::vector<std::string> names;
    for (std::size_t quote = listed.find('"'); quote != std::string::npos;) {
        const std::size_t close = listed.find('"', quote + 1);
        names.push_back(listed.substr(quote + 1, close - quote - 1));
        quote = listed.find('"', close + 1);
    }
    CHECK(names.size() == metric_count, "%zu names listed in Python, %zu metrics", names.size(), metric_count);
    for (std::size_t i = 0; i < std::min(names.size(), metric_count); ++i)
        CHECK(names[i] == metric_table[i].name, "%s listed where %s is", names[i].c_str(), metric_table[i].name.data());
}

} // namespace

int main()
{
    metric_names_agree();
    sliding_shared_agrees_with_a_fresh_count();
    bounds_never_rule_out_a_passing_candidate();
    per_start_passes_agree_with_the_library();
    damerau_within_limit_agrees_with_the_full_table();
    damerau_floor_lies_at_or_below_the_distance();
    window_passes_agree_with_the_library();
    sweeps_agree_with_the_library();
    common_lanes_agree_with_the_library();
    long_common_passes_agree_with_the_library();
    search_lanes_agree_with_one_pass();
    jaro_pattern_agrees_with_the_library();
    jaro_block_counts_stay_within_the_matching();
    pattern_tables_hold_every_code_point();
    shared_needed_is_the_least_count_that_passes();
    jaro_floor_cut_never_passes_a_lower_floor();
    jaro_reach_counts_the_positions_within_reach();
    jaro_reach_map_agrees_with_the_reach_count();
    word_scorer_agrees_with_the_library();
    if (failures > 0) {
        std::fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    std::puts("core properties hold");
    return 0;
}
