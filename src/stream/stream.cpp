#include "stream/stream.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "iterator/tokens.hpp"
#include "text/ascii_vector.hpp"
#include "text/positions.hpp"
#include "text/unicode.hpp"

namespace tessarin {
namespace {

constexpr std::uint64_t none = static_cast<std::uint64_t>(-1);

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
            solver_->add(
                placed, folded_.visit([&](auto text) { return ConflictSolver::isolated_characters(text, candidate); }));
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
std::uint64_t
token_cut(Units<Char> raw, Units<Char> folded, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lengthened,
          const std::u32string& separator, std::uint64_t window_tokens, bool case_insensitive, Cancellation& cancel)
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

// The units of `units` without each CR that a line feed follows, as the
// text reads with CR LF taken for a line feed; `drops` gets, for each CR
// left out, the index of its line feed in what is left.
UnitText without_paired_carriage_returns(const UnitText& units, std::vector<std::uint64_t>& drops)
{
    return units.visit([&](auto view) {
        using Char = typename decltype(view)::value_type;
        std::basic_string<Char> kept;
        kept.reserve(view.size());
        for (std::size_t i = 0; i < view.size(); ++i) {
            if (view[i] == Char('\r') && i + 1 < view.size() && view[i + 1] == Char('\n')) {
                drops.push_back(kept.size());
                continue;
            }
            kept.push_back(view[i]);
        }
        if constexpr (sizeof(Char) == 1)
            return UnitText::owned(std::move(kept), units.ascii());
        else
            return UnitText::owned(std::move(kept));
    });
}

// The units of `units` with every maximal run of white space read as one
// space.
UnitText with_white_space_collapsed(const UnitText& units)
{
    return units.visit([&](auto view) {
        using Char = typename decltype(view)::value_type;
        PositionMap runs; // the stream locates matches by walking the bytes instead
        std::basic_string<Char> collapsed = collapse_white_space(view, runs);
        if constexpr (sizeof(Char) == 1)
            return UnitText::owned(std::move(collapsed), units.ascii());
        else
            return UnitText::owned(std::move(collapsed));
    });
}

bool is_ascii_white_space(unsigned char byte) noexcept
{
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

// Where unit `index` of `bytes` read with every run of white space as one
// unit starts: its byte, and the code points of `bytes` before it. A run
// before it is read whole.
std::pair<std::size_t, std::uint64_t> collapsed_unit_place(std::string_view bytes, std::uint64_t index)
{
    std::size_t pos = 0;
    std::uint64_t file = 0;
    for (std::uint64_t read = 0; read < index && pos < bytes.size(); ++read) {
        ++file;
        if (!is_white_space(utf8::decode_replacing(bytes, pos))) continue;
        for (std::size_t next = pos; next < bytes.size() && is_white_space(utf8::decode_replacing(bytes, next));
             pos = next)
            ++file;
    }
    return {pos, file};
}

// The UTF-8 length of each code point, summed.
template <typename Char> std::uint64_t utf8_length(Units<Char> units) noexcept
{
    std::uint64_t total = units.size();
    for (const Char unit : units) {
        const char32_t c = code_point(unit);
        total += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    return total;
}

// Where unit `index` of `units`, the decoding of `bytes` (less the CRs of
// `drops`), starts in `bytes`; a line feed read for CR LF starts at its CR.
std::size_t byte_of_unit(std::string_view bytes, const UnitText& units, std::uint64_t index,
                         const std::vector<std::uint64_t>& drops)
{
    const auto dropped =
        static_cast<std::uint64_t>(std::lower_bound(drops.begin(), drops.end(), index) - drops.begin());
    if (units.ascii()) return static_cast<std::size_t>(index + dropped);
    // Every unit is as long as its code point's UTF-8 form, unless it
    // stands for an ill-formed part (read as U+FFFD, at most as long as
    // that): the lengths then add up to the bytes exactly.
    const auto [before, after] = units.visit([&](auto view) {
        return std::pair{utf8_length(view.substr(0, index)), utf8_length(view.substr(index))};
    });
    if (before + after + drops.size() == bytes.size()) return static_cast<std::size_t>(before + dropped);
    std::size_t pos = 0;
    for (std::uint64_t read = 0, next_drop = 0; read < index; ++read) {
        if (next_drop < drops.size() && drops[next_drop] == read) {
            pos += 2;
            ++next_drop;
        } else {
            utf8::decode_replacing(bytes, pos);
        }
    }
    return pos;
}

// How many CR LF pairs ASCII bytes hold.
std::uint64_t paired_carriage_returns(std::string_view ascii) noexcept
{
    std::uint64_t pairs = 0;
    if (ascii.empty()) return pairs; // its pointer may be null, which memchr must not get
    for (const char* cr = static_cast<const char*>(std::memchr(ascii.data(), '\r', ascii.size())); cr;) {
        const char* end = ascii.data() + ascii.size();
        if (cr + 1 < end && cr[1] == '\n') ++pairs;
        cr = cr + 1 < end ? static_cast<const char*>(std::memchr(cr + 1, '\r', static_cast<std::size_t>(end - cr - 1)))
                          : nullptr;
    }
    return pairs;
}

// What some bytes of the text hold: code points of the text itself (`file`),
// of the text as searched (`units`, a CR LF read as one where asked), and
// how many more code points folding makes of them (`longer`).
struct Counted {
    std::uint64_t units = 0, file = 0, longer = 0;
};

Counted count_code_points(std::string_view bytes, bool crlf, bool case_insensitive)
{
    Counted counted;
    char32_t form[unicode::longest_lower_form];
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t ascii_end = detail::next_non_ascii(bytes.data(), bytes.size(), pos);
        if (ascii_end > pos) {
            counted.file += ascii_end - pos;
            counted.units += ascii_end - pos - (crlf ? paired_carriage_returns(bytes.substr(pos, ascii_end - pos)) : 0);
            pos = ascii_end;
            continue;
        }
        const char32_t c = utf8::decode_replacing(bytes, pos);
        ++counted.file;
        ++counted.units;
        if (case_insensitive && c >= 0x100 && c < unicode::lower_changes_limit) {
            const unicode::data::Record& record = unicode::case_record(c);
            if (record.expansion != 0) counted.longer += unicode::lower_full(c, record, form) - 1;
        }
    }
    return counted;
}

std::uint64_t units_in(std::string_view bytes, bool crlf)
{
    return count_code_points(bytes, crlf, false).units;
}

} // namespace

void StreamBuffer::append(std::string_view bytes)
{
    if (bytes.empty()) return;
    std::memcpy(tail(bytes.size()), bytes.data(), bytes.size());
    commit(bytes.size());
}

char* StreamBuffer::tail(std::size_t room)
{
    if (capacity_ - size_ < room) {
        const std::size_t wanted = std::max(size_ + room, 2 * capacity_);
        std::unique_ptr<char[]> larger(new char[wanted]);
        if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_);
        data_ = std::move(larger);
        capacity_ = wanted;
    }
    return data_.get() + size_;
}

void StreamBuffer::forget_front(std::size_t count) noexcept
{
    count = std::min(count, size_);
    if (count == 0) return;
    std::memmove(data_.get(), data_.get() + count, size_ - count);
    size_ -= count;
}

void StreamBuffer::release_before(std::uint64_t position) noexcept
{
    if (position <= from_) return;
    const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(position - from_, size_));
    // Moving what is left costs no more than the bytes released once half go.
    if (drop == 0 || drop < size_ / 2) return;
    std::memmove(data_.get(), data_.get() + drop, size_ - drop);
    size_ -= drop;
    from_ += drop;
}

PreparedQuery::PreparedQuery(StreamQuery query) : query_(std::move(query))
{
    Cancellation never;
    const SearchOptions& options = query_.options;
    const std::string pattern =
        query_.collapse_white_space ? collapse_white_space(query_.pattern) : std::string(query_.pattern);
    pattern_ = fold_code_points(TextInput(pattern), options.case_insensitive, options.special_char_insensitive, never);
    separator_ = fold_code_points(TextInput(query_.separator), options.case_insensitive,
                                  options.special_char_insensitive, never);
    lookahead_ = longest_raw_window(query_.mode, pattern_.size(), options);
    if (query_.mode == SearchMode::exact_token || query_.mode == SearchMode::fuzzy_token)
        window_tokens_ = pattern_token_count(pattern_, separator_);
    const std::vector<std::u32string> pieces = literal_pieces(query_.mode, pattern_, options);
    // U+FFFD is also what ill-formed bytes read as: no byte sequence tells it.
    const bool replacement = std::any_of(pieces.begin(), pieces.end(),
                                         [](const std::u32string& piece) { return piece.find(0xFFFD) != piece.npos; });
    // Reading runs of white space as one space changes how far a window
    // reaches in bytes: the places worth searching are not looked for then.
    if (!pieces.empty() && !replacement && !query_.collapse_white_space)
        finder_.emplace(pieces, options.case_insensitive, options.special_char_insensitive, query_.crlf_line_feeds);
}

StreamSearch::StreamSearch(const PreparedQuery& query, std::size_t segment_bytes)
    : queries_{&query}, query_(query.query_), mode_(query_.mode), folded_options_(query_.options),
      case_insensitive_(query_.options.case_insensitive),
      special_char_insensitive_(query_.options.special_char_insensitive),
      crlf_(query_.crlf_line_feeds && !query_.collapse_white_space), collapse_(query_.collapse_white_space),
      segment_bytes_(segment_bytes)
{
    init();
}

StreamSearch::StreamSearch(const std::vector<PreparedQuery>& queries, std::size_t segment_bytes)
    : query_(queries.at(0).query_), mode_(query_.mode), folded_options_(query_.options),
      case_insensitive_(query_.options.case_insensitive),
      special_char_insensitive_(query_.options.special_char_insensitive),
      crlf_(query_.crlf_line_feeds && !query_.collapse_white_space), collapse_(query_.collapse_white_space),
      segment_bytes_(segment_bytes)
{
    queries_.reserve(queries.size());
    for (const PreparedQuery& query : queries)
        queries_.push_back(&query);
    init();
}

void StreamSearch::init()
{
    solvers_.reserve(queries_.size());
    patterns_.reserve(queries_.size());
    for (const PreparedQuery* query : queries_) {
        solvers_.emplace_back(query_.options.strategies);
        patterns_.push_back(query->pattern_);
        lookahead_ = std::max(lookahead_, query->lookahead_);
        window_tokens_ = std::max(window_tokens_, query->window_tokens_);
    }
    // Segments of token windows are folded here; the extractor sees them as they are.
    folded_options_.case_insensitive = folded_options_.special_char_insensitive = false;
    margin_bytes_ = 4 * lookahead_ + 16 + segment_bytes_ / 8;
}

bool StreamSearch::is_cut_byte(unsigned char byte) const noexcept
{
    return is_cut_unit(byte, case_insensitive_) && !(crlf_ && byte == '\r');
}

// Whether the text may be cut before `byte`: the last cut, or right after a
// byte that allows a cut.
bool StreamSearch::is_cut_place(std::uint64_t byte) const noexcept
{
    return byte == cut_.byte || is_cut_byte(static_cast<unsigned char>(text_.at(byte - 1)));
}

void StreamSearch::search(HeldBytes text, Cancellation& cancel)
{
    text_ = text;
    while (text.end() - cut_.byte >= segment_bytes_ + margin_bytes_) {
        const std::uint64_t end = segment_end(false);
        if (end == none || search_segment(end, false, false, cancel) != Step::searched) break;
    }
}

void StreamSearch::search_ready(HeldBytes text, Cancellation& cancel)
{
    search(text, cancel);
    // A tail that allowed no cut is tried again only once it has doubled,
    // so that a reader that waits often costs no more than one that does not.
    if (text.end() - cut_.byte < 2 * ready_tried_) return;
    const std::uint64_t end = ready_end();
    if (end == none || end <= cut_.byte) return;
    const std::uint64_t cut_before = cut_.byte;
    search_segment(end, false, true, cancel);
    ready_tried_ = cut_.byte == cut_before ? text.end() - cut_.byte : 0;
}

void StreamSearch::finish(HeldBytes text, Cancellation& cancel)
{
    text_ = text;
    while (search_segment(segment_end(true), true, false, cancel) != Step::done) {
    }
}

std::vector<StreamMatch> StreamSearch::take()
{
    return std::exchange(ready_, std::vector<StreamMatch>());
}

std::uint64_t StreamSearch::needed_from() const noexcept
{
    return std::min({starts_.line_start, ends_.byte, cut_.byte});
}

// The end of the next segment, a byte after which the text may be cut: the
// last one held, once a segment and a margin are held after the last cut
// (so that little is left to keep for the next); the end of the text where
// it is complete. `none` where more bytes are needed.
std::uint64_t StreamSearch::segment_end(bool final) const
{
    const std::uint64_t end = text_.end(), wanted = cut_.byte + segment_bytes_ + margin_bytes_;
    if (final) return end;
    if (wanted > end) return none;
    for (std::uint64_t at = end; at > wanted; --at)
        if (is_cut_byte(static_cast<unsigned char>(text_.at(at - 1)))) return at;
    return none;
}

// The last byte of what is held after which the text may be cut, or `none`.
std::uint64_t StreamSearch::ready_end() const
{
    for (std::uint64_t at = text_.end(); at > cut_.byte; --at)
        if (is_cut_byte(static_cast<unsigned char>(text_.at(at - 1)))) return at;
    return none;
}

// The latest place to cut at or before byte `from` with at least
// `code_points` of the text as searched between them, or the last cut if
// there is none (`enough` tells).
std::uint64_t StreamSearch::back_to_cut(std::uint64_t from, std::uint64_t code_points, bool& enough) const
{
    std::uint64_t place = from, counted = 0;
    while (counted < code_points && place > cut_.byte) {
        std::uint64_t earlier = place - 1;
        while (!is_cut_place(earlier))
            --earlier;
        counted += units_in(text_.slice(earlier, place), crlf_);
        place = earlier;
    }
    enough = counted >= code_points;
    return place;
}

// The first place to cut at or after `code_points` code points from byte
// `from` (the start of a code point), or `end`.
std::uint64_t StreamSearch::forward_to_cut(std::uint64_t from, std::uint64_t code_points, std::uint64_t end) const
{
    const std::string_view bytes = text_.slice(from, end);
    std::size_t pos = 0;
    for (std::uint64_t read = 0; read < code_points && pos < bytes.size(); ++read) {
        if (crlf_ && bytes[pos] == '\r' && pos + 1 < bytes.size() && bytes[pos + 1] == '\n')
            pos += 2;
        else
            utf8::decode_replacing(bytes, pos);
    }
    std::uint64_t place = from + pos;
    while (place < end && !is_cut_place(place))
        ++place;
    return place;
}

// Counts the line feeds from the cut to byte `to`.
void StreamSearch::count_lines(std::uint64_t to)
{
    const std::string_view bytes = text_.slice(cut_.byte, to);
    if (const std::size_t feeds = detail::count_byte(bytes.data(), bytes.size(), '\n')) {
        cut_.line += feeds;
        const auto* last = static_cast<const char*>(memrchr(bytes.data(), '\n', bytes.size()));
        cut_.line_start = cut_.byte + static_cast<std::uint64_t>(last - bytes.data()) + 1;
    }
}

void StreamSearch::pass_over(std::uint64_t to, Cancellation& cancel)
{
    if (to <= cut_.byte) return;
    const std::string_view bytes = text_.slice(cut_.byte, to);
    std::uint64_t units = bytes.size(), file = bytes.size(), longer = 0;
    if (query_.code_points) {
        cancel.poll(bytes.size());
        const Counted counted = count_code_points(bytes, crlf_, case_insensitive_);
        units = counted.units, file = counted.file, longer = counted.longer;
    }
    count_lines(to);
    cut_.byte = to;
    cut_.original += units;
    cut_.file += file;
    cut_folded_ += units + longer;
    // Where text passed over ends, for the map from folded code points
    // back, and for the cursors, which jump there rather than walk it.
    expansions_.push_back(Expansion{cut_folded_, cut_.original, 1});
    passed_.push_back(cut_);
}

StreamSearch::Step StreamSearch::search_segment(std::uint64_t end, bool final, bool ready, Cancellation& cancel)
{
    if (end == cut_.byte) {
        // Nothing after the last cut: the text is complete.
        if (mode_ != SearchMode::exact_token)
            for (std::size_t i = 0; i < solvers_.size(); ++i)
                collect(solvers_[i].finish(), i);
        finished_ = true;
        settle();
        return Step::done;
    }
    const bool to_end = final && end == text_.end();
    // The places worth searching are looked for on behalf of one pattern; many
    // find their own pieces in one pass over the segment.
    if (queries_.size() == 1 && queries_[0]->finder_) {
        const Step step = search_regions(end, to_end, ready, cancel);
        if (step != Step::whole) return step;
    }
    std::vector<MatchList> found(queries_.size()); // exact token windows, which need no solving
    const bool raw_windows = mode_ == SearchMode::exact_raw || mode_ == SearchMode::fuzzy_raw;
    const std::uint64_t lookahead = lookahead_;
    const std::uint64_t cut =
        search_span(end, to_end, found, cancel, [&](auto raw, auto folded, const Lengthened& longer) -> std::uint64_t {
            if (to_end) return raw.size();
            if (!raw_windows)
                return token_cut(raw, folded, longer, queries_[0]->separator_, window_tokens_, case_insensitive_,
                                 cancel);
            // The last place after a code point that allows a cut, with
            // room for the longest window after it.
            if (raw.size() <= lookahead) return none;
            const std::uint64_t highest = raw.size() - lookahead;
            for (std::uint64_t p = highest; p > 0; --p)
                if (is_cut_unit(code_point(raw[p - 1]), case_insensitive_)) return p;
            return none;
        });
    if (cut == none) {
        if (!ready) margin_bytes_ *= 2;
        return Step::needs_more;
    }
    after_search(to_end, found);
    return to_end ? Step::done : Step::searched;
}

// Where every accepted window holds one of some literals, only the regions
// around the places that the finder reports are searched, each with as
// much text around it as any window reaches, between places to cut; the
// text between regions is passed over, its code points counted (or, without
// code points wanted, its bytes counted in their stead). Where regions would
// cover most of the segment, it is searched whole instead (`whole`).
StreamSearch::Step StreamSearch::search_regions(std::uint64_t end, bool to_end, bool ready, Cancellation& cancel)
{
    const std::uint64_t reach = lookahead_ + 1;
    bool enough = true;
    const std::uint64_t cut = to_end ? end : back_to_cut(end, lookahead_, enough);
    if (!enough || cut <= cut_.byte) {
        if (!ready) margin_bytes_ *= 2;
        return Step::needs_more;
    }
    places_.clear();
    queries_[0]->finder_->find(text_.slice(cut_.byte, end), places_, cancel);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
    std::uint64_t covered = 0;
    for (const std::size_t at : places_) {
        const std::uint64_t place = cut_.byte + at;
        // A window holding what lies this far past the cut starts after it.
        if (place >= cut + 4 * reach) break;
        bool ignored;
        const std::uint64_t first = back_to_cut(place, reach, ignored);
        if (first >= cut) break;
        const std::uint64_t last = forward_to_cut(place, reach, end);
        if (!regions.empty() && first <= regions.back().second) {
            covered += last > regions.back().second ? last - regions.back().second : 0;
            regions.back().second = std::max(regions.back().second, last);
        } else {
            covered += last - first;
            regions.emplace_back(first, last);
        }
        // Regions this dense save nothing: the segment is searched whole.
        if (2 * covered > end - cut_.byte) return Step::whole;
    }
    std::vector<MatchList> found(queries_.size());
    for (const auto& [first, last] : regions) {
        pass_over(first, cancel);
        const std::uint64_t limit = std::min(last, cut);
        const std::uint64_t limit_units = limit == last ? none : units_in(text_.slice(first, limit), crlf_);
        search_span(last, to_end && last == end, found, cancel,
                    [&](auto raw, auto, const Lengthened&) { return limit_units == none ? raw.size() : limit_units; });
        if (last > cut) break;
    }
    pass_over(cut, cancel);
    after_search(to_end, found);
    return to_end ? Step::done : Step::searched;
}

template <typename ChooseCut>
std::uint64_t StreamSearch::search_span(std::uint64_t end, bool to_end, std::vector<MatchList>& found,
                                        Cancellation& cancel, ChooseCut choose_cut)
{
    const std::string_view bytes = text_.slice(cut_.byte, end);
    // ASCII bytes are their own code points: read where they lie.
    UnitText units = is_ascii(bytes, cancel) ? UnitText::borrowed(bytes, true) : decode_to_units(bytes, cancel);
    std::vector<std::uint64_t> drops;
    if (collapse_)
        units = with_white_space_collapsed(units);
    else if (crlf_ && bytes.find("\r\n") != std::string_view::npos)
        units = without_paired_carriage_returns(units, drops);
    const bool raw_windows = mode_ == SearchMode::exact_raw || mode_ == SearchMode::fuzzy_raw;

    const std::uint64_t cut = units.visit([&](auto raw) -> std::uint64_t {
        using Char = typename decltype(raw)::value_type;
        const Lengthened longer = case_insensitive_ ? lengthened(raw) : Lengthened();
        // Token windows are cut where the folded separator occurs, so the
        // segment is folded here and the extractor sees it folded; raw
        // windows are cut by the raw text, and the extractor folds it.
        FoldedUnits<Char> folded;
        if (!raw_windows) folded = fold_units(raw, case_insensitive_, special_char_insensitive_, cancel);
        const std::uint64_t cut = choose_cut(raw, folded.view(), longer);
        if (cut == none) return none;

        const std::uint64_t folded_cut = folded_index(longer, cut);
        std::vector<SegmentSink> sinks;
        std::vector<CandidateSink*> sink_of;
        sinks.reserve(queries_.size());
        for (std::size_t i = 0; i < queries_.size(); ++i)
            sink_of.push_back(&sinks.emplace_back(to_end ? none : folded_cut, cut_folded_,
                                                  mode_ == SearchMode::exact_token ? nullptr : &solvers_[i], found[i]));
        const UnitText folded_text = raw_windows ? UnitText() : UnitText::borrowed(folded.view());
        const UnitText& searched = raw_windows ? units : folded_text;
        const SearchOptions& options = raw_windows ? query_.options : folded_options_;
        const std::u32string& separator = queries_[0]->separator_;
        if (queries_.size() == 1)
            find_candidates(mode_, searched, patterns_[0], separator, options, *sink_of[0], cancel);
        else
            find_many_candidates(mode_, searched, patterns_, separator, options, sink_of, cancel);
        for (const auto& [at, length] : longer)
            if (at < cut)
                expansions_.push_back(Expansion{cut_folded_ + folded_index(longer, at), cut_.original + at, length});
        cut_folded_ += folded_cut;
        return cut;
    });
    if (cut == none) return none;
    std::uint64_t cut_byte;
    if (collapse_) {
        const auto [byte, file] = collapsed_unit_place(bytes, cut);
        cut_byte = cut_.byte + byte;
        cut_.file += file;
    } else {
        cut_byte = cut_.byte + byte_of_unit(bytes, units, cut, drops);
        cut_.file +=
            cut + static_cast<std::uint64_t>(std::lower_bound(drops.begin(), drops.end(), cut) - drops.begin());
    }
    count_lines(cut_byte);
    cut_.original += cut;
    cut_.byte = cut_byte;
    ready_tried_ = 0;
    return cut;
}

// Hands over what the search of a segment settled: the picks of the groups
// that no candidate to come can join, or all of them at the end.
void StreamSearch::after_search(bool to_end, std::vector<MatchList>& found)
{
    for (std::size_t i = 0; i < queries_.size(); ++i) {
        if (mode_ == SearchMode::exact_token) {
            collect(std::move(found[i]), i);
        } else if (to_end) {
            collect(solvers_[i].finish(), i);
        } else {
            // No candidate starts before the cut any more: a group that ends
            // before it is complete.
            solvers_[i].close_before(cut_folded_);
            collect(solvers_[i].take_picks(), i);
        }
    }
    finished_ = to_end;
    settle();
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

// Moves the cursor forward to the code point `original` of the text as
// searched, counting lines; over text passed over uncounted, it jumps.
void StreamSearch::move(Cursor& cursor, std::uint64_t original)
{
    if (collapse_) return move_collapsed(cursor, original);
    const auto beyond = std::upper_bound(passed_.begin(), passed_.end(), original,
                                         [](std::uint64_t at, const Cursor& place) { return at < place.original; });
    if (beyond != passed_.begin() && std::prev(beyond)->byte > cursor.byte) cursor = *std::prev(beyond);
    const char* data = text_.bytes.data();
    const std::size_t size = text_.bytes.size();
    std::size_t pos = static_cast<std::size_t>(cursor.byte - text_.from);
    while (cursor.original < original && pos < size) {
        // ASCII, a byte a code point, up to a CR that may pair with a line
        // feed; no further than the code points still to go.
        const auto reach = static_cast<std::size_t>(std::min<std::uint64_t>(size, pos + (original - cursor.original)));
        const std::size_t ascii_end = detail::next_non_ascii(data, reach, pos);
        std::size_t stop = ascii_end;
        if (crlf_ && stop > pos)
            if (const void* cr = std::memchr(data + pos, '\r', stop - pos))
                stop = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
        if (stop > pos) {
            if (const std::size_t feeds = detail::count_byte(data + pos, stop - pos, '\n')) {
                cursor.line += feeds;
                const auto* last = static_cast<const char*>(memrchr(data + pos, '\n', stop - pos));
                cursor.line_start = text_.from + static_cast<std::uint64_t>(last - data) + 1;
            }
            cursor.original += stop - pos;
            cursor.file += stop - pos;
            pos = stop;
            continue;
        }
        if (pos < reach && static_cast<unsigned char>(data[pos]) < 0x80) { // a CR
            const bool pair = pos + 1 < size && data[pos + 1] == '\n';
            pos += pair ? 2 : 1;
            cursor.original += 1;
            cursor.file += pair ? 2 : 1;
            if (pair) {
                ++cursor.line;
                cursor.line_start = text_.from + pos;
            }
            continue;
        }
        utf8::decode_replacing(text_.bytes, pos);
        ++cursor.original;
        ++cursor.file;
    }
    cursor.byte = text_.from + pos;
}

// As move(), where each run of white space is one code point of the text as
// searched: a cursor that reaches a run passes over all of it.
void StreamSearch::move_collapsed(Cursor& cursor, std::uint64_t original)
{
    const char* data = text_.bytes.data();
    const std::size_t size = text_.bytes.size();
    std::size_t pos = static_cast<std::size_t>(cursor.byte - text_.from);
    const auto passed_line_feed = [&] {
        ++cursor.line;
        cursor.line_start = text_.from + pos;
    };
    while (cursor.original < original && pos < size) {
        // ASCII other than white space, a byte a code point.
        std::size_t stop = pos;
        const auto reach = static_cast<std::size_t>(std::min<std::uint64_t>(size, pos + (original - cursor.original)));
        while (stop < reach && static_cast<unsigned char>(data[stop]) < 0x80 &&
               !is_ascii_white_space(static_cast<unsigned char>(data[stop])))
            ++stop;
        if (stop > pos) {
            cursor.original += stop - pos;
            cursor.file += stop - pos;
            pos = stop;
            continue;
        }
        const char32_t c = utf8::decode_replacing(text_.bytes, pos);
        ++cursor.original;
        ++cursor.file;
        if (c == U'\n') passed_line_feed();
        if (!is_white_space(c)) continue;
        for (std::size_t next = pos; next < size;) {
            const char32_t more = utf8::decode_replacing(text_.bytes, next);
            if (!is_white_space(more)) break;
            pos = next;
            ++cursor.file;
            if (more == U'\n') passed_line_feed();
        }
    }
    cursor.byte = text_.from + pos;
}

void StreamSearch::collect(MatchList picks, std::size_t pattern)
{
    for (const Match& pick : picks)
        collected_.emplace_back(pick, pattern);
}

void StreamSearch::locate(const std::vector<std::pair<Match, std::size_t>>& picks)
{
    for (const auto& [pick, pattern] : picks) {
        StreamMatch located{pick.start, pick.end, pick.score, 0, 0, 0, 0, 0, 0, pattern};
        move(starts_, original_of(pick.start, false));
        located.original_start = starts_.file;
        located.byte_start = starts_.byte;
        located.line = starts_.line;
        located.line_start = starts_.line_start;
        // One pattern's ends ascend; another's may end before the last end
        // located, and is walked to from its start.
        const std::uint64_t end = original_of(pick.end, true);
        Cursor from_start = starts_;
        Cursor& cursor = end >= ends_.original ? ends_ : from_start;
        move(cursor, end);
        located.original_end = cursor.file;
        located.byte_end = cursor.byte;
        ready_.push_back(located);
    }
}

// Moves the cursors to where the next match can start at the earliest (the
// open group's first candidate, else the last cut), which settled() and
// needed_from() report, and forgets the expansions and the places passed
// over before it.
void StreamSearch::settle()
{
    std::uint64_t earliest = cut_folded_;
    for (const ConflictSolver& solver : solvers_)
        if (const std::optional<std::uint64_t> open = solver.open_group_start()) earliest = std::min(earliest, *open);
    // What no query can still add a pick before is located, in order of
    // start, and of the query among equal starts.
    std::stable_sort(collected_.begin(), collected_.end(), [](const auto& a, const auto& b) {
        return a.first.start != b.first.start ? a.first.start < b.first.start : a.second < b.second;
    });
    const auto settled_end = finished_
                                 ? collected_.end()
                                 : std::partition_point(collected_.begin(), collected_.end(),
                                                        [&](const auto& pick) { return pick.first.start < earliest; });
    if (settled_end != collected_.begin()) {
        locate(std::vector<std::pair<Match, std::size_t>>(collected_.begin(), settled_end));
        collected_.erase(collected_.begin(), settled_end);
    }
    while (!expansions_.empty() && expansions_.front().folded + expansions_.front().length <= earliest) {
        const Expansion& e = expansions_.front();
        pruned_shift_ = e.folded - e.original + e.length - 1;
        expansions_.pop_front();
    }
    const std::uint64_t next_start = original_of(earliest, false);
    move(starts_, next_start);
    move(ends_, next_start);
    while (passed_.size() > 1 && passed_[1].byte <= std::min(starts_.byte, ends_.byte))
        passed_.pop_front();
}

} // namespace tessarin
