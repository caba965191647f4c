#include "JobResults/LineMap.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>

// Every stored line passes here, so its end and a line break in it are looked for in one pass,
// sixteen bytes at a time. The loads are aligned: one never reaches into a page that holds no
// byte of the text, so reading past its terminator is safe, as a C library's strlen does. The
// address sanitizer cannot know that and is kept out of this function only.
__attribute__((no_sanitize("address"))) size_t lineTextLength(const char* text) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(text);
    const auto* chunk = reinterpret_cast<const __m128i*>(start & ~uintptr_t{15});
    const __m128i nul = _mm_setzero_si128(), cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    auto ends = [&](const __m128i* at) {
        const __m128i bytes = _mm_load_si128(at);
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, nul), _mm_cmpeq_epi8(bytes, cr)), _mm_cmpeq_epi8(bytes, lf));
        return static_cast<unsigned>(_mm_movemask_epi8(hits));
    };
    unsigned found = ends(chunk) & (~0u << (start & 15));  // bytes before text are not its own
    while (found == 0) found = ends(++chunk);
    return static_cast<size_t>(reinterpret_cast<const char*>(chunk) + __builtin_ctz(found) - text);
}
#else
size_t lineTextLength(const char* text) { return strcspn(text, "\r\n"); }
#endif
