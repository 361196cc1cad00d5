// Coverage-guided fuzzing of the command's search of files (libFuzzer, with
// AddressSanitizer and UndefinedBehaviorSanitizer). The input builds a text,
// often longer than the first read that decides how a file is read, a query,
// a segment size, and the blocks the text arrives in, with the reader
// waiting after some of them. The stream search's matches must be those of
// one search over the whole text for each of its patterns, located where they lie
// (tests/cpp/stream_check.hpp); the file search must print each line once,
// in order, however the text arrives.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/stream_check.hpp"
#include "stream/file_search.hpp"

using namespace tessarin;

namespace {

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

const char* const metrics[] = {
    "levenshtein",         "osa",         "indel", "lcs_seq", "hamming", "jaro", "prefix", "postfix",
    "damerau_levenshtein", "jaro_winkler"};
const char* const separators[] = {" ", ",", "  ", "ab", "a", "\n", ". ", "\r\n"};
constexpr std::size_t longest_text = std::size_t{32} << 10;

std::string pieces_of(FuzzedDataProvider& input, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i)
        text += testing::text_pieces[input.ConsumeIntegralInRange<std::size_t>(0, std::size(testing::text_pieces) - 1)];
    return text;
}

StreamQuery query_of(FuzzedDataProvider& input)
{
    StreamQuery query;
    query.mode = static_cast<SearchMode>(input.ConsumeIntegralInRange(0, 3));
    query.pattern = pieces_of(input, input.ConsumeIntegralInRange<std::size_t>(1, 5));
    query.separator = separators[input.ConsumeIntegralInRange<std::size_t>(0, std::size(separators) - 1)];
    query.options.case_insensitive = input.ConsumeBool();
    query.options.special_char_insensitive = input.ConsumeBool();
    query.options.metric = MetricChoice(std::string(metrics[input.ConsumeIntegralInRange<std::size_t>(0, 9)]));
    const bool normalized = input.ConsumeBool();
    query.options.threshold_kind = normalized ? ThresholdKind::Normalized : ThresholdKind::Absolute;
    query.options.threshold =
        normalized ? input.ConsumeIntegralInRange(0, 10) / 10.0 : input.ConsumeIntegralInRange(0, 3);
    const Strategy strategies[] = {Strategy::best_match, Strategy::shortest, Strategy::longest,
                                   Strategy::minimum_isolated_character};
    for (int n = input.ConsumeIntegralInRange(0, 2); n > 0; --n)
        query.options.strategies.add(strategies[input.ConsumeIntegralInRange(0, 3)]);
    query.crlf_line_feeds = input.ConsumeBool();
    query.collapse_white_space = input.ConsumeIntegral<std::uint8_t>() % 4 == 0;
    return query;
}

// The line numbers that lead the printed lines ("--" between groups aside)
// must rise one after the other.
void check_lines_once(const std::string& out)
{
    std::uint64_t last = 0;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        if (end == std::string::npos) broken("printed output ends without a line feed");
        const std::string line = out.substr(at, end - at);
        at = end + 1;
        if (line == "--") continue;
        const std::uint64_t number = std::strtoull(line.c_str(), nullptr, 10);
        if (number <= last) broken("a line printed twice, or out of order");
        last = number;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const StreamQuery query = query_of(input);
    const std::size_t segment = input.ConsumeIntegralInRange<std::size_t>(1, 1 << 17);
    const std::size_t largest_block = std::size_t{1} << input.ConsumeIntegralInRange(0, 17);
    const int waits = input.ConsumeIntegralInRange(0, 8); // in eight blocks
    const std::size_t context = input.ConsumeIntegralInRange(0, 2);
    std::mt19937_64 random(input.ConsumeIntegral<std::uint64_t>());
    // A piece of text, repeated: long texts of few bytes of input.
    const std::size_t copies = input.ConsumeIntegralInRange<std::size_t>(1, 2000);
    const std::string piece = pieces_of(input, input.ConsumeIntegralInRange<std::size_t>(0, 200));
    std::string text;
    for (std::size_t k = 0; k < copies && text.size() + piece.size() <= longest_text; ++k)
        text += piece;

    // More patterns searched with the first, read last so that earlier
    // inputs keep their meaning: made of pieces, or cut from another pattern.
    std::vector<StreamQuery> queries{query};
    for (std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, 4); n > 0; --n) {
        StreamQuery other = query;
        const std::string& earlier = queries[input.ConsumeIntegralInRange<std::size_t>(0, queries.size() - 1)].pattern;
        other.pattern = input.ConsumeBool()
                            ? earlier.substr(0, input.ConsumeIntegralInRange<std::size_t>(0, earlier.size()))
                            : pieces_of(input, input.ConsumeIntegralInRange<std::size_t>(1, 5));
        queries.push_back(other);
    }

    const auto next_block = [&] {
        return std::pair<std::size_t, bool>(1 + random() % largest_block, static_cast<int>(random() % 8) < waits);
    };
    testing::check_stream(queries, text, segment, next_block, [](bool condition, const char* what) {
        if (!condition) broken(what);
    });

    SearchSettings settings;
    for (const StreamQuery& each : queries)
        settings.queries.emplace_back(each);
    settings.print.before = settings.print.after = context;
    settings.text_mode = true;
    settings.segment_bytes = segment;
    StreamBuffer buffer;
    Cancellation never;
    std::string out;
    try {
        FileSearch search(settings, "-", false, buffer);
        for (std::size_t at = 0; at < text.size();) {
            const auto [block, waiting] = next_block();
            search.push(std::string_view(text).substr(at, block), false, waiting, never, out);
            at += block;
        }
        search.push("", true, false, never, out);
    } catch (const ExtractionFailure&) {
        return 0; // as the whole text's search fails (checked above)
    }
    check_lines_once(out);
    return 0;
}
