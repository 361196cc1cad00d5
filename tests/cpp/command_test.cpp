// The command's file search in C++: what the reader makes of a file's first
// bytes, and what is printed for a file in every output mode, the same
// however the file arrives in blocks and wherever the search cuts it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "stream/file_search.hpp"

namespace {

using namespace tessarin;

int failures = 0;

void check(bool condition, const std::string& what)
{
    if (condition) return;
    if (++failures <= 30) std::printf("FAIL: %s\n", what.c_str());
}

std::string shown(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\x1b')
            out += "\\e";
        else
            out += c;
    }
    return out;
}

// The command's options that matter here, read as the command reads them.
SearchSettings settings_of(const std::vector<std::string>& args, std::size_t segment_bytes)
{
    SearchSettings settings;
    std::vector<std::string> patterns;
    std::string separator;
    bool token = false, fuzzy = false, ignore_case = false, ignore_accents = false;
    std::string metric = "levenshtein";
    double threshold = -1;
    ThresholdKind kind = ThresholdKind::Normalized;
    PrintSettings& print = settings.print;
    settings.segment_bytes = segment_bytes;
    bool count = false, names = false, quiet = false, json = false, only = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&] { return args.at(++i); };
        const std::pair<const char*, bool*> flags[] = {{"-c", &count},
                                                       {"-l", &names},
                                                       {"-q", &quiet},
                                                       {"--json", &json},
                                                       {"-o", &only},
                                                       {"-i", &ignore_case},
                                                       {"-Z", &fuzzy},
                                                       {"--ignore-accents", &ignore_accents},
                                                       {"--column", &print.column},
                                                       {"-H", &print.with_name},
                                                       {"--color=always", &print.color},
                                                       {"-a", &settings.text_mode},
                                                       {"--with-pattern", &print.with_pattern}};
        const auto flag = std::find_if(std::begin(flags), std::end(flags), [&](const auto& f) { return a == f.first; });
        if (flag != std::end(flags))
            *flag->second = true;
        else if (a == "-N")
            print.line_numbers = false;
        else if (a == "-m")
            print.max_count = std::stoull(value());
        else if (a == "-A")
            print.after = std::stoull(value());
        else if (a == "-B")
            print.before = std::stoull(value());
        else if (a == "-C")
            print.before = print.after = std::stoull(value());
        else if (a == "-e")
            patterns.push_back(value());
        else if (a == "--absolute")
            kind = ThresholdKind::Absolute, fuzzy = true;
        else if (a == "-t")
            threshold = std::stod(value()), fuzzy = true;
        else if (a == "--metric")
            metric = value(), fuzzy = true;
        else if (a == "--separator")
            separator = value(), token = true;
        else
            patterns.push_back(a);
    }
    print.mode = quiet   ? OutputMode::quiet
                 : names ? OutputMode::files_with_matches
                 : count ? OutputMode::count
                 : json  ? OutputMode::json
                 : only  ? OutputMode::only_matching
                         : OutputMode::lines;
    print.patterns = patterns;
    for (const std::string& pattern : patterns) {
        StreamQuery query;
        query.mode = fuzzy ? (token ? SearchMode::fuzzy_token : SearchMode::fuzzy_raw)
                           : (token ? SearchMode::exact_token : SearchMode::exact_raw);
        query.pattern = pattern;
        query.separator = separator;
        query.options.case_insensitive = ignore_case;
        query.options.special_char_insensitive = ignore_accents;
        query.options.metric = MetricChoice(metric);
        query.options.threshold = threshold >= 0 ? threshold : kind == ThresholdKind::Normalized ? 0.2 : 1.0;
        query.options.threshold_kind = kind;
        if (fuzzy) query.options.strategies = {Strategy::best_match, Strategy::shortest};
        query.crlf_line_feeds = true;
        settings.queries.emplace_back(query);
    }
    return settings;
}

// What is printed for `text`, arriving in blocks of the sizes `random`
// draws (all at once without it).
std::string printed(const SearchSettings& settings, const std::string& label, const std::string& text,
                    std::mt19937_64* random)
{
    StreamBuffer buffer;
    FileSearch search(settings, label, false, buffer);
    Cancellation never;
    std::string out;
    std::size_t at = 0;
    while (random && at < text.size() && !search.done()) {
        const std::size_t block = 1 + (*random)() % 13;
        search.push(std::string_view(text).substr(at, block), false, false, never, out);
        at += block;
    }
    search.push(std::string_view(text).substr(std::min(at, text.size())), true, false, never, out);
    return out;
}

struct PrintCase {
    const char* name;
    std::string text;
    std::vector<std::string> args;
    std::string expected;
};

const std::string lines = "needle one\nnothing\nneedle two\nafter\n";
const std::string g = "\x1b[32m", r = "\x1b[0m", m = "\x1b[1;31m", p = "\x1b[35m";

const std::vector<PrintCase> print_cases = {
    {"lines", lines, {"needle"}, "1:needle one\n3:needle two\n"},
    {"count", lines, {"-c", "needle"}, "2\n"},
    {"only matching with columns", lines, {"-o", "--column", "needle"}, "1:1:needle\n3:1:needle\n"},
    {"max count", lines, {"-m", "1", "needle"}, "1:needle one\n"},
    {"max count, after context", lines, {"-m", "1", "-A", "2", "needle"}, "1:needle one\n2-nothing\n3-needle two\n"},
    {"context", lines, {"-C", "1", "two"}, "2-nothing\n3:needle two\n4-after\n"},
    {"after context", lines, {"-A", "1", "-B", "0", "one"}, "1:needle one\n2-nothing\n"},
    {"before context", lines, {"-B", "1", "after"}, "3-needle two\n4:after\n"},
    {"quiet", lines, {"-q", "needle"}, ""},
    {"names of files", lines, {"-l", "needle"}, "-\n"},
    {"name on each line", lines, {"-H", "one"}, "-:1:needle one\n"},
    {"no line numbers, two patterns", lines, {"-N", "-e", "two", "-e", "one"}, "needle one\nneedle two\n"},
    {"colours", "hello world!\n", {"--color=always", "world"}, g + "1" + r + ":hello " + m + "world" + r + "!\n"},
    {"colours, name, column: the line once",
     "a needle and a needle\n",
     {"--color=always", "-H", "--column", "needle"},
     p + "-" + r + ":" + g + "1" + r + ":" + g + "3" + r + ":a " + m + "needle" + r + " and a " + m + "needle" + r +
         "\n"},
    {"colours, over a line feed",
     "one a\nb two\n",
     {"--color=always", "a b"},
     g + "1" + r + ":one " + m + "a" + r + "\n" + g + "2" + r + ":" + m + "b" + r + " two\n"},
    {"colours, context",
     "x\nneedle\ny\nz\nw\nneedle\n",
     {"--color=always", "-C", "1", "needle"},
     g + "1" + r + "-x\n" + g + "2" + r + ":" + m + "needle" + r + "\n" + g + "3" + r + "-y\n--\n" + g + "5" + r +
         "-w\n" + g + "6" + r + ":" + m + "needle" + r + "\n"},
    {"context groups apart",
     "a\nb\nneedle\nc\nd\ne\nf\nneedle\ng\nneedle\nh\n",
     {"-C", "1", "needle"},
     "2-b\n3:needle\n4-c\n--\n7-f\n8:needle\n9-g\n10:needle\n11-h\n"},
    {"context groups touching",
     "a\nneedle\nb\nc\nneedle\nd\n",
     {"-A", "1", "-B", "1", "needle"},
     "1-a\n2:needle\n3-b\n4-c\n5:needle\n6-d\n"},
    {"ill-formed bytes as U+FFFD",
     "hello\xff world\nhello again\n",
     {"hello"},
     "1:hello\xef\xbf\xbd world\n2:hello again\n"},
    {"shown where its text is", "see the\ncolour here\n", {"--absolute", "-t", "1", "-Z", "color"}, "2:colour here\n"},
    {"json",
     "ab\nxx ab",
     {"--json", "ab"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 1, \"start\": 0, \"end\": 2, \"score\": 0.0, \"text\": \"ab\", "
     "\"shown_start\": 0, \"shown_end\": 2, \"module_start\": 0, \"module_end\": 2, \"byte_start\": 0, \"byte_end\": "
     "2, \"pattern\": \"ab\", \"pattern_index\": 0}\n{\"path\": \"<stdin>\", \"line\": 2, \"column\": 4, \"start\": 6, "
     "\"end\": 8, \"score\": 0.0, \"text\": "
     "\"ab\", \"shown_start\": 6, \"shown_end\": 8, \"module_start\": 6, \"module_end\": 8, \"byte_start\": 6, "
     "\"byte_end\": 8, \"pattern\": \"ab\", \"pattern_index\": 0}\n"},
    {"json, fuzzy scores",
     "the lighthose is\nthe LIGHTHOUSE",
     {"--json", "-i", "--metric", "levenshtein", "lighthouse"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 5, \"start\": 4, \"end\": 13, \"score\": 0.1, \"text\": "
     "\"lighthose\", \"shown_start\": 4, \"shown_end\": 13, \"module_start\": 4, \"module_end\": 13, \"byte_start\": "
     "4, \"byte_end\": 13, \"pattern\": \"lighthouse\", \"pattern_index\": 0}\n{\"path\": \"<stdin>\", \"line\": 2, "
     "\"column\": 5, \"start\": 21, \"end\": 31, "
     "\"score\": 0.0, \"text\": \"LIGHTHOUSE\", \"shown_start\": 21, \"shown_end\": 31, \"module_start\": 21, "
     "\"module_end\": 31, \"byte_start\": 21, \"byte_end\": 31, \"pattern\": \"lighthouse\", \"pattern_index\": 0}\n"},
    {"json, folded positions",
     "\xc4\xb0\xc4\xb0 x\n\xc4\xb0 big",
     {"--json", "-i", "big"},
     "{\"path\": \"<stdin>\", \"line\": 2, \"column\": 3, \"start\": 7, \"end\": 10, \"score\": 0.0, \"text\": "
     "\"big\", \"shown_start\": 7, \"shown_end\": 10, \"module_start\": 10, \"module_end\": 13, \"byte_start\": 10, "
     "\"byte_end\": 13, \"pattern\": \"big\", \"pattern_index\": 0}\n"},
    {"json, a window over a line feed",
     "one a\nb two",
     {"--json", "a b"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 5, \"start\": 4, \"end\": 7, \"score\": 0.0, \"text\": "
     "\"a\\nb\", \"shown_start\": 4, \"shown_end\": 7, \"module_start\": 4, \"module_end\": 7, \"byte_start\": 4, "
     "\"byte_end\": 7, \"pattern\": \"a b\", \"pattern_index\": 0}\n"},
    {"json, escapes",
     "say \"a\tb\" \\ \x01 ok\n",
     {"--json", "-Z", "-t", "0.3", "a\tb\" \\"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 6, \"start\": 5, \"end\": 11, \"score\": 0.0, \"text\": "
     "\"a\\tb\\\" \\\\\", \"shown_start\": 5, \"shown_end\": 11, \"module_start\": 5, \"module_end\": 11, "
     "\"byte_start\": 5, \"byte_end\": 11, \"pattern\": \"a\\tb\\\" \\\\\", \"pattern_index\": 0}\n"},
    {"only matching, colours",
     "xx needle yy needle\n",
     {"--color=always", "-o", "needle"},
     g + "1" + r + ":" + m + "needle" + r + "\n" + g + "1" + r + ":" + m + "needle" + r + "\n"},
    {"count with a limit", "n\nn\nn\nn\n", {"-c", "-m", "2", "n"}, "2\n"},
    {"token windows", "xa b a b\na b", {"--separator", " ", "a b"}, "1:xa b a b\n2:a b\n"},
    {"fuzzy token windows, colours",
     "the old harbur and\nthe old harbour\n",
     {"--color=always", "-Z", "--separator", " ", "old harbour"},
     g + "1" + r + ":the " + m + "old harbur" + r + " and\n" + g + "2" + r + ":the " + m + "old harbour" + r + "\n"},
    {"column after wide code points",
     "\xe6\x97\xa5\xe6\x9c\xac needle\n\xe2\x82\xac\xe2\x82\xac x needle",
     {"--column", "needle"},
     "1:4:\xe6\x97\xa5\xe6\x9c\xac needle\n2:6:\xe2\x82\xac\xe2\x82\xac x needle\n"},
    {"two patterns on one line, colours",
     "one two three\n",
     {"--color=always", "-e", "three", "-e", "one"},
     g + "1" + r + ":" + m + "one" + r + " two " + m + "three" + r + "\n"},
    {"line without a line feed", "a\nneedle", {"needle"}, "2:needle\n"},
    // Many patterns: each match names its own; a stretch or a line that
    // several find is printed once unless the patterns are named.
    {"only matching, a stretch that two patterns find",
     "a needle\n",
     {"-o", "-e", "needle", "-e", "needle"},
     "1:needle\n"},
    {"only matching, patterns named",
     "one two\n",
     {"-o", "--with-pattern", "-e", "two", "-e", "one", "-e", "one"},
     "1:one\tone\n1:one\tone\n1:two\ttwo\n"},
    {"json, two patterns",
     "ab cd",
     {"--json", "-e", "cd", "-e", "ab"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 1, \"start\": 0, \"end\": 2, \"score\": 0.0, \"text\": "
     "\"ab\", \"shown_start\": 0, \"shown_end\": 2, \"module_start\": 0, \"module_end\": 2, \"byte_start\": 0, "
     "\"byte_end\": 2, \"pattern\": \"ab\", \"pattern_index\": 1}\n{\"path\": \"<stdin>\", \"line\": 1, "
     "\"column\": 4, \"start\": 3, \"end\": 5, \"score\": 0.0, \"text\": \"cd\", \"shown_start\": 3, "
     "\"shown_end\": 5, \"module_start\": 3, \"module_end\": 5, \"byte_start\": 3, \"byte_end\": 5, "
     "\"pattern\": \"cd\", \"pattern_index\": 0}\n"},
    {"fuzzy patterns, each line once",
     "the lighthose\nno\nthe harbur\n",
     {"-Z", "--absolute", "-t", "1", "-e", "harbour", "-e", "lighthouse", "-e", "lighthous"},
     "1:the lighthose\n3:the harbur\n"},
    {"empty lines of context", "\n\nneedle\n\n\n", {"-C", "1", "needle"}, "2-\n3:needle\n4-\n"},
    // A match over a line feed, and another on its last line: each line once.
    {"a line once, after a match over a line feed", "foo \nbar foo  bar\n", {"foo  bar"}, "1:foo \n2:bar foo  bar\n"},
    {"counted once", "foo \nbar foo  bar\n", {"-c", "foo  bar"}, "2\n"},
    {"overlapping token windows", "a\na a\n", {"--separator", " ", "a a"}, "1:a\n2:a a\n"},
    {"a limit inside a group of lines", "foo \nbar foo  bar\n", {"-m", "1", "foo  bar"}, "1:foo \n2:bar foo  bar\n"},
    // CR LF ends a line as LF does; a line keeps its own ending.
    {"CR LF between words", "we had petit\r\ndejeuner\n", {"-i", "petit dejeuner"}, "1:we had petit\r\n2:dejeuner\n"},
    {"CR LF kept", "one\r\ntwo\r\n", {"two"}, "2:two\r\n"},
    {"CR LF outside the colours",
     "one\r\ntwo\r\n",
     {"--color=always", "two"},
     g + "2" + r + ":" + m + "two" + r + "\r\n"},
    {"a lone CR is text",
     "a\rb\n",
     {"--json", "a\rb"},
     "{\"path\": \"<stdin>\", \"line\": 1, \"column\": 1, \"start\": 0, \"end\": 3, \"score\": 0.0, \"text\": "
     "\"a\\rb\", \"shown_start\": 0, \"shown_end\": 3, \"module_start\": 0, \"module_end\": 3, \"byte_start\": 0, "
     "\"byte_end\": 3, \"pattern\": \"a\\rb\", \"pattern_index\": 0}\n"},
    {"CR LF in positions",
     "x\r\ny b\r\nz",
     {"--json", "b z"},
     "{\"path\": \"<stdin>\", \"line\": 2, \"column\": 3, \"start\": 5, \"end\": 9, \"score\": 0.0, \"text\": "
     "\"b\\r\\nz\", \"shown_start\": 5, \"shown_end\": 9, \"module_start\": 4, \"module_end\": 7, \"byte_start\": 5, "
     "\"byte_end\": 9, \"pattern\": \"b z\", \"pattern_index\": 0}\n"},
    // Special characters fold within the window wherever they lie.
    {"accents past a space", "a b \xc3\xa9\n", {"--ignore-accents", "a b e"}, "1:a b \xc3\xa9\n"},
    {"Kelvin sign past a space", "x y \xe2\x84\xaa\n", {"-i", "x y k"}, "1:x y \xe2\x84\xaa\n"},
    {"binary", std::string("needle\0zz\n", 10), {"needle"}, "-: binary file matches\n"},
    {"binary, counted", std::string("needle\0zz\n", 10), {"-c", "needle"}, "1\n"},
    {"binary read as text", std::string("needle\0zz\n", 10), {"-a", "needle"}, std::string("1:needle\0zz\n", 12)},
    {"a byte-order mark is not text", "\xef\xbb\xbfneedle\n", {"--column", "needle"}, "1:1:needle\n"},
    {"UTF-16", std::string("\xff\xfen\0e\0\n\0b\0i\0g\0\n\0", 16), {"big"}, "2:big\n"},
};

void test_printing()
{
    for (const PrintCase& test : print_cases) {
        for (const std::size_t segment : {std::size_t{1} << 20, std::size_t{1}, std::size_t{7}}) {
            const SearchSettings settings = settings_of(test.args, segment);
            std::mt19937_64 random(segment);
            for (int split = 0; split < 20; ++split) {
                const std::string out = printed(settings, "-", test.text, split == 0 ? nullptr : &random);
                const std::string label = test.args[0] == "--json" ? "<stdin>" : "-";
                const std::string json_out = label == "-" ? out : printed(settings, label, test.text, nullptr);
                check((label == "-" ? out : json_out) == test.expected,
                      std::string(test.name) + " (segment " + std::to_string(segment) + "): got [" +
                          shown(label == "-" ? out : json_out) + "], want [" + shown(test.expected) + "]");
                if (label != "-") break;
            }
        }
    }
}

void test_json_values()
{
    const std::pair<double, const char*> floats[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {0.046666666666666745, "0.046666666666666745"},
        {1e-05, "1e-05"},
        {1.5e-07, "1.5e-07"},
        {1e+16, "1e+16"},
        {1.2345678901234568e+17, "1.2345678901234568e+17"},
        {0.0001, "0.0001"},
        {1.234e-05, "1.234e-05"},
        {5e-324, "5e-324"},
        {1e+22, "1e+22"},
        {12345.678, "12345.678"},
        {2.0, "2.0"},
        {100.0, "100.0"},
        {123456789.0, "123456789.0"},
        {1e15, "1000000000000000.0"},
        {0.30000000000000004, "0.30000000000000004"},
        {1.7976931348623157e+308, "1.7976931348623157e+308"},
    };
    for (const auto& [value, repr] : floats) {
        std::string out;
        append_python_float(value, out);
        check(out == repr, std::string("the float ") + repr + ": got " + out);
    }
    const std::pair<std::string, std::string> strings[] = {
        {"x\"\\\n\r\t\b\f\x01\x1f\x7f\xe2\x80\xa8\xc3\xa9",
         "\"x\\\"\\\\\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xe2\x80\xa8\xc3\xa9\""},
        {"a\xff"
         "b",
         "\"a\xef\xbf\xbd"
         "b\""},
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const auto& [bytes, json] : strings) {
        std::string out;
        append_json_string(bytes, out);
        check(out == json, "the JSON string " + shown(json) + ": got " + shown(out));
    }
}

struct ReadCase {
    const char* name;
    std::string raw;
    bool text_mode;
    std::string text;
    bool binary_at_start, binary;
};

const std::vector<ReadCase> read_cases = {
    {"UTF-8 as it is", "a\xc3\xa9", false, "a\xc3\xa9", false, false},
    {"the UTF-8 mark skipped",
     "\xef\xbb\xbf"
     "abc",
     false, "abc", false, false},
    {"only the first mark", "\xef\xbb\xbf\xef\xbb\xbf", false, "\xef\xbb\xbf", false, false},
    {"UTF-16, little end first",
     std::string("\xff\xfe"
                 "a\0\xe9\0",
                 6),
     false, "a\xc3\xa9", false, false},
    {"UTF-16, big end first", std::string("\xfe\xff\0a\xd8\x3d\xde\x00", 8), false, "a\xf0\x9f\x98\x80", false, false},
    {"a high surrogate alone",
     std::string("\xff\xfe\x00\xd8"
                 "a\0",
                 6),
     false,
     "\xef\xbf\xbd"
     "a",
     false, false},
    {"a low surrogate alone",
     std::string("\xff\xfe\x00\xdc"
                 "a\0",
                 6),
     false,
     "\xef\xbf\xbd"
     "a",
     false, false},
    {"two high surrogates and a low", std::string("\xff\xfe\x00\xd8\x00\xd8\x00\xdc", 8), false,
     "\xef\xbf\xbd\xf0\x90\x80\x80", false, false},
    {"a byte left over",
     std::string("\xff\xfe"
                 "a\0b",
                 5),
     false, "a\xef\xbf\xbd", false, false},
    {"a surrogate at the end", std::string("\xff\xfe\x00\xd8", 4), false, "\xef\xbf\xbd", false, false},
    {"a NUL at the start", std::string("ab\0c", 4), false, std::string("ab\0c", 4), true, true},
    {"a NUL past the first 8 KiB", std::string(9000, 'x') + std::string(1, '\0'), false,
     std::string(9000, 'x') + std::string(1, '\0'), false, true},
    {"a NUL read as text", std::string("ab\0c", 4), true, std::string("ab\0c", 4), false, false},
    {"a NUL after the mark", std::string("\xef\xbb\xbf\0", 4), false, std::string(1, '\0'), true, true},
};

void test_reading()
{
    std::mt19937_64 random(7);
    for (const ReadCase& test : read_cases) {
        for (int split = 0; split < 30; ++split) {
            InputDecoder decoder(test.text_mode);
            StreamBuffer text;
            for (std::size_t at = 0; at < test.raw.size();) {
                const std::size_t block = split == 0 ? test.raw.size() : 1 + random() % 5;
                decoder.push(std::string_view(test.raw).substr(at, block), false, false, text);
                at += block;
            }
            decoder.push("", true, false, text);
            const HeldBytes held = text.held();
            check(std::string(held.bytes) == test.text, std::string(test.name) + ": the text");
            check(decoder.binary_at_start() == test.binary_at_start && decoder.binary() == test.binary,
                  std::string(test.name) + ": binary");
        }
    }
}

// Lines come as soon as they are complete when the reader waits, and each
// still once.
void test_waiting_reader()
{
    const SearchSettings settings = settings_of({"foo"}, StreamSearch::default_segment);
    StreamBuffer buffer;
    FileSearch search(settings, "-", false, buffer);
    Cancellation never;
    std::string out;
    search.push("foo one\n", false, true, never, out);
    check(out == "1:foo one\n", "a line while the reader waits: got [" + shown(out) + "]");
    search.push("foo two\nfoo", false, true, never, out);
    search.push(" three\n", true, false, never, out);
    check(out == "1:foo one\n2:foo two\n3:foo three\n", "each line once: got [" + shown(out) + "]");
}

} // namespace

int main()
{
    test_printing();
    test_json_values();
    test_reading();
    test_waiting_reader();
    if (failures > 0) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok: the command's reading and printing\n");
    return 0;
}
