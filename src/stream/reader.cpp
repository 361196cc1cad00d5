#include "stream/reader.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <poll.h>
#include <unistd.h>

namespace tessarin {
namespace {

constexpr std::string_view utf8_mark = "\xEF\xBB\xBF";

// Whether `first`, the first bytes, could be the start of a byte-order mark
// whose rest is still to come.
bool could_be_cut_mark(std::string_view first) noexcept
{
    for (const std::string_view mark : {utf8_mark, std::string_view("\xFF\xFE"), std::string_view("\xFE\xFF")})
        if (first.size() < mark.size() && mark.substr(0, first.size()) == first) return true;
    return false;
}

} // namespace

void InputDecoder::push(std::string_view raw, bool at_end, bool waiting, StreamBuffer& text)
{
    if (encoding_ == Encoding::undecided) {
        pending_.append(raw);
        if (pending_.size() < first_bytes && !at_end && (!waiting || could_be_cut_mark(pending_))) return;
        decide(at_end, text);
        return;
    }
    if (encoding_ == Encoding::utf8) {
        const std::uint64_t from = text.end();
        text.append(raw);
        pushed_in_place(text.held().slice(from, text.end()));
        return;
    }
    decode_utf16(raw, at_end, text);
}

void InputDecoder::decide(bool at_end, StreamBuffer& text)
{
    const std::string first = std::move(pending_);
    pending_.clear();
    const std::uint64_t from = text.end();
    std::string_view raw(first);
    if (raw.substr(0, 2) == "\xFF\xFE" || raw.substr(0, 2) == "\xFE\xFF") {
        encoding_ = raw[0] == '\xFF' ? Encoding::utf16_little : Encoding::utf16_big;
        decode_utf16(raw.substr(2), at_end, text);
    } else {
        encoding_ = Encoding::utf8;
        if (raw.substr(0, utf8_mark.size()) == utf8_mark) raw.remove_prefix(utf8_mark.size());
        text.append(raw);
    }
    const std::string_view start = text.held().slice(from, text.end());
    if (!text_mode_ && start.substr(0, binary_probe).find('\0') != std::string_view::npos)
        binary_at_start_ = binary_ = true;
    check(start);
}

void InputDecoder::pushed_in_place(std::string_view text) noexcept
{
    check(text);
}

void InputDecoder::check(std::string_view text) noexcept
{
    // An empty file's view may hold no pointer at all, which memchr must not get.
    if (!text_mode_ && !binary_ && !text.empty() && std::memchr(text.data(), 0, text.size())) binary_ = true;
}

// Units of two bytes, surrogate pairs joined; a surrogate without its pair,
// and a byte left over at the end, read as U+FFFD.
void InputDecoder::decode_utf16(std::string_view raw, bool at_end, StreamBuffer& text)
{
    std::string joined;
    if (!pending_.empty()) {
        joined = pending_ + std::string(raw);
        pending_.clear();
        raw = joined;
    }
    std::string decoded;
    decoded.reserve(raw.size() + raw.size() / 2);
    const auto append = [&](char32_t c) {
        char encoded[4];
        decoded.append(encoded, utf8::encode(c, encoded));
    };
    const bool little = encoding_ == Encoding::utf16_little;
    std::size_t at = 0;
    for (; at + 2 <= raw.size(); at += 2) {
        const auto low_byte = static_cast<unsigned char>(raw[little ? at : at + 1]);
        const auto high_byte = static_cast<unsigned char>(raw[little ? at + 1 : at]);
        const auto unit = static_cast<char16_t>(low_byte | (high_byte << 8));
        if (high_surrogate_) {
            const char16_t high = std::exchange(high_surrogate_, char16_t{0});
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                append(0x10000 + ((char32_t{high} - 0xD800) << 10) + (unit - 0xDC00));
                continue;
            }
            append(0xFFFD);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF)
            high_surrogate_ = unit;
        else
            append(unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    pending_.assign(raw.substr(at));
    if (at_end && (high_surrogate_ || !pending_.empty())) {
        append(0xFFFD);
        high_surrogate_ = 0;
        pending_.clear();
    }
    text.append(decoded);
    check(decoded);
}

std::size_t BlockReader::read(char* out, std::size_t wanted)
{
    if (at_end_) return 0;
    ssize_t got;
    do {
        got = ::read(fd_, out, wanted);
    } while (got < 0 && errno == EINTR);
    if (got < 0) throw std::system_error(errno, std::generic_category());
    const auto count = static_cast<std::size_t>(got);
    at_end_ = count == 0 || (regular_ && count < wanted);
    return count;
}

bool BlockReader::would_wait() const noexcept
{
    if (regular_ || at_end_) return false;
    pollfd ready{fd_, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 0;
}

} // namespace tessarin
