// What the command prints for one file, as its matches arrive: the matching
// lines (with context), only the matched text, JSON records, a count, the
// file's name, or nothing. A match is shown at its first character that is
// not white space (a window may begin with a line feed); each line is
// printed once, and a match that runs over line feeds shows every line it
// covers. Lines are printed as they stand, their line ending included (LF,
// or CR LF where the text has it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stream/stream.hpp"

namespace tessarin {

enum class OutputMode { lines, only_matching, json, count, files_with_matches, quiet };

struct PrintSettings {
    OutputMode mode = OutputMode::lines;
    bool with_name = false;
    bool line_numbers = true;
    bool column = false;
    bool color = false;
    std::uint64_t before = 0, after = 0; // lines of context, in lines mode
    std::optional<std::uint64_t> max_count;
    // The patterns as given (UTF-8), by the index that a match names: JSON
    // records name the pattern of each match, and with `with_pattern` so
    // does each match printed alone.
    std::vector<std::string> patterns;
    bool with_pattern = false;
};

class Printer {
public:
    // `label` is the file's name as it is shown, as bytes.
    Printer(const PrintSettings& settings, std::string label);

    // A match of the file's text, whose bytes from its line's start on are
    // held. Matches of several searches may come in any order.
    void add(const StreamMatch& match, const HeldBytes& text);
    // Prints what no match to come can change: every match starts at
    // `settled` or after it. Where `waiting` (a reader waits for more), the
    // lines that are complete are printed now, even if a later match may
    // still start on them.
    void print(const HeldBytes& text, std::uint64_t settled, bool waiting, std::string& out);
    // The text is complete: prints the rest, the count, the name.
    void finish(const HeldBytes& text, std::string& out);

    // Lines are no longer printed from here on, only counted ("binary file
    // matches" at the end): the text turned out not to be text.
    void stop_printing_lines() noexcept { binary_ = true; }
    // Nothing more that the file holds would change the output (-q or -l
    // after a match; -m reached and its after-context printed).
    bool done() const noexcept;
    // The first byte that printing still reads, for a text searched up to
    // `settled`.
    std::uint64_t needed_from(const HeldBytes& text, std::uint64_t settled) const;
    // Lines with a match, as counted for -c and -m.
    std::uint64_t matched_lines() const noexcept { return matched_lines_; }

private:
    struct Shown {
        StreamMatch match;
        std::uint64_t start, end;                   // bytes of the window without its white space
        std::uint64_t line, line_start;             // the line of `start`, and its first byte
        std::uint64_t original_start, original_end; // code points of [start, end)
    };

    bool counts(const Shown& shown);
    // Prints the lines of pending_[used, used + count), a group of matches
    // whose lines touch, with their context.
    void print_group(const HeldBytes& text, std::size_t used, std::size_t count, std::string& out);
    void print_match_alone(const HeldBytes& text, const Shown& shown, std::string& out);
    void print_json(const HeldBytes& text, const Shown& shown, std::string& out);
    // The first byte after the lines that `shown` covers, or `none` when
    // the last of them is not complete yet.
    std::uint64_t lines_end(const HeldBytes& text, const Shown& shown, bool complete) const;
    // Prints the after-context still owed on lines that start before
    // `limit`; `complete`: the text ends where the bytes held end.
    void print_context(const HeldBytes& text, std::uint64_t limit, bool complete, std::string& out);
    // Prints the line starting at `start`, whose end is `end` (after its
    // line feed, or the text's end), with `spans` lit; returns `end`.
    std::uint64_t print_line(const HeldBytes& text, std::uint64_t start, std::uint64_t end, std::uint64_t number,
                             char separator, std::optional<std::uint64_t> column,
                             const std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans, std::string& out);
    void prefix(std::uint64_t number, char separator, std::optional<std::uint64_t> column, std::string& out) const;
    std::uint64_t column_of(const HeldBytes& text, const Shown& shown);

    PrintSettings settings_;
    std::string label_;
    std::vector<Shown> pending_; // in order of their shown start
    bool sorted_ = true;

    std::uint64_t printed_end_ = 0; // the byte after the last line printed
    std::uint64_t printed_line_ = 0;
    std::uint64_t after_left_ = 0; // after-context lines still owed
    bool any_printed_ = false;
    std::uint64_t matched_lines_ = 0;
    std::uint64_t counted_line_ = 0; // the last line counted as matching
    bool limit_reached_ = false;
    bool stopped_ = false; // -q or -l: the first match was all that mattered
    bool binary_ = false;

    // The line feed found last, looked for from line_feed_from_ on (`none`
    // where the bytes held had none).
    mutable std::uint64_t line_feed_from_ = 0, line_feed_ = static_cast<std::uint64_t>(-1);
    // Where the column of the last match was counted: columns of matches on
    // one line are counted on from there.
    std::uint64_t column_line_start_ = static_cast<std::uint64_t>(-1), column_byte_ = 0, column_ = 0;
    // The span printed alone last: another pattern's match of the same
    // text is not printed again unless it is to name its pattern.
    std::pair<std::uint64_t, std::uint64_t> alone_last_{static_cast<std::uint64_t>(-1), 0};
};

// Appends `bytes` to `out` as UTF-8, each ill-formed part as U+FFFD (as
// Python's bytes.decode("utf-8", "replace") reads them).
void append_as_utf8(std::string_view bytes, std::string& out);
// Appends `value` as Python's repr() writes a float: the shortest digits
// that read back as the same value, positional for exponents from -4 to 15,
// scientific beyond.
void append_python_float(double value, std::string& out);
// Appends `bytes` as a JSON string, as Python's json.dumps() with
// ensure_ascii=False writes the str that bytes.decode("utf-8", "replace")
// makes of them.
void append_json_string(std::string_view bytes, std::string& out);

} // namespace tessarin
