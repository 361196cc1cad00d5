// Positions of a reshaped text mapped back to the text it came from: the
// folded text where lower-casing lengthened code points, and a text whose
// runs of white space read as one space, against maps built one code point
// at a time.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "text/positions.hpp"
#include "text/text.hpp"

namespace {

using namespace tessarin;

int failures = 0;

void check(bool condition, const char* what, unsigned seed)
{
    if (!condition && ++failures <= 20) std::printf("FAIL (seed %u): %s\n", seed, what);
}

// Where each code point of the original starts in the reshaped text, and
// one past the last: a position inside what one code point or run became
// maps to its start, an end inside it to its end.
std::uint64_t expected_original(const std::vector<std::uint64_t>& starts, std::uint64_t position, bool is_end)
{
    std::uint64_t k = 0;
    while (k + 1 < starts.size() && starts[k + 1] <= position)
        ++k;
    // Runs that became nothing do not occur: every step keeps at least one.
    return starts[k] == position || !is_end ? k : k + 1;
}

void check_map(const PositionMap& map, const std::vector<std::uint64_t>& starts, std::uint64_t reshaped_length,
               unsigned seed)
{
    for (std::uint64_t position = 0; position <= reshaped_length; ++position)
        for (const bool is_end : {false, true}) {
            std::uint64_t want = expected_original(starts, position, is_end);
            check(map.original_of(position, is_end) == want, "a position maps back", seed);
        }
}

} // namespace

int main()
{
    const char32_t alphabet[] = {U'a', U'I', U' ', U'\n', U'\t', 0x130, 0x3A3, 0xA0, 0x3000, U'b', 0x1F600};
    Cancellation never;
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        std::u32string text(random() % 40, U'a');
        for (char32_t& c : text)
            c = alphabet[random() % std::size(alphabet)];

        // Lengthenings: each code point folds alone to as many as it folds to within the text.
        const std::u32string folded(fold_units(std::u32string_view(text), true, false, never).view());
        std::vector<std::uint64_t> starts{0};
        for (const char32_t c : text) {
            const std::u32string one(1, c);
            starts.push_back(starts.back() + fold_units(std::u32string_view(one), true, false, never).view().size());
        }
        check(starts.back() == folded.size(), "the folded length", seed);
        check_map(lengthenings(std::u32string_view(text)), starts, folded.size(), seed);

        // Runs of white space: each run one space. unit[i] is the code point
        // of the collapsed text that code point i became.
        PositionMap runs;
        const std::u32string collapsed = collapse_white_space(std::u32string_view(text), runs);
        std::vector<std::uint64_t> unit(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool continues_run = i > 0 && is_white_space(text[i]) && is_white_space(text[i - 1]);
            unit[i] = i == 0 ? 0 : unit[i - 1] + (continues_run ? 0 : 1);
        }
        check(collapsed.size() == (text.empty() ? 0 : unit.back() + 1), "the collapsed length", seed);
        for (const char32_t c : collapsed)
            check(c == U' ' || !is_white_space(c), "a run reads as one space", seed);
        for (std::uint64_t position = 0; position <= collapsed.size(); ++position) {
            // A start maps to the first code point of what became `position`,
            // an end to one past the last code point of what came before it.
            const std::uint64_t first = static_cast<std::uint64_t>(
                std::lower_bound(unit.begin(), unit.end(), position) - unit.begin());
            check(runs.original_of(position, false) == first, "a start maps to its run's start", seed);
            check(runs.original_of(position, true) == first, "an end maps to its run's end", seed);
        }
    }
    if (failures > 0) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok: positions of folded and collapsed texts map back\n");
    return 0;
}
