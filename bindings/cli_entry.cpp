// The command's private native entry, `tessarin_cli._native`: searches
// bytes (not a Python str) with the interpreter lock released, block after
// block of one file, and reports matches by byte offset and line.
//
// A file is searched as a series of buffers, each starting at a line start.
// Calling the extractors on a piece of text gives the same matches as the
// whole text would where the piece is cut at a gap: a place that no
// candidate window covers or touches, and where folding sees the same
// context (an ASCII byte that is neither a letter nor case-ignorable stops
// the final-sigma rule in both directions). When every accepted window must
// contain a literal (the trimmed pattern for exact search; one of k + 1
// pieces of it for a Levenshtein or Indel distance of at most k), windows
// can only lie near occurrences of those literals, so only regions around
// them are handed to the extractors, with margins wider than any window;
// everything between regions is a gap. Other searches take the whole file
// as one region.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSARIN_CLI_AVX2 1
#endif

#include "comparator/fuzzy.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"
#include "text/text.hpp"
#include "text/unicode.hpp"

namespace tessarin::cli {
namespace {

using std::size_t;
using std::uint64_t;

// Set by cancel() from any thread: every running search ends soon after.
std::atomic<bool> stop_requested{false};

bool stop_check(void*)
{
    return stop_requested.load(std::memory_order_relaxed);
}

enum class Mode { exact_raw = 0, exact_token = 1, fuzzy_raw = 2, fuzzy_token = 3 };

// What folding makes of one code point: how many code points it becomes,
// and whether any of them is ASCII (then an ASCII literal can match through
// it).
constexpr unsigned char fold_to_ascii = 0x40, fold_length_mask = 0x3F;

unsigned char fold_info(char32_t c, bool case_insensitive, bool special_char_insensitive)
{
    char32_t folded[unicode::longest_lower_form] = {c == '\n' ? U' ' : c};
    const unsigned length = case_insensitive ? unicode::lower_full(folded[0], folded) : 1;
    bool ascii = false;
    for (unsigned i = 0; i < length; ++i)
        ascii |= (special_char_insensitive ? unicode::special_fold(folded[i]) : folded[i]) < 0x80;
    return static_cast<unsigned char>((ascii ? fold_to_ascii : 0) | length);
}

#if defined(TESSARIN_CLI_AVX2)
bool has_avx2() noexcept
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// skip_ascii and count_byte, thirty-two bytes at a time, up to the last
// thirty-two.
__attribute__((target("avx2"))) size_t skip_ascii_avx2(const char* data, size_t i, size_t n) noexcept
{
    for (; i + 32 <= n; i += 32) {
        const unsigned high =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i))));
        if (high) return i + static_cast<size_t>(__builtin_ctz(high));
    }
    return i;
}

__attribute__((target("avx2"))) uint64_t count_byte_avx2(const char* data, size_t& i, size_t n, char byte) noexcept
{
    const __m256i needle = _mm256_set1_epi8(byte);
    uint64_t total = 0;
    while (n - i >= 32) {
        const size_t stop = i + std::min<size_t>((n - i) / 32, 255) * 32;
        __m256i counts = _mm256_setzero_si256();
        for (; i < stop; i += 32)
            counts = _mm256_sub_epi8(
                counts, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)), needle));
        const __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
        total += static_cast<uint64_t>(_mm256_extract_epi64(sums, 0)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(sums, 1)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(sums, 2)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(sums, 3));
    }
    return total;
}
#endif

// The first byte at or after `i` that is not ASCII, or `n`.
size_t skip_ascii(const char* data, size_t i, size_t n) noexcept
{
#if defined(TESSARIN_CLI_AVX2)
    if (n - i >= 64 && has_avx2()) {
        i = skip_ascii_avx2(data, i, n);
        if (i + 32 <= n) return i;
    }
#endif
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
        if (high) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    }
#endif
    while (i < n && static_cast<unsigned char>(data[i]) < 0x80)
        ++i;
    return i;
}

// How many times `byte` occurs in `text`: line numbers need every line
// feed of a file counted, so sixteen bytes are compared at a time.
uint64_t count_byte(std::string_view text, char byte) noexcept
{
    const char* data = text.data();
    const size_t n = text.size();
    uint64_t total = 0;
    size_t i = 0;
#if defined(TESSARIN_CLI_AVX2)
    if (n >= 64 && has_avx2()) total += count_byte_avx2(data, i, n, byte);
#endif
#if defined(__SSE2__)
    const __m128i needle = _mm_set1_epi8(byte);
    while (n - i >= 16) {
        // Each lane counts to at most 255 before the lanes are summed.
        const size_t stop = i + std::min<size_t>((n - i) / 16, 255) * 16;
        __m128i counts = _mm_setzero_si128();
        for (; i < stop; i += 16)
            counts = _mm_sub_epi8(counts,
                                  _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), needle));
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        total += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < n; ++i)
        total += data[i] == byte;
    return total;
}

// The bytes that fold to one byte of a literal, as one comparison: `value`
// after OR-ing `mask` in (a letter in either case, or one byte alone).
struct ByteSift {
    unsigned char mask = 0, value = 0;
    bool usable = false;
};

#if defined(TESSARIN_CLI_AVX2)
// The first position from `at` on, thirty-two at a time, where both the
// byte there and the byte `last` further may start and end the literal;
// `hits` has a bit for each such position of the thirty-two. Returns with
// `hits` empty when fewer than thirty-two positions are left.
__attribute__((target("avx2"))) size_t sift_avx2(const unsigned char* data, size_t at, size_t n, size_t last,
                                                 ByteSift first, ByteSift final, unsigned& hits) noexcept
{
    const __m256i first_mask = _mm256_set1_epi8(static_cast<char>(first.mask));
    const __m256i first_value = _mm256_set1_epi8(static_cast<char>(first.value));
    const __m256i final_mask = _mm256_set1_epi8(static_cast<char>(final.mask));
    const __m256i final_value = _mm256_set1_epi8(static_cast<char>(final.value));
    for (; at + last + 32 <= n; at += 32) {
        const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
        const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + last));
        const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(head, first_mask), first_value),
                                             _mm256_cmpeq_epi8(_mm256_or_si256(tail, final_mask), final_value));
        hits = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (hits) return at;
    }
    hits = 0;
    return at;
}
#endif

// Where folding sees the same context on both sides: an ASCII byte that is
// not a letter and not case-ignorable (apostrophe, full stop, colon,
// circumflex, grave accent).
bool is_boundary_byte(unsigned char byte) noexcept
{
    return unicode::ends_case_context(byte);
}

// Replaces every byte that is not part of well-formed UTF-8 by U+001A, one
// byte for one, so offsets keep their meaning and the rest of the text is
// searched. A character cut short at the end is left alone unless the text
// ends there. Returns false (and leaves `out` alone) when there is none.
//
// `seen(start, end, code_point)` hears of every well-formed character that is
// not ASCII, and `checked` is where the checking stopped (at a character cut
// short, or at the end).
template <typename Seen>
bool repair_utf8(std::string_view text, bool at_end, std::string& out, size_t& checked, Seen seen)
{
    size_t i = 0;
    const size_t n = text.size();
    bool repaired = false;
    auto bad = [&](size_t at) {
        if (!repaired) {
            out.assign(text);
            repaired = true;
        }
        out[at] = '\x1A';
    };
    while ((i = skip_ascii(text.data(), i, n)) < n) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF)
            extra = 1, minimum = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF)
            extra = 2, minimum = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4)
            extra = 3, minimum = 0x10000;
        else {
            bad(i++);
            continue;
        }
        char32_t value = lead & (0x3F >> extra);
        size_t k = 1;
        for (; k <= extra && i + k < n && utf8::is_continuation(static_cast<unsigned char>(text[i + k])); ++k)
            value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (k <= extra && i + k == n && !at_end) break; // the rest of it comes with the next bytes
        if (k <= extra || value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            bad(i++); // the lead alone is dropped; what follows is looked at again
            continue;
        }
        seen(i, i + extra + 1, value);
        i += extra + 1;
    }
    checked = std::min(i, n);
    return repaired;
}

// Byte offsets of folded positions in a piece of text, found by walking
// from the one asked for last, so that neighbouring positions cost little.
// A position that falls inside what one code point folded to (İ becomes two
// code points) has no byte offset.
class FoldedOffsets {
public:
    // Starts at the piece's end, where most positions asked for lie.
    FoldedOffsets(std::string_view piece, uint64_t folded_length, bool case_insensitive,
                  bool special_char_insensitive) noexcept
        : piece_(piece), byte_(piece.size()), folded_(folded_length), case_insensitive_(case_insensitive),
          special_char_insensitive_(special_char_insensitive)
    {
    }

    std::optional<size_t> byte_of(uint64_t position)
    {
        while (folded_ > position && byte_ > 0) {
            size_t previous = byte_;
            folded_ -= width(utf8::decode_backward(piece_, previous));
            byte_ = previous;
        }
        while (folded_ < position && byte_ < piece_.size()) {
            size_t next = byte_;
            const uint64_t step = width(utf8::decode_forward(piece_, next));
            if (folded_ + step > position) return std::nullopt;
            folded_ += step;
            byte_ = next;
        }
        if (folded_ != position) return std::nullopt;
        return byte_;
    }

private:
    uint64_t width(char32_t c) const
    {
        return case_insensitive_ && c >= 0x80 ? (fold_info(c, true, special_char_insensitive_) & fold_length_mask) : 1;
    }

    std::string_view piece_;
    size_t byte_;
    uint64_t folded_;
    bool case_insensitive_, special_char_insensitive_;
};

// Whether a scan for the final-sigma context stops at this byte: an ASCII
// byte that is not case-ignorable (a letter stops it too, being cased).
bool ends_case_context(unsigned char byte) noexcept
{
    return byte < 0x80 && unicode::ascii_case_classes[byte] != unicode::CaseClass::ignorable;
}

struct Region {
    size_t start, end; // bytes, half-open
};

struct Found {
    size_t start, end;     // the shown (trimmed) span, bytes into the buffer
    uint64_t line, column; // 1-based; the column counts code points
    double score;
    size_t window_start, window_end;           // the whole window, bytes into the buffer
    uint64_t folded_start, folded_end;         // the module's span: code points of the whole folded file
    uint64_t code_point_start, code_point_end; // the window in code points of the whole file
    uint64_t shown_code_point_start, shown_code_point_end;
};

struct Lengths {
    uint64_t folded = 0, code_points = 0;
};

class Searcher {
public:
    Searcher(Mode mode, std::string pattern, std::string separator, bool case_insensitive,
             bool special_char_insensitive, std::string metric, double threshold, std::uint8_t threshold_kind,
             std::vector<std::string> strategies)
        : mode_(mode), pattern_(std::move(pattern)), separator_(std::move(separator)),
          case_insensitive_(case_insensitive), special_char_insensitive_(special_char_insensitive),
          metric_(std::move(metric)), threshold_(threshold), threshold_kind_(threshold_kind),
          strategies_(std::move(strategies))
    {
        prepare_fold_table();
        plan_literals();
        plan_tokens();
    }

    // Whether matches carry their positions in code points from the file's
    // start; without them a search is a pass over the text shorter.
    void want_positions(bool wanted) noexcept { positions_ = wanted; }

    void reset() noexcept
    {
        lines_before_ = 0;
        before_ = Lengths{};
        done_ = 0;
        piece_from_ = 0;
        held_.clear();
    }

    bool streams() const noexcept { return !literals_.empty() || widest_window_ > 0 || window_tokens_ > 0; }

    // Searches `text` (which starts at a line start of the file) and returns
    // the bytes fully dealt with: a line start, or all of `text` at the end
    // of the file. The rest must come again, followed by more of the file.
    size_t scan(std::string_view original, bool at_end, std::vector<Found>& found)
    {
        std::string repaired;
        // Code points whose folding holds ASCII can take part in a literal
        // that the buffer does not show: they are noted while the text is
        // checked, in the same pass.
        const bool seeds_wanted = !literals_.empty() && (case_insensitive_ || special_char_insensitive_);
        folding_seeds_.clear();
        size_t checked = 0;
        const bool was_repaired =
            repair_utf8(original, at_end, repaired, checked, [&](size_t start, size_t end, char32_t c) {
                if (seeds_wanted && start >= done_ &&
                    (fold_info(c, case_insensitive_, special_char_insensitive_) & fold_to_ascii))
                    folding_seeds_.push_back({start, end});
            });
        seeds_checked_to_ = checked;
        const std::string_view text = was_repaired ? std::string_view(repaired) : original;
        if (window_tokens_ > 0) return scan_tokens(text, at_end, found);
        std::vector<Region> regions;
        if (literals_.empty()) {
            if (!at_end) return scan_to_gap(text, found);
            if (!text.empty()) regions.push_back({0, text.size()});
        } else {
            regions = literal_regions(text, at_end);
        }

        // Every complete region is searched now. The buffer is cut at the
        // last line start before the first region that the next bytes
        // could still change; regions searched past the cut are
        // remembered, so the next buffer does not search them again.
        size_t limit = text.size();
        if (!at_end) {
            // Only regions on whole lines: a match is printed with its lines.
            limit = literals_.empty() ? 0 : std::min(unsettled_tail(text), line_start_before(text, text.size()));
            for (const Region& region : regions)
                if (region.end >= text.size()) limit = std::min(limit, region.start);
        }

        Cancellation cancel(stop_check, nullptr);
        size_t counted_to = 0, searched_to = done_;
        Lengths before = before_;
        LineCursor lines{text, 0, lines_before_};
        for (const Region& region : regions) {
            if (region.end > limit) {
                limit = std::min(limit, region.start); // searched with the next bytes
                break;
            }
            const Lengths gap = lengths_if_wanted(text.substr(counted_to, region.start - counted_to), cancel);
            before.folded += gap.folded;
            before.code_points += gap.code_points;
            counted_to = region.start;
            search_region(text, region, before, lines, found, cancel);
            searched_to = region.end;
        }
        const size_t cut = at_end ? text.size() : line_start_before(text, limit);
        const Lengths at_cut = lengths_if_wanted(text.substr(0, cut), cancel);
        before_.folded += at_cut.folded;
        before_.code_points += at_cut.code_points;
        lines_before_ += count_byte(text.substr(0, cut), '\n');
        done_ = searched_to > cut ? searched_to - cut : 0;
        return cut;
    }

private:
    // Without a literal, a buffer is cut at a line start that no candidate
    // window covers or touches. Such a window is at most the widest window
    // long, so a probe of the text that far around the line start, which
    // finds nothing, proves it; then the text up to the probe's end is
    // searched and what starts before the line start is final. Token
    // windows have no such bound: they are cut between tokens instead.
    size_t scan_to_gap(std::string_view text, std::vector<Found>& found)
    {
        if (widest_window_ == 0) return 0;
        const uint64_t reach = widest_window_ + 2;
        Cancellation cancel(stop_check, nullptr);
        size_t limit = text.size();
        for (int tries = 0; tries < 16; ++tries) {
            const size_t gap = line_start_before(text, limit);
            if (gap == 0) return 0;
            limit = gap - 1;
            size_t from = gap, to = gap;
            for (uint64_t k = 0; k < reach && from > 0; ++k)
                utf8::decode_backward(text, from);
            while (from > 0 && !is_boundary_byte(static_cast<unsigned char>(text[from - 1])))
                --from;
            for (uint64_t k = 0; k < reach && to < text.size(); ++k)
                utf8::decode_forward(text, to);
            while (to < text.size() && !is_boundary_byte(static_cast<unsigned char>(text[to])))
                ++to;
            if (to >= text.size()) continue; // the probe would need the next bytes
            if (!extract(text.substr(from, to - from), cancel).empty()) continue;
            std::vector<Found> all;
            LineCursor lines{text, 0, lines_before_};
            search_region(text, Region{0, to}, before_, lines, all, cancel);
            for (const Found& match : all)
                if (match.window_start < gap) found.push_back(match);
            const Lengths at_gap = lengths_if_wanted(text.substr(0, gap), cancel);
            before_.folded += at_gap.folded;
            before_.code_points += at_gap.code_points;
            lines_before_ += count_byte(text.substr(0, gap), '\n');
            return gap;
        }
        return 0;
    }

    struct LineCursor {
        std::string_view text;
        size_t at;     // a line start
        uint64_t line; // 0-based number of the line starting at `at`
    };

    // Where the region of a seed that the next bytes could complete would
    // begin, or the end of `text` when there can be none: a literal whose
    // start the text ends with, or a code point cut short at the end.
    size_t unsettled_tail(std::string_view text) const
    {
        const size_t n = text.size();
        size_t earliest = n;
        for (const std::string& literal : literals_) {
            for (size_t p = n >= literal.size() ? n - literal.size() + 1 : 0; p < n && p < earliest; ++p) {
                bool prefix = true;
                for (size_t k = 0; prefix && p + k < n; ++k)
                    prefix = fold_[static_cast<unsigned char>(text[p + k])] == static_cast<unsigned char>(literal[k]);
                if (prefix) earliest = p;
            }
        }
        size_t lead = n;
        while (lead > 0 && n - lead < 4 && utf8::is_continuation(static_cast<unsigned char>(text[lead - 1])))
            --lead;
        if (lead > 0 && static_cast<unsigned char>(text[lead - 1]) >= 0xC0) {
            const auto byte = static_cast<unsigned char>(text[lead - 1]);
            const size_t width = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            if (n - (lead - 1) < width) earliest = std::min(earliest, lead - 1);
        }
        if (earliest == n) return n;
        size_t tail = earliest;
        for (uint64_t k = 0; k < margin_ && tail > 0; ++k)
            utf8::decode_backward(text, tail);
        while (tail > 0 && !is_boundary_byte(static_cast<unsigned char>(text[tail - 1])))
            --tail;
        return tail;
    }

    static size_t line_start_before(std::string_view text, size_t limit)
    {
        if (limit == 0) return 0;
        const void* feed = memrchr(text.data(), '\n', limit);
        return feed ? static_cast<size_t>(static_cast<const char*>(feed) - text.data()) + 1 : 0;
    }

    // Plans the literals that every accepted window must hold, and the
    // widest window in code points; leaves literals_ empty when no such
    // literal exists or the search is not by raw windows.
    void plan_literals()
    {
        if (mode_ != Mode::exact_raw && mode_ != Mode::fuzzy_raw) return;
        const std::string folded = normalize(pattern_, case_insensitive_, special_char_insensitive_);
        const uint64_t m = char_count(folded);
        widest_window_ = m;
        if (mode_ == Mode::fuzzy_raw && threshold_kind_of(threshold_kind_) == ThresholdKind::Normalized) {
            const double product = static_cast<double>(m) * threshold_;
            widest_window_ += std::isnan(product) || product <= 0 ? 0
                              : product >= 127.0                  ? 127
                                                                  : static_cast<uint64_t>(product);
        }
        const std::string trimmed(trim_whitespace(folded));
        if (trimmed.empty()) return;
        // Without folding beyond line feeds, non-ASCII text folds to itself;
        // otherwise only an ASCII literal is found the same in the buffer.
        if ((case_insensitive_ || special_char_insensitive_) && !is_ascii(trimmed)) return;
        if (mode_ == Mode::exact_raw) {
            margin_ = m - char_count(trimmed) + 2; // windows reach past the literal by white space only
            literals_.push_back(trimmed);
            return;
        }
        const auto metric = parse_metric(metric_);
        if (!metric || (*metric != Metric::levenshtein && *metric != Metric::indel)) return;
        if (!std::isfinite(threshold_) || threshold_ < 0) return;
        const uint64_t q = char_count(trimmed);
        uint64_t slack = 0;
        double edits = threshold_;
        if (threshold_kind_of(threshold_kind_) == ThresholdKind::Normalized) {
            const double product = static_cast<double>(m) * threshold_;
            slack = product >= 127.0 ? 127 : static_cast<uint64_t>(product);
            const double longest = static_cast<double>(m + slack) + (*metric == Metric::indel ? double(q) : 0.0);
            edits = threshold_ * longest * (1 + 1e-9) + 1e-9;
        }
        if (edits >= static_cast<double>(q)) return; // k + 1 pieces would not fit
        const auto k = static_cast<uint64_t>(edits);
        margin_ = m + slack + 2;
        // k + 1 pieces of near-equal length: k edits spoil at most k of them.
        const std::u32string code_points = decode_utf8(trimmed);
        const uint64_t pieces = k + 1;
        size_t from = 0;
        for (uint64_t p = 0; p < pieces; ++p) {
            const size_t to = static_cast<size_t>((q * (p + 1)) / pieces);
            literals_.push_back(char_slice(trimmed, from, to - from));
            from = to;
        }
    }

    // What a byte of the text folds to when it is ASCII: line feeds to
    // spaces and, where asked, upper-case letters to lower-case and @ to a.
    // Other bytes stand for themselves.
    void prepare_fold_table()
    {
        for (int c = 0; c < 256; ++c) {
            unsigned char folded = static_cast<unsigned char>(c);
            if (c == '\n')
                folded = ' ';
            else if (case_insensitive_ && c >= 'A' && c <= 'Z')
                folded = static_cast<unsigned char>(c | 0x20);
            else if (special_char_insensitive_ && c == '@')
                folded = 'a';
            fold_[c] = folded;
        }
    }

    // Calls `visit(offset)` for every occurrence of `literal` in the folded
    // view of `text`, overlapping ones included, in ascending order. Sixteen
    // starts at a time are sifted by the literal's first and last bytes,
    // and the survivors compared whole.
    // One comparison for the bytes that fold to `byte`, when there is one.
    ByteSift sift_for(unsigned char byte) const noexcept
    {
        unsigned char folding[256];
        int count = 0;
        for (int c = 0; c < 256; ++c)
            if (fold_[c] == byte) folding[count++] = static_cast<unsigned char>(c);
        ByteSift sift;
        if (count == 1) {
            sift.usable = true, sift.value = folding[0];
        } else if (count == 2 && (folding[0] ^ folding[1]) == 0x20) {
            sift.usable = true, sift.mask = 0x20, sift.value = folding[0] | 0x20;
        }
        return sift;
    }

    template <typename Visit> void find_literal(std::string_view text, const std::string& literal, Visit visit) const
    {
        const size_t length = literal.size(), n = text.size();
        if (length == 0 || length > n) return;
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        auto matches_at = [&](size_t at) {
            for (size_t k = 0; k < length; ++k)
                if (fold_[data[at + k]] != static_cast<unsigned char>(literal[k])) return false;
            return true;
        };
        size_t at = 0;
#if defined(TESSARIN_CLI_AVX2)
        const ByteSift first = sift_for(static_cast<unsigned char>(literal[0]));
        const ByteSift final = sift_for(static_cast<unsigned char>(literal[length - 1]));
        if (first.usable && final.usable && has_avx2()) {
            for (;;) {
                unsigned hits = 0;
                at = sift_avx2(data, at, n, length - 1, first, final, hits);
                if (!hits) break;
                for (; hits; hits &= hits - 1) {
                    const size_t candidate = at + static_cast<size_t>(__builtin_ctz(hits));
                    if (matches_at(candidate)) visit(candidate);
                }
                at += 32;
            }
        }
#endif
#if defined(__SSE2__)
        const size_t last = length - 1;
        // The bytes that fold to the literal's first and last bytes.
        unsigned char first_bytes[3], last_bytes[3];
        int first_count = 0, last_count = 0;
        for (int c = 0; c < 256 && (first_count < 3 || last_count < 3); ++c) {
            if (fold_[c] == static_cast<unsigned char>(literal[0]) && first_count < 3)
                first_bytes[first_count++] = static_cast<unsigned char>(c);
            if (fold_[c] == static_cast<unsigned char>(literal[last]) && last_count < 3)
                last_bytes[last_count++] = static_cast<unsigned char>(c);
        }
        for (int k = first_count; k < 3; ++k)
            first_bytes[k] = first_bytes[0];
        for (int k = last_count; k < 3; ++k)
            last_bytes[k] = last_bytes[0];
        const __m128i f0 = _mm_set1_epi8(static_cast<char>(first_bytes[0]));
        const __m128i f1 = _mm_set1_epi8(static_cast<char>(first_bytes[1]));
        const __m128i f2 = _mm_set1_epi8(static_cast<char>(first_bytes[2]));
        const __m128i l0 = _mm_set1_epi8(static_cast<char>(last_bytes[0]));
        const __m128i l1 = _mm_set1_epi8(static_cast<char>(last_bytes[1]));
        const __m128i l2 = _mm_set1_epi8(static_cast<char>(last_bytes[2]));
        for (;;) {
            // No call in this loop, so the six vectors stay in registers.
            unsigned mask = 0;
            for (; at + last + 16 <= n; at += 16) {
                const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
                const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + last));
                const __m128i head_hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(head, f0), _mm_cmpeq_epi8(head, f1)),
                                                      _mm_cmpeq_epi8(head, f2));
                const __m128i tail_hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(tail, l0), _mm_cmpeq_epi8(tail, l1)),
                                                      _mm_cmpeq_epi8(tail, l2));
                mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(head_hit, tail_hit)));
                if (mask) break;
            }
            if (!mask) break;
            for (; mask; mask &= mask - 1) {
                const size_t candidate = at + static_cast<size_t>(__builtin_ctz(mask));
                if (matches_at(candidate)) visit(candidate);
            }
            at += 16;
        }
#endif
        for (; at + length <= n; ++at)
            if (matches_at(at)) visit(at);
    }

    std::vector<Region> literal_regions(std::string_view text, bool at_end)
    {
        std::vector<Region> seeds;
        const size_t n = text.size();
        for (const std::string& literal : literals_)
            find_literal(text, literal, [&](size_t at) {
                if (at >= done_) seeds.push_back({at, at + literal.size()});
            });
        // Code points whose folding holds ASCII can take part in a literal
        // that the buffer does not show; those before a character cut short
        // at the end were noted while the text was checked.
        if (case_insensitive_ || special_char_insensitive_) {
            seeds.insert(seeds.end(), folding_seeds_.begin(), folding_seeds_.end());
            size_t i = seeds_checked_to_;
            while ((i = skip_ascii(text.data(), i, n)) < n) {
                const size_t at = i;
                const char32_t c = utf8::decode_forward(text, i);
                if (at >= done_ && (fold_info(c, case_insensitive_, special_char_insensitive_) & fold_to_ascii))
                    seeds.push_back({at, i});
            }
        }
        std::sort(seeds.begin(), seeds.end(), [](const Region& a, const Region& b) { return a.start < b.start; });

        // Each seed widens by more code points than any window holding it
        // reaches beyond it, then out to boundary bytes.
        std::vector<Region> regions;
        for (const Region& seed : seeds) {
            size_t start = seed.start, end = seed.end;
            for (uint64_t k = 0; k < margin_ && start > 0; ++k)
                utf8::decode_backward(text, start);
            for (uint64_t k = 0; k < margin_ && end < n; ++k)
                utf8::decode_forward(text, end);
            if (!regions.empty() && start <= regions.back().end) {
                regions.back().end = std::max(regions.back().end, end);
                continue;
            }
            regions.push_back({start, end});
        }
        // Round outward to boundaries; rounding can join neighbours.
        std::vector<Region> rounded;
        for (Region region : regions) {
            // Never back into what was searched: the byte where that ended
            // is a boundary byte, so folding sees the same context there.
            region.start = std::max(region.start, done_);
            while (region.start > done_ && !is_boundary_byte(static_cast<unsigned char>(text[region.start - 1])))
                --region.start;
            while (region.end < n && !is_boundary_byte(static_cast<unsigned char>(text[region.end])))
                ++region.end;
            if (region.end < n || at_end) {
                // complete
            } else {
                region.end = n; // reaches the buffer's end: not complete
            }
            if (!rounded.empty() && region.start <= rounded.back().end)
                rounded.back().end = std::max(rounded.back().end, region.end);
            else
                rounded.push_back(region);
        }
        return rounded;
    }

    // Code points before each match are counted only for those who read
    // them (the module's positions); line numbers do without.
    Lengths lengths_if_wanted(std::string_view text, Cancellation& cancel) const
    {
        return positions_ ? lengths(text, cancel) : Lengths{};
    }

    // Code points of `text`, and how many folding makes of them.
    Lengths lengths(std::string_view text, Cancellation& cancel) const
    {
        uint64_t count = 0, extra = 0;
        size_t i = 0;
        const size_t n = text.size();
        cancel.poll(n);
        while (i < n) {
            const size_t ascii_end = skip_ascii(text.data(), i, n);
            count += ascii_end - i;
            i = ascii_end;
            if (i == n) break;
            const char32_t c = utf8::decode_forward(text, i);
            ++count;
            if (case_insensitive_) extra += (fold_info(c, true, special_char_insensitive_) & fold_length_mask) - 1;
        }
        return Lengths{count + extra, count};
    }

    MatchList extract(std::string_view text, Cancellation cancel) const
    {
        // ASCII is searched where it lies; anything else is copied, as the
        // extractors fold it in place.
        TextInput piece = skip_ascii(text.data(), 0, text.size()) == text.size() ? TextInput::borrowed_ascii(text)
                                                                                 : TextInput(std::string(text));
        switch (mode_) {
        case Mode::exact_raw: return exact_raw_extract(std::move(piece), pattern_, search_options(), cancel);
        case Mode::exact_token:
            return exact_token_extract(std::move(piece), pattern_, separator_, search_options(), cancel);
        case Mode::fuzzy_raw: return fuzzy_raw_extract(std::move(piece), pattern_, search_options(), cancel);
        case Mode::fuzzy_token:
            return fuzzy_token_extract(std::move(piece), pattern_, separator_, search_options(), cancel);
        }
        return {};
    }

    // The extractors' typed options.
    SearchOptions search_options() const
    {
        SearchOptions options =
            exact_search_options(case_insensitive_, special_char_insensitive_, parse_strategies(strategies_));
        options.metric = MetricChoice(metric_);
        options.threshold = threshold_;
        options.threshold_kind = threshold_kind_of(threshold_kind_);
        return options;
    }

    void search_region(std::string_view text, const Region& region, const Lengths& base, LineCursor& lines,
                       std::vector<Found>& found, Cancellation& cancel) const
    {
        const std::string_view piece = text.substr(region.start, region.end - region.start);
        MatchList matches = extract(piece, cancel);
        if (matches.empty()) return;

        // Folded positions to bytes: starts take the whole code point they
        // fall in, ends that cut into one take all of it.
        std::vector<uint64_t> wanted;
        wanted.reserve(2 * matches.size());
        for (const Match& match : matches) {
            wanted.push_back(match.start);
            wanted.push_back(match.end);
        }
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        std::vector<size_t> start_byte(wanted.size()), end_byte(wanted.size());
        std::vector<uint64_t> start_index(wanted.size()), end_index(wanted.size());
        size_t byte = 0, w = 0;
        uint64_t folded = 0, index = 0;
        while (w < wanted.size()) {
            if (byte >= piece.size()) {
                start_byte[w] = end_byte[w] = piece.size();
                start_index[w] = end_index[w] = index;
                ++w;
                continue;
            }
            size_t next = byte;
            const char32_t c = utf8::decode_forward(piece, next);
            const uint64_t width =
                case_insensitive_ && c >= 0x80 ? (fold_info(c, true, special_char_insensitive_) & fold_length_mask) : 1;
            while (w < wanted.size() && wanted[w] < folded + width) {
                start_byte[w] = byte;
                start_index[w] = index;
                const bool inside = wanted[w] != folded;
                end_byte[w] = inside ? next : byte;
                end_index[w] = inside ? index + 1 : index;
                ++w;
            }
            folded += width;
            ++index;
            byte = next;
        }
        auto index_of = [&](uint64_t position) {
            return static_cast<size_t>(std::lower_bound(wanted.begin(), wanted.end(), position) - wanted.begin());
        };

        for (const Match& match : matches) {
            const size_t first = index_of(match.start), last = index_of(match.end);
            const size_t start = region.start + start_byte[first];
            const size_t end = region.start + end_byte[last];
            // Shown at its trimmed span, so a window that starts at a line
            // feed is shown on the line of its first real character.
            size_t shown_start = start, shown_end = end;
            while (shown_start < shown_end) {
                size_t next = shown_start;
                if (!is_white_space(utf8::decode_forward(text.substr(0, shown_end), next))) break;
                shown_start = next;
            }
            while (shown_end > shown_start) {
                size_t previous = shown_end;
                if (!is_white_space(utf8::decode_backward(text.substr(0, shown_end), previous))) break;
                shown_end = previous;
            }
            if (shown_start == shown_end) shown_start = start, shown_end = end;

            if (shown_start < lines.at) lines = LineCursor{text, 0, lines_before_};
            const size_t line_start = line_start_before(text, shown_start);
            if (line_start > lines.at) {
                lines.line += count_byte(text.substr(lines.at, line_start - lines.at), '\n');
                lines.at = line_start;
            }
            const uint64_t column = char_count(text.substr(line_start, shown_start - line_start)) + 1;
            const uint64_t window_start = base.code_points + start_index[first];
            const uint64_t shown_from = window_start + char_count(text.substr(start, shown_start - start));
            const uint64_t shown_to = shown_from + char_count(text.substr(shown_start, shown_end - shown_start));
            found.push_back(Found{shown_start, shown_end, lines.line + 1, column, match.score, start, end,
                                  base.folded + match.start, base.folded + match.end, window_start,
                                  base.code_points + end_index[last], shown_from, shown_to});
        }
    }

    // ---- Token searches in pieces ---------------------------------------
    //
    // A token window spans w tokens however long they are, so a token
    // search is cut between tokens rather than at a width. The file is
    // searched as a series of pieces, each beginning at a token start of
    // the whole file; from there the extractors cut a piece into the same
    // tokens as the whole file, up to the last separator that the piece
    // holds whole. A piece ends with the separator after the last token of
    // the windows that start before the next piece's first token, so it
    // holds those windows and no other, and what they find is final:
    // - exact search reports every matching window, overlapping ones too,
    //   so the next piece starts with the first window not yet judged and
    //   carries its w - 1 tokens (no window is judged twice);
    // - fuzzy search hands its candidates to the conflict solver, whose
    //   groups are chains of accepted windows that share a token (windows
    //   that share none have a separator between them and do not touch).
    //   A group must not be split, so the next piece starts at a token that
    //   no accepted window shares with the token before it: where the
    //   w - 1 windows holding both were all rejected, each judged alone.
    // Folding must see the same context on both sides of every cut. A token
    // that goes on without a separator cannot be cut at all: the buffer
    // then grows until the token ends, however long that is.

    void plan_tokens()
    {
        if (mode_ != Mode::exact_token && mode_ != Mode::fuzzy_token) return;
        folded_separator_ = normalize(separator_, case_insensitive_, special_char_insensitive_);
        // An empty separator makes the whole text one token.
        if (folded_separator_.empty()) return;
        window_tokens_ =
            pattern_token_count(normalize(pattern_, case_insensitive_, special_char_insensitive_), folded_separator_);
        separator_length_ = char_count(folded_separator_);
    }

    struct TokenCut {
        size_t piece_end; // bytes: the end of the separator after the piece's last token
        size_t next_from; // bytes: the first token of the next piece
    };

    size_t scan_tokens(std::string_view text, bool at_end, std::vector<Found>& found)
    {
        Cancellation cancel(stop_check, nullptr);
        const size_t from = std::min(piece_from_, text.size());
        std::vector<Found> ready = std::move(held_);
        held_.clear();
        size_t next_from = from;
        if (at_end) {
            search_tokens(text, from, text.size(), ready, cancel);
            next_from = text.size();
        } else if (const std::optional<TokenCut> cut = plan_token_cut(text, from, cancel)) {
            search_tokens(text, from, cut->piece_end, ready, cancel);
            next_from = cut->next_from;
        }

        // A match is printed with its lines, whole and once: one shown on
        // the line where the next piece starts waits for the rest of that
        // line, and the buffer is kept from that line's start (or from the
        // line where a waiting window begins, if earlier).
        size_t cut = text.size(), shown = ready.size();
        if (!at_end) {
            size_t keep = next_from;
            for (;;) {
                cut = line_start_before(text, keep);
                shown = 0;
                while (shown < ready.size() && ready[shown].start < cut)
                    ++shown;
                size_t earliest = keep;
                for (size_t k = shown; k < ready.size(); ++k)
                    earliest = std::min(earliest, ready[k].window_start);
                if (earliest >= cut) break;
                keep = earliest;
            }
        }
        found.insert(found.end(), ready.begin(), ready.begin() + static_cast<long>(shown));
        held_.assign(ready.begin() + static_cast<long>(shown), ready.end());
        for (Found& match : held_) {
            match.start -= cut;
            match.end -= cut;
            match.window_start -= cut;
            match.window_end -= cut;
        }
        const Lengths at_cut = lengths(text.substr(0, cut), cancel);
        before_.folded += at_cut.folded;
        before_.code_points += at_cut.code_points;
        lines_before_ += static_cast<uint64_t>(std::count(text.begin(), text.begin() + static_cast<long>(cut), '\n'));
        piece_from_ = next_from - cut;
        return cut;
    }

    // Searches text[from, to), a piece that starts at a token start.
    void search_tokens(std::string_view text, size_t from, size_t to, std::vector<Found>& found,
                       Cancellation& cancel) const
    {
        if (to <= from) return;
        Lengths base = before_;
        const Lengths lead = lengths(text.substr(0, from), cancel);
        base.folded += lead.folded;
        base.code_points += lead.code_points;
        LineCursor lines{text, 0, lines_before_};
        search_region(text, Region{from, to}, base, lines, found, cancel);
    }

    // Where to end this piece and start the next, if the whole lines of
    // text[from, ...) hold a place to cut.
    std::optional<TokenCut> plan_token_cut(std::string_view text, size_t from, Cancellation& cancel) const
    {
        // Whole lines only: a line feed ends the piece, which no folding
        // context crosses, and what is found is printed with whole lines.
        const size_t end = line_start_before(text, text.size());
        if (end <= from) return std::nullopt;
        // A cut lies near the end, so only the tokens there are needed.
        const size_t tail = tail_token_start(text, from, end);
        if (tail > from)
            if (std::optional<TokenCut> cut = plan_token_cut(text, tail, end, cancel)) return cut;
        return plan_token_cut(text, from, end, cancel);
    }

    // A token start of the whole file some way before `end`, found without
    // cutting what lies before it into tokens, or `from`. With a separator
    // of one ASCII byte, tokens are the runs of other code points: one
    // starts wherever an ASCII byte that folds to the separator is followed
    // by one that does not (a longer code point may fold to ASCII, so only
    // ASCII is trusted).
    size_t tail_token_start(std::string_view text, size_t from, size_t end) const
    {
        constexpr size_t tail_bytes = size_t{1} << 16;
        if (folded_separator_.size() != 1 || end - from <= 2 * tail_bytes) return from;
        const auto separator = static_cast<unsigned char>(folded_separator_[0]);
        for (size_t at = end - tail_bytes; at > from + 1; --at) {
            const auto before = static_cast<unsigned char>(text[at - 1]), first = static_cast<unsigned char>(text[at]);
            if (before < 0x80 && first < 0x80 && fold_[before] == separator && fold_[first] != separator &&
                folds_alone_from(text, at))
                return at;
            if (end - tail_bytes - at > tail_bytes) break; // a token this long: cut it all into tokens
        }
        return from;
    }

    // The same, for text[from, end), which starts at a token start and ends
    // at a line start.
    std::optional<TokenCut> plan_token_cut(std::string_view text, size_t from, size_t end, Cancellation& cancel) const
    {
        const std::string_view piece = text.substr(from, end - from);
        const bool ascii = skip_ascii(piece.data(), 0, piece.size()) == piece.size();
        const FoldedText folded = fold_text(ascii ? TextInput::borrowed_ascii(piece) : TextInput(std::string(piece)),
                                            case_insensitive_, special_char_insensitive_, cancel);
        const uint64_t length = lengths(piece, cancel).folded;
        if (folded.length() != length) return std::nullopt; // positions could not be mapped back: search whole
        const std::vector<Token> tokens =
            tokenize(decode_to_units(folded, cancel), decode_utf8(folded_separator_), cancel);

        // The tokens that a separator within the piece ends; a last one
        // that runs to the piece's end may go on in the next bytes.
        size_t settled = tokens.size();
        if (settled > 0 && tokens.back().end == length) --settled;
        const size_t w = static_cast<size_t>(window_tokens_);
        if (settled < 2 || settled < w) return std::nullopt;
        // The next piece may start at token c when every window before it
        // is whole here (c + w - 2 < settled), and c's start is settled (a
        // later separator ended c).
        const size_t highest = std::min(settled - w + 1, settled - 1);
        FoldedOffsets offsets(piece, length, case_insensitive_, special_char_insensitive_);

        // text[from + first, from + last) as a piece of its own, if it folds
        // as within the whole file.
        auto span = [&](uint64_t first, uint64_t last) -> std::optional<std::pair<size_t, size_t>> {
            const std::optional<size_t> last_byte = offsets.byte_of(last);
            const std::optional<size_t> first_byte = offsets.byte_of(first);
            if (!first_byte || !last_byte || !folds_alone_from(text, from + *first_byte) ||
                !folds_alone_to(text, from + *last_byte))
                return std::nullopt;
            return std::pair{from + *first_byte, from + *last_byte};
        };
        // The piece for a cut before token c.
        auto cut_at = [&](size_t c) -> std::optional<TokenCut> {
            const std::optional<std::pair<size_t, size_t>> bytes =
                span(tokens[c].start, tokens[c + w - 2].end + separator_length_);
            if (!bytes) return std::nullopt;
            return TokenCut{bytes->second, bytes->first};
        };

        if (mode_ == Mode::exact_token || w == 1) {
            for (size_t c = highest, tries = 0; c >= 1 && tries < 64; --c, ++tries)
                if (const std::optional<TokenCut> cut = cut_at(c)) return cut;
            return std::nullopt;
        }
        // Windows judged alone, from the last whole one back, until w - 1
        // in a row are rejected; a window that cannot be judged alone
        // counts as accepted. Dense matches may find no such place in the
        // buffer: the next, longer one is tried then.
        size_t rejected = 0, budget = 256;
        for (size_t i = highest; i-- > 0 && budget-- > 0;) {
            const std::optional<std::pair<size_t, size_t>> window =
                span(tokens[i].start, tokens[i + w - 1].end + separator_length_);
            if (!window || !extract(text.substr(window->first, window->second - window->first), cancel).empty()) {
                rejected = 0;
                continue;
            }
            if (++rejected < w - 1) continue;
            if (const std::optional<TokenCut> cut = cut_at(i + w - 1)) return cut;
        }
        return std::nullopt;
    }

    // Whether a piece that begins at `at` folds as within the whole file.
    // Only the final-sigma rule reads context, and its scan stops at an
    // ASCII byte that is not case-ignorable: inside the piece, such a byte
    // reads the same in both; just outside, one that is not a letter reads
    // as the piece's edge does.
    bool folds_alone_from(std::string_view text, size_t at) const noexcept
    {
        return !case_insensitive_ || at == 0 || is_boundary_byte(static_cast<unsigned char>(text[at - 1])) ||
               (at < text.size() && ends_case_context(static_cast<unsigned char>(text[at])));
    }

    // The same for a piece that ends at `at`.
    bool folds_alone_to(std::string_view text, size_t at) const noexcept
    {
        return !case_insensitive_ || (at > 0 && ends_case_context(static_cast<unsigned char>(text[at - 1]))) ||
               (at < text.size() && is_boundary_byte(static_cast<unsigned char>(text[at])));
    }

    Mode mode_;
    std::string pattern_, separator_;
    bool case_insensitive_, special_char_insensitive_;
    std::string metric_;
    double threshold_;
    std::uint8_t threshold_kind_;
    std::vector<std::string> strategies_;

    unsigned char fold_[256];
    std::vector<std::string> literals_;
    uint64_t margin_ = 0;        // code points around a literal that its windows can reach, and two more
    uint64_t widest_window_ = 0; // code points; 0 for token windows, which have no bound

    bool positions_ = true;
    std::vector<Region> folding_seeds_; // characters of the buffer whose folding holds ASCII
    size_t seeds_checked_to_ = 0;       // how far the buffer was checked for them
    uint64_t lines_before_ = 0;         // line feeds before the current buffer
    Lengths before_;                    // code points before it, as they are and folded
    size_t done_ = 0;                   // bytes of it whose regions were searched already

    // Token searches.
    std::string folded_separator_;
    uint64_t window_tokens_ = 0;    // tokens per window; 0 when the file must be searched whole
    uint64_t separator_length_ = 0; // code points of the folded separator
    size_t piece_from_ = 0;         // bytes of the current buffer before the next piece of tokens
    std::vector<Found> held_;       // matches on the line at the last cut, printed with the rest of it
};

// ---- Matching lines, printed as grep prints them ------------------------------

// How the common output looks: each matching line once, with the file's
// name and the line number in front and the matches lit where asked.
struct LineFormat {
    std::string name; // printed before each line, separator included; may be empty
    bool color = false, numbers = false, column = false;
    int64_t limit = -1; // matching lines still to print; -1 for no limit
};

struct Formatted {
    std::string out;
    uint64_t lines = 0, matches = 0;
    bool stopped = false; // the limit was reached
};

constexpr std::string_view path_color = "\x1b[35m", number_color = "\x1b[32m", match_color = "\x1b[1;31m",
                           reset_color = "\x1b[0m";

void append_number(std::string& out, uint64_t number, bool color)
{
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(number));
    if (color) out += number_color;
    out.append(digits, static_cast<size_t>(length));
    if (color) out += reset_color;
    out += ':';
}

// Formats the matches of `found` (offsets into `text`, in order) that lie
// on lines not yet printed: the lines from the first match's line to the
// last line its group reaches, as a match over line feeds shows every
// line it covers.
void format_lines(std::string_view text, const std::vector<Found>& found, const LineFormat& format, Formatted& result)
{
    const char* data = text.data();
    std::vector<std::pair<size_t, size_t>> spans;
    size_t index = 0;
    while (index < found.size()) {
        const Found& first = found[index];
        size_t after = index + 1;
        while (after < found.size() && found[after].line == first.line)
            ++after;
        if (format.limit >= 0 && result.lines >= static_cast<uint64_t>(format.limit)) {
            result.stopped = true;
            return;
        }
        ++result.lines;
        result.matches += after - index;
        spans.clear();
        size_t last = 0;
        for (size_t k = index; k < after; ++k) {
            spans.emplace_back(found[k].start, found[k].end);
            last = std::max(last, found[k].end);
        }
        std::sort(spans.begin(), spans.end());
        const size_t start = first.start;
        const void* before = start ? memrchr(data, '\n', start) : nullptr;
        size_t at = before ? static_cast<size_t>(static_cast<const char*>(before) - data) + 1 : 0;
        const size_t from = last > start ? last - 1 : start;
        size_t lines_end = text.find('\n', std::min(from, text.size()));
        if (lines_end == std::string_view::npos) lines_end = text.size();
        for (uint64_t k = 0;; ++k) {
            size_t end = text.find('\n', at);
            if (end == std::string_view::npos || end > lines_end) end = lines_end;
            size_t shown_end = end;
            if (shown_end > at && data[shown_end - 1] == '\r') --shown_end;
            result.out += format.name;
            if (format.numbers) append_number(result.out, first.line + k, format.color);
            if (format.column && k == 0) append_number(result.out, first.column, format.color);
            size_t lit_to = at;
            if (format.color) {
                for (const auto& [a, b] : spans) {
                    const size_t lit_from = std::max(a, lit_to), lit_end = std::min(b, shown_end);
                    if (lit_from >= lit_end) continue;
                    result.out.append(data + lit_to, lit_from - lit_to);
                    result.out += match_color;
                    result.out.append(data + lit_from, lit_end - lit_from);
                    result.out += reset_color;
                    lit_to = lit_end;
                }
            }
            result.out.append(data + lit_to, shown_end - lit_to);
            result.out += '\n';
            if (end >= lines_end) break;
            at = end + 1;
        }
        index = after;
    }
}

// Reads the format from Python: (name, color, numbers, column, limit), or
// None for matches returned as tuples.
bool line_format_argument(PyObject* object, LineFormat& format, bool& wanted)
{
    wanted = object && object != Py_None;
    if (!wanted) return true;
    const char* name = nullptr;
    Py_ssize_t name_size = 0;
    int color = 0, numbers = 0, column = 0;
    long long limit = -1;
    if (!PyArg_ParseTuple(object, "y#pppL", &name, &name_size, &color, &numbers, &column, &limit)) return false;
    format.name.assign(name, static_cast<size_t>(name_size));
    format.color = color, format.numbers = numbers, format.column = column;
    format.limit = limit;
    return true;
}

constexpr size_t binary_probe = 8 << 10; // a NUL byte this near the start makes a file binary

// How the block reader treats the start of a file: UTF-16 it converts (so
// the file goes back to it), a UTF-8 byte-order mark is not text.
size_t byte_order_mark(std::string_view data)
{
    return data.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

bool is_utf16(std::string_view data)
{
    return data.size() >= 2 && ((data[0] == '\xFF' && data[1] == '\xFE') || (data[0] == '\xFE' && data[1] == '\xFF'));
}

// ---- One big file, block after block ----------------------------------------

// Reads a regular file in blocks into a buffer of its own and searches it
// as the block reader in Python would, for the common output of one
// pattern: the lines come out block by block, with no Python object per
// block but the printed lines. A file that turns out to be binary past its
// start goes on being searched, its matching lines only counted.
class FileStream {
public:
    enum State { going = 0, done = 1, skipped = 2, utf16 = 3 };

    FileStream(int fd, bool regular, bool walked, bool text_mode, bool binary_mode, size_t block,
               LineFormat format) noexcept
        : fd_(fd), regular_(regular), probe_first_(walked && !text_mode && !binary_mode), walked_(walked),
          text_mode_(text_mode), binary_mode_(binary_mode), block_size_(block ? block : 1), block_(block_size_),
          format_(std::move(format))
    {
    }

    bool binary() const noexcept { return binary_; }

    // Reads one block and searches what it completes; returns the state
    // and adds the lines printed (or, once binary, counted) to `result`.
    State step(Searcher& searcher, Formatted& result, uint64_t& bytes_read)
    {
        if (at_end_) return done;
        const size_t asked = first_ ? (probe_first_ ? binary_probe : std::max(block_, binary_probe)) : block_;
        if (begin_ > 0) {
            // What is left of the last block moves to the front; the
            // buffer itself stays, so no page is touched for the first
            // time after the first blocks.
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (buffer_.size() < end_ + asked) buffer_.resize(end_ + asked);
        ssize_t got;
        do {
            got = ::read(fd_, buffer_.data() + end_, asked);
        } while (got < 0 && errno == EINTR);
        if (got < 0) throw std::system_error(errno, std::generic_category());
        const auto count = static_cast<size_t>(got);
        at_end_ = count == 0 || (regular_ && count < asked);
        size_t from = end_;
        end_ += count;
        bytes_read += count;
        if (first_) {
            first_ = false;
            const std::string_view chunk(buffer_.data() + from, count);
            if (is_utf16(chunk)) return utf16;
            from += byte_order_mark(chunk);
            begin_ = from;
            if (!text_mode_ &&
                std::string_view(buffer_.data() + from, end_ - from).substr(0, binary_probe).find('\0') !=
                    std::string_view::npos) {
                if (walked_ && !binary_mode_) return skipped;
                binary_ = true;
            }
        }
        if (!binary_ && !text_mode_ && std::memchr(buffer_.data() + from, 0, end_ - from)) binary_ = true;
        if (!at_end_ && !searcher.streams()) return going; // searched whole, at the end

        const std::string_view text(buffer_.data() + begin_, end_ - begin_);
        std::vector<Found> found;
        const size_t consumed = searcher.scan(text, at_end_, found);
        LineFormat format = format_;
        if (format.limit >= 0) format.limit = std::max<int64_t>(0, format.limit - static_cast<int64_t>(lines_));
        Formatted formatted;
        if (binary_)
            count_lines(found, format.limit, formatted);
        else
            format_lines(text, found, format, formatted);
        lines_ += formatted.lines;
        result.out += formatted.out;
        result.lines += formatted.lines;
        result.matches += formatted.matches;
        if (formatted.stopped) return done;
        if (!at_end_ && consumed == 0) {
            block_ *= 2; // no line ends here yet: read more at once
            return going;
        }
        block_ = block_size_;
        begin_ += consumed;
        return at_end_ ? done : going;
    }

private:
    // A binary file's matching lines are counted, not printed.
    static void count_lines(const std::vector<Found>& found, int64_t limit, Formatted& result)
    {
        std::vector<uint64_t> lines;
        lines.reserve(found.size());
        for (const Found& match : found)
            lines.push_back(match.line);
        std::sort(lines.begin(), lines.end());
        for (size_t k = 0; k < lines.size();) {
            size_t after = k + 1;
            while (after < lines.size() && lines[after] == lines[k])
                ++after;
            if (limit >= 0 && result.lines >= static_cast<uint64_t>(limit)) {
                result.stopped = true;
                return;
            }
            ++result.lines;
            result.matches += after - k;
            k = after;
        }
    }

    int fd_;
    bool regular_, probe_first_, walked_, text_mode_, binary_mode_;
    size_t block_size_, block_;
    LineFormat format_;
    std::vector<char> buffer_;
    size_t begin_ = 0, end_ = 0; // the text not yet dealt with
    bool first_ = true, at_end_ = false, binary_ = false;
    uint64_t lines_ = 0;
};

// ---- The Python object ------------------------------------------------------

struct SearcherObject {
    PyObject_HEAD Searcher* searcher;
    FileStream* stream; // the file being read, if any
};

bool string_argument(PyObject* object, std::string& out)
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

int searcher_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {
        "mode",   "pattern",   "separator",      "case_insensitive", "special_char_insensitive",
        "metric", "threshold", "threshold_kind", "strategies",       "positions",
        nullptr};
    int mode = 0, case_insensitive = 0, special_char_insensitive = 0, threshold_kind = 1, positions = 1;
    PyObject *pattern, *separator, *metric, *strategies;
    double threshold = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iUUppUdiO!|p", const_cast<char**>(keywords), &mode, &pattern,
                                     &separator, &case_insensitive, &special_char_insensitive, &metric, &threshold,
                                     &threshold_kind, &PyList_Type, &strategies, &positions))
        return -1;
    if (mode < 0 || mode > 3 || threshold_kind < 0 || threshold_kind > 255) {
        PyErr_SetString(PyExc_ValueError, "mode or threshold kind out of range");
        return -1;
    }
    std::string pattern_text, separator_text, metric_text;
    std::vector<std::string> names;
    if (!string_argument(pattern, pattern_text) || !string_argument(separator, separator_text) ||
        !string_argument(metric, metric_text))
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(strategies); ++i) {
        PyObject* item = PyList_GET_ITEM(strategies, i);
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "strategies must be strings");
            return -1;
        }
        names.emplace_back();
        if (!string_argument(item, names.back())) return -1;
    }
    try {
        auto* created = new Searcher(static_cast<Mode>(mode), std::move(pattern_text), std::move(separator_text),
                                     case_insensitive, special_char_insensitive, std::move(metric_text), threshold,
                                     static_cast<std::uint8_t>(threshold_kind), std::move(names));
        created->want_positions(positions != 0);
        auto* object = reinterpret_cast<SearcherObject*>(self);
        delete object->searcher;
        object->searcher = created;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
        return -1;
    }
    return 0;
}

void searcher_dealloc(PyObject* self)
{
    delete reinterpret_cast<SearcherObject*>(self)->stream;
    delete reinterpret_cast<SearcherObject*>(self)->searcher;
    Py_TYPE(self)->tp_free(self);
}

// Runs `work` without the interpreter lock: the one barrier at which a
// failure of the native search becomes a Python exception (Ctrl-C as
// KeyboardInterrupt, memory as MemoryError, a failed system call as
// OSError, anything else as ValueError). False once it has set one.
template <typename Work> bool run_unlocked(Work&& work)
{
    enum class Failure { none, cancelled, memory, system, other } failure = Failure::none;
    int error = 0;
    std::string message;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const CallCancelled&) {
        failure = Failure::cancelled;
    } catch (const std::bad_alloc&) {
        failure = Failure::memory;
    } catch (const std::system_error& failed) {
        failure = Failure::system;
        error = failed.code().value();
    } catch (const std::exception& failed) {
        failure = Failure::other;
        try {
            message = failed.what();
        } catch (const std::bad_alloc&) {
            failure = Failure::memory;
        }
    }
    Py_END_ALLOW_THREADS;
    switch (failure) {
    case Failure::none: return true;
    case Failure::cancelled: PyErr_SetNone(PyExc_KeyboardInterrupt); break;
    case Failure::memory: PyErr_NoMemory(); break;
    case Failure::system:
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        break;
    case Failure::other: PyErr_SetString(PyExc_ValueError, message.c_str()); break;
    }
    return false;
}

// Builds the list of match tuples, offsets made absolute by `base`. The
// collector stays off meanwhile: the new tuples cannot form cycles.
PyObject* found_list(const std::vector<Found>& found, size_t base)
{
    const int collector_was_enabled = PyGC_Disable();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(found.size()));
    for (size_t i = 0; list && i < found.size(); ++i) {
        const Found& f = found[i];
        const unsigned long long fields[] = {base + f.start,
                                             base + f.end,
                                             f.line,
                                             f.column,
                                             0,
                                             base + f.window_start,
                                             base + f.window_end,
                                             f.folded_start,
                                             f.folded_end,
                                             f.code_point_start,
                                             f.code_point_end,
                                             f.shown_code_point_start,
                                             f.shown_code_point_end};
        PyObject* item = PyTuple_New(13);
        bool complete = item != nullptr;
        for (Py_ssize_t k = 0; complete && k < 13; ++k) {
            PyObject* value = k == 4 ? PyFloat_FromDouble(f.score) : PyLong_FromUnsignedLongLong(fields[k]);
            complete = value != nullptr;
            if (complete) PyTuple_SET_ITEM(item, k, value);
        }
        if (!complete) {
            Py_XDECREF(item);
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    if (collector_was_enabled) PyGC_Enable();
    return list;
}

PyObject* found_to_python(const std::vector<Found>& found, size_t consumed, size_t base)
{
    PyObject* list = found_list(found, base);
    if (!list) return nullptr;
    return Py_BuildValue("(Nn)", list, static_cast<Py_ssize_t>(consumed));
}

// scan(buffer, at_end, base=0, lines=None) -> (matches, consumed), or with
// a line format (output, lines, matches, consumed, stopped). Each match is (start,
// end, line, column, score, window_start, window_end, folded_start,
// folded_end, code_point_start, code_point_end, shown_code_point_start,
// shown_code_point_end): start and end are byte offsets (buffer offsets
// plus `base`) of its span without surrounding white space, the window is
// the span as found, the folded span is the module's, and code points count
// from the file's start.
PyObject* searcher_scan(PyObject* self, PyObject* args)
{
    Py_buffer view;
    int at_end = 0;
    Py_ssize_t base = 0;
    PyObject* format_object = nullptr;
    LineFormat format;
    bool formatting = false;
    if (!PyArg_ParseTuple(args, "y*p|nO", &view, &at_end, &base, &format_object)) return nullptr;
    if (!line_format_argument(format_object, format, formatting)) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    if (base < 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "base must be 0 or more");
        return nullptr;
    }
    Searcher* searcher = reinterpret_cast<SearcherObject*>(self)->searcher;
    if (!searcher) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "the searcher was not initialised");
        return nullptr;
    }
    std::vector<Found> found;
    Formatted formatted;
    size_t consumed = 0;
    const bool done = run_unlocked([&] {
        const std::string_view text(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        consumed = searcher->scan(text, at_end != 0, found);
        if (formatting) format_lines(text, found, format, formatted);
    });
    PyBuffer_Release(&view);
    if (!done) return nullptr;
    if (formatting)
        return Py_BuildValue("(y#KKnN)", formatted.out.data(), static_cast<Py_ssize_t>(formatted.out.size()),
                             static_cast<unsigned long long>(formatted.lines),
                             static_cast<unsigned long long>(formatted.matches), static_cast<Py_ssize_t>(consumed),
                             PyBool_FromLong(formatted.stopped));
    return found_to_python(found, consumed, static_cast<size_t>(base));
}

PyObject* searcher_reset(PyObject* self, PyObject*)
{
    if (Searcher* searcher = reinterpret_cast<SearcherObject*>(self)->searcher) searcher->reset();
    Py_RETURN_NONE;
}

PyObject* searcher_streams(PyObject* self, void*)
{
    Searcher* searcher = reinterpret_cast<SearcherObject*>(self)->searcher;
    return PyBool_FromLong(searcher && searcher->streams());
}

// open(fd, regular, walked, text, binary, block, lines) -> None: starts
// reading a file (from its start) in blocks, for step().
PyObject* searcher_open(PyObject* self, PyObject* args)
{
    int fd = -1, regular = 0, walked = 0, text_mode = 0, binary_mode = 0;
    Py_ssize_t block = 0;
    PyObject* format_object = nullptr;
    LineFormat format;
    bool formatting = false;
    if (!PyArg_ParseTuple(args, "ippppnO", &fd, &regular, &walked, &text_mode, &binary_mode, &block, &format_object) ||
        !line_format_argument(format_object, format, formatting))
        return nullptr;
    auto* object = reinterpret_cast<SearcherObject*>(self);
    if (!object->searcher || !formatting || fd < 0 || block <= 0) {
        PyErr_SetString(PyExc_ValueError, "open() needs an initialised searcher, a file, a block and a line format");
        return nullptr;
    }
    delete object->stream;
    object->stream = nullptr;
    object->searcher->reset();
    object->stream = new (std::nothrow)
        FileStream(fd, regular, walked, text_mode, binary_mode, static_cast<size_t>(block), std::move(format));
    if (!object->stream) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// step() -> (output, lines, matches, bytes_read, state, binary): reads and
// searches the next block of the file opened; state is 0 while there is
// more, 1 at the end, 2 when a walk skips the file as binary, 3 when it is
// UTF-16 (which the block reader in Python converts).
PyObject* searcher_step(PyObject* self, PyObject*)
{
    auto* object = reinterpret_cast<SearcherObject*>(self);
    if (!object->searcher || !object->stream) {
        PyErr_SetString(PyExc_ValueError, "no file was opened");
        return nullptr;
    }
    Formatted formatted;
    uint64_t bytes_read = 0;
    FileStream::State state = FileStream::done;
    if (!run_unlocked([&] { state = object->stream->step(*object->searcher, formatted, bytes_read); })) return nullptr;
    return Py_BuildValue("(y#KKKiN)", formatted.out.data(), static_cast<Py_ssize_t>(formatted.out.size()),
                         static_cast<unsigned long long>(formatted.lines),
                         static_cast<unsigned long long>(formatted.matches),
                         static_cast<unsigned long long>(bytes_read), static_cast<int>(state),
                         PyBool_FromLong(object->stream->binary()));
}

PyMethodDef searcher_methods[] = {
    {"scan", searcher_scan, METH_VARARGS,
     "scan(buffer, at_end, base=0, lines=None) -> (matches, consumed): search a buffer that starts at a line "
     "start; with lines=(name, color, numbers, column, limit), (output, lines, matches, consumed, stopped)"},
    {"reset", searcher_reset, METH_NOARGS, "reset() -> None: start a new file"},
    {"open", searcher_open, METH_VARARGS,
     "open(fd, regular, walked, text, binary, block, lines) -> None: read a file in blocks with step()"},
    {"step", searcher_step, METH_NOARGS,
     "step() -> (output, lines, matches, bytes_read, state, binary): search the next block of the file opened"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef searcher_getset[] = {
    {"streams", searcher_streams, nullptr, "whether a file is searched in bounded memory", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The searcher's type, filled in field by field: a static type needs no
// reference counting of its own.
PyTypeObject make_searcher_type()
{
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = "tessarin_cli._native.Searcher";
    type.tp_basicsize = sizeof(SearcherObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Searcher(mode, pattern, separator, case_insensitive, special_char_insensitive, metric, "
                  "threshold, threshold_kind, strategies, positions=True)";
    type.tp_new = PyType_GenericNew;
    type.tp_init = searcher_init;
    type.tp_dealloc = searcher_dealloc;
    type.tp_methods = searcher_methods;
    type.tp_getset = searcher_getset;
    return type;
}

PyTypeObject searcher_type = make_searcher_type();

// ---- Many small files in one call -------------------------------------------

// What became of one file of a batch that Python must hear about.
struct FileOutcome {
    enum Kind { failed = 0, streamed = 1, searched = 2, printed = 3 };
    size_t index = 0;
    Kind kind = failed;
    int error = 0;       // failed: the errno
    bool binary = false; // searched: a NUL byte was seen
    std::string text;    // searched, with matches: the file without its byte-order mark
    std::vector<Found> found;
    Formatted formatted; // printed: the lines, as the line format wants them
};

// A thread's reading buffer, kept between files: a fresh one per file would
// be paid for in page faults, and it is never cleared, as every byte used
// is read first.
struct ReadBuffer {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;

    // Room for `wanted` bytes, keeping the first `kept`.
    void reserve(size_t wanted, size_t kept)
    {
        if (wanted <= capacity) return;
        std::unique_ptr<char[]> larger(new char[wanted]);
        if (kept) std::memcpy(larger.get(), bytes.get(), kept);
        bytes = std::move(larger);
        capacity = wanted;
    }
};

// Reads and searches one file whole, as the block reader would: only a
// regular file below `limit` bytes; the rest goes back to the block reader.
// A NUL byte in its first read makes a file binary (and skips it in a walk),
// as a NUL byte anywhere makes it binary. Returns the bytes read, as the
// block reader would count them.
size_t search_small_file(const char* path, bool walked, bool text_mode, bool binary_mode, size_t limit,
                         const std::vector<Searcher*>& searchers, ReadBuffer& buffer, FileOutcome& outcome)
{
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    };
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        outcome.error = errno;
        return 0;
    }
    Closer closer{fd};
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        outcome.error = errno;
        return 0;
    }
    if (S_ISDIR(info.st_mode)) {
        outcome.error = EISDIR;
        return 0;
    }
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) >= limit) {
        outcome.kind = FileOutcome::streamed;
        return 0;
    }
    // In a walk, binary files are skipped: their start tells, so only that
    // is read first. Otherwise the file is read at once.
    const bool probe_first = walked && !text_mode && !binary_mode;
    const size_t first_read = probe_first ? binary_probe : static_cast<size_t>(info.st_size) + 1;
    buffer.reserve(std::max(first_read, static_cast<size_t>(info.st_size) + 1), 0);
    size_t filled = 0, asked = first_read;
    bool probed = false;
    for (;;) {
        if (filled == asked) {
            if (!probed) {
                // The first read is in: is it binary or UTF-16?
                probed = true;
                if (is_utf16(std::string_view(buffer.bytes.get(), filled))) {
                    outcome.kind = FileOutcome::streamed;
                    return 0;
                }
                const std::string_view first(buffer.bytes.get(), filled);
                const std::string_view start = first.substr(byte_order_mark(first)).substr(0, binary_probe);
                if (!text_mode && start.find('\0') != std::string_view::npos) {
                    if (walked && !binary_mode) {
                        outcome.kind = FileOutcome::searched; // skipped: nothing found
                        return filled;
                    }
                    outcome.binary = true;
                }
            }
            // Read on to the end, which a read of nothing shows; a file
            // that grew to the limit goes back to the block reader.
            asked = std::max(asked, static_cast<size_t>(info.st_size) + 1);
            if (filled == asked) asked = std::min(limit, 2 * asked);
            if (filled >= limit) {
                outcome.kind = FileOutcome::streamed;
                outcome.binary = false;
                return 0;
            }
            buffer.reserve(asked, filled);
        }
        const ssize_t got = ::read(fd, buffer.bytes.get() + filled, asked - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            outcome.error = errno;
            outcome.binary = false;
            return 0;
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    const std::string_view data(buffer.bytes.get(), filled);
    if (!probed) {
        if (is_utf16(data)) {
            outcome.kind = FileOutcome::streamed;
            return 0;
        }
        if (!text_mode &&
            data.substr(byte_order_mark(data)).substr(0, binary_probe).find('\0') != std::string_view::npos) {
            if (walked && !binary_mode) {
                outcome.kind = FileOutcome::searched;
                return filled;
            }
            outcome.binary = true;
        }
    }
    const std::string_view body = data.substr(byte_order_mark(data));
    if (!text_mode && !outcome.binary && body.find('\0') != std::string_view::npos) outcome.binary = true;
    outcome.kind = FileOutcome::searched;
    for (Searcher* searcher : searchers) {
        searcher->reset();
        searcher->scan(body, true, outcome.found);
    }
    if (!outcome.found.empty()) outcome.text.assign(body);
    return filled;
}

// search_files(searchers, paths, walked, text, binary, limit, report_all,
// lines=None, names=None) -> (outcomes, bytes_read, searched): the first
// `searched` files were dealt with (all unless what they left to print grew
// past a few MiB). Reads and searches each file below `limit`
// bytes with the interpreter lock released, so that Python hears only of
// files with matches (or, with report_all, of every file searched), of
// failures, and of files to read in blocks. An outcome is (index, 0, errno),
// (index, 1), (index, 2, binary, text, matches) or, with a line format and
// one searcher, for a text file (index, 3, output, lines, matches), each
// line led by the file's name from `names` when given.
PyObject* search_files(PyObject*, PyObject* args)
{
    PyObject *searcher_list, *path_list, *walked_list, *format_object = nullptr, *name_list = nullptr;
    int text_mode = 0, binary_mode = 0, report_all = 0;
    Py_ssize_t limit = 0;
    LineFormat format;
    bool formatting = false;
    if (!PyArg_ParseTuple(args, "O!O!O!ppnp|OO", &PyList_Type, &searcher_list, &PyList_Type, &path_list, &PyList_Type,
                          &walked_list, &text_mode, &binary_mode, &limit, &report_all, &format_object, &name_list) ||
        !line_format_argument(format_object, format, formatting))
        return nullptr;
    if (name_list == Py_None) name_list = nullptr;
    if (name_list && !PyList_Check(name_list)) {
        PyErr_SetString(PyExc_TypeError, "names must be a list of bytes");
        return nullptr;
    }
    const Py_ssize_t count = PyList_GET_SIZE(path_list);
    if (PyList_GET_SIZE(walked_list) != count || (name_list && PyList_GET_SIZE(name_list) != count) || limit < 0) {
        PyErr_SetString(PyExc_ValueError, "one walked flag (and name) per path, and a limit of 0 or more");
        return nullptr;
    }
    // The names that lead each file's lines, when they are shown, as
    // Python would print them (bytes that are not UTF-8 kept as they are).
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; name_list && i < count; ++i) {
        PyObject* encoded = PyUnicode_AsEncodedString(PyList_GET_ITEM(name_list, i), "utf-8", "surrogateescape");
        if (!encoded) return nullptr;
        names.emplace_back(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
    }
    std::vector<Searcher*> searchers;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(searcher_list); ++i) {
        PyObject* item = PyList_GET_ITEM(searcher_list, i);
        if (!PyObject_TypeCheck(item, &searcher_type) || !reinterpret_cast<SearcherObject*>(item)->searcher) {
            PyErr_SetString(PyExc_TypeError, "searchers must be initialised Searcher objects");
            return nullptr;
        }
        searchers.push_back(reinterpret_cast<SearcherObject*>(item)->searcher);
    }
    std::vector<std::string> paths;
    std::vector<bool> walked;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* encoded = PyUnicode_EncodeFSDefault(PyList_GET_ITEM(path_list, i));
        if (!encoded) return nullptr;
        paths.emplace_back(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
        if (paths.back().find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte in a path");
            return nullptr;
        }
        const int flag = PyObject_IsTrue(PyList_GET_ITEM(walked_list, i));
        if (flag < 0) return nullptr;
        walked.push_back(flag != 0);
    }

    std::vector<FileOutcome> outcomes;
    size_t searched = paths.size();
    constexpr size_t kept_limit = 1 << 20;
    uint64_t bytes_read = 0;
    const bool done = run_unlocked([&] {
        static thread_local ReadBuffer buffer;
        size_t kept = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (stop_requested.load(std::memory_order_relaxed)) throw CallCancelled();
            FileOutcome outcome;
            outcome.index = i;
            bytes_read += search_small_file(paths[i].c_str(), walked[i], text_mode, binary_mode,
                                            static_cast<size_t>(limit), searchers, buffer, outcome);
            if (outcome.kind == FileOutcome::searched && outcome.found.empty() && !report_all) continue;
            // One pattern's matches of a text file are printed here; the
            // rest is Python's to print.
            if (formatting && searchers.size() == 1 && outcome.kind == FileOutcome::searched && !outcome.binary &&
                !outcome.found.empty()) {
                if (!names.empty()) {
                    format.name.clear();
                    if (format.color) format.name += path_color;
                    format.name += names[i];
                    if (format.color) format.name += reset_color;
                    format.name += ':';
                }
                format_lines(outcome.text, outcome.found, format, outcome.formatted);
                outcome.kind = FileOutcome::printed;
                outcome.text.clear();
                outcome.found.clear();
            }
            kept += outcome.text.size() + outcome.formatted.out.size() + outcome.found.size() * sizeof(Found);
            outcomes.push_back(std::move(outcome));
            // What waits for Python stays a few blocks, however many big
            // files match: the files after this one come in the next call.
            if (kept > kept_limit) {
                searched = i + 1;
                break;
            }
        }
    });
    if (!done) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(outcomes.size()));
    for (size_t i = 0; list && i < outcomes.size(); ++i) {
        const FileOutcome& outcome = outcomes[i];
        PyObject* item = nullptr;
        const auto index = static_cast<Py_ssize_t>(outcome.index);
        switch (outcome.kind) {
        case FileOutcome::failed: item = Py_BuildValue("(nii)", index, 0, outcome.error); break;
        case FileOutcome::streamed: item = Py_BuildValue("(ni)", index, 1); break;
        case FileOutcome::printed:
            item = Py_BuildValue("(niy#KK)", index, 3, outcome.formatted.out.data(),
                                 static_cast<Py_ssize_t>(outcome.formatted.out.size()),
                                 static_cast<unsigned long long>(outcome.formatted.lines),
                                 static_cast<unsigned long long>(outcome.formatted.matches));
            break;
        case FileOutcome::searched: {
            PyObject* matches = found_list(outcome.found, 0);
            if (matches)
                item = Py_BuildValue("(niNy#N)", index, 2, PyBool_FromLong(outcome.binary), outcome.text.data(),
                                     static_cast<Py_ssize_t>(outcome.text.size()), matches);
            break;
        }
        }
        if (!item) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    if (!list) return nullptr;
    return Py_BuildValue("(NKn)", list, static_cast<unsigned long long>(bytes_read), static_cast<Py_ssize_t>(searched));
}

PyObject* cancel(PyObject*, PyObject*)
{
    stop_requested.store(true);
    Py_RETURN_NONE;
}

PyObject* resume(PyObject*, PyObject*)
{
    stop_requested.store(false);
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"cancel", cancel, METH_NOARGS, "cancel() -> None: end every running search soon"},
    {"resume", resume, METH_NOARGS, "resume() -> None: let searches run again"},
    {"search_files", search_files, METH_VARARGS,
     "search_files(searchers, paths, walked, text, binary, limit, report_all, lines=None, names=None) -> (outcomes, "
     "bytes_read, searched): search small files whole with the interpreter lock released"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessarin_cli._native",
    "The tessarin command's native search of bytes.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tessarin::cli

PyMODINIT_FUNC PyInit__native(void)
{
    using namespace tessarin::cli;
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    if (PyType_Ready(&searcher_type) < 0 ||
        PyModule_AddObjectRef(module, "Searcher", reinterpret_cast<PyObject*>(&searcher_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
