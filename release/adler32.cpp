// Over a run of n bytes x0..x(n-1), A grows by their sum and B by n * A plus the sum of
// (n - i) * xi. The vector forms take 16 or 32 bytes at a time: their sum, their sum weighted by
// the distance to the chunk's end, and the running sum of earlier chunks, which weighs each of
// those one chunk's length more for every chunk after it. Runs are at most 5,552 bytes, the
// most for which no sum can pass 32 bits before it is reduced.
#include "release/adler32.h"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kd {
namespace {

constexpr std::uint32_t kModulus = 65521;
constexpr std::uint64_t kRunBytes = 5552;

void addBytes(std::uint64_t& a, std::uint64_t& b, const std::uint8_t* p, std::uint64_t count) {
    while (count > 0) {
        const std::uint64_t run = std::min(count, kRunBytes);
        for (std::uint64_t i = 0; i < run; ++i) a += p[i], b += a;
        p += run;
        count -= run;
        a %= kModulus;
        b %= kModulus;
    }
}

#if defined(__x86_64__)
std::uint64_t laneSum(__m128i v) {
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

void addSse2(std::uint32_t& sumA, std::uint32_t& sumB, const std::uint8_t* p, std::uint64_t count) {
    std::uint64_t a = sumA, b = sumB;
    const __m128i zero = _mm_setzero_si128();
    const __m128i weightsLow = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i weightsHigh = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (count >= 16) {
        const std::uint64_t chunks = std::min(count, kRunBytes) / 16;
        __m128i sums = zero, weighted = zero, earlier = zero;
        for (std::uint64_t i = 0; i < chunks; ++i, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            earlier = _mm_add_epi32(earlier, sums);
            sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
            weighted =
                _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weightsLow));
            weighted =
                _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weightsHigh));
        }
        const std::uint64_t n = 16 * chunks;
        b = (b + n * a + laneSum(weighted) + 16 * laneSum(earlier)) % kModulus;
        a = (a + laneSum(sums)) % kModulus;
        count -= n;
    }
    addBytes(a, b, p, count);
    sumA = static_cast<std::uint32_t>(a);
    sumB = static_cast<std::uint32_t>(b);
}

[[gnu::target("avx2")]] std::uint64_t laneSum(__m256i v) {
    return laneSum(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

[[gnu::target("avx2")]] void addAvx2(std::uint32_t& sumA, std::uint32_t& sumB,
                                     const std::uint8_t* p, std::uint64_t count) {
    std::uint64_t a = sumA, b = sumB;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weights =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    while (count >= 32) {
        const std::uint64_t chunks = std::min(count, kRunBytes) / 32;
        __m256i sums = zero, weighted = zero, earlier = zero;
        for (std::uint64_t i = 0; i < chunks; ++i, p += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            earlier = _mm256_add_epi32(earlier, sums);
            sums = _mm256_add_epi32(sums, _mm256_sad_epu8(v, zero));
            // Pairs of bytes times their weights (at most 2 x 255 x 32, within 16 bits).
            weighted = _mm256_add_epi32(weighted,
                                        _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
        }
        const std::uint64_t n = 32 * chunks;
        b = (b + n * a + laneSum(weighted) + 32 * laneSum(earlier)) % kModulus;
        a = (a + laneSum(sums)) % kModulus;
        count -= n;
    }
    sumA = static_cast<std::uint32_t>(a);
    sumB = static_cast<std::uint32_t>(b);
    addSse2(sumA, sumB, p, count);
}

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#else
void addPortable(std::uint32_t& sumA, std::uint32_t& sumB, const std::uint8_t* p,
                 std::uint64_t count) {
    std::uint64_t a = sumA, b = sumB;
    addBytes(a, b, p, count);
    sumA = static_cast<std::uint32_t>(a);
    sumB = static_cast<std::uint32_t>(b);
}
#endif

}  // namespace

std::vector<Adler32Form> adler32Forms() {
#if defined(__x86_64__)
    if (hasAvx2()) return {addSse2, addAvx2};
    return {addSse2};
#else
    return {addPortable};
#endif
}

void addAdler32(std::uint32_t& a, std::uint32_t& b, const std::uint8_t* bytes,
                std::uint64_t count) {
    static const Adler32Form fastest = adler32Forms().back();
    fastest(a, b, bytes, count);
}

}  // namespace kd
