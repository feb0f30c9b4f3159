// The x86 vector intrinsics of the codec's hot loops. GCC 12 warns about the deliberately
// undefined upper lanes inside some AVX-512 intrinsics, so the header is included with those
// warnings off.
#pragma once
#if defined(__x86_64__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
