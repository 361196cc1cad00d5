#include "stream/stream.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "iterator/tokens.hpp"
#include "text/ascii_vector.hpp"
#include "text/unicode.hpp"

namespace tessarin {
namespace {

constexpr std::uint64_t none = static_cast<std::uint64_t>(-1);

// The longest window of a raw search, in code points: the pattern's length
// and, for a normalized threshold, up to 127 more.
std::uint64_t longest_window(SearchMode mode, std::uint64_t pattern_length)
{
    return mode == SearchMode::fuzzy_raw ? pattern_length + 128 : pattern_length;
}

// A code point after which the text may be cut: ASCII, so that decoding
// either side alone reads the same code points, and, where case folding
// applies, one that the final-sigma rule cannot see past.
bool is_cut_unit(char32_t c, bool case_insensitive) noexcept
{
    return c < 0x80 && (!case_insensitive || unicode::case_class(c) == unicode::CaseClass::other);
}

// Where lower-casing lengthens a code point of `raw` (İ becomes i and a
// combining dot): its index and its folded length.
template <typename Char> std::vector<std::pair<std::uint64_t, std::uint64_t>> lengthened(Units<Char> raw)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    if (sizeof(Char) == 1) return found; // no code point below 256 lengthens
    char32_t form[unicode::longest_lower_form];
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char32_t c = code_point(raw[i]);
        if (c < 0x100 || c >= unicode::lower_changes_limit) continue;
        const unicode::data::Record& record = unicode::case_record(c);
        if (record.expansion == 0) continue;
        const unsigned length = unicode::lower_full(c, record, form);
        if (length > 1) found.emplace_back(i, length);
    }
    return found;
}

// The folded index of raw index `raw`, given where the text lengthens.
std::uint64_t folded_index(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lengthened, std::uint64_t raw)
{
    std::uint64_t index = raw;
    for (const auto& [at, length] : lengthened) {
        if (at >= raw) break;
        index += length - 1;
    }
    return index;
}

// Hands the candidates that start before the cut to the stream's solver, or
// to its list of matches where there is no solver (exact token windows),
// with their isolated-character counts, read in the folded text that the
// extractor shows, where the strategies need them.
class SegmentSink final : public CandidateSink {
public:
    SegmentSink(std::uint64_t limit, std::uint64_t base, ConflictSolver* solver, MatchList& found)
        : limit_(limit), base_(base), solver_(solver), found_(found),
          counts_(solver && solver->counts_isolated_characters())
    {
    }

    void see_text(const UnitText& folded) override { folded_ = UnitText::borrowed_as(folded); }

    void add(const Match& candidate) override
    {
        if (candidate.start >= limit_) return;
        const Match placed{candidate.start + base_, candidate.end + base_, candidate.score};
        if (!solver_)
            found_.push_back(placed);
        else if (counts_)
            solver_->add(placed, folded_.visit([&](auto text) {
                return ConflictSolver::isolated_characters(text, candidate);
            }));
        else
            solver_->add(placed);
    }

private:
    UnitText folded_;
    std::uint64_t limit_, base_;
    ConflictSolver* solver_;
    MatchList& found_;
    bool counts_;
};

// Where a segment of token windows may be cut: right after an occurrence of
// the separator that no other occurrence overlaps (the tokenizer starts
// afresh there), after a code point that allows a cut, with every token of
// every window that starts before it recorded within the segment (ended by
// an occurrence that lies wholly inside it). The latest such place, as a
// code point of the raw segment; `none` if there is none.
template <typename Char>
std::uint64_t token_cut(Units<Char> raw, Units<Char> folded,
                        const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lengthened,
                        const std::u32string& separator, std::uint64_t window_tokens, bool case_insensitive,
                        Cancellation& cancel)
{
    std::basic_string<Char> cut_at;
    if (window_tokens == 0 || separator.empty() || !narrow_units(separator, cut_at)) return none;
    std::vector<std::uint64_t> occurrences;
    OccurrenceFinder<Char> finder(folded, Units<Char>(cut_at), AsciiFold{}, &cancel);
    for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next())
        occurrences.push_back(at);
    if (occurrences.empty()) return none;
    const std::vector<Token> tokens = Tokenizer<Char>(folded, Units<Char>(cut_at), 1, &cancel).tokens();
    // Tokens that end at an occurrence inside the segment are recorded as
    // within the whole text; the last, which runs to the segment's end, is not.
    const std::uint64_t settled = static_cast<std::uint64_t>(
        std::upper_bound(tokens.begin(), tokens.end(), occurrences.back(),
                         [](std::uint64_t at, const Token& token) { return at < token.end; }) -
        tokens.begin());
    const std::uint64_t width = cut_at.size();
    for (std::size_t i = occurrences.size(); i-- > 0;) {
        const std::uint64_t cut = occurrences[i] + width;
        // An occurrence that overlaps the cut ends before cut + width: the
        // segment must reach that far for it to be seen.
        if (cut + width > folded.size()) continue;
        if (i + 1 < occurrences.size() && occurrences[i + 1] < cut) continue; // overlapped
        // The windows starting before the cut begin at the tokens before it.
        const auto before = static_cast<std::uint64_t>(
            std::lower_bound(tokens.begin(), tokens.end(), cut,
                             [](const Token& token, std::uint64_t at) { return token.start < at; }) -
            tokens.begin());
        if (before > 0 && before + window_tokens - 1 > settled) continue;
        // Back to a raw code point, which must not lie inside a lengthened form.
        bool inside = false;
        std::uint64_t shift = 0;
        for (const auto& [at, length] : lengthened) {
            const std::uint64_t folded_at = at + shift;
            if (folded_at >= cut) break;
            if (cut < folded_at + length) {
                inside = true;
                break;
            }
            shift += length - 1;
        }
        const std::uint64_t raw_cut = cut - shift;
        if (inside || raw_cut == 0 || !is_cut_unit(code_point(raw[raw_cut - 1]), case_insensitive)) continue;
        return raw_cut;
    }
    return none;
}

} // namespace

StreamSearch::StreamSearch(const StreamQuery& query, std::size_t segment_bytes)
    : mode_(query.mode), options_(query.options), folded_options_(query.options),
      case_insensitive_(query.options.case_insensitive),
      special_char_insensitive_(query.options.special_char_insensitive), segment_bytes_(segment_bytes),
      solver_(query.options.strategies)
{
    Cancellation never;
    pattern_ = fold_code_points(TextInput(query.pattern), case_insensitive_, special_char_insensitive_, never);
    separator_ = fold_code_points(TextInput(query.separator), case_insensitive_, special_char_insensitive_, never);
    // Segments of token windows are folded here; the extractor sees them as they are.
    folded_options_.case_insensitive = folded_options_.special_char_insensitive = false;
    lookahead_ = longest_window(mode_, pattern_.size());
    if (mode_ == SearchMode::exact_token || mode_ == SearchMode::fuzzy_token)
        window_tokens_ = pattern_token_count(pattern_, separator_);
    margin_bytes_ = 4 * lookahead_ + 16 + segment_bytes_ / 8;
}

void StreamSearch::feed(std::string_view bytes, Cancellation& cancel)
{
    buffer_.append(bytes);
    while (bytes_fed() - cut_byte_ >= segment_bytes_ + margin_bytes_ && search_segment(false, cancel) == Step::searched) {
    }
}

void StreamSearch::finish(Cancellation& cancel)
{
    while (search_segment(true, cancel) != Step::done) {
    }
}

std::vector<StreamMatch> StreamSearch::take()
{
    return std::exchange(ready_, std::vector<StreamMatch>());
}

// The end of the next segment, a byte after which the text may be cut, at
// least a segment and a margin after the last cut; the end of the text where
// it is complete and comes first. `none` where more bytes are needed.
std::uint64_t StreamSearch::segment_end(bool final) const
{
    const std::uint64_t end = bytes_fed(), wanted = cut_byte_ + segment_bytes_ + margin_bytes_;
    if (wanted >= end) return final ? end : none;
    for (std::uint64_t at = wanted; at < end; ++at)
        if (is_cut_unit(static_cast<unsigned char>(buffer_[at - buffer_base_]), case_insensitive_)) return at + 1;
    return final ? end : none;
}

StreamSearch::Step StreamSearch::search_segment(bool final, Cancellation& cancel)
{
    const std::uint64_t end = segment_end(final);
    if (end == none) return Step::needs_more;
    if (end == cut_byte_) {
        // Nothing after the last cut: the text is complete.
        if (mode_ != SearchMode::exact_token) locate(solver_.finish());
        trim_buffer();
        return Step::done;
    }
    const bool to_end = final && end == bytes_fed();
    const std::string_view bytes(buffer_.data() + (cut_byte_ - buffer_base_), end - cut_byte_);
    // ASCII bytes are their own code points: read where they lie.
    const UnitText units = is_ascii(bytes, cancel) ? UnitText::borrowed(bytes, true) : decode_to_units(bytes, cancel);
    const bool raw_windows = mode_ == SearchMode::exact_raw || mode_ == SearchMode::fuzzy_raw;
    MatchList found; // exact token windows, which need no solving

    // The cut, in code points of the segment; `none` where the segment must grow.
    const std::uint64_t cut = units.visit([&](auto raw) -> std::uint64_t {
        using Char = typename decltype(raw)::value_type;
        const auto longer =
            case_insensitive_ ? lengthened(raw) : std::vector<std::pair<std::uint64_t, std::uint64_t>>();
        // Token windows are cut where the folded separator occurs, so the
        // segment is folded here and the extractor sees it folded; raw
        // windows are cut by the raw text, and the extractor folds it.
        FoldedUnits<Char> folded;
        if (!raw_windows) folded = fold_units(raw, case_insensitive_, special_char_insensitive_, cancel);

        std::uint64_t cut = to_end ? raw.size() : none;
        if (to_end) {
        } else if (raw_windows) {
            // The last place after a line feed, else after any code point
            // that allows a cut, with room for the longest window after it.
            if (raw.size() > lookahead_) {
                const std::uint64_t highest = raw.size() - lookahead_;
                for (std::uint64_t p = highest; p > 0 && cut == none; --p)
                    if (raw[p - 1] == Char('\n')) cut = p;
                for (std::uint64_t p = highest; p > 0 && cut == none; --p)
                    if (is_cut_unit(code_point(raw[p - 1]), case_insensitive_)) cut = p;
            }
        } else {
            cut = token_cut(raw, folded.view(), longer, separator_, window_tokens_, case_insensitive_, cancel);
        }
        if (cut == none) return none;

        const std::uint64_t folded_cut = folded_index(longer, cut);
        SegmentSink sink(to_end ? none : folded_cut, cut_folded_,
                         mode_ == SearchMode::exact_token ? nullptr : &solver_, found);
        if (raw_windows)
            find_candidates(mode_, units, pattern_, separator_, options_, sink, cancel);
        else
            find_candidates(mode_, UnitText::borrowed(folded.view()), pattern_, separator_, folded_options_, sink,
                            cancel);
        for (const auto& [at, length] : longer)
            if (at < cut)
                expansions_.push_back(Expansion{cut_folded_ + folded_index(longer, at), cut_original_ + at, length});
        cut_folded_ += folded_cut;
        cut_original_ += cut;
        return cut;
    });
    if (cut == none) {
        margin_bytes_ *= 2;
        return Step::needs_more;
    }
    // The cut's byte: its code points read again from the segment's start.
    std::size_t pos = 0;
    for (std::uint64_t read = 0; read < cut;) {
        const std::size_t ascii_end = detail::next_non_ascii(bytes.data(), bytes.size(), pos);
        const std::uint64_t run = std::min<std::uint64_t>(ascii_end - pos, cut - read);
        pos += run;
        read += run;
        if (read < cut) {
            utf8::decode_replacing(bytes, pos);
            ++read;
        }
    }
    cut_byte_ += pos;
    if (mode_ == SearchMode::exact_token)
        locate(found);
    else
        locate(to_end ? solver_.finish() : solver_.take_picks());
    trim_buffer();
    return to_end ? Step::done : Step::searched;
}

// The code point of the text where the folded position `folded` lies: a
// start inside what one code point became takes that code point, and so
// does an end that cuts into it.
std::uint64_t StreamSearch::original_of(std::uint64_t folded, bool is_end) const noexcept
{
    const auto after = std::upper_bound(expansions_.begin(), expansions_.end(), folded,
                                        [](std::uint64_t at, const Expansion& e) { return at < e.folded; });
    if (after == expansions_.begin()) return folded - pruned_shift_;
    const Expansion& e = *std::prev(after);
    const std::uint64_t inside = folded - e.folded;
    if (inside < e.length) return e.original + (is_end && inside > 0 ? 1 : 0);
    return folded - (e.folded - e.original + e.length - 1);
}

// Moves the cursor forward to the code point `original`, counting lines.
void StreamSearch::move(Cursor& cursor, std::uint64_t original) const
{
    const char* data = buffer_.data();
    const std::size_t size = buffer_.size();
    std::size_t pos = cursor.byte - buffer_base_;
    while (cursor.original < original && pos < size) {
        const std::size_t ascii_end = detail::next_non_ascii(data, size, pos);
        const auto run = static_cast<std::size_t>(std::min<std::uint64_t>(ascii_end - pos, original - cursor.original));
        const char* const run_end = data + pos + run;
        for (const char* feed = static_cast<const char*>(std::memchr(data + pos, '\n', run)); feed;
             feed = static_cast<const char*>(std::memchr(feed + 1, '\n', static_cast<std::size_t>(run_end - feed - 1)))) {
            ++cursor.line;
            cursor.line_start = buffer_base_ + static_cast<std::uint64_t>(feed - data) + 1;
        }
        pos += run;
        cursor.original += run;
        if (cursor.original < original && pos < size) {
            utf8::decode_replacing(std::string_view(data, size), pos);
            ++cursor.original;
        }
    }
    cursor.byte = buffer_base_ + pos;
}

void StreamSearch::locate(const MatchList& picks)
{
    for (const Match& pick : picks) {
        StreamMatch located{pick.start, pick.end, pick.score, original_of(pick.start, false),
                            original_of(pick.end, true), 0, 0, 0, 0};
        move(starts_, located.original_start);
        located.byte_start = starts_.byte;
        located.line = starts_.line;
        located.line_start = starts_.line_start;
        move(ends_, located.original_end);
        located.byte_end = ends_.byte;
        ready_.push_back(located);
    }
}

// Drops the bytes that neither the search, nor a match to come, nor the
// caller needs: the cursor first moves to where the next match can start at
// the earliest (the open group's first candidate, else the last cut).
void StreamSearch::trim_buffer()
{
    std::uint64_t earliest = cut_folded_;
    if (const std::optional<std::uint64_t> open = solver_.open_group_start()) earliest = std::min(earliest, *open);
    while (!expansions_.empty() && expansions_.front().folded + expansions_.front().length <= earliest) {
        const Expansion& e = expansions_.front();
        pruned_shift_ = e.folded - e.original + e.length - 1;
        expansions_.pop_front();
    }
    const std::uint64_t next_start = original_of(earliest, false);
    move(starts_, next_start);
    move(ends_, next_start);
    const std::uint64_t keep = std::min({starts_.line_start, ends_.byte, keep_from_, cut_byte_});
    if (keep > buffer_base_ && keep - buffer_base_ >= buffer_.size() / 2) {
        buffer_.erase(0, keep - buffer_base_);
        buffer_base_ = keep;
    }
}

} // namespace tessarin
