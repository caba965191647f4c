#include "JobResults/LineMap.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>

// Every stored line passes here, so its end and a line break in it are looked for in one pass,
// sixteen bytes at a time. The loads are aligned: one never reaches into a page that holds no
// byte of the text, so reading past its terminator is safe, as a C library's strlen does. The
// address sanitizer cannot know that and is kept out of these two functions only.
namespace {
// A bit for each of the sixteen bytes at `at` that is a NUL, CR or LF.
__attribute__((no_sanitize("address"))) inline unsigned endsIn(const __m128i* at) {
    const __m128i bytes = _mm_load_si128(at);
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()),
                                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
}  // namespace

__attribute__((no_sanitize("address"))) size_t lineTextLength(const char* text) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(text);
    const auto* chunk = reinterpret_cast<const __m128i*>(start & ~uintptr_t{15});
    unsigned found = endsIn(chunk) & (~0u << (start & 15));  // bytes before text are not its own
    while (found == 0) found = endsIn(++chunk);
    return static_cast<size_t>(reinterpret_cast<const char*>(chunk) + __builtin_ctz(found) - text);
}
#else
size_t lineTextLength(const char* text) { return strcspn(text, "\r\n"); }
#endif
