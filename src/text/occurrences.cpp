#include "text/occurrences.hpp"

#include <cstring>

#include "text/ascii_vector.hpp"

namespace tessarin {
namespace {

using namespace detail;

// The leftmost occurrence of `needle` (not empty) in the folded haystack at
// or after `from`, or OccurrenceFinder::none. Sixteen starts at a time are
// tested on the needle's first and last bytes; only the starts that pass
// both have their middle compared.
template <unsigned Mode>
struct FindFolded {
    static bool middle_matches(const char* at, std::string_view needle) noexcept
    {
        if constexpr (Mode == 0) {
            return needle.size() <= 2 || std::memcmp(at + 1, needle.data() + 1, needle.size() - 2) == 0;
        } else {
            constexpr AsciiFold fold = fold_of<Mode>();
            for (std::size_t k = 1; k + 1 < needle.size(); ++k)
                if (fold(at[k]) != needle[k]) return false;
            return true;
        }
    }

    static std::size_t run(std::string_view haystack, std::size_t from, std::string_view needle) noexcept
    {
        const char* h = haystack.data();
        const std::size_t size = haystack.size(), width = needle.size();
        if (width > size || from > size - width) return OccurrenceFinder::none;
        const std::size_t last_start = size - width;
        const char first = needle.front(), last = needle.back();
        std::size_t i = from;
#if TESSARIN_SSE2
        const Vector firsts = splat(first), lasts = splat(last);
        for (; i <= last_start && last_start - i >= vector_size - 1; i += vector_size) {
            const Vector hits = _mm_and_si128(_mm_cmpeq_epi8(fold_vector<Mode>(load(h + i)), firsts),
                                              _mm_cmpeq_epi8(fold_vector<Mode>(load(h + i + width - 1)), lasts));
            for (unsigned bits = high_bits(hits); bits != 0; bits &= bits - 1) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(bits));
                if (middle_matches(h + at, needle)) return at;
            }
        }
#endif
        constexpr AsciiFold fold = fold_of<Mode>();
        for (; i <= last_start; ++i)
            if (fold(h[i]) == first && fold(h[i + width - 1]) == last && middle_matches(h + i, needle)) return i;
        return OccurrenceFinder::none;
    }
};

} // namespace

OccurrenceFinder::OccurrenceFinder(std::string_view haystack, std::string_view needle, AsciiFold fold)
    : haystack_(haystack), needle_(needle), fold_(fold)
{}

// The automaton is only needed once an occurrence was found: built then.
void OccurrenceFinder::prepare_borders()
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
    // bytes a border of it: without a border, none can overlap.
    overlaps_ = border_[needle_.size()] > 0;
}

std::size_t OccurrenceFinder::next()
{
    const std::size_t size = haystack_.size(), width = needle_.size();
    if (width == 0) return none;
    if (width == 1 && fold_.identity()) {
        // A single byte cannot overlap itself: the next occurrence is simply
        // the next copy of it.
        if (pos_ >= size) return none;
        const void* found = std::memchr(haystack_.data() + pos_, needle_[0], size - pos_);
        if (!found) {
            pos_ = size;
            return none;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - haystack_.data());
        pos_ = at + 1;
        return at;
    }
    while (pos_ < size) {
        if (matched_ == 0) {
            // Nothing pending: the leftmost occurrence from here on is next.
            const std::size_t at = with_fold_mode<FindFolded>(fold_, haystack_, pos_, needle_);
            if (at == none) {
                pos_ = size;
                return none;
            }
            if (border_.empty()) prepare_borders();
            pos_ = at + width;
            if (overlaps_) matched_ = width;
            return at;
        }
        const char c = fold_(haystack_[pos_++]);
        while (matched_ > 0 && (matched_ == width || needle_[matched_] != c))
            matched_ = border_[matched_];
        if (needle_[matched_] == c) ++matched_;
        if (matched_ == width) return pos_ - width;
    }
    return none;
}

} // namespace tessarin
