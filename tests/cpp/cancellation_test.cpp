// Every pass of every extractor polls its Cancellation: over a text of
// 3 * 10^7 code points, the longest stretch of a call without a poll stays
// short, whatever the text (ASCII, two- and three-byte UTF-8) and whatever
// the pass (folding, decoding, searching, tokenizing, the tables, the
// isolated-character strategy). A pass that forgets to poll costs 1 ns or
// more per code point, 30 ms or more here, while the stretches between polls
// take a few milliseconds (up to about 20 in a library call of lower-casing).
// Time is the thread's own processor time, which other processes on a busy
// machine do not stretch; still, a case gets three tries.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "extract/extract.hpp"

namespace {

// The calling thread's processor time.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now() noexcept
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }
};

struct Gaps {
    Clock::time_point last;
    Clock::duration longest{};
};

bool note_poll(void* context)
{
    auto& gaps = *static_cast<Gaps*>(context);
    const Clock::time_point now = Clock::now();
    gaps.longest = std::max(gaps.longest, now - gaps.last);
    gaps.last = now;
    return false;
}

std::string repeat(const std::string& unit, std::size_t code_points_per_unit, std::size_t code_points)
{
    std::string text;
    text.reserve(unit.size() * (code_points / code_points_per_unit));
    for (std::size_t i = 0; i < code_points / code_points_per_unit; ++i)
        text += unit;
    return text;
}

struct Case {
    const char* name;
    std::string unit;
    std::size_t code_points_per_unit;
    std::function<void(std::string, tessarin::Cancellation)> call;
};

} // namespace

int main()
{
    using namespace tessarin;
    constexpr std::size_t code_points = 30'000'000;
    constexpr auto longest_allowed = std::chrono::milliseconds(30);
    const SearchOptions isolated = exact_search_options(false, false, {Strategy::minimum_isolated_character});
    const auto fuzzy = [](const char* metric, double threshold) {
        SearchOptions options = exact_search_options(false, false, {Strategy::best_match});
        options.metric = MetricChoice(std::string(metric));
        options.threshold = threshold;
        return options;
    };
    const std::vector<Case> cases = {
        {"exact raw, isolated characters", "abab " + std::string(28, 'c'), 33,
         [&](std::string s, Cancellation c) { exact_raw_extract(std::move(s), "ab", isolated, c); }},
        {"exact raw, two-byte text, isolated characters", "abab \xC5\x82" + std::string(27, 'c'), 33,
         [&](std::string s, Cancellation c) { exact_raw_extract(std::move(s), "ab", isolated, c); }},
        {"exact raw, folded",
         "Abcd\xC3\xA9"
         "fghij",
         10,
         [&](std::string s, Cancellation c) {
             exact_raw_extract(std::move(s), "zz", exact_search_options(true, true), c);
         }},
        {"exact token, two-byte separator", "abcdefghij--", 12,
         [&](std::string s, Cancellation c) {
             exact_token_extract(std::move(s), "zz", "--", exact_search_options(false, false), c);
         }},
        {"exact token, one-byte separator",
         "abcd\xE2\x82\xAC"
         "fghij ",
         11,
         [&](std::string s, Cancellation c) {
             exact_token_extract(std::move(s), "a b", " ", exact_search_options(false, false), c);
         }},
        {"fuzzy raw, Levenshtein", "abcdefghij", 10,
         [&](std::string s, Cancellation c) {
             fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("levenshtein", 1.0), c);
         }},
        {"fuzzy raw, two-byte text, Indel", "abcdefghi\xC5\x82", 10,
         [&](std::string s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("indel", 1.0), c); }},
        {"fuzzy token", "abcdefghij ", 11,
         [&](std::string s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", " ", fuzzy("levenshtein", 0.0), c);
         }},
        {"fuzzy token, two-byte separator", "abcdefghij--", 12,
         [&](std::string s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", "--", fuzzy("levenshtein", 0.0), c);
         }},
    };
    int failures = 0;
    for (const Case& test : cases) {
        const std::string text = repeat(test.unit, test.code_points_per_unit, code_points);
        Clock::duration best_try = Clock::duration::max();
        for (int attempt = 0; attempt < 3 && best_try >= longest_allowed; ++attempt) {
            std::string copy = text;
            Gaps gaps{Clock::now()};
            test.call(std::move(copy), Cancellation(note_poll, &gaps));
            note_poll(&gaps); // the stretch from the last poll to the end
            best_try = std::min(best_try, gaps.longest);
        }
        const auto milliseconds = std::chrono::duration<double, std::milli>(best_try).count();
        if (best_try >= longest_allowed) {
            std::printf("FAIL: %s: %.1f ms without a poll\n", test.name, milliseconds);
            ++failures;
        } else {
            std::printf("ok: %s: at most %.1f ms without a poll\n", test.name, milliseconds);
        }
    }
    return failures == 0 ? 0 : 1;
}
