// Checks for the test programs that run outside GoogleTest (under Wine, in the test guest): each
// failed check prints where and what, and the program's exit status tells whether any failed.
#pragma once

#include <cstdio>

namespace ksvcheck {

inline int g_failures = 0;
inline int g_checks = 0;

// Prints the closing line and gives the exit status.
inline int Finish(const char* program) {
  std::printf("%s: %d checks, %d failed\n", program, g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace ksvcheck

#define KSV_CHECK_MSG(cond, msg)                                              \
  do {                                                                        \
    ++::ksvcheck::g_checks;                                                   \
    if (!(cond)) {                                                            \
      ++::ksvcheck::g_failures;                                               \
      std::printf("FAILED %s:%d: %s (%s)\n", __FILE__, __LINE__, #cond, msg); \
    }                                                                         \
  } while (0)
#define KSV_CHECK(cond) KSV_CHECK_MSG(cond, "")
#define KSV_CHECK_EQ(actual, expected)                                                             \
  do {                                                                                             \
    ++::ksvcheck::g_checks;                                                                        \
    const long long ksv_a = static_cast<long long>(actual);                                        \
    const long long ksv_e = static_cast<long long>(expected);                                      \
    if (ksv_a != ksv_e) {                                                                          \
      ++::ksvcheck::g_failures;                                                                    \
      std::printf("FAILED %s:%d: %s is %lld, expected %lld\n", __FILE__, __LINE__, #actual, ksv_a, \
                  ksv_e);                                                                          \
    }                                                                                              \
  } while (0)
