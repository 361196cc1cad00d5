// Folding of fixed-width code units (fold_units, for Latin-1, UCS-2 and
// UCS-4) and of UTF-8 (fold_text) against a plain reference written the way
// str.lower() reads a text: code point by code point, a capital sigma
// looking at its neighbours. The per-code-point tables themselves are
// checked against str.lower() by the Python suite. Random texts over
// alphabets that stress each step, then long and adversarial ones: runs
// beyond one poll piece, a change at a piece's edge, a final-sigma context
// across pieces, text that lower-casing lengthens throughout. A text that
// folding leaves alone must come back as the input itself, not a copy.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "text/text.hpp"
#include "text/unicode.hpp"

namespace {

using tessarin::Cancellation;
namespace unicode = tessarin::unicode;

int failures = 0;

void fail(const char* what, const std::u32string& text, bool case_insensitive, bool special)
{
    if (++failures > 10) return;
    std::printf("FAIL: %s (case_insensitive=%d special=%d), text of %zu code points:", what, case_insensitive, special,
                text.size());
    for (std::size_t i = 0; i < text.size() && i < 24; ++i)
        std::printf(" %04X", static_cast<unsigned>(text[i]));
    std::printf("%s\n", text.size() > 24 ? " ..." : "");
}

unicode::CaseClass first_class_not_ignorable(const std::u32string& text, std::size_t at, int step)
{
    for (std::size_t i = at; i < text.size(); i += static_cast<std::size_t>(step)) // wraps below 0
        if (unicode::case_class(text[i]) != unicode::CaseClass::ignorable) return unicode::case_class(text[i]);
    return unicode::CaseClass::other;
}

std::u32string reference_fold(const std::u32string& text, bool case_insensitive, bool special)
{
    std::u32string spaced = text, folded;
    for (char32_t& c : spaced)
        if (c == '\n') c = ' ';
    for (std::size_t i = 0; i < spaced.size(); ++i) {
        char32_t form[unicode::longest_lower_form] = {spaced[i]};
        unsigned length = 1;
        if (case_insensitive && spaced[i] == unicode::capital_sigma) {
            const bool final = first_class_not_ignorable(spaced, i - 1, -1) == unicode::CaseClass::cased &&
                               first_class_not_ignorable(spaced, i + 1, 1) != unicode::CaseClass::cased;
            form[0] = final ? unicode::final_sigma : unicode::small_sigma;
        } else if (case_insensitive) {
            length = unicode::lower_full(spaced[i], form);
        }
        for (unsigned k = 0; k < length; ++k)
            folded += special ? unicode::special_fold(form[k]) : form[k];
    }
    return folded;
}

std::string to_utf8(const std::u32string& text)
{
    std::string bytes;
    char buffer[4];
    for (char32_t c : text)
        bytes.append(buffer, tessarin::utf8::encode(c, buffer));
    return bytes;
}

template <typename Char> std::basic_string<Char> narrow(const std::u32string& text)
{
    return std::basic_string<Char>(text.begin(), text.end());
}

template <typename Char> std::u32string widen(std::basic_string_view<Char> units)
{
    std::u32string text;
    for (Char unit : units)
        text += static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(unit));
    return text;
}

template <typename Char>
void check_units(const std::u32string& text, const std::u32string& expected, bool case_insensitive, bool special)
{
    Cancellation never;
    const std::basic_string<Char> units = narrow<Char>(text);
    const auto folded = tessarin::fold_units(std::basic_string_view<Char>(units), case_insensitive, special, never);
    if (widen(folded.view()) != expected)
        fail("fold_units differs from the reference", text, case_insensitive, special);
    const bool unchanged = expected == text;
    if (folded.borrowed() != unchanged || (unchanged && folded.view().data() != units.data()))
        fail(unchanged ? "fold_units copied a text that folding leaves alone" : "fold_units borrowed a changed text",
             text, case_insensitive, special);
}

// Every width that holds `text`, and UTF-8 unless it holds a surrogate.
void check(const std::u32string& text)
{
    char32_t widest = 0;
    bool surrogate = false;
    for (char32_t c : text) {
        widest = std::max(widest, c);
        surrogate |= c >= 0xD800 && c <= 0xDFFF;
    }
    for (const bool case_insensitive : {false, true}) {
        for (const bool special : {false, true}) {
            const std::u32string expected = reference_fold(text, case_insensitive, special);
            if (widest < 0x100) check_units<char>(text, expected, case_insensitive, special);
            if (widest < 0x10000) check_units<char16_t>(text, expected, case_insensitive, special);
            check_units<char32_t>(text, expected, case_insensitive, special);
            if (surrogate) continue;
            Cancellation never;
            const auto folded = tessarin::fold_text(to_utf8(text), case_insensitive, special, never);
            if (folded.bytes() != to_utf8(expected)) fail("fold_text differs", text, case_insensitive, special);
            if (case_insensitive && !special && text.find(U'\n') == std::u32string::npos &&
                tessarin::detail::lower_case_unicode(to_utf8(text), never) != to_utf8(expected))
                fail("lower_case_unicode differs", text, true, false);
        }
    }
}

std::u32string random_text(std::mt19937& random, const std::u32string& alphabet, std::size_t length)
{
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::u32string text;
    for (std::size_t i = 0; i < length; ++i)
        text += alphabet[pick(random)];
    return text;
}

std::u32string repeat(const std::u32string& unit, std::size_t times)
{
    std::u32string text;
    for (std::size_t i = 0; i < times; ++i)
        text += unit;
    return text;
}

} // namespace

int main()
{
    // ASCII with its capitals, '@', line feeds, case-ignorable marks;
    // Latin-1 with capitals, special characters and letters that stay.
    const std::u32string latin1 =
        U"aZ@\n '.:Q\u00C9\u00E9\u00E0\u00C0\u00E7\u00FC\u00DC\u00E1\u00DF\u00B5\u00D7\u00FF\u00A0";
    // Greek sigmas with cased letters and case-ignorable marks (U+0345 is
    // both), İ, the Kelvin sign, the euro sign, ẞ, CJK, a lone surrogate.
    const std::u32string bmp = latin1 +
                               U"\u03A3\u03A3\u03A3\u03C3\u0391\u03B1\u0130\u0345\u0301\u02B0\u2019"
                               U"\u212A\u20AC\u1E9E\u4E2D" +
                               char32_t{0xD800};
    const std::u32string astral = bmp + U"\U00010400\U00010428\U0001F600\U0001E900";
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::size_t> length(0, 48);
    for (int round = 0; round < 4000; ++round) {
        check(random_text(random, latin1, length(random)));
        check(random_text(random, bmp, length(random)));
        check(random_text(random, astral, length(random)));
    }

    // Vectors and poll pieces: stretches that folding leaves alone, longer
    // than a vector or a piece, ending with one change on either side of an
    // edge; a final sigma whose context lies a piece away; İ throughout,
    // which doubles the text as it folds.
    constexpr std::size_t piece = tessarin::pass_piece;
    for (const std::size_t run : {std::size_t{15}, std::size_t{17}, piece - 1, piece, piece + 1, 3 * piece + 5}) {
        for (const char32_t filler : {U'a', U'\u00E1', U'\u043F', U'\U0001F600'})
            for (const char32_t change : {U'\n', U'A', U'\u00C9', U'@', U'\u20AC', U'\u0130', U'\u03A3'})
                check(std::u32string(run, filler) + change + std::u32string(run % 7, filler));
        check(U"\u0391" + std::u32string(run, U'\u0301') + U"\u03A3" + std::u32string(run, U'\'') + U"\u03B1");
        check(U"\u0391" + std::u32string(run, U'\u0301') + U"\u03A3" + std::u32string(run, U'\'') + U" ");
        check(std::u32string(run, U'\u0130') + U"\u03A3");
        check(repeat(U"\u0391\u03A3\u0345", run / 3 + 1));
    }

    // Short wide texts fold a code point at a time, long ones by a table:
    // each way, every code point alone and all of them in one text (where
    // each has others around it) fold as the reference does.
    {
        Cancellation never;
        std::u32string every;
        for (char32_t c = 0; c < 0x110000; ++c)
            every += c;
        for (const bool special : {false, true}) {
            const auto folded = tessarin::fold_units(std::u32string_view(every), true, special, never);
            if (folded.view() != reference_fold(every, true, special))
                fail("every code point in one text", every, true, special);
            for (char32_t c = 0; c < 0x110000; ++c) {
                const std::u32string alone(1, c);
                if (tessarin::fold_units(std::u32string_view(alone), true, special, never).view() !=
                    reference_fold(alone, true, special))
                    fail("a code point alone", alone, true, special);
            }
        }
    }

    // Where a text is scanned for code points that lower-casing lengthens,
    // only [lengthening_first, lengthening_last] is looked at: none lies
    // outside it. The walk over the code points that lower-casing changes,
    // which passes over whole blocks, gives each of them once, in order.
    std::vector<char32_t> changing;
    tessarin::unicode::for_each_lower_changing([&](char32_t c) { changing.push_back(c); });
    std::size_t next_changing = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        char32_t form[tessarin::unicode::longest_lower_form];
        const bool outside = c < tessarin::unicode::lengthening_first || c > tessarin::unicode::lengthening_last;
        if (outside && tessarin::unicode::lower_full(c, form) > 1) {
            std::printf("FAIL: U+%04X lengthens when lower-cased, outside the bounds scanned for\n",
                        static_cast<unsigned>(c));
            ++failures;
        }
        const bool changes = tessarin::unicode::lower_full(c, form) != 1 || form[0] != c || c == 0x3A3;
        const bool listed = next_changing < changing.size() && changing[next_changing] == c;
        if (changes != listed) {
            std::printf("FAIL: U+%04X %s the code points that lower-casing changes\n", static_cast<unsigned>(c),
                        listed ? "wrongly among" : "missing from");
            ++failures;
        }
        next_changing += listed;
    }
    if (next_changing != changing.size()) {
        std::printf("FAIL: %zu code points listed as changing out of order\n", changing.size() - next_changing);
        ++failures;
    }

    // Polls come by pieces of work, and a cancelled call ends.
    std::size_t checks = 0;
    Cancellation counting([](void* count) { return ++*static_cast<std::size_t*>(count), false; }, &checks);
    const std::u16string long_text(64 * piece, u'\u0416');
    tessarin::fold_units(std::u16string_view(long_text), true, false, counting);
    if (checks < 64 * piece / Cancellation::default_interval - 1) {
        std::printf("FAIL: %zu polls folding %zu units\n", checks, long_text.size());
        ++failures;
    }
    Cancellation cancelled([](void*) { return true; }, nullptr);
    bool stopped = false;
    try {
        tessarin::fold_units(std::u16string_view(long_text), true, false, cancelled);
    } catch (const tessarin::CallCancelled&) {
        stopped = true;
    }
    if (!stopped) {
        std::printf("FAIL: a cancelled fold ran to its end\n");
        ++failures;
    }

    std::printf("folding against the reference: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
