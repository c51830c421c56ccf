// The seven exports of the shared library, called as an application calls them.
#include "KSVHidApi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include <gtest/gtest.h>

namespace {

// A Linux handle carries the descriptor + 1 in its low 32 bits and the device number of the
// node it was opened on (12-bit major, 20-bit minor) above them. /dev/null, a character device
// like a hidraw node, stands in for a module here.
KSVHidHandle HandleFor(int fd, std::uint64_t device_number) {
  return reinterpret_cast<KSVHidHandle>(
      static_cast<std::uintptr_t>(device_number << 32 | (static_cast<std::uint64_t>(fd) + 1)));
}
KSVHidHandle DeviceHandleFor(int fd) {
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  return HandleFor(fd, std::uint64_t{major(st.st_rdev)} << 20 | minor(st.st_rdev));
}
bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
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

TEST(ExportsTest, CloseClosesOnlyADescriptorThatStillNamesItsDevice) {
  EXPECT_EQ(CloseKestrovanHID(nullptr), 0);
  EXPECT_EQ(CloseKestrovanHID(kAllOnes), 0);

  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // The descriptor alone, or beside another device's number, is not a handle of this device.
  EXPECT_EQ(CloseKestrovanHID(HandleFor(fd, 0)), 0);
  EXPECT_EQ(CloseKestrovanHID(HandleFor(fd, 0xFFFFF)), 0);
  EXPECT_TRUE(IsOpen(fd));
  const KSVHidHandle h = DeviceHandleFor(fd);
  EXPECT_EQ(CloseKestrovanHID(h), 1);
  EXPECT_FALSE(IsOpen(fd)) << "descriptor still open";
  EXPECT_EQ(CloseKestrovanHID(h), 0) << "closed already";
}

// The descriptor of a closed handle is handed out again (lowest free) for a plain file: the stale
// handle neither writes into the file nor closes it.
TEST(ExportsTest, StaleHandleLeavesTheReusedDescriptorAlone) {
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const KSVHidHandle h = DeviceHandleFor(fd);
  ASSERT_EQ(CloseKestrovanHID(h), 1);
  char path[] = "/tmp/ksvhid-stale-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_EQ(file, fd) << "the lowest free descriptor was not reused";
  unlink(path);

  std::array<char, 63> command{}, reply{};
  command.fill(0x11);
  reply.fill(0x55);
  EXPECT_EQ(SendReceiveKestrovanHID(h, command.data(), reply.data()), -7);
  EXPECT_EQ(CloseKestrovanHID(h), 0);
  struct stat st {};
  ASSERT_EQ(fstat(file, &st), 0) << "the file was closed";
  EXPECT_EQ(st.st_size, 0) << "the output report was written into the file";
  EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x55; }));
  close(file);
}

TEST(ExportsTest, DescriptorZeroIsAValidHandle) {
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(close(0), 0);
  const int fd = open("/dev/null", O_RDWR);  // lowest free descriptor: 0
  ASSERT_EQ(fd, 0);
  const KSVHidHandle h = DeviceHandleFor(fd);
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(CloseKestrovanHID(h), 1);
  EXPECT_FALSE(IsOpen(0));
  ASSERT_EQ(dup2(saved, 0), 0);
  close(saved);
}

}  // namespace
