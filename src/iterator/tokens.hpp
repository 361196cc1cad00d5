// Cuts folded text into tokens at a literal separator and walks runs of
// consecutive tokens as a sliding window.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "text/text.hpp"

namespace tessarin {

// A token's span of code points in the folded text; it holds no text.
struct Token {
    std::uint64_t start;
    std::uint64_t end;
};

// A run of consecutive tokens: the text from the first token's start to the
// last token's end, separators between them included, untrimmed. The text
// is a view into the folded text that the Tokenizer reads.
template <typename Char> struct TokenWindow {
    Units<Char> text;
    std::uint64_t start;
    std::uint64_t end;
};

// Into how many pieces `separator` cuts `pattern` by ordinary left-to-right
// splitting, not counting pieces that equal the separator: the window size.
std::uint64_t pattern_token_count(std::u32string_view pattern, std::u32string_view separator);
// The same for UTF-8 strings.
std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator);

// The flat arrays of the token starts and ends that a walk of windows
// fills, kept from one walk to the next; left uninitialised, as every item
// is written before it is read.
struct TokenSpans {
    std::unique_ptr<std::uint64_t[]> block; // the starts, then as much room for the ends
    std::size_t room = 0;
};

namespace detail {
// The index of the lowest bit set in `bits`, which must not be 0, as a
// 64-bit value. The builtin gives an int: widened again to 64 bits, and its
// register cleared first against a false dependency, it takes three
// instructions where the cuts take one per token. A processor without
// tzcnt reads it as bsf, which gives the same for bits that are not 0.
inline std::uint64_t lowest_bit(std::uint64_t bits) noexcept
{
#if defined(__x86_64__) && defined(__GNUC__)
    std::uint64_t index;
    __asm__("tzcnt %1, %0" : "=r"(index) : "r"(bits) : "cc");
    return index;
#else
    return static_cast<unsigned>(__builtin_ctzll(bits));
#endif
}

// The ends of `count` tokens each followed by one separator and then by
// the next token, from the next tokens' starts.
inline void ends_before_starts(std::uint64_t* __restrict ends, const std::uint64_t* __restrict next_starts,
                               std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; ++k)
        ends[k] = next_starts[k] - 1;
}

} // namespace detail

// Calls visit(start, end) for every run of `size` consecutive tokens of a
// text cut at a separator of one code point, in order, from the run whose
// first token starts at `from` on (`from` must be a token's start, or the
// start of the text), until visit returns false. The tokens are the maximal
// runs of other code points (such a separator never yields an empty token),
// the same as cut_tokens gives. The separator's copies are found 64 units
// at a time; the starts and the ends of a block's tokens are written into
// two flat arrays, each in a loop of its own without a branch per token,
// and the windows they complete are walked from there. Only the tokens of
// windows not walked yet are kept, whatever the text's length.
//
// With `polls_windows`, the walk also polls for what its visits read, a
// window's length and one more for each window, once per block: a poll at
// every window goes through memory, some eight instructions a window where
// most windows cost a few dozen.
template <bool polls_windows = false, typename Char, typename Visit>
void for_each_single_separator_window(Units<Char> text, Char separator, std::uint64_t size, Cancellation& cancel,
                                      TokenSpans& spans, Visit&& visit, std::uint64_t from = 0)
{
    const std::uint64_t n = text.size();
    if (size == 0 || from >= n || size > n - from) return; // no text holds more tokens than code points
    const auto kept = static_cast<std::size_t>(size - 1);
    // Room for the tokens of the windows not walked yet, a token begun and
    // the most that one block adds.
    const std::size_t room = kept + 256 + 130;
    if (spans.room < room) {
        spans.block.reset(new std::uint64_t[2 * room]);
        spans.room = room;
    }
    std::uint64_t* starts = spans.block.get();
    std::uint64_t* ends = starts + spans.room;
    std::size_t started = 0, ended = 0, next = 0; // next: the first token of the next window
    std::uint64_t before = 1;                     // whether the unit before the block is a separator
    for (std::uint64_t block = from; block < n; block += 64) {
        cancel.poll(64);
        if (started + 65 > room) { // the tokens still wanted go to the front
            std::copy(starts + next, starts + started, starts);
            std::copy(ends + next, ends + ended, ends);
            started -= next;
            ended -= next;
            next = 0;
        }
        const std::uint64_t count = n - block;
        std::uint64_t cuts = unit_positions(text.data() + block, count, separator);
        // Past the end the text reads as separators: the last token ends there.
        if (count < 64) cuts |= ~std::uint64_t{0} << count;
        const std::uint64_t shifted = (cuts << 1) | before;
        const std::uint64_t start_bits = ~cuts & shifted, end_bits = cuts & ~shifted;
        std::uint64_t* start = starts + started;
        for (std::uint64_t bits = start_bits; bits != 0; bits &= bits - 1)
            *start++ = block + detail::lowest_bit(bits);
        started = static_cast<std::size_t>(start - starts);
        if (end_bits != 0) {
            // Where one separator follows each token that ends here but the
            // last, as between most words, such a token ends just before the
            // next one starts: those ends are the starts less one, in a loop
            // without a branch per token, and only the last is looked up.
            const auto last = static_cast<unsigned>(63 - __builtin_clzll(end_bits));
            const std::uint64_t others = end_bits ^ (std::uint64_t{1} << last);
            if (((others << 1) & ~start_bits) == 0) {
                // The token that the last end closes: the one begun last,
                // unless another begins after it.
                const std::size_t closed = started - 1 - static_cast<std::size_t>((start_bits >> last) != 0);
                detail::ends_before_starts(ends + ended, starts + ended + 1, closed - ended);
                ends[closed] = block + last;
                ended = closed + 1;
            } else {
                std::uint64_t* end = ends + ended;
                for (std::uint64_t bits = end_bits; bits != 0; bits &= bits - 1)
                    *end++ = block + detail::lowest_bit(bits);
                ended = static_cast<std::size_t>(end - ends);
            }
        }
        before = cuts >> 63;
        // A text whose length is a multiple of 64 ends its last token here.
        if (count == 64 && block + 64 == n && before == 0) ends[ended++] = n;
        if (next + kept < ended) {
            // Walked by pointers: fewer values live across the visit.
            const std::uint64_t* first_start = starts + next;
            const std::uint64_t* last_end = ends + next + kept;
            const std::uint64_t* const stop = ends + ended;
            std::uint64_t work = 0; // the windows' lengths, and one for each
            do {
                if constexpr (polls_windows) work += *last_end - *first_start + 1;
                if (!visit(*first_start, *last_end)) {
                    if constexpr (polls_windows) cancel.poll(work);
                    return;
                }
                ++first_start;
            } while (++last_end < stop);
            if constexpr (polls_windows) cancel.poll(work);
            next = static_cast<std::size_t>(first_start - starts);
        }
    }
}

// Whether some unit of `text` other than `separator` is white space. Where
// none is, no token cut at that one code point begins or ends with white
// space, so no window of them needs trimming. Every White_Space code point
// is at most U+0020, within U+0085 to U+00A0, or from U+1680 on: a piece
// of the text is only looked at closely when some unit in it lies there,
// and the loop that tells has no branch, so the compiler can vectorise it.
template <typename Char> bool holds_other_white_space(Units<Char> text, Char separator, Cancellation& cancel)
{
    using Unsigned = std::make_unsigned_t<Char>;
    const auto sep = static_cast<Unsigned>(separator);
    constexpr std::size_t piece = 1024;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        cancel.poll(piece);
        const std::size_t stop = std::min(text.size(), at + piece);
        Unsigned suspect = 0;
        if constexpr (sizeof(Char) == 1) {
            suspect = bytes_may_hold_other_white_space(text.data() + at, stop - at, separator);
        } else {
            // All in the unit's own width: mixed with wider ones, the loop is
            // not vectorised.
            for (std::size_t i = at; i < stop; ++i) {
                const auto unit = static_cast<Unsigned>(text[i]);
                suspect |= may_be_low_white_space(unit, sep) | static_cast<Unsigned>(unit >= 0x1680);
            }
        }
        if (suspect == 0) continue;
        for (std::size_t i = at; i < stop; ++i)
            if (static_cast<Unsigned>(text[i]) != sep && is_white_space(code_point(text[i]))) return true;
    }
    return false;
}

// Calls append(Token) for every token of `text` cut at `separator`, in
// order. Occurrences are found at every position, overlapping ones
// included, in ascending order. An occurrence that begins one code point
// after the start of the current token (the tail of an overlapping run)
// records nothing but moves the start past it. An occurrence that begins
// before the current start in any other way (a separator such as "aba" in
// "ababa") is ignored, as ordinary left-to-right splitting would. An empty
// separator holds an (empty) occurrence at every position: the one at 0
// records the empty token, and every later one is exempt.
template <typename Char, typename Append>
void cut_tokens(Units<Char> text, Units<Char> separator, Cancellation& cancel, Append&& append)
{
    if (separator.empty()) {
        append(Token{0, 0});
        return;
    }
    const std::uint64_t width = separator.size(), text_length = text.size();
    std::uint64_t start = 0;
    OccurrenceFinder<Char> finder(text, separator, AsciiFold{}, &cancel);
    for (std::size_t position = finder.next(); position != no_occurrence; position = finder.next()) {
        cancel.poll();
        if (position + width == start + 1) {
            start = position + width;
        } else if (position >= start) {
            append(Token{start, position});
            start = position + width;
        }
    }
    if (start != text_length) append(Token{start, text_length});
}

template <typename Char> class Tokenizer {
public:
    // Tokenizes `text` at once. The text must outlive the Tokenizer; a long
    // tokenization polls `cancel` when one is given.
    Tokenizer(Units<Char> text, Units<Char> separator, std::uint64_t size, Cancellation* cancel = nullptr);

    // The next window, or nothing once the walk is over. Throws
    // ExtractionFailure for a window size of 0.
    std::optional<TokenWindow<Char>> next();

    const std::vector<Token>& tokens() const noexcept { return tokens_; }

private:
    std::vector<Token> tokens_;
    Units<Char> text_;
    std::uint64_t index_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t size_;
};

template <typename Char>
Tokenizer(std::basic_string_view<Char>, std::basic_string_view<Char>, std::uint64_t, Cancellation* = nullptr)
    -> Tokenizer<Char>;

// The tokens of a text of any unit type, for callers that do not walk
// windows. A separator with a code point that the text's units cannot hold
// never occurs in it.
std::vector<Token> tokenize(const UnitText& text, std::u32string_view separator, Cancellation& cancel);

} // namespace tessarin
