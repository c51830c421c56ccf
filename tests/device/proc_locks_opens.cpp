// Counts the opens of /proc/locks in the process it is preloaded into (LD_PRELOAD): every way the
// C library opens a file by name is wrapped, the real call is made, and an open whose descriptor
// names /proc/locks is counted. The test program reads the count through ksv_proc_locks_opens(),
// which it finds with dlsym(): where it is missing, the shim was not preloaded.
// The fortified forms of open are wrapped as well, so none is defined inline here.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kLocksPath[] = "/proc/locks";

std::atomic<long> g_opens{0};

// The next definition of `name` after this library's: the C library's.
template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Counts `fd` when it names /proc/locks (whatever path or directory it was opened by).
int Counted(int fd) {
  if (fd < 0) {
    return fd;
  }
  const int saved = errno;
  char link[32];
  char target[sizeof kLocksPath + 1];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target);
  if (n == static_cast<ssize_t>(sizeof kLocksPath - 1) &&
      std::memcmp(target, kLocksPath, sizeof kLocksPath - 1) == 0) {
    ++g_opens;
  }
  errno = saved;
  return fd;
}

FILE* Counted(FILE* file) {
  if (file != nullptr) {
    Counted(fileno(file));
  }
  return file;
}

// The mode argument exists only when the flags create a file.
bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) long ksv_proc_locks_opens(void) { return g_opens.load(); }

// The mode argument exists only when the flags create a file; it is read only then.
#define KSV_OPTIONAL_MODE(flags)                        \
  mode_t mode = 0;                                      \
  if (TakesMode(flags)) {                               \
    va_list args;                                       \
    va_start(args, flags);                              \
    mode = static_cast<mode_t>(va_arg(args, unsigned)); \
    va_end(args);                                       \
  }
#define KSV_WRAP_OPEN(name)                                                           \
  __attribute__((visibility("default"))) int name(const char* path, int flags, ...) { \
    KSV_OPTIONAL_MODE(flags)                                                          \
    using Fn = int (*)(const char*, int, ...);                                        \
    return Counted(Real<Fn>(#name)(path, flags, mode));                               \
  }
#define KSV_WRAP_OPENAT(name)                                                                  \
  __attribute__((visibility("default"))) int name(int dir, const char* path, int flags, ...) { \
    KSV_OPTIONAL_MODE(flags)                                                                   \
    using Fn = int (*)(int, const char*, int, ...);                                            \
    return Counted(Real<Fn>(#name)(dir, path, flags, mode));                                   \
  }

KSV_WRAP_OPEN(open)
KSV_WRAP_OPEN(open64)
KSV_WRAP_OPENAT(openat)
KSV_WRAP_OPENAT(openat64)

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
  return Counted(Real<int (*)(const char*, int)>("__open_2")(path, flags));
}
__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
  return Counted(Real<int (*)(const char*, int)>("__open64_2")(path, flags));
}
__attribute__((visibility("default"))) int __openat_2(int dir, const char* path, int flags) {
  return Counted(Real<int (*)(int, const char*, int)>("__openat_2")(dir, path, flags));
}
__attribute__((visibility("default"))) int __openat64_2(int dir, const char* path, int flags) {
  return Counted(Real<int (*)(int, const char*, int)>("__openat64_2")(dir, path, flags));
}
__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* how) {
  return Counted(Real<FILE* (*)(const char*, const char*)>("fopen")(path, how));
}
__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* how) {
  return Counted(Real<FILE* (*)(const char*, const char*)>("fopen64")(path, how));
}

}  // extern "C"
