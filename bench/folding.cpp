// Times fold_units on texts that bench/folding.py writes: for each file
// (raw code units of 1, 2 or 4 bytes) and each pair of flags, the fastest
// of REPEATS calls, as one JSON object per line on stdout:
//   folding_bench REPEATS WIDTH FILE [WIDTH FILE ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "text/fold.hpp"

namespace {

template <typename Char> void time_file(const char* path, int repeats)
{
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::basic_string<Char> units(bytes.size() / sizeof(Char), Char{});
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(units.size() * sizeof(Char)),
              reinterpret_cast<char*>(units.data()));
    for (const bool case_insensitive : {false, true}) {
        for (const bool special : {false, true}) {
            double best = 1e300;
            bool borrowed = false;
            std::size_t folded_size = 0;
            for (int i = 0; i < repeats; ++i) {
                tessarin::Cancellation never;
                const auto start = std::chrono::steady_clock::now();
                const auto folded =
                    tessarin::fold_units(std::basic_string_view<Char>(units), case_insensitive, special, never);
                const auto end = std::chrono::steady_clock::now();
                best = std::min(best, std::chrono::duration<double>(end - start).count());
                borrowed = folded.borrowed();
                folded_size = folded.view().size();
            }
            std::printf("{\"file\": \"%s\", \"width\": %zu, \"case_insensitive\": %s, \"special\": %s, "
                        "\"seconds\": %.9f, \"units\": %zu, \"folded_units\": %zu, \"borrowed\": %s}\n",
                        path, sizeof(Char), case_insensitive ? "true" : "false", special ? "true" : "false", best,
                        units.size(), folded_size, borrowed ? "true" : "false");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: folding_bench REPEATS WIDTH FILE [WIDTH FILE ...]\n");
        return 2;
    }
    const int repeats = std::max(1, std::atoi(argv[1]));
    for (int i = 2; i + 1 < argc; i += 2) {
        switch (std::atoi(argv[i])) {
        case 1: time_file<char>(argv[i + 1], repeats); break;
        case 2: time_file<char16_t>(argv[i + 1], repeats); break;
        case 4: time_file<char32_t>(argv[i + 1], repeats); break;
        default: std::fprintf(stderr, "a width is 1, 2 or 4\n"); return 2;
        }
    }
    return 0;
}
