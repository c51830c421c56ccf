// Checks for the test programs that run outside GoogleTest (under Wine, in the test guest, the
// command-line runner): each failed check prints where and what, and the program's exit status
// tells whether any failed.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace ksv::test {

// Checks may run on several threads at once.
inline std::atomic<int> g_failures{0};
inline std::atomic<int> g_checks{0};

// Prints the closing line and gives the exit status.
inline int Finish(const char* program) {
  std::printf("%s: %d checks, %d failed\n", program, g_checks.load(), g_failures.load());
  return g_failures == 0 ? 0 : 1;
}

}  // namespace ksv::test

// The message is a C string or a std::string. A failure is flushed at once, so that it is seen even
// if the program dies afterwards.
#define KSV_CHECK_MSG(cond, msg)                                                                   \
  do {                                                                                             \
    ++::ksv::test::g_checks;                                                                       \
    if (!(cond)) {                                                                                 \
      ++::ksv::test::g_failures;                                                                   \
      std::printf("FAILED %s:%d: %s (%s)\n", __FILE__, __LINE__, #cond, std::string(msg).c_str()); \
      std::fflush(stdout);                                                                         \
    }                                                                                              \
  } while (0)
#define KSV_CHECK(cond) KSV_CHECK_MSG(cond, "")
#define KSV_CHECK_EQ(actual, expected)                                                             \
  do {                                                                                             \
    ++::ksv::test::g_checks;                                                                       \
    const long long ksv_a = static_cast<long long>(actual);                                        \
    const long long ksv_e = static_cast<long long>(expected);                                      \
    if (ksv_a != ksv_e) {                                                                          \
      ++::ksv::test::g_failures;                                                                   \
      std::printf("FAILED %s:%d: %s is %lld, expected %lld\n", __FILE__, __LINE__, #actual, ksv_a, \
                  ksv_e);                                                                          \
      std::fflush(stdout);                                                                         \
    }                                                                                              \
  } while (0)
