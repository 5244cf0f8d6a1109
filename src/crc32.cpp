// CRC-32 of member data: carry-less multiplication folding (128 or 512 bits
// wide) where the processor has it, zlib's table code elsewhere.
#include "crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)
// One fold: the 128 bits of `x` carried forward over the distance the two
// constants in `k` stand for, added to the 128 bits found there.
[[gnu::target("pclmul,sse2")]] inline __m128i fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// What is left of a folded CRC-32: four 128-bit lanes standing for 64
// consecutive bytes, `x0` first, and a tail of `n` bytes at `p`. The lanes
// are folded into one, then 16-byte chunks of the tail into it, and what
// remains (16 bytes of fold and fewer than 16 of tail) goes to zlib.
[[gnu::target("pclmul,sse2")]] uint32_t crc32_fold_finish(__m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                                          const unsigned char *p, size_t n)
{
    const __m128i k128 = _mm_set_epi64x(0xccaa009e, 0x1751997d0);
    x0 = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    for (; n >= 16; p += 16, n -= 16)
        x0 = fold(x0, k128, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(rest), x0);
    // The fold stands for a message of its own whose register starts at zero.
    const uLong c = crc32(0xFFFFFFFFul, rest, sizeof rest);
    return static_cast<uint32_t>(crc32(c, p, static_cast<uInt>(n)));
}

// zlib's crc32() for 64 bytes or more, by carry-less multiplication: the
// data is folded 64 bytes at a time into four 128-bit lanes, which are then
// finished as above. The constants are x^(D+32) and x^(D-32) modulo the
// CRC-32 polynomial, bit-reflected, for a folding distance of D bits.
[[gnu::target("pclmul,sse2")]] uint32_t crc32_folded(uint32_t crc, const unsigned char *p, size_t n)
{
    auto load = [](const unsigned char *q) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)); };
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    const __m128i k512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    for (; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k512, load(p));
        x1 = fold(x1, k512, load(p + 16));
        x2 = fold(x2, k512, load(p + 32));
        x3 = fold(x3, k512, load(p + 48));
    }
    return crc32_fold_finish(x0, x1, x2, x3, p, n);
}

[[gnu::target("avx512f")]] inline __m512i load512(const unsigned char *q)
{
    return _mm512_loadu_si512(q);
}

// The fold of four 128-bit lanes at once, each lane over the same distance.
[[gnu::target("avx512f,vpclmulqdq")]] inline __m512i fold4(__m512i x, __m512i k, __m512i next)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

// The same for 256 bytes or more with 512-bit carry-less multiplication:
// 256 bytes per step into four registers of four lanes each, the registers
// folded into one over 512 bits, further 64-byte chunks into that, and its
// four lanes finished as above.
[[gnu::target("avx512f,vpclmulqdq,pclmul,sse2")]] uint32_t crc32_folded512(uint32_t crc, const unsigned char *p,
                                                                           size_t n)
{
    __m512i y0 = _mm512_xor_si512(load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
    __m512i y1 = load512(p + 64), y2 = load512(p + 128), y3 = load512(p + 192);
    p += 256;
    n -= 256;
    const __m512i k2048 = _mm512_set_epi64(0x1322d1430, 0x11542778a, 0x1322d1430, 0x11542778a, 0x1322d1430, 0x11542778a,
                                           0x1322d1430, 0x11542778a);
    for (; n >= 256; p += 256, n -= 256) {
        y0 = fold4(y0, k2048, load512(p));
        y1 = fold4(y1, k2048, load512(p + 64));
        y2 = fold4(y2, k2048, load512(p + 128));
        y3 = fold4(y3, k2048, load512(p + 192));
    }
    const __m512i k512 = _mm512_set_epi64(0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4,
                                          0x1c6e41596, 0x154442bd4);
    y0 = fold4(fold4(fold4(y0, k512, y1), k512, y2), k512, y3);
    for (; n >= 64; p += 64, n -= 64)
        y0 = fold4(y0, k512, load512(p));
    alignas(64) unsigned char lanes[64];
    _mm512_store_si512(lanes, y0);
    auto lane = [&lanes](int i) { return _mm_load_si128(reinterpret_cast<const __m128i *>(lanes + 16 * i)); };
    return crc32_fold_finish(lane(0), lane(1), lane(2), lane(3), p, n);
}
#endif

}  // namespace

// CRC-32 of member bytes, continuing `crc`; the folding code where the
// processor has carry-less multiplication (several times faster than the
// table), 512 bits wide where it has that too.
uint32_t member_crc(uint32_t crc, const void *buffer, uint32_t n)
{
    const auto *p = static_cast<const unsigned char *>(buffer);
#if defined(__x86_64__)
    static const bool clmul = __builtin_cpu_supports("pclmul");
    static const bool clmul512 = clmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
    if (clmul512 && n >= 256)
        return crc32_folded512(crc, p, n);
    if (clmul && n >= 64)
        return crc32_folded(crc, p, n);
#endif
    return static_cast<uint32_t>(crc32(crc, p, n));
}
