#include "conflict_solver/mod.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace tessarin {
namespace {

// Random access to the folded text by code-point index, decoded only when a
// strategy first needs it (ASCII text is read in place).
class CodePoints {
public:
    explicit CodePoints(std::string_view text) : text_(text) {}

    char32_t operator[](std::uint64_t index)
    {
        if (!ready_) {
            ascii_ = is_ascii(text_);
            if (!ascii_) decoded_ = decode_utf8(text_);
            ready_ = true;
        }
        return ascii_ ? static_cast<char32_t>(text_[index]) : decoded_[index];
    }

private:
    std::string_view text_;
    std::u32string decoded_;
    bool ascii_ = false;
    bool ready_ = false;
};

// Positions of the span that stand alone between spaces: the first when a
// space follows it, the last when a space precedes it, an inner one when
// spaces stand on both sides. Neighbours are taken within the span only.
std::uint64_t isolated_character_count(CodePoints& text, const Match& match)
{
    if (match.start >= match.end) return 0;
    std::uint64_t count = 0;
    const std::uint64_t last = match.end - 1;
    for (std::uint64_t p = match.start; p <= last; ++p) {
        const bool space_left = text[p == match.start ? p : p - 1] == U' ';
        const bool space_right = text[p == last ? p : p + 1] == U' ';
        if ((p == match.start && space_right) || (p == last && space_left) || (space_left && space_right))
            ++count;
    }
    return count;
}

// A total order on doubles (IEEE 754 totalOrder): -0.0 before +0.0.
bool total_order_less(double a, double b) noexcept
{
    if (a == b) return std::signbit(a) && !std::signbit(b);
    return a < b;
}

// Keeps the candidates whose value equals the extreme one, in their order.
template <typename ValueOf, typename Better>
void keep_extreme(std::vector<const Match*>& candidates, ValueOf value_of, Better better)
{
    using Value = decltype(value_of(*candidates.front()));
    std::vector<Value> values;
    values.reserve(candidates.size());
    for (const Match* candidate : candidates)
        values.push_back(value_of(*candidate));
    Value extreme = values.front();
    for (const Value& value : values)
        if (better(value, extreme)) extreme = value;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (values[i] == extreme) candidates[kept++] = candidates[i];
    candidates.resize(kept);
}

void narrow(std::vector<const Match*>& candidates, Strategy strategy, CodePoints& text)
{
    const auto length = [](const Match& m) { return m.end - m.start; };
    switch (strategy) {
    case Strategy::best_match:
        keep_extreme(candidates, [](const Match& m) { return m.score; }, total_order_less);
        break;
    case Strategy::shortest:
        keep_extreme(candidates, length, std::less<std::uint64_t>());
        break;
    case Strategy::longest:
        keep_extreme(candidates, length, std::greater<std::uint64_t>());
        break;
    case Strategy::minimum_isolated_character:
        keep_extreme(
            candidates, [&](const Match& m) { return isolated_character_count(text, m); },
            std::less<std::uint64_t>());
        break;
    case Strategy::unknown:
        candidates.resize(1);
        break;
    }
}

} // namespace

Strategy parse_strategy(std::string_view name) noexcept
{
    if (name == "best_match") return Strategy::best_match;
    if (name == "shortest") return Strategy::shortest;
    if (name == "longest") return Strategy::longest;
    if (name == "minimum_isolated_character") return Strategy::minimum_isolated_character;
    return Strategy::unknown;
}

MatchList ConflictSolver::solve_conflicts(std::string_view text, MatchList matches,
                                          const std::vector<std::string>& strategies)
{
    std::vector<Strategy> chosen;
    chosen.reserve(strategies.size());
    for (const std::string& name : strategies)
        chosen.push_back(parse_strategy(name));

    // The result is written over the candidates in place: a group's pick
    // never lands beyond the group's own first slot.
    CodePoints code_points(text);
    std::size_t reported = 0;
    std::vector<const Match*> candidates;
    std::size_t group_begin = 0;
    while (group_begin < matches.size()) {
        // A group takes every following match that starts no later than the
        // largest end so far: spans that only touch conflict too.
        std::uint64_t group_end = matches[group_begin].end;
        std::size_t group_stop = group_begin + 1;
        while (group_stop < matches.size() && matches[group_stop].start <= group_end) {
            group_end = std::max(group_end, matches[group_stop].end);
            ++group_stop;
        }

        candidates.clear();
        for (std::size_t i = group_begin; i < group_stop; ++i)
            candidates.push_back(&matches[i]);
        for (Strategy strategy : chosen) {
            if (candidates.size() < 2) break;
            narrow(candidates, strategy, code_points);
        }
        matches[reported++] = *candidates.front();
        group_begin = group_stop;
    }
    matches.resize(reported);
    return matches;
}

} // namespace tessarin
