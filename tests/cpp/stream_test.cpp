// The stream search against one search over the whole text: random texts
// (line feeds, CR LF, ill-formed UTF-8, code points that lower-casing
// lengthens, sigmas, separators in runs), every mode, segments and blocks
// small enough that every text is cut many times, searches of what is ready
// between blocks. The matches must be the module's (over the text with CR
// LF read as a line feed where asked), each must be located where it lies
// in the original text, and the search must never read bytes before those
// it said it needed, nor report a match before where it said all would be.
// Many patterns searched together must each find what they find alone.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/stream.hpp"
#include "stream_check.hpp"

namespace {

using namespace tessarin;

int failures = 0;

void check(bool condition, const char* what, std::uint64_t seed)
{
    if (condition) return;
    if (++failures <= 20) std::printf("FAIL (seed %llu): %s\n", static_cast<unsigned long long>(seed), what);
}

// The first pieces are ASCII: a text of those alone is read in place.
constexpr std::size_t ascii_pieces = 15;

std::string random_text(std::mt19937_64& random, std::size_t pieces_count, bool ascii = false)
{
    std::string text;
    for (std::size_t i = 0; i < pieces_count; ++i)
        text += testing::text_pieces[random() % (ascii ? ascii_pieces : std::size(testing::text_pieces))];
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

const char* const metrics[] = {
    "levenshtein",         "osa",         "indel", "lcs_seq", "hamming", "jaro", "prefix", "postfix",
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

void run_case(std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    const std::string text = random_text(random, random() % (random() % 8 == 0 ? 4000 : 600), random() % 4 == 0);
    StreamQuery query = random_query(random, text);
    query.crlf_line_feeds = random() % 3 == 0;
    query.collapse_white_space = random() % 4 == 0;
    query.code_points = random() % 3 != 0;
    const std::size_t segment = 1 + random() % 200;
    // Now and then many patterns in one search: others cut from the text,
    // repeated, or prefixes of one another.
    std::vector<StreamQuery> queries{query};
    if (random() % 3 == 0)
        for (std::size_t n = 1 + random() % 6; n > 0; --n) {
            StreamQuery other = query;
            const std::string& earlier = queries[random() % queries.size()].pattern;
            const unsigned kind = random() % 4;
            other.pattern = kind == 0   ? earlier
                            : kind == 1 ? earlier.substr(0, earlier.size() / 2)
                                        : random_pattern(random, text);
            queries.push_back(other);
        }
    testing::check_stream(
        queries, text, segment, [&] { return std::pair<std::size_t, bool>(1 + random() % 97, random() % 4 == 0); },
        [&](bool condition, const char* what) { check(condition, what, seed); },
        std::getenv("STREAM_TEST_SEED") != nullptr);
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
