// A short call (a text and a pattern of a few words) allocates nothing but
// its result list, whatever the metric: every operator new is counted.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "extract/extract.hpp"

namespace {

long allocations = 0;

} // namespace

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace {

using namespace tessarin;

int failures = 0;

// The allocations a list of `matches` items made growing one at a time.
long growths(std::size_t matches)
{
    long count = 0;
    for (std::size_t capacity = 0; capacity < matches; capacity = capacity ? 2 * capacity : 1)
        ++count;
    return count;
}

template <typename Call> void check(const char* what, const std::string& detail, Call call)
{
    const long before = allocations;
    const MatchList matches = call();
    const long made = allocations - before;
    if (made > growths(matches.size())) {
        ++failures;
        std::fprintf(stderr, "%s (%s): %ld allocations for %zu matches\n", what, detail.c_str(), made, matches.size());
    }
}

} // namespace

int main()
{
    const std::string texts[] = {"hello world", "hello\nworld, hello world", "x a b y a b"};
    const std::string patterns[] = {"world", "wrld", "a b", "hello world"};
    const StrategyList strategy_lists[] = {{}, {Strategy::best_match}, {Strategy::longest, Strategy::best_match}};
    for (const std::string& text : texts)
        for (const std::string& pattern : patterns)
            for (const StrategyList& strategies : strategy_lists) {
                const std::string detail = "'" + text + "', '" + pattern + "'";
                const SearchOptions exact = exact_search_options(false, false, strategies);
                check("exact raw", detail, [&] {
                    return exact_raw_extract(TextInput::borrowed_ascii(text), TextInput::borrowed_ascii(pattern), exact);
                });
                check("exact token", detail, [&] {
                    return exact_token_extract(TextInput::borrowed_ascii(text), TextInput::borrowed_ascii(pattern),
                                               TextInput::borrowed_ascii(" "), exact);
                });
                for (const MetricTraits& row : metric_table)
                    for (const ThresholdKind kind : {ThresholdKind::Absolute, ThresholdKind::Normalized}) {
                        SearchOptions fuzzy = exact_search_options(true, true, strategies);
                        fuzzy.metric = MetricChoice(row.metric);
                        fuzzy.threshold = kind == ThresholdKind::Absolute ? 2.0 : 0.4;
                        fuzzy.threshold_kind = kind;
                        const std::string metric_detail = detail + " " + std::string(row.name);
                        check("fuzzy raw", metric_detail, [&] {
                            return fuzzy_raw_extract(TextInput::borrowed_ascii(text),
                                                     TextInput::borrowed_ascii(pattern), fuzzy);
                        });
                        check("fuzzy token", metric_detail, [&] {
                            return fuzzy_token_extract(TextInput::borrowed_ascii(text),
                                                       TextInput::borrowed_ascii(pattern),
                                                       TextInput::borrowed_ascii(" "), fuzzy);
                        });
                    }
            }
    if (failures > 0) {
        std::fprintf(stderr, "%d short calls allocated beyond their result\n", failures);
        return 1;
    }
    std::puts("short calls allocate only their result");
    return 0;
}
