// Byte-at-a-time work on ASCII text done sixteen bytes at a time: SSE2 where
// the target has it (every x86-64 does), a portable loop elsewhere. Internal
// to the text layer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "text/fold.hpp"
#include "text/processor.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TESSARIN_SSE2 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tessarin::detail {

// An AsciiFold as compile-time bits, so that a vector loop does only the
// steps it needs.
enum FoldMode : unsigned { fold_line_feeds = 1, fold_lower = 2, fold_at_sign = 4 };

constexpr unsigned mode_of(AsciiFold fold) noexcept
{
    return (fold.line_feeds ? fold_line_feeds : 0u) | (fold.lower ? fold_lower : 0u) |
           (fold.at_sign ? fold_at_sign : 0u);
}

template <unsigned Mode> constexpr AsciiFold fold_of() noexcept
{
    return AsciiFold{(Mode & fold_line_feeds) != 0, (Mode & fold_lower) != 0, (Mode & fold_at_sign) != 0};
}

// Runs Kernel<Mode>::run(arguments...) with `fold` as compile-time bits.
template <template <unsigned> class Kernel, typename... Arguments>
decltype(auto) with_fold_mode(AsciiFold fold, Arguments&&... arguments)
{
    switch (mode_of(fold)) {
    case 0: return Kernel<0>::run(std::forward<Arguments>(arguments)...);
    case 1: return Kernel<1>::run(std::forward<Arguments>(arguments)...);
    case 2: return Kernel<2>::run(std::forward<Arguments>(arguments)...);
    case 3: return Kernel<3>::run(std::forward<Arguments>(arguments)...);
    case 4: return Kernel<4>::run(std::forward<Arguments>(arguments)...);
    case 5: return Kernel<5>::run(std::forward<Arguments>(arguments)...);
    case 6: return Kernel<6>::run(std::forward<Arguments>(arguments)...);
    default: return Kernel<7>::run(std::forward<Arguments>(arguments)...);
    }
}

#if TESSARIN_SSE2
using Vector = __m128i;
constexpr std::size_t vector_size = 16;

inline Vector load(const char* at) noexcept
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline void store(char* at, Vector v) noexcept
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
}
inline unsigned high_bits(Vector v) noexcept
{
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}
inline Vector splat(char c) noexcept
{
    return _mm_set1_epi8(c);
}

// The fold of sixteen bytes. Bytes of 0x80 and above compare as negative,
// so they never count as capitals, '@' or line feeds.
template <unsigned Mode> inline Vector fold_vector(Vector v) noexcept
{
    if constexpr ((Mode & fold_lower) != 0) {
        const Vector upper = _mm_and_si128(_mm_cmpgt_epi8(v, splat('A' - 1)), _mm_cmplt_epi8(v, splat('Z' + 1)));
        v = _mm_add_epi8(v, _mm_and_si128(upper, splat('a' - 'A')));
    }
    if constexpr ((Mode & fold_at_sign) != 0)
        v = _mm_xor_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, splat('@')), splat('@' ^ 'a')));
    if constexpr ((Mode & fold_line_feeds) != 0)
        v = _mm_xor_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, splat('\n')), splat('\n' ^ ' ')));
    return v;
}
#endif

// The offset of the first byte at or after `from` that is not ASCII, or
// `size` when there is none.
inline std::size_t next_non_ascii(const char* data, std::size_t size, std::size_t from) noexcept
{
    std::size_t i = from;
#if TESSARIN_SSE2
    for (; i + vector_size <= size; i += vector_size)
        if (const unsigned bits = high_bits(load(data + i))) return i + static_cast<std::size_t>(__builtin_ctz(bits));
#endif
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) >= 0x80) return i;
    return size;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSARIN_AVX2 1
// Whether the processor runs AVX2, which passes over long texts take, a
// function built for it each, thirty-two bytes at a time.
inline bool has_avx2() noexcept
{
    return processor().avx2;
}

__attribute__((target("avx2"))) inline std::size_t count_byte_avx2(const char* data, std::size_t size, char byte,
                                                                   std::size_t& i) noexcept
{
    const __m256i needle = _mm256_set1_epi8(byte);
    std::size_t total = 0;
    while (size - i >= 32) {
        const std::size_t stop = i + std::min<std::size_t>((size - i) / 32, 255) * 32;
        __m256i counts = _mm256_setzero_si256();
        for (; i < stop; i += 32)
            counts = _mm256_sub_epi8(
                counts, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)), needle));
        const __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
        total += static_cast<std::size_t>(_mm256_extract_epi64(sums, 0)) +
                 static_cast<std::size_t>(_mm256_extract_epi64(sums, 1)) +
                 static_cast<std::size_t>(_mm256_extract_epi64(sums, 2)) +
                 static_cast<std::size_t>(_mm256_extract_epi64(sums, 3));
    }
    return total;
}
#endif

// How many bytes of data[0, size) equal `byte`: a vector compared at a
// time, each lane counting to at most 255 before the lanes are summed.
inline std::size_t count_byte(const char* data, std::size_t size, char byte) noexcept
{
    std::size_t total = 0, i = 0;
#if TESSARIN_AVX2
    if (size >= 64 && has_avx2()) total += count_byte_avx2(data, size, byte, i);
#endif
#if TESSARIN_SSE2
    const Vector needle = splat(byte);
    while (size - i >= vector_size) {
        const std::size_t stop = i + std::min<std::size_t>((size - i) / vector_size, 255) * vector_size;
        Vector counts = _mm_setzero_si128();
        for (; i < stop; i += vector_size)
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(load(data + i), needle));
        const Vector sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        total += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < size; ++i)
        total += data[i] == byte;
    return total;
}

// out[i] = fold(in[i]) for i in [0, count); `out` may be `in`.
template <unsigned Mode> struct FoldAsciiBytes {
    static void run(const char* in, char* out, std::size_t count) noexcept
    {
        std::size_t i = 0;
#if TESSARIN_SSE2
        for (; i + vector_size <= count; i += vector_size)
            store(out + i, fold_vector<Mode>(load(in + i)));
#endif
        constexpr AsciiFold fold = fold_of<Mode>();
        for (; i < count; ++i)
            out[i] = fold(in[i]);
    }
};

inline void fold_ascii_bytes(const char* in, char* out, std::size_t count, AsciiFold fold) noexcept
{
    if (fold.identity()) {
        if (in != out) std::memcpy(out, in, count);
        return;
    }
    with_fold_mode<FoldAsciiBytes>(fold, in, out, count);
}

} // namespace tessarin::detail
