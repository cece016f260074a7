// The compiler-specific hints the module uses, each with a plain fallback, so that the code
// builds with GCC, Clang and MSVC alike. None of them changes what the code computes.
#pragma once

#if defined(__GNUC__)
// Lets the compiler check the arguments against a printf-style format.
#define IP_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
// Asks for the memory at `address` to be brought into the cache for reading.
#define IP_PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
#include <xmmintrin.h>
#define IP_PRINTF_FORMAT(formatIndex, firstArgument)
#define IP_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define IP_PRINTF_FORMAT(formatIndex, firstArgument)
#define IP_PREFETCH(address) static_cast<void>(address)
#endif
