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

// The comparisons that tell a byte set, if it is small: a letter in either
// case is one comparison after OR-ing 0x20 in, other bytes one each.
RawLiteralFinder::Sift RawLiteralFinder::sift_of(const ByteSet& set, std::size_t at)
{
    Sift sift;
    sift.at = at;
    std::vector<unsigned char> members;
    for (int byte = 0; byte < 256; ++byte)
        if (has(set, static_cast<unsigned char>(byte))) members.push_back(static_cast<unsigned char>(byte));
    if (members.size() == 2 && (members[0] ^ members[1]) == 0x20 && (members[1] | 0x20) >= 'a' &&
        (members[1] | 0x20) <= 'z') {
        sift.mask = 0x20;
        sift.values[0] = members[1] | 0x20;
        sift.count = 1;
    } else if (!members.empty() && members.size() <= 4) {
        std::copy(members.begin(), members.end(), sift.values);
        sift.count = static_cast<int>(members.size());
    }
    return sift;
}

namespace {

#if TESSARIN_SSE2
// Whether each byte of `v`, with `mask` OR-ed in, equals one of Count values.
template <int Count> inline __m128i in_set(__m128i v, __m128i mask, const __m128i* values)
{
    v = _mm_or_si128(v, mask);
    __m128i hit = _mm_cmpeq_epi8(v, values[0]);
    if constexpr (Count > 1) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, values[1]));
    if constexpr (Count > 2) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, values[2]));
    if constexpr (Count > 3) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, values[3]));
    return hit;
}
#endif

#if TESSARIN_AVX2
template <int Count>
__attribute__((target("avx2"))) inline __m256i in_set(__m256i v, __m256i mask, const __m256i* values)
{
    v = _mm256_or_si256(v, mask);
    __m256i hit = _mm256_cmpeq_epi8(v, values[0]);
    if constexpr (Count > 1) hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, values[1]));
    if constexpr (Count > 2) hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, values[2]));
    if constexpr (Count > 3) hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, values[3]));
    return hit;
}
#endif

// What a sift compares with, once per search of a text: two byte sets of
// the pattern at their offsets, and the first bytes of the seeds, if they
// are looked for in the same pass.
struct SiftSetting {
    std::size_t first_at, second_at;
    unsigned char masks[2];
    unsigned char values[3][4];
};

// The starts, a vector at a time, where both sifting bytes are in their
// sets, to `check`, and with S the bytes that may begin a seed, to
// `check_seed`; returns where it stopped (fewer than a vector's worth of
// starts left).
template <int A, int B, int S, typename Check, typename CheckSeed>
std::size_t sift_sse2(const unsigned char* data, std::size_t n, std::size_t reach, const SiftSetting& s, Check check,
                      CheckSeed check_seed)
{
    std::size_t at = 0;
#if TESSARIN_SSE2
    __m128i masks[3], values[3][4];
    for (int k = 0; k < 3; ++k) {
        masks[k] = _mm_set1_epi8(static_cast<char>(k < 2 ? s.masks[k] : 0));
        for (int v = 0; v < 4; ++v)
            values[k][v] = _mm_set1_epi8(static_cast<char>(s.values[k][v]));
    }
    for (; at + reach + 16 <= n; at += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + s.first_at));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + s.second_at));
        auto hits = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(in_set<A>(first, masks[0], values[0]), in_set<B>(second, masks[1], values[1]))));
        for (; hits; hits &= hits - 1)
            check(at + static_cast<std::size_t>(__builtin_ctz(hits)));
        if constexpr (S > 0) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
            for (auto seeds = static_cast<unsigned>(_mm_movemask_epi8(in_set<S>(here, masks[2], values[2]))); seeds;
                 seeds &= seeds - 1)
                check_seed(at + static_cast<std::size_t>(__builtin_ctz(seeds)));
        }
    }
#endif
    return at;
}

#if TESSARIN_AVX2
template <int A, int B, int S, typename Check, typename CheckSeed>
__attribute__((target("avx2"))) std::size_t sift_avx2(const unsigned char* data, std::size_t n, std::size_t reach,
                                                      const SiftSetting& s, Check check, CheckSeed check_seed)
{
    __m256i masks[3], values[3][4];
    for (int k = 0; k < 3; ++k) {
        masks[k] = _mm256_set1_epi8(static_cast<char>(k < 2 ? s.masks[k] : 0));
        for (int v = 0; v < 4; ++v)
            values[k][v] = _mm256_set1_epi8(static_cast<char>(s.values[k][v]));
    }
    std::size_t at = 0;
    for (; at + reach + 32 <= n; at += 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + s.first_at));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + s.second_at));
        auto hits = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(in_set<A>(first, masks[0], values[0]), in_set<B>(second, masks[1], values[1]))));
        for (; hits; hits &= hits - 1)
            check(at + static_cast<std::size_t>(__builtin_ctz(hits)));
        if constexpr (S > 0) {
            const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
            for (auto seeds = static_cast<unsigned>(_mm256_movemask_epi8(in_set<S>(here, masks[2], values[2]))); seeds;
                 seeds &= seeds - 1)
                check_seed(at + static_cast<std::size_t>(__builtin_ctz(seeds)));
        }
    }
    return at;
}
#endif

template <int A, int B, int S, typename Check, typename CheckSeed>
std::size_t sift_counted(const unsigned char* data, std::size_t n, std::size_t reach, const SiftSetting& s, Check check,
                         CheckSeed check_seed)
{
#if TESSARIN_AVX2
    if (detail::has_avx2()) return sift_avx2<A, B, S>(data, n, reach, s, check, check_seed);
#endif
    return sift_sse2<A, B, S>(data, n, reach, s, check, check_seed);
}

template <int A, int S, typename Check, typename CheckSeed>
std::size_t sift_second(int b, const unsigned char* data, std::size_t n, std::size_t reach, const SiftSetting& s,
                        Check check, CheckSeed check_seed)
{
    switch (b) {
    case 1: return sift_counted<A, 1, S>(data, n, reach, s, check, check_seed);
    case 2: return sift_counted<A, 2, S>(data, n, reach, s, check, check_seed);
    default: return sift_counted<A, 4, S>(data, n, reach, s, check, check_seed);
    }
}

template <int S, typename Check, typename CheckSeed>
std::size_t sift_first(int a, int b, const unsigned char* data, std::size_t n, std::size_t reach, const SiftSetting& s,
                       Check check, CheckSeed check_seed)
{
    switch (a) {
    case 1: return sift_second<1, S>(b, data, n, reach, s, check, check_seed);
    case 2: return sift_second<2, S>(b, data, n, reach, s, check, check_seed);
    default: return sift_second<4, S>(b, data, n, reach, s, check, check_seed);
    }
}

} // namespace

// The starts that the pattern's two sifts let through, checked whole, and,
// where `seeds` holds at most two first bytes, the seeds in the same pass
// (`seeded` tells); where the vectors stopped.
std::size_t RawLiteralFinder::sift(const Pattern& pattern, const unsigned char* data, std::size_t n,
                                   std::vector<std::size_t>& found, const std::vector<std::string>& seeds,
                                   const std::string& seed_leads, bool& seeded)
{
    const Sift& a = pattern.sifts[0];
    const Sift& b = pattern.sifts[1];
    const std::size_t length = pattern.bytes.size();
    SiftSetting setting{a.at, b.at, {a.mask, b.mask}, {}};
    for (int v = 0; v < 4; ++v) {
        setting.values[0][v] = a.values[std::min(v, a.count - 1)];
        setting.values[1][v] = b.values[std::min(v, b.count - 1)];
        if (!seed_leads.empty())
            setting.values[2][v] =
                static_cast<unsigned char>(seed_leads[std::min<std::size_t>(v, seed_leads.size() - 1)]);
    }
    const std::size_t reach = std::max({a.at, b.at, length - 1});
    const auto check = [&](std::size_t at) {
        for (std::size_t k = 0; k < length; ++k)
            if (!has(pattern.bytes[k], data[at + k])) return;
        found.push_back(at);
    };
    const auto check_seed = [&](std::size_t at) {
        for (const std::string& seed : seeds)
            if (at + seed.size() <= n && std::memcmp(data + at, seed.data(), seed.size()) == 0) {
                found.push_back(at);
                return;
            }
    };
    seeded = !seed_leads.empty() && seed_leads.size() <= 2;
    const std::size_t stop = seeded ? sift_first<2>(a.count, b.count, data, n, reach, setting, check, check_seed)
                                    : sift_first<0>(a.count, b.count, data, n, reach, setting, check, check_seed);
    if (seeded)
        for (std::size_t at = stop; at < n; ++at)
            check_seed(at);
    return stop;
}

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
    if (case_insensitive) unicode::for_each_lower_changing([&](char32_t c) { changing.push_back(c); });
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
            int weight = 0;
            const Sift sift = sift_of(pattern.bytes[at], at);
            for (int byte = 0; byte < 256; ++byte)
                if (has(pattern.bytes[at], static_cast<unsigned char>(byte)))
                    weight += commonness(static_cast<unsigned char>(byte));
            if (sift.count > 0) ranked.emplace_back(weight, at);
        }
        std::sort(ranked.begin(), ranked.end());
        if (!ranked.empty()) {
            pattern.sifts[0] = sift_of(pattern.bytes[ranked[0].second], ranked[0].second);
            const std::size_t second = ranked[ranked.size() > 1 ? 1 : 0].second;
            pattern.sifts[1] = sift_of(pattern.bytes[second], second);
        }
        patterns_.push_back(std::move(pattern));
    }

    seed_starts_.bytes.assign(1, ByteSet{});
    for (const std::string& seed : seeds_) {
        const auto byte = static_cast<unsigned char>(seed[0]);
        seed_starts_.bytes[0][byte >> 6] |= std::uint64_t{1} << (byte & 63);
    }
    seed_starts_.sifts[0] = seed_starts_.sifts[1] = sift_of(seed_starts_.bytes[0], 0);
    for (int byte = 0; byte < 256; ++byte)
        if (has(seed_starts_.bytes[0], static_cast<unsigned char>(byte)))
            seed_leads_.push_back(static_cast<char>(byte));
}

void RawLiteralFinder::find(std::string_view bytes, std::vector<std::size_t>& found, Cancellation& cancel) const
{
    if (bytes.empty()) return; // nothing to find, and a pointer that memchr must not get
    const std::size_t before = found.size();
    bool seeded = false;
    for (std::size_t k = 0; k < patterns_.size(); ++k)
        find(patterns_[k], bytes, found, k == 0 ? seed_leads_ : std::string(), seeded, cancel);
    if (!seeds_.empty() && !seeded) {
        const auto seed_at = [&](std::size_t at) {
            for (const std::string& seed : seeds_)
                if (bytes.compare(at, seed.size(), seed) == 0) {
                    found.push_back(at);
                    return;
                }
        };
        if (seed_leads_.size() <= 2) {
            // Seeds are rare in most texts: the C library's search for
            // their first bytes runs past the rest fastest.
            for (const char lead : seed_leads_) {
                const char* data = bytes.data();
                for (const char* at = static_cast<const char*>(std::memchr(data, lead, bytes.size())); at;
                     at = static_cast<const char*>(
                         std::memchr(at + 1, lead, bytes.size() - static_cast<std::size_t>(at + 1 - data))))
                    seed_at(static_cast<std::size_t>(at - data));
            }
        } else {
            std::vector<std::size_t> starts;
            bool unused = false;
            find(seed_starts_, bytes, starts, std::string(), unused, cancel);
            for (const std::size_t at : starts)
                seed_at(at);
        }
    }
    if (found.size() - before > 1 && (patterns_.size() > 1 || !seeds_.empty())) {
        std::sort(found.begin() + static_cast<std::ptrdiff_t>(before), found.end());
        found.erase(std::unique(found.begin() + static_cast<std::ptrdiff_t>(before), found.end()), found.end());
    }
}

// Every start p where each byte of the pattern is in its set, the two
// sifting sets first, a vector of starts at a time; with `seed_leads`, the
// seeds too where that pass can look for them (`seeded` tells).
void RawLiteralFinder::find(const Pattern& pattern, std::string_view bytes, std::vector<std::size_t>& found,
                            const std::string& seed_leads, bool& seeded, Cancellation& cancel) const
{
    const std::size_t length = pattern.bytes.size(), n = bytes.size();
    if (length == 0 || length > n) return;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    cancel.poll(n);
    std::size_t at = 0;
    if (pattern.sifts[0].count > 0) at = sift(pattern, data, n, found, seeds_, seed_leads, seeded);
    for (; at + length <= n; ++at) {
        std::size_t k = 0;
        while (k < length && has(pattern.bytes[k], data[at + k]))
            ++k;
        if (k == length) found.push_back(at);
    }
}

} // namespace tessarin
