// GCC 12 at -O3 reports a false -Wrestrict inside libstdc++ for "text" +
// std::string; these silence it around such concatenations and nowhere else.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define GCC_FALSE_RESTRICT_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wrestrict\"")
#define GCC_FALSE_RESTRICT_END _Pragma("GCC diagnostic pop")
#else
#define GCC_FALSE_RESTRICT_BEGIN
#define GCC_FALSE_RESTRICT_END
#endif
