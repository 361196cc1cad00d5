#include "text/occurrences.hpp"

#include <algorithm>
#include <cstring>

#include "text/ascii_vector.hpp"

namespace tessarin {
namespace {

using namespace detail;

// The raw units that fold to one folded unit `c`: those equal to it once
// or-ed with `case_bit`, and `other`. A small letter is also its capital
// (0x20 apart); 'a' is also '@', a space also a line feed, under their folds.
// A unit beyond ASCII or-ed with the case bit stays beyond ASCII, so it
// never passes for a letter.
template <typename Char> struct UnitClass {
    Char c, case_bit, other;

    UnitClass(Char folded, AsciiFold fold) noexcept
        : c(folded), case_bit(fold.lower && folded >= Char('a') && folded <= Char('z') ? Char(0x20) : Char(0)),
          other(fold.at_sign && folded == Char('a')      ? Char('@')
                : fold.line_feeds && folded == Char(' ') ? Char('\n')
                                                         : folded)
    {
    }
    bool has(Char raw) const noexcept { return static_cast<Char>(raw | case_bit) == c || raw == other; }
#if TESSARIN_SSE2
    static Vector equal(Vector a, Vector b) noexcept
    {
        if constexpr (sizeof(Char) == 1) return _mm_cmpeq_epi8(a, b);
        if constexpr (sizeof(Char) == 2) return _mm_cmpeq_epi16(a, b);
        if constexpr (sizeof(Char) == 4) return _mm_cmpeq_epi32(a, b);
    }
    static Vector splat(Char unit) noexcept
    {
        if constexpr (sizeof(Char) == 1) return _mm_set1_epi8(static_cast<char>(unit));
        if constexpr (sizeof(Char) == 2) return _mm_set1_epi16(static_cast<short>(unit));
        if constexpr (sizeof(Char) == 4) return _mm_set1_epi32(static_cast<int>(unit));
    }
    // Splatted once, outside the loop.
    struct Vectors {
        Vector c, case_bit, other;
        bool single; // no case bit and no other unit: one comparison tells
    };
    Vectors vectors() const noexcept { return {splat(c), splat(case_bit), splat(other), case_bit == 0 && other == c}; }
    static Vector has(Vector raw, const Vectors& v) noexcept
    {
        if (v.single) return equal(raw, v.c);
        return _mm_or_si128(equal(_mm_or_si128(raw, v.case_bit), v.c), equal(raw, v.other));
    }
#endif
};

// The leftmost occurrence of `needle` (not empty) in the folded haystack at
// or after `from`, or no_occurrence. A vector of starts at a time is tested
// on the needle's first and last units; only the starts that pass both have
// the rest compared.
template <typename Char>
std::size_t find_folded(Units<Char> haystack, std::size_t from, Units<Char> needle, AsciiFold fold) noexcept
{
    const Char* h = haystack.data();
    const std::size_t size = haystack.size(), width = needle.size();
    if (width > size || from > size - width) return no_occurrence;
    const std::size_t last_start = size - width;
    const UnitClass<Char> first(needle.front(), fold), last(needle.back(), fold);
    const auto rest_matches = [&](std::size_t at) {
        if (fold.identity())
            return width <= 2 || std::memcmp(h + at + 1, needle.data() + 1, (width - 2) * sizeof(Char)) == 0;
        for (std::size_t k = 1; k + 1 < width; ++k)
            if (fold(h[at + k]) != needle[k]) return false;
        return true;
    };
    std::size_t i = from;
#if TESSARIN_SSE2
    constexpr std::size_t lanes = vector_size / sizeof(Char);
    // One bit per unit: the lowest of the unit's bytes in the byte mask.
    constexpr unsigned lane_bits = sizeof(Char) == 1 ? 0xFFFF : sizeof(Char) == 2 ? 0x5555 : 0x1111;
    const auto first_vectors = first.vectors(), last_vectors = last.vectors();
    for (; i <= last_start && last_start - i >= lanes - 1; i += lanes) {
        const Vector hits =
            _mm_and_si128(UnitClass<Char>::has(load(reinterpret_cast<const char*>(h + i)), first_vectors),
                          UnitClass<Char>::has(load(reinterpret_cast<const char*>(h + i + width - 1)), last_vectors));
        for (unsigned bits = high_bits(hits) & lane_bits; bits != 0; bits &= bits - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(bits)) / sizeof(Char);
            if (rest_matches(at)) return at;
        }
    }
#endif
    for (; i <= last_start; ++i)
        if (first.has(h[i]) && last.has(h[i + width - 1]) && rest_matches(i)) return i;
    return no_occurrence;
}

} // namespace

template <typename Char>
OccurrenceFinder<Char>::OccurrenceFinder(Units<Char> haystack, Units<Char> needle, AsciiFold fold,
                                         Cancellation* cancel)
    : haystack_(haystack), needle_(needle), fold_(fold), cancel_(cancel)
{
}

// The leftmost occurrence that starts at or after `from`. A long search goes
// a stretch at a time, polling between stretches; each stretch overlaps the
// next by all but one unit of the needle.
template <typename Char> std::size_t OccurrenceFinder<Char>::find_from(std::size_t from)
{
    const std::size_t size = haystack_.size(), width = needle_.size();
    const std::size_t stretch = std::max(pass_piece * 16, 4 * width);
    while (from < size && size - from >= width) {
        const std::size_t end = size - from > stretch ? from + stretch : size;
        if (cancel_) cancel_->poll(end - from);
        std::size_t at = none;
        if (sizeof(Char) == 1 && width == 1 && fold_.identity()) {
            const void* found = std::memchr(haystack_.data() + from, needle_[0], end - from);
            if (found) at = static_cast<std::size_t>(static_cast<const Char*>(found) - haystack_.data());
        } else {
            at = find_folded(haystack_.substr(0, end), from, needle_, fold_);
        }
        if (at != none || end == size) return at;
        from = end - (width - 1);
    }
    return none;
}

// The automaton is only needed once an occurrence was found: built then.
template <typename Char> void OccurrenceFinder<Char>::prepare_borders()
{
    border_.assign(needle_.size() + 1, 0);
    for (std::size_t length = 2; length <= needle_.size(); ++length) {
        std::size_t border = border_[length - 1];
        while (border > 0 && needle_[border] != needle_[length - 1])
            border = border_[border];
        if (needle_[border] == needle_[length - 1]) ++border;
        border_[length] = border;
    }
    // Two occurrences d < width apart make the needle's last width - d
    // units a border of it: without a border, none can overlap.
    overlaps_ = border_[needle_.size()] > 0;
}

template <typename Char> std::size_t OccurrenceFinder<Char>::next_in_short() noexcept
{
    const std::size_t size = haystack_.size(), width = needle_.size();
    for (std::size_t at = pos_; at + width <= size; ++at) {
        std::size_t k = 0;
        while (k < width && fold_(haystack_[at + k]) == needle_[k])
            ++k;
        if (k == width) {
            pos_ = at + 1;
            return at;
        }
    }
    pos_ = size;
    return none;
}

template <typename Char> std::size_t OccurrenceFinder<Char>::next()
{
    const std::size_t size = haystack_.size(), width = needle_.size();
    if (width == 0) return none;
    if (width == 1 && fold_.identity()) {
        // A single unit cannot overlap itself: the next occurrence is simply
        // the next copy of it.
        const std::size_t at = find_from(pos_);
        if (at == none) {
            pos_ = size;
            return none;
        }
        pos_ = at + 1;
        return at;
    }
    if (size <= short_haystack) return next_in_short();
    while (pos_ < size) {
        if (matched_ == 0) {
            // Nothing pending: the leftmost occurrence from here on is next.
            const std::size_t at = find_from(pos_);
            if (at == none) {
                pos_ = size;
                return none;
            }
            if (border_.empty()) prepare_borders();
            pos_ = at + width;
            if (overlaps_) matched_ = width;
            return at;
        }
        if (cancel_) cancel_->poll();
        const Char c = fold_(haystack_[pos_++]);
        while (matched_ > 0 && (matched_ == width || needle_[matched_] != c))
            matched_ = border_[matched_];
        if (needle_[matched_] == c) ++matched_;
        if (matched_ == width) return pos_ - width;
    }
    return none;
}

template <typename Char> std::uint64_t unit_positions(const Char* data, std::size_t count, Char unit) noexcept
{
    std::uint64_t bits = 0;
#if TESSARIN_SSE2
    if (count >= 64) {
        const Vector wanted = UnitClass<Char>::splat(unit);
        const auto equal = [&](std::size_t at) {
            return UnitClass<Char>::equal(load(reinterpret_cast<const char*>(data + at)), wanted);
        };
        // Sixteen units a step, narrowed to a byte each.
        constexpr std::size_t lanes = vector_size / sizeof(Char);
        for (std::size_t step = 0; step < 4; ++step) {
            const std::size_t at = step * 16;
            Vector bytes;
            if constexpr (sizeof(Char) == 1) {
                bytes = equal(at);
            } else if constexpr (sizeof(Char) == 2) {
                bytes = _mm_packs_epi16(equal(at), equal(at + lanes));
            } else {
                bytes = _mm_packs_epi16(_mm_packs_epi32(equal(at), equal(at + lanes)),
                                        _mm_packs_epi32(equal(at + 2 * lanes), equal(at + 3 * lanes)));
            }
            bits |= static_cast<std::uint64_t>(high_bits(bytes)) << at;
        }
        return bits;
    }
#endif
    const std::size_t last = count < 64 ? count : 64;
    for (std::size_t i = 0; i < last; ++i)
        bits |= static_cast<std::uint64_t>(data[i] == unit) << i;
    return bits;
}

bool bytes_may_hold_other_white_space(const char* data, std::size_t count, char separator) noexcept
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const auto sep = static_cast<unsigned char>(separator);
    std::size_t i = 0;
#if TESSARIN_SSE2
    // Read as signed, the bytes below 0x21 are those at most 0x20 and all
    // from 0x80 on: one comparison a vector clears a text of ASCII, and
    // only a text with bytes beyond it is looked at closer.
    const Vector above_low = splat(0x21), wanted = splat(separator);
    Vector suspect = _mm_setzero_si128();
    for (; i + vector_size <= count; i += vector_size) {
        const Vector v = load(data + i);
        suspect = _mm_or_si128(suspect, _mm_andnot_si128(_mm_cmpeq_epi8(v, wanted), _mm_cmpgt_epi8(above_low, v)));
    }
    if (high_bits(suspect) != 0) i = 0;
#endif
    unsigned char found = 0;
    for (; i < count; ++i)
        found |= may_be_low_white_space(bytes[i], sep);
    return found != 0;
}

template std::uint64_t unit_positions(const char*, std::size_t, char) noexcept;
template std::uint64_t unit_positions(const char16_t*, std::size_t, char16_t) noexcept;
template std::uint64_t unit_positions(const char32_t*, std::size_t, char32_t) noexcept;

template class OccurrenceFinder<char>;
template class OccurrenceFinder<char16_t>;
template class OccurrenceFinder<char32_t>;

} // namespace tessarin
