// The seven exports of the shared library, called as an application calls them.
#include "KSVHidApi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include <gtest/gtest.h>

namespace {

KSVHidHandle HandleFor(int fd) {
  return reinterpret_cast<KSVHidHandle>(static_cast<std::intptr_t>(fd) + 1);
}
const KSVHidHandle kAllOnes = reinterpret_cast<KSVHidHandle>(~std::uintptr_t{0});

TEST(ExportsTest, VersionAndMode) {
  int v[5] = {-7, -7, -7, -7, -7};
  EXPECT_EQ(GetKestrovanHIDversion(&v[1], &v[2], &v[3]), 1);
  EXPECT_EQ(v[1] * 1000000 + v[2] * 1000 + v[3], 1003170);
  EXPECT_EQ(v[0], -7);  // neighbours untouched
  EXPECT_EQ(v[4], -7);
  EXPECT_EQ(SetModuleMode(3), 1);
  EXPECT_EQ(SetModuleMode(9), 0);
  EXPECT_EQ(SetModuleMode(0), 1);
}

TEST(ExportsTest, CloseRejectsNoDeviceAndClosesARealDescriptor) {
  EXPECT_EQ(CloseKestrovanHID(nullptr), 0);
  EXPECT_EQ(CloseKestrovanHID(kAllOnes), 0);

  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(CloseKestrovanHID(HandleFor(fd)), 1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
  // Closing it again: the close fails, the result is still 1.
  EXPECT_EQ(CloseKestrovanHID(HandleFor(fd)), 1);
}

TEST(ExportsTest, DescriptorZeroIsAValidHandle) {
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(close(0), 0);
  const int fd = open("/dev/null", O_RDWR);  // lowest free descriptor: 0
  ASSERT_EQ(fd, 0);
  EXPECT_NE(HandleFor(fd), nullptr);
  EXPECT_EQ(CloseKestrovanHID(HandleFor(fd)), 1);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  ASSERT_EQ(dup2(saved, 0), 0);
  close(saved);
}

}  // namespace
