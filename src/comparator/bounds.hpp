// Cheap bounds on a candidate's score, so that most candidates are ruled
// out before any metric runs. Every bound here is safe: a candidate it rules
// out could never have passed the threshold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "text/text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TESSARIN_SHARED_LANES 1
#else
#define TESSARIN_SHARED_LANES 0
#endif

namespace tessarin::detail {

using std::uint64_t;

// How many code points a window and the pattern can have in common at
// most: the size of the intersection of their multisets, kept up to date as
// the window's ends move. Every metric below is bounded through it, so most
// windows are ruled out in a few instructions instead of being scored.
class CommonCharacters {
public:
    template <typename Char> CommonCharacters(const std::u32string& pattern, Units<Char> text, Cancellation& cancel)
    {
        // Pattern code points get small ids (0: not in the pattern).
        std::vector<char32_t> distinct(pattern.begin(), pattern.end());
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        if (distinct.size() >= 0xFFFF) return;
        quota_.assign(distinct.size() + 1, 0);
        count_.assign(distinct.size() + 1, 0);
        const auto id_of = [&](char32_t c) -> std::uint16_t {
            const auto found = std::lower_bound(distinct.begin(), distinct.end(), c);
            return found != distinct.end() && *found == c ? static_cast<std::uint16_t>(found - distinct.begin() + 1)
                                                          : 0;
        };
        for (char32_t c : pattern)
            ++quota_[id_of(c)];
        quota_[0] = 0;
        std::uint16_t low_ids[256];
        for (char32_t c = 0; c < 256; ++c)
            low_ids[c] = id_of(c);
        // Grown a piece at a time, so that no pass only clears memory.
        ids_.reserve(text.size());
        for (std::size_t at = 0; at < text.size(); at += pass_piece) {
            cancel.poll(pass_piece);
            ids_.resize(std::min(text.size(), at + pass_piece));
            for (std::size_t i = at; i < ids_.size(); ++i) {
                const char32_t c = code_point(text[i]);
                ids_[i] = c < 256 ? low_ids[c] : id_of(c);
            }
        }
        usable_ = true;
    }

    bool usable() const noexcept { return usable_; }

    // The intersection for the window [first, last), moving the tracked
    // window's ends there one code point at a time (both ends only ever
    // move forward when the windows asked for do).
    [[gnu::always_inline]] uint64_t common(uint64_t first, uint64_t last) noexcept
    {
        // Kept in locals while the ends move: the counts could alias the
        // members for the compiler, which would store them at every step.
        uint64_t common = common_, begin = first_, end = last_;
        uint64_t* count = count_.data();
        const uint64_t* quota = quota_.data();
        const std::uint16_t* ids = ids_.data();
        if (first >= end && first - begin > count_.size()) {
            // Nothing kept is wanted, and clearing the counts costs less
            // than taking the stretch between out one code point at a time.
            std::fill(count_.begin(), count_.end(), 0);
            common = 0;
            begin = end = first;
        }
        while (end < last) {
            const std::uint16_t id = ids[end++];
            common += count[id] < quota[id];
            ++count[id];
        }
        while (end > last) {
            const std::uint16_t id = ids[--end];
            --count[id];
            common -= count[id] < quota[id];
        }
        while (begin < first) {
            const std::uint16_t id = ids[begin++];
            --count[id];
            common -= count[id] < quota[id];
        }
        common_ = common;
        first_ = begin;
        last_ = end;
        return common;
    }

    // Empty again at the start of the text, for another walk.
    void rewind() noexcept
    {
        std::fill(count_.begin(), count_.end(), 0);
        first_ = last_ = common_ = 0;
    }

private:
    std::vector<std::uint16_t> ids_;
    std::vector<uint64_t> quota_, count_;
    uint64_t first_ = 0, last_ = 0, common_ = 0;
    bool usable_ = false;
};

// The same intersection for one candidate at a time, counted afresh: for
// candidates that are few or far apart, cheaper than following every
// window.
class SharedCharacters {
public:
    explicit SharedCharacters(std::u32string_view pattern)
    {
        for (char32_t c : pattern)
            if (c >= 128) others_.push_back(c);
        std::sort(others_.begin(), others_.end());
        others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
        quota_.assign(128 + others_.size(), 0);
        count_.assign(quota_.size(), 0);
        for (char32_t c : pattern)
            ++quota_[id_of(c)];
    }

    template <typename Char> uint64_t with(Units<Char> candidate)
    {
        uint64_t shared = 0;
        for (const Char unit : candidate) {
            const std::size_t id = id_of(code_point(unit));
            if (id == none) continue;
            shared += count_[id] < quota_[id];
            ++count_[id];
        }
        for (const Char unit : candidate) // put the counts back to zero
            if (const std::size_t id = id_of(code_point(unit)); id != none) count_[id] = 0;
        return shared;
    }

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    std::size_t id_of(char32_t c) const noexcept
    {
        if (c < 128) return c;
        const auto found = std::lower_bound(others_.begin(), others_.end(), c);
        return found != others_.end() && *found == c ? 128 + static_cast<std::size_t>(found - others_.begin()) : none;
    }

    std::vector<char32_t> others_;
    std::vector<uint64_t> quota_, count_;
};

// The same intersection for stretches of a text that come in order (both
// ends moving forward, the end now and then back), such as the trimmed token
// windows: each code point is counted in when the stretch takes it and out
// when it leaves, its id looked up as it is read, so no table of the whole
// text is made.
//
// Where the pattern has at most 32 distinct code points the counts are held
// in 16-bit lanes of up to four vectors, and a code point is counted by
// adding its id's row of lanes: no count is read back from memory for the
// next one, and emptying the stretch is clearing the vectors. The lanes wrap
// past 2^16, which adding and taking out undo exactly; the intersection is
// read from them only for a stretch shorter than 2^15, where no count can
// have wrapped, and counted afresh for a longer one. A caller whose
// stretches are short may ask for 8-bit lanes instead (count_in_bytes()):
// sixteen distinct code points to a vector, so a pattern of nine to sixteen
// takes one vector where it took two; a stretch of 256 code points or more
// is then counted afresh.
template <typename Char> class SlidingShared {
public:
    explicit SlidingShared(std::u32string_view pattern) : pattern_length_(pattern.size())
    {
        for (char32_t c : pattern)
            if (c >= 256) others_.push_back(c);
        std::sort(others_.begin(), others_.end());
        others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
        std::fill(std::begin(low_ids_), std::end(low_ids_), std::uint32_t{0});
        std::uint32_t next_id = 1; // 0: not in the pattern
        for (char32_t c : pattern)
            if (c < 256 && low_ids_[c] == 0) low_ids_[c] = next_id++;
        first_other_ = next_id;
        // The ids of the others in the Basic Multilingual Plane, by pages of
        // 256 (page 0: the page of none), two loads per code point; those
        // beyond it in a table addressed by their bits, a probe or two each.
        std::fill(std::begin(page_of_), std::end(page_of_), std::uint16_t{0});
        page_ids_.assign(256, 0);
        std::size_t beyond = 0;
        for (std::size_t i = 0; i < others_.size(); ++i) {
            const char32_t c = others_[i];
            if (c >= 0x10000) {
                ++beyond;
                continue;
            }
            if (page_of_[c >> 8] == 0) {
                page_of_[c >> 8] = static_cast<std::uint16_t>(page_ids_.size() / 256);
                page_ids_.resize(page_ids_.size() + 256, 0);
            }
            page_ids_[std::size_t{page_of_[c >> 8]} * 256 + (c & 0xFF)] = first_other_ + static_cast<std::uint32_t>(i);
        }
        if (beyond > 0) {
            std::size_t slots = 4;
            while (slots < 2 * beyond)
                slots *= 2;
            slot_mask_ = slots - 1;
            slot_keys_.assign(slots, 0); // 0 is below 256: never a key
            slot_ids_.assign(slots, 0);
            for (std::size_t i = 0; i < others_.size(); ++i) {
                if (others_[i] < 0x10000) continue;
                std::size_t slot = slot_of(others_[i]);
                while (slot_keys_[slot] != 0)
                    slot = (slot + 1) & slot_mask_;
                slot_keys_[slot] = others_[i];
                slot_ids_[slot] = first_other_ + static_cast<std::uint32_t>(i);
            }
        }
        quota_.assign(first_other_ + others_.size(), 0);
        count_.assign(quota_.size(), 0);
        for (char32_t c : pattern)
            ++quota_[id_of(c)];
        quota_[0] = 0;
#if TESSARIN_SHARED_LANES
        const std::size_t distinct = quota_.size() - 1;
        if (distinct <= 8 * most_vectors && pattern.size() < lane_limit) {
            vectors_ = (distinct + 7) / 8;
            // Id i counts in lane i - 1; id 0's row is all zero.
            rows_.assign(quota_.size() * vectors_, LaneRow{});
            for (std::size_t id = 1; id < quota_.size(); ++id)
                rows_[id * vectors_ + (id - 1) / 8].lane[(id - 1) % 8] = 1;
            alignas(16) std::int16_t lanes[8 * most_vectors] = {};
            for (std::size_t id = 1; id < quota_.size(); ++id)
                lanes[id - 1] = static_cast<std::int16_t>(quota_[id]);
            for (std::size_t v = 0; v < most_vectors; ++v) {
                quota_lanes_[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 8 * v));
                count_lanes_[v] = _mm_setzero_si128();
            }
            set_row_offsets(pattern, vectors_);
        }
#endif
    }

    // Counts in one vector of 8-bit lanes from now on, where that spares a
    // vector of 16-bit ones: where the pattern has nine to sixteen distinct
    // code points, and fewer than 256 code points (so that no quota wraps);
    // false, with nothing changed, elsewhere. Before the first stretch is
    // asked about.
    bool count_in_bytes() noexcept
    {
#if TESSARIN_SHARED_LANES
        if (vectors_ != 2 || pattern_length_ >= byte_limit) return false;
        alignas(16) std::uint8_t lanes[16] = {};
        rows_.assign(quota_.size(), LaneRow{}); // within the room of two vectors each
        for (std::size_t id = 1; id < quota_.size(); ++id) {
            // Id i counts in byte i - 1; id 0's row is all zero.
            reinterpret_cast<std::uint8_t*>(rows_[id].lane)[id - 1] = 1;
            lanes[id - 1] = static_cast<std::uint8_t>(quota_[id]);
        }
        quota_bytes_ = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
        count_lanes_[0] = _mm_setzero_si128();
        if constexpr (sizeof(Char) == 1)
            for (std::uint32_t& offset : row_offsets_)
                offset /= 2; // rows of one vector, not two
        vectors_ = byte_vector;
        return true;
#else
        return false;
#endif
    }

    // Empty again, for another walk from the start of the text.
    void reset() noexcept
    {
        std::fill(count_.begin(), count_.end(), 0);
#if TESSARIN_SHARED_LANES
        for (__m128i& lanes : count_lanes_)
            lanes = _mm_setzero_si128();
        running_from_ = 1; // nothing held
        running_to_ = 0;
#endif
        first_ = last_ = common_ = 0;
    }

    // The intersection for [first, last) of `text`; `first` never moves back.
    [[gnu::always_inline]] uint64_t of(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
#if TESSARIN_SHARED_LANES
        switch (vectors_) {
        case 1: return in_lanes<1>(text, first, last);
        case 2: return in_lanes<2>(text, first, last);
        case 3: return in_lanes<3>(text, first, last);
        case 4: return in_lanes<4>(text, first, last);
        case byte_vector: return in_byte_lanes_called(text, first, last);
        default: break;
        }
#endif
        return in_counts(text, first, last);
    }

    // The layout of one vector of 8-bit lanes, as vectors() gives it.
    static constexpr std::size_t byte_vector = 5;

    // In how many vectors of 16-bit lanes the counts are kept (1 to 4),
    // `byte_vector` for one of 8-bit lanes, or 0 where they are kept in
    // memory: a caller that knows it asks of_in() for it, and spares the
    // choice at every stretch.
    std::size_t vectors() const noexcept
    {
#if TESSARIN_SHARED_LANES
        return vectors_;
#else
        return 0;
#endif
    }

    // of(), for counts kept as vectors() says. A stretch's counts are the
    // difference of the running counts at its two ends: a walk whose
    // stretches move by a token or so spends a load at each end, where
    // sliding them cost a step per code point and a branch on how far each
    // end moved, which a walk over short tokens seldom foresees.
    template <std::size_t Vectors>
    [[gnu::always_inline]] uint64_t of_in(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
#if TESSARIN_SHARED_LANES
        constexpr bool bytes = Vectors == byte_vector;
        if constexpr (bytes || (Vectors > 0 && Vectors <= most_vectors)) {
            constexpr std::size_t held = bytes ? 1 : Vectors;
            // A stretch that the ring cannot hold both ends of, or that a
            // lane's count may wrap in, slides instead (and is counted afresh).
            if (last - first >= (bytes ? byte_limit : running_span)) [[unlikely]] {
                if constexpr (bytes) return in_byte_lanes(text, first, last);
                else return in_lanes<Vectors>(text, first, last);
            }
            if (first < running_from_ || last > running_to_) [[unlikely]]
                run_counts<held, bytes>(text, first, last);
            const RunningRow* at_first = running_.get() + (first & running_mask_) * held;
            const RunningRow* at_last = running_.get() + (last & running_mask_) * held;
            __m128i count[held];
            for (std::size_t v = 0; v < held; ++v)
                count[v] = bytes ? _mm_sub_epi8(at_last[v].load(), at_first[v].load())
                                 : _mm_sub_epi16(at_last[v].load(), at_first[v].load());
            if constexpr (bytes) return shared_in_bytes(count[0]);
            else return shared_in_lanes<Vectors>(count);
        }
#endif
        return in_counts(text, first, last);
    }

private:
    // of() with a count per id in memory.
    uint64_t in_counts(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        // Kept in locals while the ends move: the counts could alias the
        // members for the compiler, which would store them at every step.
        uint64_t common = common_, begin = first_, end = last_;
        std::uint32_t* count = count_.data();
        const std::uint32_t* quota = quota_.data();
        const Char* units = text.data();
        const auto add = [&](Char unit) {
            const std::uint32_t id = id_of(code_point(unit));
            common += count[id] < quota[id];
            ++count[id];
        };
        const auto remove = [&](Char unit) {
            const std::uint32_t id = id_of(code_point(unit));
            --count[id];
            common -= count[id] < quota[id];
        };
        if (first >= end) { // nothing kept is wanted: start afresh
            while (begin < end)
                remove(units[begin++]);
            begin = end = first;
        }
        while (end < last)
            add(units[end++]);
        while (end > std::max(last, first))
            remove(units[--end]);
        while (begin < first)
            remove(units[begin++]);
        common_ = common;
        first_ = begin;
        last_ = end;
        return common;
    }

#if TESSARIN_SHARED_LANES
    static constexpr std::size_t most_vectors = 4;
    // A stretch shorter than this holds no count that has wrapped (or that
    // the signed minimum would misread).
    static constexpr uint64_t lane_limit = uint64_t{1} << 15;

    // Slides the kept stretch to [first, last) in `count`, `Vectors` vectors
    // of 16-bit lanes or one of 8-bit lanes (`Bytes`), taken from
    // count_lanes_ and put back there.
    template <std::size_t Vectors, bool Bytes>
    [[gnu::always_inline]] void slide_lanes(const Char* units, uint64_t first, uint64_t last,
                                            __m128i (&count)[Vectors]) noexcept
    {
        for (std::size_t v = 0; v < Vectors; ++v)
            count[v] = count_lanes_[v];
        uint64_t begin = first_, end = last_;
        const auto add = [&](Char unit) {
            const LaneRow* row = row_of<Vectors>(unit);
            for (std::size_t v = 0; v < Vectors; ++v)
                count[v] = Bytes ? _mm_add_epi8(count[v], row[v].load()) : _mm_add_epi16(count[v], row[v].load());
        };
        const auto remove = [&](Char unit) {
            const LaneRow* row = row_of<Vectors>(unit);
            for (std::size_t v = 0; v < Vectors; ++v)
                count[v] = Bytes ? _mm_sub_epi8(count[v], row[v].load()) : _mm_sub_epi16(count[v], row[v].load());
        };
        if (first >= end) { // nothing kept is wanted: start afresh
            for (std::size_t v = 0; v < Vectors; ++v)
                count[v] = _mm_setzero_si128();
            begin = end = first;
        }
        // Bytes two a step: a token slides in and out a few at a time, and
        // the loop's own steps cost about as much as the count. Wider units
        // look their rows up for more, and unrolled they cost more than
        // the steps saved (a sixth more for levenshtein beyond the BMP).
        if constexpr (sizeof(Char) == 1) {
            for (; begin + 2 <= first; begin += 2) {
                remove(units[begin]);
                remove(units[begin + 1]);
            }
            if (begin < first) remove(units[begin++]);
            for (; end + 2 <= last; end += 2) {
                add(units[end]);
                add(units[end + 1]);
            }
            if (end < last) add(units[end++]);
        } else {
            while (begin < first)
                remove(units[begin++]);
            while (end < last)
                add(units[end++]);
        }
        while (end > last)
            remove(units[--end]);
        for (std::size_t v = 0; v < Vectors; ++v)
            count_lanes_[v] = count[v];
        first_ = begin;
        last_ = end;
    }

    // of() with the counts in lanes, `Vectors` of them.
    template <std::size_t Vectors>
    [[gnu::always_inline]] uint64_t in_lanes(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        __m128i count[Vectors];
        slide_lanes<Vectors, false>(text.data(), first, last, count);
        if (last - first >= lane_limit) return counted_afresh(text, first, last);
        return shared_in_lanes<Vectors>(count);
    }

    // The intersection from the counts of a stretch shorter than lane_limit.
    template <std::size_t Vectors>
    [[gnu::always_inline]] uint64_t shared_in_lanes(const __m128i (&count)[Vectors]) const noexcept
    {
        __m128i sums = _mm_setzero_si128();
        const __m128i ones = _mm_set1_epi16(1);
        for (std::size_t v = 0; v < Vectors; ++v)
            sums = _mm_add_epi32(sums, _mm_madd_epi16(_mm_min_epi16(count[v], quota_lanes_[v]), ones));
        sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0x4E));
        sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums));
    }

    // of() with the counts in one vector of 8-bit lanes.
    [[gnu::always_inline]] uint64_t in_byte_lanes(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        __m128i count[1];
        slide_lanes<1, true>(text.data(), first, last, count);
        // No count of a shorter stretch has wrapped.
        if (last - first >= byte_limit) return counted_afresh(text, first, last);
        return shared_in_bytes(count[0]);
    }

    // The intersection from the 8-bit counts of a stretch shorter than byte_limit.
    [[gnu::always_inline]] uint64_t shared_in_bytes(__m128i count) const noexcept
    {
        const __m128i sums = _mm_sad_epu8(_mm_min_epu8(count, quota_bytes_), _mm_setzero_si128());
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_unpackhi_epi64(sums, sums))));
    }

    // Makes the running counts reach from `first` to `last` (before which
    // the caller saw that they do not): a block beyond `last` at once, so
    // that the next stretches find theirs. Where `first` is no longer held
    // (a walk started again), they start afresh from it, at zero: only
    // differences are read. Running counts wrap as the lanes do; the
    // difference of two is exact for a stretch that no lane's count wraps
    // in, which the caller's limits see to.
    template <std::size_t Held, bool Bytes>
    [[gnu::noinline]] void run_counts(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        if (!running_) {
            // A ring as long as the text where that is shorter: most calls'.
            std::size_t ring = 64;
            while (ring < 2 * running_span && ring <= text.size())
                ring *= 2;
            running_.reset(new RunningRow[ring * Held]);
            running_mask_ = ring - 1;
        }
        RunningRow* running = running_.get();
        const uint64_t ring = running_mask_ + 1;
        if (first < running_from_ || first > running_to_) {
            for (std::size_t v = 0; v < Held; ++v)
                running[(first & running_mask_) * Held + v].store(_mm_setzero_si128());
            running_from_ = running_to_ = first;
        }
        // Never so far that `first` drops out of the ring.
        const uint64_t to = std::min<uint64_t>({text.size(), std::max<uint64_t>(last, running_to_ + running_block),
                                                first + ring - 1});
        __m128i count[Held];
        const RunningRow* before = running + (running_to_ & running_mask_) * Held;
        for (std::size_t v = 0; v < Held; ++v)
            count[v] = before[v].load();
        const LaneRow* rows = rows_.data();
        // In runs up to the ring's end, which step through memory.
        for (uint64_t at = running_to_; at < to;) {
            const uint64_t slot = (at + 1) & running_mask_;
            const uint64_t run = std::min<uint64_t>(to - at, ring - slot);
            const Char* units = text.data() + at;
            RunningRow* after = running + slot * Held;
#pragma GCC unroll 4
            for (uint64_t k = 0; k < run; ++k) {
                const LaneRow* row = row_of<Held>(units[k], rows);
                for (std::size_t v = 0; v < Held; ++v) {
                    count[v] = Bytes ? _mm_add_epi8(count[v], row[v].load()) : _mm_add_epi16(count[v], row[v].load());
                    after[k * Held + v].store(count[v]);
                }
            }
            at += run;
        }
        running_to_ = to;
        if (to >= ring) running_from_ = std::max<uint64_t>(running_from_, to - (ring - 1));
    }

    // in_byte_lanes() out of line, for of(): only the Jaro pair's walk
    // counts in bytes, and it asks of_in() instead; inlined, it would only
    // crowd the other metrics' walks.
    [[gnu::noinline]] uint64_t in_byte_lanes_called(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        return in_byte_lanes(text, first, last);
    }

    // The row of lanes of a code unit's id, `Vectors` vectors a row. A unit
    // of one byte finds it in one load, where an id would then be scaled.
    // A caller that stores as it goes passes rows_.data(), which the
    // compiler would otherwise load again after each store.
    template <std::size_t Vectors>
    [[gnu::always_inline]] auto row_of(Char unit, const void* given = nullptr) const noexcept
    {
        const auto* rows = given ? static_cast<decltype(rows_.data())>(given) : rows_.data();
        if constexpr (sizeof(Char) == 1)
            return reinterpret_cast<const LaneRow*>(reinterpret_cast<const char*>(rows) +
                                                    row_offsets_[static_cast<unsigned char>(unit)]);
        else
            return rows + Vectors * id_of(code_point(unit));
    }

    // Sets row_offsets_ for rows of `vectors` vectors: the units outside
    // the pattern take id 0's row, at offset 0.
    void set_row_offsets(std::u32string_view pattern, std::size_t vectors) noexcept
    {
        if constexpr (sizeof(Char) == 1) {
            std::fill(std::begin(row_offsets_), std::end(row_offsets_), std::uint32_t{0});
            for (const char32_t c : pattern)
                if (c < 256) row_offsets_[c] = static_cast<std::uint32_t>(low_ids_[c] * vectors * sizeof(LaneRow));
        }
    }

    // The intersection for a stretch too long for the lanes, counted in
    // memory and the counts put back to zero.
    [[gnu::noinline]] uint64_t counted_afresh(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        uint64_t common = 0;
        for (uint64_t at = first; at < last; ++at) {
            const std::uint32_t id = id_of(code_point(text[at]));
            common += count_[id] < quota_[id];
            ++count_[id];
        }
        std::fill(count_.begin(), count_.end(), 0);
        return common;
    }
#endif

    std::uint32_t id_of(char32_t c) const noexcept
    {
        if (c < 256) return low_ids_[c];
        if (c < 0x10000) return page_ids_[std::size_t{page_of_[c >> 8]} * 256 + (c & 0xFF)];
        return other_id(c);
    }
    std::size_t slot_of(char32_t c) const noexcept
    {
        return (c ^ (c >> 9)) & slot_mask_;
    }
    std::uint32_t other_id(char32_t c) const noexcept
    {
        if (slot_keys_.empty()) return 0;
        for (std::size_t slot = slot_of(c);; slot = (slot + 1) & slot_mask_) {
            if (slot_keys_[slot] == c) return slot_ids_[slot];
            if (slot_keys_[slot] == 0) return 0;
        }
    }

    std::uint32_t low_ids_[256];
    std::vector<char32_t> others_; // pattern code points from 256 on, sorted
    std::uint32_t first_other_ = 1;
    std::uint16_t page_of_[256];          // by the high byte of a code point below 2^16
    std::vector<std::uint32_t> page_ids_; // 256 ids a page
    std::vector<char32_t> slot_keys_;     // the others from 2^16 on by slot_of, 0 where none
    std::vector<std::uint32_t> slot_ids_;
    std::size_t slot_mask_ = 0;
    std::vector<std::uint32_t> quota_, count_;
    uint64_t first_ = 0, last_ = 0, common_ = 0;
    uint64_t pattern_length_ = 0;
#if TESSARIN_SHARED_LANES
    std::size_t vectors_ = 0; // 0: the counts are kept in memory
    struct alignas(16) LaneRow {
        std::int16_t lane[8] = {};
        __m128i load() const noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(lane)); }
    };
    std::vector<LaneRow> rows_; // by id, `vectors_` each: 1 in the id's lane
    __m128i quota_lanes_[most_vectors];
    __m128i count_lanes_[most_vectors]; // the first also for 8-bit lanes
    static constexpr uint64_t byte_limit = 256;
    __m128i quota_bytes_; // for 8-bit lanes, whose rows_ hold 1 in the id's byte
    std::uint32_t row_offsets_[sizeof(Char) == 1 ? 256 : 1]; // by unit of a one-byte text: its row's, in bytes
    // The running counts for of_in(), from running_from_ to running_to_
    // (both included; none where the first is past the second), in a ring:
    // the counts of the units before each position, from where they started.
    static constexpr uint64_t running_span = 512; // a longer stretch slides
    static constexpr uint64_t running_block = 256; // units run at once
    struct alignas(16) RunningRow { // left unset until run: no count is read before
        __m128i lanes;
        __m128i load() const noexcept { return _mm_load_si128(&lanes); }
        void store(__m128i counts) noexcept { _mm_store_si128(&lanes, counts); }
    };
    std::unique_ptr<RunningRow[]> running_;
    uint64_t running_mask_ = 0, running_from_ = 1, running_to_ = 0;
#endif
};

// A value that the score of a window cannot fall below, given its trimmed
// length and the code points it can share with the pattern, computed with
// the score's own division so that comparing it with the threshold is exact.
// 0 where the metric's bound family gives none in these terms (the Jaro
// family).
inline double distance_floor(Metric metric, ThresholdKind kind, uint64_t length, uint64_t pattern_length,
                             uint64_t shared) noexcept
{
    shared = std::min({shared, length, pattern_length});
    uint64_t least = 0;
    switch (traits_of(metric).bound) {
    case BoundFamily::equal_length:
        // Unequal lengths score as if every code point differed, and their
        // byte lengths are at least their code-point lengths.
        least = length != pattern_length ? std::max(length, pattern_length) : length - shared;
        break;
    case BoundFamily::edit: least = std::max(length, pattern_length) - shared; break;
    case BoundFamily::indel: least = length + pattern_length - 2 * shared; break;
    case BoundFamily::similarity: return 0.0;
    }
    return score_of(metric, kind, least, length, pattern_length);
}

// What the length alone says: every edit metric is at least the difference
// of the lengths.
inline double length_floor(Metric metric, ThresholdKind kind, uint64_t length, uint64_t pattern_length) noexcept
{
    return distance_floor(metric, kind, length, pattern_length, std::min(length, pattern_length));
}

// The largest Jaro similarity (with Winkler's step, for a metric with a
// prefix weight) that a window of this trimmed length sharing at most
// `shared` code points with the pattern can reach. `prefix` is the common
// prefix of window and pattern, at most 4, which is all that Jaro-Winkler
// can add for.
inline double similarity_ceiling(const MetricTraits& traits, uint64_t length, uint64_t pattern_length, uint64_t shared,
                                 uint64_t prefix) noexcept
{
    shared = std::min({shared, length, pattern_length});
    double similarity = 0.0;
    if (shared > 0)
        similarity = (static_cast<double>(shared) / static_cast<double>(length) +
                      static_cast<double>(shared) / static_cast<double>(pattern_length) + 1.0) /
                     3.0;
    // Winkler's step: each common prefix code point closes a share of the gap.
    if (traits.prefix_weight > 0.0 && similarity > 0.7)
        similarity += static_cast<double>(prefix) * traits.prefix_weight * (1.0 - similarity);
    return similarity;
}

// Rounding in the library's similarity arithmetic may land a hair off the
// bound, so a distance from a similarity ceiling keeps this margin.
inline constexpr double similarity_margin = 1e-9;

// Whether a window of this trimmed length that shares at most `shared` code
// points with the pattern must fail the threshold. For the Jaro family the
// bound is a similarity that the window cannot exceed, turned into a
// distance with a small margin against rounding.
inline bool cannot_pass(Metric metric, ThresholdKind kind, double threshold, uint64_t length, uint64_t pattern_length,
                        uint64_t shared, uint64_t prefix = 4) noexcept
{
    const MetricTraits& traits = traits_of(metric);
    if (traits.bound != BoundFamily::similarity)
        return distance_floor(metric, kind, length, pattern_length, shared) > threshold;
    if (length == 0 && pattern_length == 0) return false;
    return 1.0 - similarity_ceiling(traits, length, pattern_length, shared, prefix) > threshold + similarity_margin;
}

// A value that the score of such a window cannot fall below, for every
// metric: what cannot_pass compares with the threshold, as a score.
inline double score_floor(Metric metric, ThresholdKind kind, uint64_t length, uint64_t pattern_length, uint64_t shared,
                          uint64_t prefix) noexcept
{
    const MetricTraits& traits = traits_of(metric);
    if (traits.bound != BoundFamily::similarity) return distance_floor(metric, kind, length, pattern_length, shared);
    if (length == 0 && pattern_length == 0) return 0.0;
    return 1.0 - similarity_ceiling(traits, length, pattern_length, shared, prefix) - similarity_margin;
}

// score_floor() for the Jaro pair and a pattern of a given length, to the
// bit: for every window that its shared count leaves, without the metric's
// traits looked up or counts converted as unsigned (none reaches 2^63, so
// the signed conversion gives the same value for less).
class JaroFloor {
public:
    JaroFloor(Metric metric, uint64_t pattern_length) noexcept
        : weight_(traits_of(metric).prefix_weight), p_(pattern_length),
          pattern_length_(static_cast<double>(pattern_length))
    {
    }

    [[gnu::always_inline]] double of(uint64_t length, uint64_t shared, uint64_t prefix) const noexcept
    {
        if (length == 0 && p_ == 0) return 0.0;
        shared = std::min({shared, length, p_});
        double similarity = 0.0;
        if (shared > 0) {
            const double common = static_cast<double>(static_cast<int64_t>(shared));
            similarity =
                (common / static_cast<double>(static_cast<int64_t>(length)) + common / pattern_length_ + 1.0) / 3.0;
        }
        if (weight_ > 0.0 && similarity > 0.7)
            similarity += static_cast<double>(static_cast<int64_t>(prefix)) * weight_ * (1.0 - similarity);
        return 1.0 - similarity - similarity_margin;
    }

private:
    double weight_;
    uint64_t p_;
    double pattern_length_;
};

// What tells the windows of the Jaro pair whose floor (JaroFloor::of())
// is at or above `floor` from their trimmed length t, shared count s and
// common prefix in a multiplication and a comparison, without the floor's
// divisions: those with s(t + p) < cut t, for the cut given here (negative,
// for none). A similarity ceiling (s/t + s/p + 1)/3 of at most `most` is
// s(t + p) <= (3 most - 1) t p, and Winkler's step for a prefix makes a
// similarity of at most (most - w)/(1 - w) at most `most`. A margin far
// beyond the floor's rounding keeps the answer on the safe side: a window
// close to the floor is left to be worked out.
inline double jaro_floor_cut(double floor, double prefix_weight, uint64_t pattern_length, uint64_t prefix) noexcept
{
    const double weight = static_cast<double>(prefix) * prefix_weight;
    if (!(floor < std::numeric_limits<double>::infinity()) || pattern_length == 0 || !(weight < 1.0)) return -1.0;
    double most = 1.0 - similarity_margin - floor;
    if (weight > 0.0) most = std::min(most, (most - weight) / (1.0 - weight));
    return (3.0 * most - 1.0 - similarity_margin) * static_cast<double>(pattern_length);
}

// The window length for which the bound of cannot_pass is smallest.
inline uint64_t best_length(Metric metric, uint64_t pattern_length, uint64_t shared) noexcept
{
    switch (traits_of(metric).bound) {
    case BoundFamily::indel:
    case BoundFamily::similarity: return std::min(shared, pattern_length);
    case BoundFamily::edit:
    case BoundFamily::equal_length: break;
    }
    return pattern_length;
}

// Roughly what one comparison costs, in the units a Cancellation counts
// (about one step over one code point): the linear metrics take one step per
// code point, the bit-parallel ones go through the pattern 64 code points at
// a time, the others one at a time.
inline uint64_t comparison_cost(Metric metric, uint64_t candidate_length, uint64_t pattern_length) noexcept
{
    uint64_t per_code_point = 1;
    switch (traits_of(metric).cost) {
    case Cost::linear: break;
    case Cost::bit_parallel: per_code_point = pattern_length / 64 + 1; break;
    case Cost::quadratic: per_code_point = pattern_length + 1; break;
    }
    return (candidate_length + 1) * per_code_point;
}

// The least Damerau-Levenshtein distance of strings of these lengths with
// this Levenshtein distance and this longest common subsequence: at least
// half the first (a transposition is two Levenshtein edits), and at least
// the longer length less the second (no edit, a transposition included,
// changes that by more than one). It never exceeds the Levenshtein distance.
inline uint64_t least_damerau_distance(uint64_t levenshtein, uint64_t common, uint64_t length,
                                       uint64_t pattern_length) noexcept
{
    return std::max((levenshtein + 1) / 2, std::max(length, pattern_length) - common);
}

// Whether every candidate passes whatever its score: a normalized
// distance, like every Jaro distance, is at most 1.
inline bool every_window_passes(Metric metric, ThresholdKind kind, double threshold) noexcept
{
    return threshold >= 1.0 && (kind == ThresholdKind::Normalized || traits_of(metric).maximum == Maximum::similarity);
}

// How many code points a candidate has in common with the pattern at its
// start (or, `at_end`, at its end): all that the prefix and postfix
// metrics measure.
template <typename Char> uint64_t common_affix(Units<Char> candidate, std::u32string_view pattern, bool at_end) noexcept
{
    const uint64_t length = candidate.size(), p = pattern.size(), most = std::min(length, p);
    uint64_t common = 0;
    if (at_end)
        while (common < most && code_point(candidate[length - 1 - common]) == pattern[p - 1 - common])
            ++common;
    else
        while (common < most && code_point(candidate[common]) == pattern[common])
            ++common;
    return common;
}

// Grows a table kept by length so that it holds index `at` and `step`
// more, up to `limit`, the new entries `empty`. A call's windows span a few
// dozen lengths, and clearing a table for all it may keep costs what a
// short call notices; the room for all is taken at the first growth, so
// the table never moves.
template <typename T>
void grow_cleared(std::vector<T>& table, std::size_t at, std::size_t limit, std::size_t step, const T& empty = T{})
{
    if (table.capacity() < limit) table.reserve(limit);
    table.resize(std::min(limit, std::max(at + 1, table.size() + step)), empty);
}

// The least shared count with which a window of a trimmed length and a
// common prefix (up to 4) can pass a threshold by the Jaro family's
// ceiling, worked out once per length: most windows are judged by it in a
// comparison of integers.
class SharedNeeded {
public:
    SharedNeeded(Metric metric, ThresholdKind kind, double threshold, uint64_t pattern_length)
        : metric_(metric), kind_(kind), threshold_(threshold), p_(pattern_length),
          // A count kept is at most the pattern's length and one.
          lengths_(pattern_length < (uint64_t{1} << 31) ? 4 * pattern_length + 256 : 0)
    {
    }

    [[gnu::always_inline]] uint64_t of(uint64_t length, uint64_t prefix)
    {
        if (length < kept_lengths_) {
            // 0: not worked out yet; else the count and one.
            const std::uint32_t kept = kept_[5 * length + std::min<uint64_t>(prefix, 4)];
            if (kept != 0) return kept - 1;
        }
        return work_out(length, prefix);
    }

private:
    [[gnu::noinline]] uint64_t work_out(uint64_t length, uint64_t prefix)
    {
        const uint64_t need = least(length, prefix);
        if (length >= lengths_) return need;
        if (length >= kept_lengths_) {
            grow_cleared(kept_, 5 * length + 4, 5 * lengths_, 5 * 64);
            kept_lengths_ = kept_.size() / 5;
        }
        kept_[5 * length + std::min<uint64_t>(prefix, 4)] = static_cast<std::uint32_t>(need + 1);
        return need;
    }

    uint64_t least(uint64_t length, uint64_t prefix) const noexcept
    {
        // From near where the plain Jaro ceiling, (s/t + s/p + 1)/3, first
        // reaches the threshold (Winkler's step only lowers the count
        // needed) to the least count that passes: the ceiling grows with
        // the count, so no count below it passes, as a count from 0 up finds.
        const uint64_t most = std::min(length, p_);
        uint64_t shared = 0;
        if (length > 0 && p_ > 0) {
            const double estimate =
                (2.0 - 3.0 * threshold_) / (1.0 / static_cast<double>(length) + 1.0 / static_cast<double>(p_));
            if (estimate >= 1.0) shared = static_cast<uint64_t>(std::min(estimate, static_cast<double>(most)));
        }
        while (shared > 0 && !cannot_pass(metric_, kind_, threshold_, length, p_, shared - 1, prefix))
            --shared;
        while (shared <= most && cannot_pass(metric_, kind_, threshold_, length, p_, shared, prefix))
            ++shared;
        return shared;
    }

    Metric metric_;
    ThresholdKind kind_;
    double threshold_;
    uint64_t p_;
    uint64_t lengths_;
    uint64_t kept_lengths_ = 0;       // the lengths that kept_ has room for
    std::vector<std::uint32_t> kept_; // by length, then prefix
};

// The least matched count with which a candidate of a trimmed length passes
// a threshold of the Jaro family whatever else it holds, and the ceiling
// that the count gives its score: no more than half the matched code
// points are transposed, so m of them give a similarity of at least
// (m/p + m/t + 1/2)/3, which Winkler's step only raises.
//
// Only counts of at most two thirds of the shorter length are given: a
// window settled by its count is scored again where its group's lowest
// score may lie as low, which costs more than a count reached late saves.
class MatchedEnough {
public:
    MatchedEnough(double threshold, uint64_t pattern_length)
        : threshold_(threshold), p_(pattern_length),
          lengths_(pattern_length < (uint64_t{1} << 31) ? 4 * pattern_length + 256 : 0),
          // m(1/p + 1/t) >= 3(1 - threshold) - 1/2 is needed, and with
          // m = 2 min(p, t)/3 the left side is at most 4/3.
          settles_any_(pattern_length > 0 && 3.0 * (1.0 - threshold) - 0.5 <= 4.0 / 3.0 + similarity_margin)
    {
    }

    // Whether a count may settle any window.
    bool settles_any() const noexcept { return settles_any_; }

    // Above the candidate's length where no count (of at most two thirds
    // of the shorter length) is enough.
    uint64_t of(uint64_t length)
    {
        if (length < kept_.size() && kept_[length] != 0) return kept_[length] - 1;
        const uint64_t enough = work_out(length);
        if (length < lengths_) {
            if (length >= kept_.size()) grow_cleared(kept_, length, lengths_, 256);
            kept_[length] = static_cast<std::uint32_t>(enough + 1);
        }
        return enough;
    }

    // A score that a candidate of this length (at least 1) with `matched`
    // code points matched cannot exceed, with a margin against rounding.
    double ceiling(uint64_t length, uint64_t matched) const noexcept
    {
        const double m = static_cast<double>(matched);
        return 1.0 - (m / static_cast<double>(p_) + m / static_cast<double>(length) + 0.5) / 3.0 +
               similarity_margin;
    }

private:
    // From an estimate, in a step or two.
    uint64_t work_out(uint64_t length) const noexcept
    {
        const uint64_t most = std::min(length, p_);
        if (most == 0 || !(threshold_ >= 0.0)) return length + 1;
        const double estimate = (3.0 * (1.0 - threshold_) - 0.5) /
                                (1.0 / static_cast<double>(p_) + 1.0 / static_cast<double>(length));
        uint64_t matched = estimate <= 1.0 ? 1 : static_cast<uint64_t>(std::min(estimate, static_cast<double>(most)));
        while (matched > 1 && passes(length, matched - 1))
            --matched;
        while (matched <= most && !passes(length, matched))
            ++matched;
        return 3 * matched <= 2 * most ? matched : length + 1;
    }

    bool passes(uint64_t length, uint64_t matched) const noexcept { return ceiling(length, matched) <= threshold_; }

    double threshold_;
    uint64_t p_;
    uint64_t lengths_;
    bool settles_any_;
    std::vector<std::uint32_t> kept_; // by length: 0 where not worked out yet, else the count and one
};

// The common prefix of a candidate and the pattern, up to 4 code points.
template <typename Char>
[[gnu::always_inline]] inline uint64_t common_prefix(Units<Char> a, std::u32string_view b) noexcept
{
    const uint64_t most = std::min<uint64_t>({4, a.size(), b.size()});
    uint64_t length = 0;
    while (length < most && code_point(a.data()[length]) == b.data()[length])
        ++length;
    return length;
}

} // namespace tessarin::detail
