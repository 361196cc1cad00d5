// Every pass of every extractor polls its Cancellation: the work between two
// polls stays the same whatever the text's length, so Ctrl-C is answered as
// soon on a gigabyte as on a page. Work is counted, never timed, so neither
// the machine's speed nor its load can change the outcome: this test links a
// copy of the core built with a call at the start of every basic block
// (-fsanitize-coverage=trace-pc), and the C library's memory functions that
// the core calls count as a sixteen-byte vector loop over the same bytes
// would. With a check at every poll, each case runs on a text and on one
// four times as long: a pass that forgets to poll is a stretch that grows
// with the text. A ceiling on any stretch catches polls spread so thinly
// that the stretches stay long however short the text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "extract/extract.hpp"

namespace {

std::uint64_t work_done = 0;

void count_bytes(std::size_t bytes) noexcept
{
    work_done += bytes / 16 + 1;
}

} // namespace

extern "C" {

void __sanitizer_cov_trace_pc()
{
    ++work_done;
}

// The core's calls to these go through the wrappers (-Wl,--wrap=NAME).
void* __real_memchr(const void*, int, std::size_t);
int __real_memcmp(const void*, const void*, std::size_t);
void* __real_memcpy(void*, const void*, std::size_t);
void* __real_memmove(void*, const void*, std::size_t);
void* __real_memset(void*, int, std::size_t);

void* __wrap_memchr(const void* where, int byte, std::size_t size)
{
    const void* found = __real_memchr(where, byte, size);
    count_bytes(found ? static_cast<std::size_t>(static_cast<const char*>(found) - static_cast<const char*>(where))
                      : size);
    return const_cast<void*>(found);
}

int __wrap_memcmp(const void* left, const void* right, std::size_t size)
{
    count_bytes(size);
    return __real_memcmp(left, right, size);
}

void* __wrap_memcpy(void* to, const void* from, std::size_t size)
{
    count_bytes(size);
    return __real_memcpy(to, from, size);
}

void* __wrap_memmove(void* to, const void* from, std::size_t size)
{
    count_bytes(size);
    return __real_memmove(to, from, size);
}

void* __wrap_memset(void* to, int byte, std::size_t size)
{
    count_bytes(size);
    return __real_memset(to, byte, size);
}

} // extern "C"

namespace {

// Counted work between two polls stays below this whatever the text: some
// eight million basic blocks, a few tens of milliseconds of work at most.
constexpr std::uint64_t longest_allowed = std::uint64_t{1} << 23;
constexpr std::size_t growth = 4;
// Code points of the shorter text. Lower-casing goes to its library in
// pieces of a few megabytes, so a text that is lower-cased must be longer
// than one piece; the costliest cases do with less.
constexpr std::size_t usual_length = std::size_t{1} << 21;
constexpr std::size_t longer_than_a_piece = std::size_t{1} << 22;
constexpr std::size_t costly = std::size_t{1} << 20;

struct Stretches {
    std::uint64_t last = 0;
    std::uint64_t longest = 0;
};

bool note_poll(void* context)
{
    auto& stretches = *static_cast<Stretches*>(context);
    stretches.longest = std::max(stretches.longest, work_done - stretches.last);
    stretches.last = work_done;
    return false;
}

// A text: `head`, then `unit` as often as the length asks, then `tail`.
struct Shape {
    std::string head, unit;
    std::size_t code_points_per_unit;
    std::string tail;
};

struct Case {
    const char* name;
    Shape text;
    std::function<void(std::string, tessarin::Cancellation)> call;
    std::size_t length = usual_length;
};

// The longest counted stretch between two polls (or from the last poll to
// the end) of a call over the case's text of about `code_points`.
std::uint64_t longest_stretch(const Case& test, std::size_t code_points)
{
    const Shape& shape = test.text;
    const std::size_t units = code_points / shape.code_points_per_unit;
    std::string text = shape.head;
    text.reserve(shape.head.size() + shape.unit.size() * units + shape.tail.size());
    for (std::size_t i = 0; i < units; ++i)
        text += shape.unit;
    text += shape.tail;
    Stretches stretches;
    work_done = 0;
    test.call(std::move(text), tessarin::Cancellation(note_poll, &stretches, 1));
    note_poll(&stretches);
    return stretches.longest;
}

} // namespace

// With SHARD COUNT as arguments, only the cases whose index is SHARD modulo
// COUNT run, so that ctest can spread the cases over the machine's cores.
int main(int argc, char** argv)
{
    using namespace tessarin;
    using Text = std::string;
    const SearchOptions plain = exact_search_options(false, false);
    const auto inputs = [](std::initializer_list<const char*> patterns) {
        std::vector<TextInput> list;
        for (const char* pattern : patterns)
            list.emplace_back(pattern);
        return list;
    };
    const SearchOptions folded = exact_search_options(true, true);
    const SearchOptions isolated = exact_search_options(false, false, {Strategy::minimum_isolated_character});
    const auto fuzzy = [](const char* metric, double threshold,
                          std::vector<Strategy> strategies = {Strategy::best_match}) {
        SearchOptions options = exact_search_options(false, false, std::move(strategies));
        options.metric = MetricChoice(std::string(metric));
        options.threshold = threshold;
        return options;
    };
    const std::string c27(27, 'c'), c28(28, 'c');
    const std::vector<Case> cases = {
        {"exact raw, isolated characters",
         {"", "abab " + c28, 33, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "ab", isolated, c); }},
        {"exact raw, two-byte text, isolated characters",
         {"", "abab \u0142" + c27, 33, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "ab", isolated, c); }},
        {"exact raw, folded",
         {"", "Abcd\u00E9fghij", 10, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "zz", folded, c); },
         longer_than_a_piece},
        {"exact raw, folded, one accent after a long word",
         {"", "Abcdefghij", 10, "\u00E9"},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "zz", folded, c); },
         longer_than_a_piece},
        {"exact raw, two-byte text only, special characters folded",
         {"", "\u0142", 1, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "zz", exact_search_options(false, true), c); }},
        {"exact raw, a partial match that never completes",
         {"aabaa", "a", 1, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "aabaa", plain, c); }},
        {"exact raw, a pattern of blanks",
         {"", "ab  \u00E9", 5, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "  ", plain, c); }},
        {"exact raw, a pattern of blanks over one long blank run",
         {"", " ", 1, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "  ", plain, c); }},
        {"exact raw, a pattern of blanks over a text without any",
         {"", "a", 1, ""},
         [&](Text s, Cancellation c) { exact_raw_extract(std::move(s), "  ", plain, c); }},
        {"exact token, two-byte separator",
         {"", "abcdefghij--", 12, ""},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "zz", "--", plain, c); }},
        {"exact token, one-byte separator",
         {"", "abcd\u20ACfghij ", 11, ""},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "a b", " ", plain, c); }},
        {"exact token, one occurrence at the end",
         {"", "abcd\u20ACfghij ", 11, "zz"},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "zz", " ", plain, c); }},
        {"exact token, an occurrence after a long blank run",
         {"", "\t", 1, "zz"},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "zz", " ", plain, c); }},
        {"exact token, an occurrence before a long blank run",
         {"zz", "\t", 1, ""},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "zz", " ", plain, c); }},
        {"exact token, two-byte text, a pattern of blanks",
         {"", "abcd\u0142fghij ", 11, ""},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "\t", " ", plain, c); }},
        {"exact token, a match in every unit",
         {"", "a bcdefghij ", 12, ""},
         [&](Text s, Cancellation c) { exact_token_extract(std::move(s), "a", " ", plain, c); }},
        {"fuzzy raw, Levenshtein",
         {"", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("levenshtein", 1.0), c); }},
        {"fuzzy raw, Levenshtein, no edit allowed",
         {"", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("levenshtein", 0.0), c); }},
        {"fuzzy raw, Jaro-Winkler",
         {"", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) {
             fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("jaro_winkler", 0.05, {}), c);
         },
         costly},
        {"fuzzy raw, Jaro-Winkler, best match first",
         {"", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("jaro_winkler", 0.05), c); },
         costly},
        {"fuzzy raw, Jaro-Winkler, best match first, nothing alike",
         {"", "zzzzzzzzzz", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("jaro_winkler", 0.05), c); },
         costly},
        {"fuzzy raw, Jaro-Winkler, best match first, every window passes",
         {"abcdefghik", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("jaro_winkler", 1.0), c); },
         costly},
        {"fuzzy raw, Damerau-Levenshtein",
         {"", "abcdefghij", 10, ""},
         [&](Text s, Cancellation c) {
             fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("damerau_levenshtein", 1.0), c);
         },
         costly},
        {"fuzzy raw, two-byte text, a pattern longer than a machine word",
         {"", "abcdefghi\u0142", 10, ""},
         [&](Text s, Cancellation c) {
             fuzzy_raw_extract(std::move(s), std::string(90, 'a') + "abcdefghik", fuzzy("levenshtein", 1.0), c);
         }},
        {"fuzzy raw, two-byte text, Indel",
         {"", "abcdefghi\u0142", 10, ""},
         [&](Text s, Cancellation c) { fuzzy_raw_extract(std::move(s), "abcdefghik", fuzzy("indel", 1.0), c); }},
        {"fuzzy token",
         {"", "abcdefghij ", 11, ""},
         [&](Text s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", " ", fuzzy("levenshtein", 0.0), c);
         }},
        {"fuzzy token, two-byte separator",
         {"", "abcdefghij--", 12, ""},
         [&](Text s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", "--", fuzzy("levenshtein", 0.0), c);
         }},
        {"fuzzy token, Damerau-Levenshtein, best match first",
         {"", "abcdefghij ", 11, ""},
         [&](Text s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", " ", fuzzy("damerau_levenshtein", 1.0), c);
         },
         costly},
        {"fuzzy token, two-byte separator, Damerau-Levenshtein, best match first",
         {"", "abcdefghij--", 12, ""},
         [&](Text s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", "--", fuzzy("damerau_levenshtein", 1.0), c);
         },
         costly},
        {"many patterns, exact raw, one automaton",
         {"", "abcd\u0142fghij ", 11, ""},
         [&](Text s, Cancellation c) {
             extract_many(SearchMode::exact_raw, std::move(s), inputs({"zz", "abcdz", "\u0142fx"}), "", plain, c);
         }},
        {"many patterns, fuzzy raw, pieces of every pattern",
         {"", "abcdefghi\u0142 ", 11, ""},
         [&](Text s, Cancellation c) {
             SearchOptions edits = fuzzy("levenshtein", 1.0);
             edits.edit_reach = 1;
             extract_many(SearchMode::fuzzy_raw, std::move(s), inputs({"abcdefzzzi", "zzzzzzzzz", "ghi\u0142 abcx"}),
                          "", edits, c);
         }},
        {"many patterns, fuzzy raw, short patterns many to a word",
         {"", "abcdefghi\u0142 ", 11, ""},
         [&](Text s, Cancellation c) {
             SearchOptions edits = fuzzy("levenshtein", 1.0);
             edits.edit_reach = 1;
             extract_many(SearchMode::fuzzy_raw, std::move(s), inputs({"abx", "ghi\u0142", "zq", "cdef", "i\u0142 "}),
                          "", edits, c);
         }},
        {"fuzzy token, no separator in the text",
         {"", "abcdefghi\u0142", 10, ""},
         [&](Text s, Cancellation c) {
             fuzzy_token_extract(std::move(s), "abcdefghik", " ", fuzzy("levenshtein", 0.0), c);
         }},
    };
    const std::size_t shard = argc == 3 ? std::strtoul(argv[1], nullptr, 10) : 0;
    const std::size_t shards = argc == 3 ? std::max<std::size_t>(std::strtoul(argv[2], nullptr, 10), 1) : 1;
    int failures = 0;
    for (std::size_t index = shard; index < cases.size(); index += shards) {
        const Case& test = cases[index];
        const std::uint64_t shorter = longest_stretch(test, test.length);
        const std::uint64_t longer = longest_stretch(test, test.length * growth);
        // A little slack: where the polls fall within a pass may shift with
        // the text's length.
        const bool grows = longer > shorter + shorter / 4;
        const bool ok = !grows && longer <= longest_allowed;
        std::printf("%s: %s: at most %llu units of work between polls, %llu on a text %zu times as long%s\n",
                    ok ? "ok" : "FAIL", test.name, static_cast<unsigned long long>(shorter),
                    static_cast<unsigned long long>(longer), growth,
                    grows                      ? " (a pass does not poll)"
                    : longer > longest_allowed ? " (polls too far apart)"
                                               : "");
        failures += !ok;
    }
    return failures == 0 ? 0 : 1;
}
