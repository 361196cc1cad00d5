#include "stream/literals.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "text/ascii_vector.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessarin {
namespace {

std::string utf8_of(char32_t c)
{
    char encoded[4];
    return std::string(encoded, utf8::encode(c, encoded));
}

bool has(const std::array<std::uint64_t, 4>& set, unsigned char byte) noexcept
{
    return (set[byte >> 6] >> (byte & 63)) & 1;
}

// How common a byte is in text, roughly: a byte set of rare bytes sifts out
// the most candidates.
int commonness(unsigned char byte) noexcept
{
    if (byte >= 0x80) return byte < 0xC0 ? 2 : 6; // continuations vary; leads repeat within a script
    if (byte == ' ' || byte == '\n') return 10;
    if (byte >= 'a' && byte <= 'z') return std::strchr("etaoinshrdlu", byte) ? 8 : 5;
    if (byte >= 'A' && byte <= 'Z') return 3;
    return 4;
}

// Calls visit(form, length) with what folding makes of `c` alone: a capital
// sigma twice, as either sigma.
template <typename Visit> void folded_forms(char32_t c, bool case_insensitive, bool special, Visit visit)
{
    char32_t form[unicode::longest_lower_form];
    unsigned length = 1;
    form[0] = c == '\n' ? U' ' : c;
    if (case_insensitive && c != '\n') length = unicode::lower_full(c, form);
    if (special)
        for (unsigned k = 0; k < length; ++k)
            form[k] = unicode::special_fold(form[k]);
    visit(form, length);
    if (case_insensitive && c == unicode::capital_sigma) {
        const char32_t final_form[1] = {unicode::final_sigma};
        visit(final_form, 1u);
    }
}

} // namespace

RawLiteralFinder::RawLiteralFinder(const std::vector<std::u32string>& literals, bool case_insensitive,
                                   bool special_char_insensitive, bool crlf_line_feeds)
{
    std::set<char32_t> wanted;
    for (const std::u32string& literal : literals)
        wanted.insert(literal.begin(), literal.end());

    // The code points that fold to something else: line feeds, the special
    // characters, and with case folding every one lower-casing changes.
    std::vector<char32_t> changing(wanted.begin(), wanted.end());
    changing.push_back('\n');
    if (special_char_insensitive)
        for (const char32_t c : {0x40, 0xE0, 0xE2, 0xE4, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEF, 0xF9, 0xFB, 0xFC, 0x20AC})
            changing.push_back(c);
    if (case_insensitive)
        for (char32_t c = 0; c < unicode::lower_changes_limit; ++c)
            if (unicode::lower_changes(c)) changing.push_back(c);
    std::sort(changing.begin(), changing.end());
    changing.erase(std::unique(changing.begin(), changing.end()), changing.end());

    // For each code point of a literal, those that fold to it alone and are
    // as long in UTF-8; the others that fold into one are seeds.
    std::map<char32_t, std::set<std::string>> variants;
    std::set<std::string> seeds;
    for (const char32_t c : changing)
        folded_forms(c, case_insensitive, special_char_insensitive, [&](const char32_t* form, unsigned length) {
            if (length == 1 && wanted.count(form[0])) {
                if (utf8_of(c).size() == utf8_of(form[0]).size())
                    variants[form[0]].insert(utf8_of(c));
                else
                    seeds.insert(utf8_of(c));
            } else if (length > 1 && std::any_of(form, form + length, [&](char32_t f) { return wanted.count(f); })) {
                seeds.insert(utf8_of(c));
            }
        });
    // Read with its line feed as one, a CR stands for a space.
    if (crlf_line_feeds && wanted.count(U' ')) seeds.insert("\r");
    seeds_.assign(seeds.begin(), seeds.end());

    for (const std::u32string& literal : literals) {
        Pattern pattern;
        bool occurs = true;
        for (const char32_t c : literal) {
            const auto found = variants.find(c);
            if (found == variants.end()) { // only a seed makes it
                occurs = false;
                break;
            }
            const std::size_t first = pattern.bytes.size();
            pattern.bytes.resize(first + utf8_of(c).size(), ByteSet{});
            for (const std::string& variant : found->second)
                for (std::size_t k = 0; k < variant.size(); ++k) {
                    const auto byte = static_cast<unsigned char>(variant[k]);
                    pattern.bytes[first + k][byte >> 6] |= std::uint64_t{1} << (byte & 63);
                }
        }
        if (!occurs) continue;
        // The two byte sets that sift best: few bytes, and rare ones.
        std::vector<std::pair<int, std::size_t>> ranked;
        for (std::size_t at = 0; at < pattern.bytes.size(); ++at) {
            int members = 0, weight = 0;
            for (int byte = 0; byte < 256; ++byte)
                if (has(pattern.bytes[at], static_cast<unsigned char>(byte))) {
                    ++members;
                    weight += commonness(static_cast<unsigned char>(byte));
                }
            if (members <= 4) ranked.emplace_back(weight, at);
        }
        std::sort(ranked.begin(), ranked.end());
        for (int k = 0; k < 2; ++k) {
            const std::size_t at = ranked.empty() ? 0 : ranked[std::min<std::size_t>(k, ranked.size() - 1)].second;
            pattern.sift_at[k] = at;
            if (ranked.empty()) continue;
            for (int byte = 0; byte < 256; ++byte)
                if (has(pattern.bytes[at], static_cast<unsigned char>(byte)))
                    pattern.sift_values[k].push_back(static_cast<unsigned char>(byte));
        }
        patterns_.push_back(std::move(pattern));
    }

    seed_starts_.bytes.assign(1, ByteSet{});
    for (const std::string& seed : seeds_) {
        const auto byte = static_cast<unsigned char>(seed[0]);
        seed_starts_.bytes[0][byte >> 6] |= std::uint64_t{1} << (byte & 63);
    }
    for (int byte = 0; byte < 256; ++byte)
        if (has(seed_starts_.bytes[0], static_cast<unsigned char>(byte)))
            seed_starts_.sift_values[0].push_back(static_cast<unsigned char>(byte));
    if (seed_starts_.sift_values[0].size() > 4) seed_starts_.sift_values[0].clear();
    seed_starts_.sift_values[1] = seed_starts_.sift_values[0];
}

void RawLiteralFinder::find(std::string_view bytes, std::vector<std::size_t>& found, Cancellation& cancel) const
{
    const std::size_t before = found.size();
    for (const Pattern& pattern : patterns_)
        find(pattern, bytes, found, cancel);
    if (!seeds_.empty()) {
        std::vector<std::size_t> starts;
        find(seed_starts_, bytes, starts, cancel);
        for (const std::size_t at : starts)
            for (const std::string& seed : seeds_)
                if (bytes.compare(at, seed.size(), seed) == 0) {
                    found.push_back(at);
                    break;
                }
    }
    if (patterns_.size() + !seeds_.empty() > 1) {
        std::sort(found.begin() + static_cast<std::ptrdiff_t>(before), found.end());
        found.erase(std::unique(found.begin() + static_cast<std::ptrdiff_t>(before), found.end()), found.end());
    }
}

// Every start p where each byte of the pattern is in its set, the two
// sifting sets first, sixteen starts at a time.
void RawLiteralFinder::find(const Pattern& pattern, std::string_view bytes, std::vector<std::size_t>& found,
                            Cancellation& cancel) const
{
    const std::size_t length = pattern.bytes.size(), n = bytes.size();
    if (length == 0 || length > n) return;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto matches_at = [&](std::size_t at) {
        for (std::size_t k = 0; k < length; ++k)
            if (!has(pattern.bytes[k], data[at + k])) return false;
        return true;
    };
    std::size_t at = 0;
    cancel.poll(n);
#if TESSARIN_SSE2
    using namespace detail;
    const std::vector<unsigned char>&first = pattern.sift_values[0], &second = pattern.sift_values[1];
    if (!first.empty() && !second.empty()) {
        const std::size_t a = pattern.sift_at[0], b = pattern.sift_at[1], reach = std::max(a, b);
        Vector firsts[4], seconds[4];
        for (std::size_t k = 0; k < 4; ++k) {
            firsts[k] = splat(static_cast<char>(first[std::min(k, first.size() - 1)]));
            seconds[k] = splat(static_cast<char>(second[std::min(k, second.size() - 1)]));
        }
        const auto in = [](Vector v, const Vector* values) {
            return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, values[0]), _mm_cmpeq_epi8(v, values[1])),
                                _mm_or_si128(_mm_cmpeq_epi8(v, values[2]), _mm_cmpeq_epi8(v, values[3])));
        };
        for (; at + reach + vector_size <= n && at + length <= n; at += vector_size) {
            const char* base = bytes.data() + at;
            unsigned hits = high_bits(_mm_and_si128(in(load(base + a), firsts), in(load(base + b), seconds)));
            for (; hits; hits &= hits - 1) {
                const std::size_t candidate = at + static_cast<std::size_t>(__builtin_ctz(hits));
                if (candidate + length <= n && matches_at(candidate)) found.push_back(candidate);
            }
        }
    }
#endif
    for (; at + length <= n; ++at)
        if (matches_at(at)) found.push_back(at);
}

} // namespace tessarin
