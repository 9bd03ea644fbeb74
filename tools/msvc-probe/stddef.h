// stddef.h - for tools/msvc-probe.sh only: MinGW's <stddef.h>, then offsetof as the Visual C++ runtime defines it.
// Without _CRT_USE_BUILTIN_OFFSETOF the runtime's offsetof is a reinterpret_cast expression.
#include_next <stddef.h>

#ifdef offsetof
#undef offsetof
#ifdef _CRT_USE_BUILTIN_OFFSETOF
#define offsetof(s, m) __builtin_offsetof(s, m)
#else
// cl folds that expression to a constant in a static_assert at namespace scope (where g++ would not), but not in a
// function: a constexpr function that evaluates it fails there (C2131, C3615). Outside any function (an empty
// __builtin_FUNCTION()) the probe takes the builtin; inside one, the runtime's own expression.
#define offsetof(s, m)                                                                                              \
    (__builtin_FUNCTION()[0] == '\0' ? __builtin_offsetof(s, m)                                                   \
                                     : ((::size_t)&reinterpret_cast<char const volatile&>((((s*)0)->m))))
#endif
#endif
