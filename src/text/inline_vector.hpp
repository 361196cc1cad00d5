// A list held in place up to a size and on the heap beyond it: for what is
// short in most calls (a pattern's code points, a needle's borders, the
// tokens around an occurrence), so that a short call allocates nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <vector>

#include "text/match.hpp"
#include "text/units.hpp"

namespace tessarin {

template <typename T, std::size_t N> class InlineVector {
    static_assert(std::is_trivially_copyable_v<T>, "items are copied as bytes");

public:
    InlineVector() noexcept {}
    InlineVector(std::size_t count, const T& value) { assign(count, value); }
    // Only the items in use are copied, not the whole place.
    InlineVector(const InlineVector& other) : heap_(other.heap_), size_(other.size_)
    {
        if (size_ <= N) std::copy(other.inline_, other.inline_ + size_, inline_);
    }
    InlineVector(InlineVector&& other) noexcept : heap_(std::move(other.heap_)), size_(other.size_)
    {
        if (size_ <= N) std::copy(other.inline_, other.inline_ + size_, inline_);
        other.size_ = 0;
    }
    InlineVector& operator=(const InlineVector& other)
    {
        if (this != &other) {
            heap_ = other.heap_;
            size_ = other.size_;
            if (size_ <= N) std::copy(other.inline_, other.inline_ + size_, inline_);
        }
        return *this;
    }
    InlineVector& operator=(InlineVector&& other) noexcept
    {
        if (this != &other) {
            heap_ = std::move(other.heap_);
            size_ = other.size_;
            if (size_ <= N) std::copy(other.inline_, other.inline_ + size_, inline_);
            other.size_ = 0;
        }
        return *this;
    }

    void assign(std::size_t count, const T& value)
    {
        clear();
        if (count > N) heap_.assign(count, value);
        else std::fill(inline_, inline_ + count, value);
        size_ = count;
    }

    template <typename Iterator> void assign(Iterator first, Iterator last)
    {
        clear();
        for (; first != last; ++first)
            push_back(*first);
    }

    void push_back(const T& item)
    {
        if (size_ < N) {
            inline_[size_++] = item;
            return;
        }
        spill();
        heap_.push_back(item);
        ++size_;
    }

    // The same, growing a long list a piece at a time with polls between.
    void push_back(const T& item, Cancellation& cancel)
    {
        if (size_ < N) {
            inline_[size_++] = item;
            return;
        }
        spill();
        append_polled(heap_, item, cancel);
        ++size_;
    }

    // Drops the first `count` items.
    void erase_front(std::size_t count)
    {
        if (count == 0) return;
        if (size_ > N) {
            heap_.erase(heap_.begin(), heap_.begin() + static_cast<std::ptrdiff_t>(count));
            size_ -= count;
            if (size_ <= N) {
                std::copy(heap_.begin(), heap_.end(), inline_);
                heap_.clear();
            }
            return;
        }
        std::copy(inline_ + count, inline_ + size_, inline_);
        size_ -= count;
    }

    void clear() noexcept
    {
        heap_.clear();
        size_ = 0;
    }

    T* data() noexcept { return size_ > N ? heap_.data() : inline_; }
    const T* data() const noexcept { return size_ > N ? heap_.data() : inline_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }

private:
    // Moves the items into the heap list once the place runs out.
    void spill()
    {
        if (size_ == N) {
            heap_.reserve(2 * N + 1);
            heap_.assign(inline_, inline_ + N);
        }
    }

    // Left uninitialised: only the items in use are ever read.
    T inline_[N];
    std::vector<T> heap_;
    std::size_t size_ = 0;
};

// `text` in units of type `Char`, into `out`; false when one of its code
// points lies beyond what such a unit holds.
template <typename Char, std::size_t N> bool narrow_units(std::u32string_view text, InlineVector<Char, N>& out)
{
    out.clear();
    for (const char32_t c : text) {
        if (c > largest_code_point<Char>()) return false;
        out.push_back(static_cast<Char>(c));
    }
    return true;
}

// Code points, such as a folded pattern or separator.
class CodePoints : public InlineVector<char32_t, 64> {
public:
    CodePoints() noexcept = default;
    explicit CodePoints(std::u32string_view text) { assign(text.begin(), text.end()); }

    std::u32string_view view() const noexcept { return std::u32string_view(data(), size()); }
    operator std::u32string_view() const noexcept { return view(); }
};

} // namespace tessarin
