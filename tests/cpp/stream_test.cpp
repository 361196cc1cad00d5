// The stream search against one search over the whole text: random texts
// (line feeds, ill-formed UTF-8, code points that lower-casing lengthens,
// sigmas, separators in runs), every mode, segments and blocks small enough
// that every text is cut many times. The matches must be the module's, and
// each must be located where it lies in the original text.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "stream/stream.hpp"

namespace {

using namespace tessarin;

int failures = 0;

void check(bool condition, const char* what, std::uint64_t seed)
{
    if (condition) return;
    if (++failures <= 20) std::printf("FAIL (seed %llu): %s\n", static_cast<unsigned long long>(seed), what);
}

const char* const pieces[] = {"a", "b", "ab", " ", " ", "  ", "\n", "\r\n", ",", ".", "'", "x", "\xc3\xa9",
                              "\xc3\x89", "\xc4\xb0", "\xce\xa3", "\xcf\x83", "\xe2\x84\xaa", "@", "\xe2\x82\xac",
                              "\xe6\x97\xa5", "\xf0\x9f\x98\x80", "\xff", "\xe2\x82", "\xed\xa0\x80", "K", "Ab"};

std::string random_text(std::mt19937_64& random, std::size_t pieces_count)
{
    std::string text;
    for (std::size_t i = 0; i < pieces_count; ++i)
        text += pieces[random() % std::size(pieces)];
    return text;
}

// A pattern cut from the text (whole code points: it starts and ends at
// ASCII or at a lead byte), sometimes with one byte changed, sometimes made
// up.
std::string random_pattern(std::mt19937_64& random, const std::string& text)
{
    if (text.empty() || random() % 4 == 0) return random_text(random, 1 + random() % 4);
    std::size_t start = random() % text.size(), length = 1 + random() % 8;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
        --start;
    std::string pattern = text.substr(start, length);
    while (!pattern.empty() && (static_cast<unsigned char>(pattern.back()) & 0xC0) == 0xC0)
        pattern.pop_back();
    if (!pattern.empty() && random() % 3 == 0) pattern[random() % pattern.size()] = 'a';
    return pattern;
}

const char* const metrics[] = {"levenshtein", "osa", "indel", "lcs_seq", "hamming", "jaro", "prefix", "postfix",
                               "damerau_levenshtein", "jaro_winkler"};
const char* const separators[] = {" ", ",", "  ", "ab", "a", "\n", ". "};

StreamQuery random_query(std::mt19937_64& random, const std::string& text)
{
    StreamQuery query;
    query.mode = static_cast<SearchMode>(random() % 4);
    query.pattern = random_pattern(random, text);
    query.separator = separators[random() % std::size(separators)];
    query.options.case_insensitive = random() % 2;
    query.options.special_char_insensitive = random() % 3 == 0;
    query.options.metric = MetricChoice(std::string(metrics[random() % std::size(metrics)]));
    const bool normalized = random() % 2;
    query.options.threshold_kind = normalized ? ThresholdKind::Normalized : ThresholdKind::Absolute;
    query.options.threshold = normalized ? (random() % 5) / 10.0 : static_cast<double>(random() % 3);
    const Strategy strategies[] = {Strategy::best_match, Strategy::shortest, Strategy::longest,
                                   Strategy::minimum_isolated_character};
    for (std::size_t n = random() % 3; n > 0; --n)
        query.options.strategies.add(strategies[random() % std::size(strategies)]);
    return query;
}

// The module's answer over the whole text, or nothing where it fails.
bool whole_text(const StreamQuery& query, const std::string& text, MatchList& matches)
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
std::vector<std::uint64_t> folded_starts(const std::u32string& code_points, bool case_insensitive)
{
    std::vector<std::uint64_t> starts{0};
    for (const char32_t c : code_points) {
        Cancellation never;
        const std::u32string one(1, c);
        const std::uint64_t length =
            case_insensitive ? fold_code_points(TextInput::borrowed(UnitText::borrowed(std::u32string_view(one))),
                                                true, false, never)
                                   .size()
                             : 1;
        starts.push_back(starts.back() + length);
    }
    return starts;
}

void run_case(std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    const std::string text = random_text(random, random() % (random() % 8 == 0 ? 4000 : 600));
    const StreamQuery query = random_query(random, text);
    MatchList expected;
    const bool succeeds = whole_text(query, text, expected);

    StreamSearch search(query, 1 + random() % 200);
    std::vector<StreamMatch> found;
    Cancellation never;
    try {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t block = 1 + random() % 97;
            search.feed(std::string_view(text).substr(at, block), never);
            at += block;
            for (const StreamMatch& match : search.take())
                found.push_back(match);
        }
        search.finish(never);
        for (const StreamMatch& match : search.take())
            found.push_back(match);
    } catch (const ExtractionFailure&) {
        check(!succeeds, "the stream failed where the whole text did not", seed);
        return;
    }
    check(succeeds, "the stream did not fail where the whole text did", seed);
    if (std::getenv("STREAM_TEST_SEED")) {
        std::printf("mode %d pattern [%s] separator [%s] ci %d sci %d metric %d threshold %g kind %d strategies %zu\n",
                    static_cast<int>(query.mode), query.pattern.c_str(), query.separator.c_str(),
                    query.options.case_insensitive, query.options.special_char_insensitive,
                    query.options.metric.known() ? static_cast<int>(query.options.metric.resolve()) : -1,
                    query.options.threshold,
                    static_cast<int>(query.options.threshold_kind), query.options.strategies.size());
        std::printf("text [%s]\n", text.c_str());
        for (const Match& m : expected)
            std::printf("want %llu %llu %g\n", (unsigned long long)m.start, (unsigned long long)m.end, m.score);
        for (const StreamMatch& m : found)
            std::printf("got  %llu %llu %g\n", (unsigned long long)m.start, (unsigned long long)m.end, m.score);
    }
    check(found.size() == expected.size(), "as many matches", seed);
    if (found.size() != expected.size()) return;

    Cancellation never_again;
    const UnitText units = decode_to_units(text, never_again);
    const std::u32string code_points = units.visit([](auto view) {
        std::u32string all;
        for (auto unit : view)
            all.push_back(code_point(unit));
        return all;
    });
    const std::vector<std::uint64_t> folded = folded_starts(code_points, query.options.case_insensitive);
    // The byte of each code point, as the decoder reads them.
    std::vector<std::uint64_t> bytes{0};
    for (std::size_t pos = 0; pos < text.size();) {
        utf8::decode_replacing(text, pos);
        bytes.push_back(pos);
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        const StreamMatch& got = found[i];
        const Match& want = expected[i];
        check(got.start == want.start && got.end == want.end && got.score == want.score, "the same match", seed);
        // A start inside what one code point became takes that code point,
        // and so does an end that cuts into it.
        const auto original = [&](std::uint64_t position, bool is_end) {
            std::uint64_t k = 0;
            while (k + 1 < folded.size() && folded[k + 1] <= position)
                ++k;
            return folded[k] == position || !is_end ? k : k + 1;
        };
        check(got.original_start == original(got.start, false), "the original start", seed);
        check(got.original_end == original(got.end, true), "the original end", seed);
        check(got.byte_start == bytes[got.original_start] && got.byte_end == bytes[got.original_end], "the bytes",
              seed);
        if (std::getenv("STREAM_TEST_SEED"))
            std::printf("match %zu: original %llu %llu bytes %llu %llu want %llu %llu\n", i,
                        (unsigned long long)got.original_start, (unsigned long long)got.original_end,
                        (unsigned long long)got.byte_start, (unsigned long long)got.byte_end,
                        (unsigned long long)bytes[got.original_start], (unsigned long long)bytes[got.original_end]);
        const std::string before = text.substr(0, got.byte_start);
        const std::size_t line_feed = before.rfind('\n');
        check(got.line == 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n')), "the line",
              seed);
        check(got.line_start == (line_feed == std::string::npos ? 0 : line_feed + 1), "the line's start", seed);
    }
}

} // namespace

int main()
{
    const char* many = std::getenv("STREAM_TEST_CASES");
    const std::uint64_t cases = many ? std::strtoull(many, nullptr, 10) : 20000;
    if (const char* one = std::getenv("STREAM_TEST_SEED")) {
        run_case(std::strtoull(one, nullptr, 10));
        return failures > 0;
    }
    for (std::uint64_t seed = 1; seed <= cases; ++seed)
        run_case(seed);
    if (failures > 0) {
        std::printf("%d failures in %llu cases\n", failures, static_cast<unsigned long long>(cases));
        return 1;
    }
    std::printf("ok: %llu random texts searched as streams equal one search over the whole text\n",
                static_cast<unsigned long long>(cases));
    return 0;
}
