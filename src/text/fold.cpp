#include "text/fold.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

#include "text/ascii_vector.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessarin {
namespace {

using detail::fold_ascii_bytes;
using detail::next_non_ascii;

// The first byte at or after `from` that is not ASCII, or `size`; a long
// run is scanned a piece at a time. Each scan counts the bytes it read, so
// that short runs between other code points do not run up the budget.
std::size_t next_non_ascii(const char* data, std::size_t size, std::size_t from, Cancellation& cancel)
{
    for (std::size_t at = from; at < size; at += pass_piece) {
        const std::size_t end = std::min(size, at + pass_piece), found = next_non_ascii(data, end, at);
        cancel.poll(found - at);
        if (found < end) return found;
    }
    return size;
}

// fold_ascii_bytes a piece at a time.
void fold_ascii_bytes(const char* in, char* out, std::size_t count, AsciiFold fold, Cancellation& cancel)
{
    for (std::size_t at = 0; at < count; at += pass_piece) {
        const std::size_t piece = std::min(pass_piece, count - at);
        cancel.poll(piece);
        fold_ascii_bytes(in + at, out + at, piece, fold);
    }
}

// The same for an ASCII fold fixed at compile time, as the loops below
// that fold many short runs want it.
template <unsigned Mode> void fold_ascii_run(const char* in, char* out, std::size_t count, Cancellation& cancel)
{
    for (std::size_t at = 0; at < count; at += pass_piece) {
        const std::size_t piece = std::min(pass_piece, count - at);
        cancel.poll(piece);
        detail::FoldAsciiBytes<Mode>::run(in + at, out + at, piece);
    }
}

// Folds text[from, end) in place, lower-casing aside: line feeds become
// spaces and, when Mode has fold_at_sign, the special characters their
// letters. ASCII goes a vector at a time. The text can only get shorter;
// returns the new end of the folded part.
template <unsigned Mode> struct FoldInPlace {
    static std::size_t run(std::string& text, std::size_t from, std::size_t end, Cancellation& cancel)
    {
        constexpr bool special = (Mode & detail::fold_at_sign) != 0;
        char* data = text.data();
        std::size_t read = from, write = from;
        while (read < end) {
            const std::size_t run_end = next_non_ascii(data, end, read, cancel);
            fold_ascii_run<Mode>(data + read, data + write, run_end - read, cancel);
            write += run_end - read;
            read = run_end;
            // Then the bytes beyond ASCII up to the next ASCII byte, which
            // stay as they are but for the special characters.
            const std::size_t other_start = read;
            while (read < end && static_cast<unsigned char>(data[read]) >= 0x80) {
                const auto byte = static_cast<unsigned char>(data[read]);
                char replacement = 0;
                std::size_t width = 1;
                if (special && byte == 0xC3 && read + 1 < end &&
                    utf8::is_continuation(static_cast<unsigned char>(data[read + 1]))) { // U+00C0..U+00FF
                    const char32_t folded =
                        unicode::special_fold(0xC0 | (static_cast<unsigned char>(data[read + 1]) & 0x3F));
                    replacement = folded < 0x80 ? static_cast<char>(folded) : 0;
                    width = 2;
                } else if (special && byte == 0xE2 && read + 2 < end &&
                           static_cast<unsigned char>(data[read + 1]) == 0x82 &&
                           static_cast<unsigned char>(data[read + 2]) == 0xAC) { // U+20AC
                    replacement = 'e';
                    width = 3;
                }
                if (replacement) {
                    data[write++] = replacement;
                    read += width;
                } else {
                    data[write++] = data[read++];
                }
            }
            cancel.poll(read - other_start);
        }
        return write;
    }
};

// A buffer of code units that folding writes once, front to back. Memory is
// left uninitialised. Lower-casing rarely lengthens a text, so the buffer
// starts near the input's size and, when a text does grow, it grows to what
// the rate seen so far projects for the whole input.
template <typename Char> class GrowingBuffer {
public:
    explicit GrowingBuffer(std::size_t capacity) : data_(new Char[capacity]), capacity_(capacity) {}

    Char* end() noexcept { return data_.get() + size_; }
    std::size_t size() const noexcept { return size_; }

    // Room for `count` more units, once `read` of the input's `total` units
    // have been folded.
    void reserve(std::size_t count, std::size_t read, std::size_t total)
    {
        if (capacity_ - size_ < count) grow(count, read, total);
    }
    // These write into room already reserved.
    void append(const Char* units, std::size_t count) noexcept
    {
        if (count) std::memcpy(end(), units, count * sizeof(Char));
        size_ += count;
    }
    void advance(std::size_t count) noexcept { size_ += count; }

    std::unique_ptr<Char[]> release() noexcept { return std::move(data_); }

private:
    void grow(std::size_t count, std::size_t read, std::size_t total)
    {
        const double rate = read > 0 ? static_cast<double>(size_) / static_cast<double>(read) : 1.0;
        const std::size_t remaining = total > read ? total - read : 0;
        const auto projected = static_cast<std::size_t>(rate * static_cast<double>(remaining)) + remaining / 16;
        const std::size_t capacity = std::max(size_ + count + projected + 64, capacity_ + capacity_ / 8 + count);
        std::unique_ptr<Char[]> grown(new Char[capacity]);
        std::memcpy(grown.get(), data_.get(), size_ * sizeof(Char));
        data_ = std::move(grown);
        capacity_ = capacity;
    }

    std::unique_ptr<Char[]> data_;
    std::size_t capacity_ = 0, size_ = 0;
};

// Calls cancel.poll once per pass_piece steps of work counted one at a time.
class PollCounter {
public:
    explicit PollCounter(Cancellation& cancel) noexcept : cancel_(cancel) {}
    void step()
    {
        if (--left_ == 0) {
            left_ = pass_piece;
            cancel_.poll(pass_piece);
        }
    }

private:
    Cancellation& cancel_;
    std::size_t left_ = pass_piece;
};

// What folding makes of the 256 code points of Latin-1: each becomes one
// of them (the generated tables guarantee it for lower-casing).
struct Latin1Fold {
    std::array<unsigned char, 256> map{};
    AsciiFold ascii;
    bool high_bytes_change = false; // some code point from U+0080 on changes

    Latin1Fold(bool case_insensitive, bool special) noexcept : ascii(AsciiFold::of(case_insensitive, special))
    {
        for (char32_t c = 0; c < 256; ++c) {
            char32_t folded[unicode::longest_lower_form] = {c == '\n' ? U' ' : c};
            if (case_insensitive) unicode::lower_full(folded[0], folded); // one code point here
            if (special) folded[0] = unicode::special_fold(folded[0]);
            map[c] = static_cast<unsigned char>(folded[0]);
            high_bytes_change |= c >= 0x80 && folded[0] != c;
        }
    }
};

// The map of each of the four flag settings, built once: building one costs
// as much as folding a few thousand ASCII units, which a short search does.
const Latin1Fold& latin1_fold(bool case_insensitive, bool special) noexcept
{
    static const Latin1Fold maps[4] = {Latin1Fold(false, false), Latin1Fold(false, true), Latin1Fold(true, false),
                                       Latin1Fold(true, true)};
    return maps[2 * case_insensitive + special];
}

// Latin-1, sixteen units at a time where the target has vectors: each
// block goes through the vector fold of ASCII, and its bytes beyond ASCII,
// if folding changes any of them, through the map.
template <unsigned Mode> struct Latin1Kernel {
    // The first unit in [from, size) that folding changes, or `size`.
    static std::size_t first_change(const unsigned char* data, std::size_t from, std::size_t size,
                                    const Latin1Fold& fold) noexcept
    {
        // Without the flags only a line feed changes: the C library's search
        // for one byte reads wider vectors than this loop.
        if constexpr (Mode == detail::fold_line_feeds)
            if (!fold.high_bytes_change) {
                const void* found = std::memchr(data + from, '\n', size - from);
                return found ? static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data) : size;
            }
        std::size_t i = from;
#if TESSARIN_SSE2
        using namespace detail;
        for (; i + vector_size <= size; i += vector_size) {
            const Vector v = load(reinterpret_cast<const char*>(data + i));
            unsigned changed = ~high_bits(_mm_cmpeq_epi8(fold_vector<Mode>(v), v)) & 0xFFFFu;
            if (fold.high_bytes_change)
                for (unsigned high = high_bits(v); high != 0; high &= high - 1) {
                    const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(high));
                    if (fold.map[data[k]] != data[k]) changed |= 1u << (k - i);
                }
            if (changed) return i + static_cast<std::size_t>(__builtin_ctz(changed));
        }
#endif
        for (; i < size; ++i)
            if (fold.map[data[i]] != data[i]) return i;
        return size;
    }

    static void fold_all(const unsigned char* in, unsigned char* out, std::size_t count,
                         const Latin1Fold& fold) noexcept
    {
        std::size_t i = 0;
#if TESSARIN_SSE2
        using namespace detail;
        for (; i + vector_size <= count; i += vector_size) {
            const Vector v = load(reinterpret_cast<const char*>(in + i));
            store(reinterpret_cast<char*>(out + i), fold_vector<Mode>(v));
            if (fold.high_bytes_change)
                for (unsigned high = high_bits(v); high != 0; high &= high - 1) {
                    const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(high));
                    out[k] = fold.map[in[k]];
                }
        }
#endif
        for (; i < count; ++i)
            out[i] = fold.map[in[i]];
    }

    static std::pair<std::unique_ptr<char[]>, std::size_t> run(const unsigned char* data, std::size_t size,
                                                               const Latin1Fold& fold, Cancellation& cancel)
    {
        std::size_t first = size;
        for (std::size_t at = 0; at < size; at += pass_piece) {
            const std::size_t end = std::min(size, at + pass_piece);
            first = first_change(data, at, end, fold);
            cancel.poll(first - at);
            if (first < end) break;
        }
        if (first == size) return {nullptr, size};
        std::unique_ptr<char[]> folded(new char[size]);
        auto* out = reinterpret_cast<unsigned char*>(folded.get());
        std::memcpy(out, data, first);
        for (std::size_t at = first; at < size; at += pass_piece) {
            const std::size_t piece = std::min(pass_piece, size - at);
            cancel.poll(piece);
            fold_all(data + at, out + at, piece, fold);
        }
        return {std::move(folded), size};
    }
};

// Units that folding without lower-casing may change: line feeds and, when
// `special`, '@', U+00E0..U+00FC and the euro sign. Returns the first at or
// after `from`, or `size`. Some units in that range stay as they are.
template <typename Char>
std::size_t next_candidate(const Char* data, std::size_t from, std::size_t size, bool special) noexcept
{
    static_assert(sizeof(Char) == 2 || sizeof(Char) == 4);
    std::size_t i = from;
#if TESSARIN_SSE2
    using namespace detail;
    constexpr std::size_t per_vector = vector_size / sizeof(Char);
    const auto equal = [](Vector v, char32_t c) {
        if constexpr (sizeof(Char) == 2)
            return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(c)));
        else
            return _mm_cmpeq_epi32(v, _mm_set1_epi32(static_cast<int>(c)));
    };
    for (; i + per_vector <= size; i += per_vector) {
        const Vector v = load(reinterpret_cast<const char*>(data + i));
        Vector hit = equal(v, '\n');
        if (special) {
            Vector accented;
            if constexpr (sizeof(Char) == 2) // (v - 0xE0) <= 0x1C, unsigned
                accented =
                    _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(v, _mm_set1_epi16(0xE0)), _mm_set1_epi16(0xFC - 0xE0)),
                                    _mm_setzero_si128());
            else // code points fit in 31 bits; larger values never change
                accented =
                    _mm_and_si128(_mm_cmpgt_epi32(v, _mm_set1_epi32(0xDF)), _mm_cmplt_epi32(v, _mm_set1_epi32(0xFD)));
            hit = _mm_or_si128(_mm_or_si128(hit, accented), _mm_or_si128(equal(v, '@'), equal(v, 0x20AC)));
        }
        if (const unsigned bits = high_bits(hit))
            return i + static_cast<std::size_t>(__builtin_ctz(bits)) / sizeof(Char);
    }
#endif
    for (; i < size; ++i) {
        const char32_t c = data[i];
        if (c == '\n' || (special && (c == '@' || (c >= 0xE0 && c <= 0xFC) || c == 0x20AC))) return i;
    }
    return size;
}

// Wide units, folded one to one: line feeds and, when asked, the special
// characters. Once the first change is found, each piece is copied whole
// and then its changes are written over the copy.
template <typename Char>
std::pair<std::unique_ptr<Char[]>, std::size_t> fold_wide_one_to_one(const Char* data, std::size_t size, bool special,
                                                                     Cancellation& cancel)
{
    const auto fold = [special](char32_t c) { return c == '\n' ? U' ' : special ? unicode::special_fold(c) : c; };
    std::unique_ptr<Char[]> out;
    for (std::size_t at = 0; at < size; at += pass_piece) {
        const std::size_t end = std::min(size, at + pass_piece);
        std::size_t from = at;
        for (;;) {
            const std::size_t found = next_candidate(data, from, end, special);
            if (found == end) break;
            const char32_t original = data[found]; // one unit is one code point here
            const char32_t folded = fold(original);
            if (folded != original) {
                if (!out) {
                    out.reset(new Char[size]);
                    std::memcpy(out.get(), data, end * sizeof(Char));
                }
                out[found] = static_cast<Char>(folded);
            }
            from = found + 1;
        }
        cancel.poll(end - at);
        if (out && end < size)
            std::memcpy(out.get() + end, data + end, std::min(pass_piece, size - end) * sizeof(Char));
    }
    return {std::move(out), size};
}

// Folding with lower-casing, with or without the special characters, for
// units of one code point each. A code point reads one number from a
// two-stage table built for the flags: what to add to its low 16 bits to
// fold it (every fold of one code point stays within its plane of 2^16),
// or a value that no such difference takes, which marks the code points
// that need more: a capital sigma, and the longer forms. A block of units
// then folds without a branch per unit.
class LowerFold {
public:
    explicit LowerFold(bool special) : special_(special)
    {
        const Latin1Fold latin1(true, special);
        std::vector<std::uint32_t> differences(covered);
        std::vector<bool> taken(0x10000);
        constexpr std::uint32_t needs_more = 0x10000; // for now
        for (char32_t c = 0; c < covered; ++c) {
            const unicode::data::Record& record = unicode::case_record(c);
            const auto lowered = static_cast<char32_t>(static_cast<std::int32_t>(c) + record.delta);
            const char32_t folded = c < 0x100 ? latin1.map[c] : special ? unicode::special_fold(lowered) : lowered;
            const bool simple =
                c < 0x100 || (c != unicode::capital_sigma && record.expansion == 0 && (folded >> 16) == (c >> 16));
            differences[c] = simple ? (folded - c) & 0xFFFF : needs_more;
            if (simple) taken[differences[c]] = true;
        }
        marker_ = 1;
        while (taken[marker_])
            ++marker_;
        // A block is kept once when it equals the first block that shares
        // its block of the generated tables (as almost every block does).
        std::vector<std::uint32_t> first_of(std::size(unicode::data::second_stage) / block_size, unset);
        for (std::size_t start = 0; start < covered; start += block_size) {
            const auto number_at = [&](std::size_t c) {
                return static_cast<std::uint16_t>(differences[c] == needs_more ? marker_ : differences[c]);
            };
            std::uint32_t& shared = first_of[unicode::data::first_stage[start / block_size]];
            bool same = shared != unset;
            for (std::size_t k = 0; same && k < block_size; ++k)
                same = numbers_[shared + k] == number_at(start + k);
            if (!same) {
                const auto offset = static_cast<std::uint32_t>(numbers_.size());
                for (std::size_t k = 0; k < block_size; ++k)
                    numbers_.push_back(number_at(start + k));
                if (shared == unset) shared = offset;
                offsets_[start / block_size] = offset;
            } else {
                offsets_[start / block_size] = shared;
            }
        }
    }

    // The number of a unit's code point. Those beyond the table all read
    // its last block, where nothing changes.
    template <typename Char> std::uint16_t number(Char unit) const noexcept
    {
        char32_t c = unit;
        if constexpr (sizeof(Char) == 4) c = std::min<char32_t>(c, covered - 1);
        return numbers_[offsets_[c / block_size] + (c % block_size)];
    }
    static char32_t add(char32_t c, std::uint16_t number) noexcept
    {
        return (c & ~char32_t{0xFFFF}) | ((c + number) & 0xFFFF);
    }
    bool marked(std::uint16_t number) const noexcept { return number == marker_; }

    // A unit that `number` marks: writes its fold, a capital sigma read in
    // its context, and returns the end of what it wrote.
    template <typename Char>
    Char* fold_marked(const Char* data, std::size_t size, std::size_t at, Char* out, PollCounter& steps) const
    {
        const char32_t c = data[at];
        if (c == unicode::capital_sigma) {
            *out++ = static_cast<Char>(sigma_form(data, size, at, steps));
            return out;
        }
        char32_t form[unicode::longest_lower_form];
        const unsigned length = unicode::lower_full(c, form);
        for (unsigned k = 0; k < length; ++k)
            *out++ = static_cast<Char>(special_ ? unicode::special_fold(form[k]) : form[k]);
        return out;
    }

    template <typename Char>
    static char32_t sigma_form(const Char* data, std::size_t size, std::size_t at, PollCounter& steps)
    {
        std::size_t before = at, after = at + 1;
        const bool final = unicode::is_final_sigma(
            [&] { return steps.step(), before > 0 ? char32_t{data[--before]} : unicode::no_code_point; },
            [&] { return steps.step(), after < size ? char32_t{data[after++]} : unicode::no_code_point; });
        return final ? unicode::final_sigma : unicode::small_sigma;
    }

    // Each built on first use, once for the process.
    static const LowerFold& of(bool special)
    {
        if (special) {
            static const LowerFold with_special(true);
            return with_special;
        }
        static const LowerFold without_special(false);
        return without_special;
    }

private:
    // Blocks as those of the generated tables, so that blocks equal there
    // are found equal here at once.
    static constexpr std::size_t block_size = std::size_t{1} << unicode::data::block_shift;
    static constexpr std::uint32_t unset = 0xFFFFFFFF;
    // Every code point that lower-casing changes, and one block beyond.
    static constexpr char32_t covered =
        (std::max<char32_t>(unicode::lower_changes_limit, 0x10000) / block_size + 2) * block_size;
    static_assert(covered <= unicode::code_point_limit, "no block of unchanged code points beyond the last change");

    bool special_;
    std::uint16_t marker_ = 0;
    std::array<std::uint32_t, covered / block_size> offsets_{};
    std::vector<std::uint16_t> numbers_;
};

// Wide units up to this many are folded a code point at a time: the table
// of numbers costs as much to build as folding some hundred thousand units
// that way, and a pattern or a short call should not wait for it.
constexpr std::size_t few_wide_units = 4096;

template <typename Char>
std::pair<std::unique_ptr<Char[]>, std::size_t> fold_wide_lower_few(const Char* data, std::size_t size, bool special,
                                                                    Cancellation& cancel)
{
    cancel.poll(size);
    const auto changes = [special](char32_t c) {
        return c == '\n' || unicode::lower_changes(c) || (special && unicode::special_fold(c) != c);
    };
    std::size_t first = 0;
    while (first < size && !changes(data[first]))
        ++first;
    if (first == size) return {nullptr, size};

    std::unique_ptr<Char[]> folded(new Char[size * unicode::longest_lower_form]);
    Char* out = std::copy(data, data + first, folded.get());
    PollCounter context_steps(cancel);
    for (std::size_t at = first; at < size; ++at) {
        const char32_t c = data[at];
        if (c == unicode::capital_sigma) {
            *out++ = static_cast<Char>(LowerFold::sigma_form(data, size, at, context_steps));
            continue;
        }
        char32_t form[unicode::longest_lower_form] = {U' '};
        const unsigned length = c == '\n' ? 1 : unicode::lower_full(c, form);
        for (unsigned k = 0; k < length; ++k)
            *out++ = static_cast<Char>(special ? unicode::special_fold(form[k]) : form[k]);
    }
    return {std::move(folded), static_cast<std::size_t>(out - folded.get())};
}

// Wide units, lower-cased. Text with nothing to change is not copied.
// Otherwise blocks of 16 bytes fold a unit at a time without branching;
// in a block with a marked unit, capital sigmas are then put right in
// place, and a block with a longer form is folded again a unit at a time.
template <typename Char>
std::pair<std::unique_ptr<Char[]>, std::size_t> fold_wide_lower(const Char* data, std::size_t size, bool special,
                                                                Cancellation& cancel)
{
    if (size <= few_wide_units) return fold_wide_lower_few(data, size, special, cancel);
    constexpr std::size_t longest = unicode::longest_lower_form, block = 16 / sizeof(Char);
    const LowerFold& fold = LowerFold::of(special);
    std::size_t first = size;
    for (std::size_t at = 0; at < size && first == size; at += pass_piece) {
        const std::size_t end = std::min(size, at + pass_piece);
        std::size_t i = at;
        for (; i + block <= end; i += block) {
            bool changed = false;
            for (std::size_t k = 0; k < block; ++k)
                changed |= fold.number(data[i + k]) != 0;
            if (changed) break;
        }
        while (i < end && fold.number(data[i]) == 0)
            ++i;
        cancel.poll(i - at);
        if (i < end) first = i;
    }
    if (first == size) return {nullptr, size};

    // A piece of input takes at most three units per unit, which is
    // reserved a piece at a time.
    GrowingBuffer<Char> buffer(size + std::min(size, pass_piece) * (longest - 1) + 16);
    buffer.append(data, first);
    PollCounter context_steps(cancel);
    const auto fold_unit = [&](std::size_t at, Char* out) {
        const std::uint16_t number = fold.number(data[at]);
        if (fold.marked(number)) return fold.fold_marked(data, size, at, out, context_steps);
        *out = static_cast<Char>(LowerFold::add(data[at], number));
        return out + 1;
    };
    for (std::size_t at = first; at < size; at += pass_piece) {
        const std::size_t end = std::min(size, at + pass_piece);
        cancel.poll(end - at);
        buffer.reserve((end - at) * longest, at, size);
        Char* out = buffer.end();
        std::size_t i = at;
        for (; i + block <= end; i += block) {
            bool marked = false;
            for (std::size_t k = 0; k < block; ++k) {
                const std::uint16_t number = fold.number(data[i + k]);
                out[k] = static_cast<Char>(LowerFold::add(data[i + k], number));
                marked |= fold.marked(number);
            }
            bool longer = false;
            for (std::size_t k = 0; marked && k < block; ++k) {
                if (!fold.marked(fold.number(data[i + k]))) continue;
                if (data[i + k] == unicode::capital_sigma)
                    out[k] = static_cast<Char>(LowerFold::sigma_form(data, size, i + k, context_steps));
                else
                    longer = true;
            }
            if (!longer) {
                out += block;
                continue;
            }
            for (std::size_t k = 0; k < block; ++k)
                out = fold_unit(i + k, out);
        }
        for (; i < end; ++i)
            out = fold_unit(i, out);
        buffer.advance(static_cast<std::size_t>(out - buffer.end()));
    }
    const std::size_t folded_size = buffer.size();
    return {buffer.release(), folded_size};
}

// Lower-cases UTF-8 text, folding it as Mode says besides (line feeds, and
// '@' with the other special characters under fold_at_sign). ASCII runs go
// a vector at a time; of the code points between them, those that folding
// leaves alone are copied in runs.
template <unsigned Mode> struct LowerUtf8 {
    static std::pair<std::unique_ptr<char[]>, std::size_t> run(std::string_view text, Cancellation& cancel)
    {
        constexpr bool special = (Mode & detail::fold_at_sign) != 0;
        const char* data = text.data();
        const std::size_t size = text.size();
        GrowingBuffer<char> out(size + size / 16 + 16);
        PollCounter counter(cancel);
        std::size_t pos = 0;
        while (pos < size) {
            const std::size_t run_end = next_non_ascii(data, size, pos, cancel);
            out.reserve(run_end - pos, pos, size);
            fold_ascii_run<Mode>(data + pos, out.end(), run_end - pos, cancel);
            out.advance(run_end - pos);
            pos = run_end;

            std::size_t unchanged = pos;
            while (pos < size && static_cast<unsigned char>(data[pos]) >= 0x80) {
                counter.step();
                const std::size_t start = pos;
                const char32_t c = utf8::decode_forward(text, pos);
                const auto& record = unicode::case_record(c);
                if (!unicode::lower_changes(record) && !(special && unicode::special_fold(c) != c)) continue;
                out.reserve(start - unchanged + 4 * unicode::longest_lower_form, start, size);
                out.append(data + unchanged, start - unchanged);
                unchanged = pos;
                char32_t form[unicode::longest_lower_form];
                unsigned length = 1;
                if (c == unicode::capital_sigma) {
                    std::size_t before = start, after = pos;
                    const bool final = unicode::is_final_sigma(
                        [&] {
                            counter.step();
                            return before > 0 ? utf8::decode_backward(text, before) : unicode::no_code_point;
                        },
                        [&] {
                            counter.step();
                            return after < size ? utf8::decode_forward(text, after) : unicode::no_code_point;
                        });
                    form[0] = final ? unicode::final_sigma : unicode::small_sigma;
                } else {
                    length = unicode::lower_full(c, record, form);
                }
                for (unsigned k = 0; k < length; ++k)
                    out.advance(utf8::encode(special ? unicode::special_fold(form[k]) : form[k], out.end()));
            }
            out.reserve(pos - unchanged, pos, size);
            out.append(data + unchanged, pos - unchanged);
        }
        const std::size_t folded_size = out.size();
        return {out.release(), folded_size};
    }
};

// Lower-cases UTF-8 text, with or without the rest of folding.
enum class AlsoFold { nothing, line_feeds, line_feeds_and_special };
std::pair<std::unique_ptr<char[]>, std::size_t> lower_utf8(std::string_view text, AlsoFold also, Cancellation& cancel)
{
    using namespace detail;
    switch (also) {
    case AlsoFold::nothing: return LowerUtf8<fold_lower>::run(text, cancel);
    case AlsoFold::line_feeds: return LowerUtf8<fold_lower | fold_line_feeds>::run(text, cancel);
    default: return LowerUtf8<fold_lower | fold_line_feeds | fold_at_sign>::run(text, cancel);
    }
}

} // namespace

namespace detail {

std::string lower_case_unicode(std::string_view text, Cancellation& cancel)
{
    const auto [lowered, size] = lower_utf8(text, AlsoFold::nothing, cancel);
    return std::string(lowered.get(), size);
}

} // namespace detail

std::uint64_t FoldedText::length() const
{
    return ascii_ ? bytes().size() : char_count(bytes());
}

std::string FoldedText::release() &&
{
    if (source_ == Source::owned) return std::move(owned_);
    return std::string(bytes());
}

FoldedText fold_text(TextInput text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel)
{
    FoldedText folded;
    const std::string_view bytes = text.bytes();
    const AsciiFold fold = AsciiFold::of(case_insensitive, special_char_insensitive);
    if (text.known_ascii() || is_ascii(bytes, cancel)) {
        folded.ascii_ = true;
        if (text.borrowed()) {
            // Folding that changes nothing needs no copy at all.
            if (!case_insensitive && !special_char_insensitive &&
                next_non_ascii(bytes.data(), bytes.size(), 0) == bytes.size() &&
                std::memchr(bytes.data(), '\n', bytes.size()) == nullptr) {
                folded.source_ = FoldedText::Source::borrowed;
                folded.borrowed_ = bytes;
                return folded;
            }
            // Uninitialised: the fold writes every byte once.
            folded.buffer_.reset(new char[bytes.size() + 1]);
            folded.buffer_size_ = bytes.size();
            fold_ascii_bytes(bytes.data(), folded.buffer_.get(), bytes.size(), fold, cancel);
            folded.source_ = FoldedText::Source::buffer;
            return folded;
        }
        folded.owned_ = text.release();
        fold_ascii_bytes(folded.owned_.data(), folded.owned_.data(), folded.owned_.size(), fold, cancel);
        return folded;
    }
    if (case_insensitive) {
        std::tie(folded.buffer_, folded.buffer_size_) = lower_utf8(
            bytes, special_char_insensitive ? AlsoFold::line_feeds_and_special : AlsoFold::line_feeds, cancel);
        folded.source_ = FoldedText::Source::buffer;
    } else {
        folded.owned_ = text.release();
        using namespace detail;
        std::string& owned = folded.owned_;
        owned.resize(special_char_insensitive
                         ? FoldInPlace<fold_line_feeds | fold_at_sign>::run(owned, 0, owned.size(), cancel)
                         : FoldInPlace<fold_line_feeds>::run(owned, 0, owned.size(), cancel));
    }
    // Folding may have removed every code point beyond ASCII (a special
    // character, or one whose small letter is ASCII, such as the Kelvin sign).
    folded.ascii_ = (case_insensitive || special_char_insensitive) && is_ascii(folded.bytes(), cancel);
    return folded;
}

template <typename Char>
FoldedUnits<Char> fold_units(std::basic_string_view<Char> text, bool case_insensitive, bool special_char_insensitive,
                             Cancellation& cancel)
{
    FoldedUnits<Char> folded;
    std::size_t size = text.size();
    if constexpr (sizeof(Char) == 1) {
        const Latin1Fold& fold = latin1_fold(case_insensitive, special_char_insensitive);
        std::tie(folded.buffer_, size) = detail::with_fold_mode<Latin1Kernel>(
            fold.ascii, reinterpret_cast<const unsigned char*>(text.data()), text.size(), fold, cancel);
    } else if (case_insensitive) {
        std::tie(folded.buffer_, size) = fold_wide_lower(text.data(), text.size(), special_char_insensitive, cancel);
    } else {
        std::tie(folded.buffer_, size) =
            fold_wide_one_to_one(text.data(), text.size(), special_char_insensitive, cancel);
    }
    folded.view_ = folded.buffer_ ? std::basic_string_view<Char>(folded.buffer_.get(), size) : text;
    return folded;
}

template FoldedUnits<char> fold_units(std::string_view, bool, bool, Cancellation&);
template FoldedUnits<char16_t> fold_units(std::u16string_view, bool, bool, Cancellation&);
template FoldedUnits<char32_t> fold_units(std::u32string_view, bool, bool, Cancellation&);

std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive)
{
    Cancellation never;
    return normalize(std::move(text), case_insensitive, special_char_insensitive, never);
}

std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel)
{
    return fold_text(std::move(text), case_insensitive, special_char_insensitive, cancel).release();
}

} // namespace tessarin
