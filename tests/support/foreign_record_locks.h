// Another process that holds many POSIX record locks on files of its own (Linux), so that
// /proc/locks lists that many lines, none of them about a device: what a busy machine's database
// or mail server leaves there.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace ksv::test {

class ForeignRecordLocks {
 public:
  // Forks the holder and waits until it holds `count` locks; none for 0.
  explicit ForeignRecordLocks(int count) {
    if (count <= 0) {
      held_ = true;
      return;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      HoldUntilKilled(count, ready[1]);
    }
    close(ready[1]);
    char answer = 0;
    ssize_t got = 0;
    do {
      got = read(ready[0], &answer, 1);
    } while (got < 0 && errno == EINTR);
    close(ready[0]);
    held_ = pid_ > 0 && got == 1 && answer == kHeld;
  }
  ForeignRecordLocks(const ForeignRecordLocks&) = delete;
  ForeignRecordLocks& operator=(const ForeignRecordLocks&) = delete;
  ~ForeignRecordLocks() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Whether every lock was taken.
  bool held() const { return held_; }

 private:
  static constexpr char kHeld = 'y';
  // Each new lock is checked against every lock of its file, so one file with 20,000 takes the
  // guest's kernel over 10 s to fill; files of this many take well under one.
  static constexpr int kLocksPerFile = 250;

  // In the child: write locks on every other byte of unlinked temporary files (a process's adjacent
  // ranges of one kind merge into one lock), a byte on `ready` saying whether all were taken, then
  // nothing until the parent kills it.
  [[noreturn]] static void HoldUntilKilled(int count, int ready) {
    bool held = true;
    int fd = -1;
    for (int i = 0; held && i < count; ++i) {
      if (i % kLocksPerFile == 0) {
        char path[] = "/tmp/ksv-foreign-locks-XXXXXX";
        fd = mkstemp(path);
        held = fd >= 0 && unlink(path) == 0;
      }
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 2 * static_cast<off_t>(i % kLocksPerFile);
      lock.l_len = 1;
      held = held && fcntl(fd, F_SETLK, &lock) == 0;
    }
    const char answer = held ? kHeld : 'n';
    if (write(ready, &answer, 1) != 1 || !held) {
      _exit(1);
    }
    for (;;) {
      pause();
    }
  }

  pid_t pid_ = -1;
  bool held_ = false;
};

}  // namespace ksv::test
