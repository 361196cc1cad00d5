// How a long call is stopped from outside: a poll that charges the work done
// and asks the caller's check now and then, and the passes' helpers that
// keep polling through long steps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace tessarin {

// Thrown by Cancellation::poll when the caller asked to stop: the call ends
// with nothing to return.
class CallCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the call was cancelled"; }
};

// Lets a long call be stopped from outside without the library knowing who
// asks. Work is counted in rough units (a code point read, a window step);
// after every `interval` units the check runs, and when it answers true the
// call ends by throwing CallCancelled. The default interval keeps the checks'
// own cost out of sight; a shorter one shows more finely where a call polls.
class Cancellation {
public:
    using Check = bool (*)(void* context);
    static constexpr std::int64_t default_interval = std::int64_t{1} << 18;

    Cancellation() noexcept = default;
    Cancellation(Check check, void* context, std::int64_t interval = default_interval) noexcept
        : check_(check), context_(context), interval_(std::max<std::int64_t>(interval, 1)), budget_(interval_)
    {
    }

    void poll(std::uint64_t work = 1)
    {
        budget_ -= static_cast<std::int64_t>(work);
        if (__builtin_expect(budget_ <= 0, 0)) ask();
    }

private:
    // Out of line, so that a poll in a loop stays two instructions there.
    [[gnu::noinline]] void ask()
    {
        budget_ = interval_;
        if (check_ && check_(context_)) throw CallCancelled();
    }

    Check check_ = nullptr;
    void* context_ = nullptr;
    std::int64_t interval_ = default_interval;
    std::int64_t budget_ = default_interval;
};

// A long pass over bytes goes a piece of this size at a time and polls
// between pieces.
constexpr std::size_t pass_piece = std::size_t{1} << 16;

// Room a list that grows item by item takes at its first item: most lists
// of a search's results, groups and scores stay this short, and doubling
// from one item would cost an allocation at each of 1, 2, 4, 8 and 16.
constexpr std::size_t first_room = 16;

// Appends `item`. A long list outgrows its memory by moving into twice as
// much, a piece at a time with polls between pieces, where push_back would
// move it in one step.
template <typename T> void append_polled(std::vector<T>& items, const T& item, Cancellation& cancel)
{
    if (items.capacity() == 0) items.reserve(first_room);
    if (items.size() == items.capacity() && items.size() >= pass_piece) {
        std::vector<T> grown;
        grown.reserve(2 * items.size());
        for (std::size_t at = 0; at < items.size(); at += pass_piece) {
            cancel.poll(pass_piece * sizeof(T));
            grown.insert(grown.end(), items.begin() + at, items.begin() + std::min(items.size(), at + pass_piece));
        }
        items.swap(grown);
    }
    items.push_back(item);
}

} // namespace tessarin
