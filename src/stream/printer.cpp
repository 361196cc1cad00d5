#include "stream/printer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "text/ascii_vector.hpp"

namespace tessarin {
namespace {

constexpr std::uint64_t none = static_cast<std::uint64_t>(-1);
constexpr std::string_view path_color = "\x1b[35m", number_color = "\x1b[32m", match_color = "\x1b[1;31m",
                           reset_color = "\x1b[0m";

void append_number(std::uint64_t number, std::string& out)
{
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(number));
    out.append(digits, static_cast<std::size_t>(length));
}

// The first line feed in text[from, to), or `none`.
std::uint64_t line_feed_in(const HeldBytes& text, std::uint64_t from, std::uint64_t to)
{
    if (from >= to) return none;
    const char* data = text.bytes.data();
    const void* feed = std::memchr(data + (from - text.from), '\n', static_cast<std::size_t>(to - from));
    return feed ? text.from + static_cast<std::uint64_t>(static_cast<const char*>(feed) - data) : none;
}

// The start of the line that holds byte `at`. What is held starts at a line
// start.
std::uint64_t line_start_of(const HeldBytes& text, std::uint64_t at)
{
    at = std::min(at, text.end());
    if (at <= text.from) return text.from;
    const char* data = text.bytes.data();
    const void* feed = memrchr(data, '\n', static_cast<std::size_t>(at - text.from));
    return feed ? text.from + static_cast<std::uint64_t>(static_cast<const char*>(feed) - data) + 1 : text.from;
}

// The start of the line `count` lines above the one starting at `start`.
std::uint64_t lines_above(const HeldBytes& text, std::uint64_t start, std::uint64_t count)
{
    for (; count > 0 && start > text.from; --count)
        start = line_start_of(text, start - 1);
    return start;
}

std::uint64_t code_points_in(std::string_view bytes)
{
    std::uint64_t count = 0;
    for (std::size_t pos = 0; pos < bytes.size(); ++count) {
        const std::size_t ascii_end = detail::next_non_ascii(bytes.data(), bytes.size(), pos);
        if (ascii_end > pos) {
            count += ascii_end - pos - 1;
            pos = ascii_end;
            continue;
        }
        utf8::decode_replacing(bytes, pos);
    }
    return count;
}

} // namespace

void append_as_utf8(std::string_view bytes, std::string& out)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t ascii_end = detail::next_non_ascii(bytes.data(), bytes.size(), pos);
        out.append(bytes.data() + pos, ascii_end - pos);
        pos = ascii_end;
        if (pos == bytes.size()) break;
        const std::size_t start = pos;
        const char32_t c = utf8::decode_replacing(bytes, pos);
        // A well-formed sequence is copied; an ill-formed part becomes U+FFFD.
        if (c != 0xFFFD || (pos - start == 3 && bytes.substr(start, 3) == "\xEF\xBF\xBD"))
            out.append(bytes.data() + start, pos - start);
        else
            out += "\xEF\xBF\xBD";
    }
}

void append_python_float(double value, std::string& out)
{
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-Infinity" : "Infinity";
        return;
    }
    char buffer[40];
    int precision = 1;
    for (; precision < 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, value);
    // buffer: [-]d[.ddd]e(+|-)dd
    std::string_view text(buffer);
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e))
        if (c != '.') digits += c;
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (digits.size() > 1) out.append(".").append(digits, 1, std::string::npos);
        char tail[16];
        std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        out += tail;
    } else if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out.append(digits).append(whole - digits.size(), '0').append(".0");
        } else {
            out.append(digits, 0, whole).append(".").append(digits, whole, std::string::npos);
        }
    }
}

void append_json_string(std::string_view bytes, std::string& out)
{
    std::string text;
    append_as_utf8(bytes, text);
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

Printer::Printer(const PrintSettings& settings, std::string label) : settings_(settings), label_(std::move(label))
{
    // With no line to count, nothing can be printed.
    if (settings_.max_count == std::uint64_t{0}) limit_reached_ = true;
}

bool Printer::done() const noexcept
{
    return stopped_ || (limit_reached_ && after_left_ == 0);
}

void Printer::add(const StreamMatch& match, const HeldBytes& text)
{
    if (done()) return;
    Shown shown{match,
                match.byte_start,
                match.byte_end,
                match.line,
                match.line_start,
                match.original_start,
                match.original_end};
    // The window without the white space around it, unless it holds
    // nothing else.
    const std::string_view window = text.slice(match.byte_start, match.byte_end);
    std::size_t first = none, last_end = 0;
    std::uint64_t count = 0, before_first = 0, through_last = 0;
    for (std::size_t pos = 0; pos < window.size(); ++count) {
        const std::size_t at = pos;
        if (!is_white_space(utf8::decode_replacing(window, pos))) {
            if (first == none) {
                first = at;
                before_first = count;
            }
            last_end = pos;
            through_last = count + 1;
        }
    }
    if (first != none) {
        shown.start = match.byte_start + first;
        shown.end = match.byte_start + last_end;
        shown.original_start = match.original_start + before_first;
        shown.original_end = match.original_start + through_last;
        if (const std::size_t feeds = detail::count_byte(window.data(), first, '\n')) {
            shown.line += feeds;
            shown.line_start = line_start_of(text, shown.start);
        }
    }
    if (!pending_.empty() && shown.start < pending_.back().start) sorted_ = false;
    pending_.push_back(shown);
}

// Counts the line of `shown` if it is one not counted yet; false when the
// -m limit leaves no room for it.
bool Printer::counts(const Shown& shown)
{
    if (shown.line == counted_line_ && matched_lines_ > 0) return true;
    if (settings_.max_count && matched_lines_ >= *settings_.max_count) {
        limit_reached_ = true;
        return false;
    }
    ++matched_lines_;
    counted_line_ = shown.line;
    if (settings_.mode == OutputMode::quiet || settings_.mode == OutputMode::files_with_matches) stopped_ = true;
    // A count is final once it reaches the limit: later matches add nothing.
    if (settings_.mode == OutputMode::count && settings_.max_count && matched_lines_ >= *settings_.max_count)
        limit_reached_ = true;
    return true;
}

std::uint64_t Printer::lines_end(const HeldBytes& text, const Shown& shown, bool complete) const
{
    const std::uint64_t last = shown.end > shown.start ? shown.end - 1 : shown.start;
    // Matches of one line ask for the same line feed: it is looked for once.
    if (line_feed_ == none || last < line_feed_from_ || last > line_feed_) {
        line_feed_from_ = last;
        line_feed_ = line_feed_in(text, last, text.end());
    }
    const std::uint64_t feed = line_feed_;
    if (feed != none) return feed + 1;
    return complete ? text.end() : none;
}

void Printer::print(const HeldBytes& text, std::uint64_t settled, bool waiting, std::string& out)
{
    if (!sorted_) {
        std::stable_sort(pending_.begin(), pending_.end(), [](const Shown& a, const Shown& b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
        sorted_ = true;
    }
    const bool complete = settled == none; // the text is complete
    std::size_t used = 0;
    if (settings_.mode == OutputMode::lines && !binary_) {
        // A group of matches whose lines touch is printed once no match to
        // come can join it.
        while (used < pending_.size() && !limit_reached_) {
            std::uint64_t end = lines_end(text, pending_[used], complete);
            std::size_t members = used + 1;
            while (end != none && members < pending_.size() && pending_[members].start < end) {
                const std::uint64_t further = lines_end(text, pending_[members], complete);
                end = further == none ? none : std::max(end, further);
                ++members;
            }
            if (end == none || (settled < end && !waiting)) break;
            const std::size_t printed = members - used;
            print_group(text, used, printed, out);
            used = members;
        }
    } else {
        for (; used < pending_.size() && !done(); ++used) {
            const Shown& shown = pending_[used];
            if (shown.start >= settled && !waiting) break;
            if (!counts(shown)) break;
            if (!binary_ && (settings_.mode == OutputMode::only_matching || settings_.mode == OutputMode::json))
                print_match_alone(text, shown, out);
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    if (done()) pending_.clear();
    // Owed context on lines that no match can start on any more.
    std::uint64_t limit = complete ? text.end() : line_start_of(text, settled);
    if (!pending_.empty()) limit = std::min(limit, pending_.front().line_start);
    if (limit_reached_) limit = text.end(); // past the last counted match, any line is context
    print_context(text, limit, complete, out);
}

void Printer::print_group(const HeldBytes& text, std::size_t used, std::size_t count, std::string& out)
{
    std::size_t kept = 0;
    while (kept < count && counts(pending_[used + kept]))
        ++kept;
    if (settings_.max_count && matched_lines_ >= *settings_.max_count) limit_reached_ = true;
    if (kept == 0) return;
    const Shown& first = pending_[used];
    std::uint64_t end = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (std::size_t k = used; k < used + kept; ++k) {
        end = std::max(end, lines_end(text, pending_[k], true));
        spans.emplace_back(pending_[k].start, pending_[k].end);
    }
    std::sort(spans.begin(), spans.end());
    print_context(text, first.line_start, true, out);

    std::uint64_t from = first.line_start, number = first.line;
    if (settings_.before > 0 && from > printed_end_) {
        from = std::max(lines_above(text, from, settings_.before), printed_end_);
        number -= detail::count_byte(text.slice(from, first.line_start).data(), first.line_start - from, '\n');
    }
    if ((settings_.before > 0 || settings_.after > 0) && any_printed_ && from > printed_end_) out += "--\n";
    while (from < first.line_start) {
        const std::uint64_t feed = line_feed_in(text, from, first.line_start);
        from = print_line(text, from, feed + 1, number++, '-', std::nullopt, {}, out);
    }
    const std::optional<std::uint64_t> column =
        settings_.column ? std::optional<std::uint64_t>(column_of(text, first)) : std::nullopt;
    for (std::uint64_t at = first.line_start; at < end; ++number) {
        const std::uint64_t feed = line_feed_in(text, at, end);
        const std::uint64_t line_end = feed == none ? end : feed + 1;
        if (at >= printed_end_)
            print_line(text, at, line_end, number, ':', at == first.line_start ? column : std::nullopt, spans, out);
        at = line_end;
    }
    printed_end_ = std::max(printed_end_, end);
    after_left_ = settings_.after;
}

void Printer::print_context(const HeldBytes& text, std::uint64_t limit, bool complete, std::string& out)
{
    while (after_left_ > 0 && printed_end_ < std::min(limit, text.end())) {
        const std::uint64_t feed = line_feed_in(text, printed_end_, text.end());
        if (feed == none && !complete) return;
        ++printed_line_;
        print_line(text, printed_end_, feed == none ? text.end() : feed + 1, printed_line_, '-', std::nullopt, {}, out);
        --after_left_;
    }
}

std::uint64_t Printer::print_line(const HeldBytes& text, std::uint64_t start, std::uint64_t end, std::uint64_t number,
                                  char separator, std::optional<std::uint64_t> column,
                                  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans, std::string& out)
{
    std::uint64_t content_end = end;
    std::string_view ending = "\n";
    if (content_end > start && text.at(content_end - 1) == '\n') {
        --content_end;
        if (content_end > start && text.at(content_end - 1) == '\r') {
            --content_end;
            ending = "\r\n";
        }
    }
    prefix(number, separator, column, out);
    std::uint64_t at = start;
    if (settings_.color)
        for (const auto& [a, b] : spans) {
            const std::uint64_t lit_from = std::max(a, at), lit_end = std::min(b, content_end);
            if (lit_from >= lit_end) continue;
            append_as_utf8(text.slice(at, lit_from), out);
            out += match_color;
            append_as_utf8(text.slice(lit_from, lit_end), out);
            out += reset_color;
            at = lit_end;
        }
    append_as_utf8(text.slice(at, content_end), out);
    out += ending;
    any_printed_ = true;
    printed_line_ = number;
    printed_end_ = std::max(printed_end_, end);
    return end;
}

void Printer::prefix(std::uint64_t number, char separator, std::optional<std::uint64_t> column, std::string& out) const
{
    const auto part = [&](auto&& write, std::string_view color) {
        if (settings_.color) out += color;
        write();
        if (settings_.color) out += reset_color;
        out += separator;
    };
    if (settings_.with_name) part([&] { append_as_utf8(label_, out); }, path_color);
    if (settings_.line_numbers) part([&] { append_number(number, out); }, number_color);
    if (column) part([&] { append_number(*column, out); }, number_color);
}

// Code points from the start of the line to the shown start, counted on
// from the last match of the same line.
std::uint64_t Printer::column_of(const HeldBytes& text, const Shown& shown)
{
    if (shown.line_start != column_line_start_ || shown.start < column_byte_) {
        column_line_start_ = shown.line_start;
        column_byte_ = shown.line_start;
        column_ = 1;
    }
    column_ += code_points_in(text.slice(column_byte_, shown.start));
    column_byte_ = shown.start;
    return column_;
}

void Printer::print_match_alone(const HeldBytes& text, const Shown& shown, std::string& out)
{
    if (settings_.mode == OutputMode::json) {
        print_json(text, shown, out);
        return;
    }
    if (!settings_.with_pattern) {
        if (alone_last_ == std::pair{shown.start, shown.end}) return;
        alone_last_ = {shown.start, shown.end};
    }
    prefix(shown.line, ':', settings_.column ? std::optional<std::uint64_t>(column_of(text, shown)) : std::nullopt,
           out);
    if (settings_.color) out += match_color;
    append_as_utf8(text.slice(shown.start, shown.end), out);
    if (settings_.color) out += reset_color;
    if (settings_.with_pattern && shown.match.pattern < settings_.patterns.size()) {
        out += '\t';
        append_as_utf8(settings_.patterns[shown.match.pattern], out);
    }
    out += '\n';
}

void Printer::print_json(const HeldBytes& text, const Shown& shown, std::string& out)
{
    const StreamMatch& match = shown.match;
    const auto field = [&](std::string_view name) {
        out += name == "path" ? "{\"" : ", \"";
        out += name;
        out += "\": ";
    };
    const auto numbers = [&](std::initializer_list<std::pair<std::string_view, std::uint64_t>> fields) {
        for (const auto& [name, value] : fields) {
            field(name);
            append_number(value, out);
        }
    };
    field("path");
    append_json_string(label_, out);
    numbers({{"line", shown.line},
             {"column", column_of(text, shown)},
             {"start", match.original_start},
             {"end", match.original_end}});
    field("score");
    append_python_float(match.score, out);
    field("text");
    append_json_string(text.slice(match.byte_start, match.byte_end), out);
    numbers({{"shown_start", shown.original_start},
             {"shown_end", shown.original_end},
             {"module_start", match.start},
             {"module_end", match.end},
             {"byte_start", shown.start},
             {"byte_end", shown.end}});
    if (match.pattern < settings_.patterns.size()) {
        field("pattern");
        append_json_string(settings_.patterns[match.pattern], out);
    }
    numbers({{"pattern_index", match.pattern}});
    out += "}\n";
}

void Printer::finish(const HeldBytes& text, std::string& out)
{
    print(text, none, false, out);
    const auto name = [&] {
        if (settings_.color) out += path_color;
        append_as_utf8(label_, out);
        if (settings_.color) out += reset_color;
    };
    if (matched_lines_ > 0 && settings_.mode == OutputMode::files_with_matches) {
        name();
        out += '\n';
    } else if (matched_lines_ > 0 && binary_ && settings_.mode != OutputMode::count &&
               settings_.mode != OutputMode::quiet) {
        append_as_utf8(label_, out);
        out += ": binary file matches\n";
    }
    if (settings_.mode == OutputMode::count) {
        if (settings_.with_name) {
            name();
            out += ':';
        }
        append_number(matched_lines_, out);
        out += '\n';
    }
}

std::uint64_t Printer::needed_from(const HeldBytes& text, std::uint64_t settled) const
{
    if (done()) return text.end();
    std::uint64_t need = line_start_of(text, settled);
    for (const Shown& shown : pending_)
        need = std::min(need, shown.match.line_start);
    if (after_left_ > 0) need = std::min(need, printed_end_);
    if (settings_.mode != OutputMode::lines || settings_.before == 0) return need;
    const std::uint64_t context = lines_above(text, need, settings_.before);
    return std::max(context, std::min(printed_end_, need));
}

} // namespace tessarin
