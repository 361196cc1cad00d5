// Many patterns in one search against one search per pattern, on random
// texts and pattern lists: patterns that are prefixes of one another, too
// short to have pieces (and crowds of them), repeated, or folding to the
// same text; every mode, edit bounds with and without pieces.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "extract/extract.hpp"

namespace {

using namespace tessarin;

int failures = 0;

const char* const pieces[] = {"a", "b", "ab", "abc", " ", "  ", "\n", "x", "\xc3\xa9", "\xc3\x89", "\xd0\xb4",
                              "\xd0\x94", "A", "\xe6\x97\xa5", "c", "d", "ef", "\xf0\x9f\x98\x80"};

std::string random_text(std::mt19937_64& random, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += pieces[random() % std::size(pieces)];
    return text;
}

MatchList single(SearchMode mode, const std::string& text, const std::string& pattern, const std::string& separator,
                 const SearchOptions& options)
{
    switch (mode) {
    case SearchMode::exact_raw: return exact_raw_extract(text, pattern, options);
    case SearchMode::exact_token: return exact_token_extract(text, pattern, separator, options);
    case SearchMode::fuzzy_raw: return fuzzy_raw_extract(text, pattern, options);
    case SearchMode::fuzzy_token: return fuzzy_token_extract(text, pattern, separator, options);
    }
    return {};
}

bool same(const MatchList& a, const MatchList& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].end != b[i].end || a[i].score != b[i].score) return false;
    return true;
}

void run_case(std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    const std::string text = random_text(random, random() % (random() % 6 == 0 ? 3000 : 300));
    std::vector<std::string> patterns(1 + random() % 12);
    for (std::string& pattern : patterns) {
        if (!text.empty() && random() % 3 != 0) {
            std::size_t at = random() % text.size();
            while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
                --at;
            pattern = text.substr(at, 1 + random() % 14);
            while (!pattern.empty() && (static_cast<unsigned char>(pattern.back()) & 0xC0) != 0)
                pattern.pop_back(); // whole code points only: cut before a lead byte or a continuation
        } else {
            pattern = random_text(random, random() % 6);
        }
    }
    if (random() % 3 == 0) patterns.push_back(patterns.front());
    if (random() % 3 == 0) patterns.push_back(patterns.front().substr(0, patterns.front().size() / 2));

    const auto mode = static_cast<SearchMode>(random() % 4);
    const std::string separator = random() % 2 ? " " : "ab";
    SearchOptions options;
    options.case_insensitive = random() % 2;
    options.special_char_insensitive = random() % 4 == 0;
    const char* const metrics[] = {"levenshtein", "osa", "indel", "damerau_levenshtein", "lcs_seq", "jaro", "prefix"};
    options.metric = MetricChoice(std::string(metrics[random() % std::size(metrics)]));
    switch (random() % 3) {
    case 0: options.threshold = static_cast<double>(random() % 3); break;
    case 1:
        options.threshold_kind = ThresholdKind::Normalized;
        options.threshold = (random() % 4) / 10.0;
        break;
    default:
        options.edit_reach = static_cast<int>(random() % 3);
        options.threshold = options.edit_reach;
    }
    const Strategy strategies[] = {Strategy::best_match, Strategy::shortest, Strategy::longest,
                                   Strategy::minimum_isolated_character};
    for (std::size_t n = random() % 3; n > 0; --n)
        options.strategies.add(strategies[random() % std::size(strategies)]);

    // Now and then a crowd of short patterns, more than one machine word of
    // them under each edit bound.
    if (random() % 4 == 0)
        for (std::size_t n = 10 + random() % 50; n > 0; --n)
            patterns.push_back(random_text(random, 1 + random() % 5));

    std::vector<TextInput> inputs;
    for (const std::string& pattern : patterns)
        inputs.emplace_back(pattern);
    std::vector<MatchList> together;
    bool failed_together = false;
    try {
        together = extract_many(mode, text, std::move(inputs), separator, options);
    } catch (const ExtractionFailure&) {
        failed_together = true;
    }
    bool any_failed = false;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        try {
            const MatchList alone = single(mode, text, patterns[i], separator, options);
            if (!failed_together && !same(together[i], alone) && ++failures <= 20)
                std::printf("FAIL (seed %llu): pattern %zu [%s], mode %d: %zu matches together, %zu alone\n",
                            static_cast<unsigned long long>(seed), i, patterns[i].c_str(), static_cast<int>(mode),
                            together[i].size(), alone.size());
        } catch (const ExtractionFailure&) {
            any_failed = true;
        }
    }
    if (failed_together != any_failed && ++failures <= 20)
        std::printf("FAIL (seed %llu): fails together %d, alone %d\n", static_cast<unsigned long long>(seed),
                    failed_together, any_failed);
}

} // namespace

int main()
{
    const char* many = std::getenv("MANY_TEST_CASES");
    const std::uint64_t cases = many ? std::strtoull(many, nullptr, 10) : 6000;
    for (std::uint64_t seed = 1; seed <= cases; ++seed)
        run_case(seed);
    if (failures > 0) {
        std::printf("%d failures in %llu cases\n", failures, static_cast<unsigned long long>(cases));
        return 1;
    }
    std::printf("ok: many patterns in one search find what one search per pattern finds\n");
    return 0;
}
