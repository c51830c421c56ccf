// ksv-virtual-module as a child process of a guest test: commands go to its standard input, its
// output lines are read back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace ksv::test {

// ksv-virtual-module as a child: commands go to its stdin, its stdout lines
// are read back.  Closing stdin makes it remove its devices and exit.
class VirtualModuleProcess {
 public:
  VirtualModuleProcess(const std::string& tool, const std::vector<std::string>& devices) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv{const_cast<char*>(tool.c_str())};
      for (const auto& d : devices) argv.push_back(const_cast<char*>(d.c_str()));
      argv.push_back(nullptr);
      ::execv(tool.c_str(), argv.data());
      std::perror("execv");
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_tool_ = ksv::tool::UniqueFd(in[1]);
    from_tool_ = ksv::tool::UniqueFd(out[0]);
  }
  VirtualModuleProcess(const VirtualModuleProcess&) = delete;
  VirtualModuleProcess& operator=(const VirtualModuleProcess&) = delete;
  ~VirtualModuleProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(to_tool_.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("writing to ksv-virtual-module");
    }
  }

  // Next stdout line, or nothing within `timeout`.
  std::optional<std::string> Line(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{from_tool_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[1024];
      const ssize_t n = ::read(from_tool_.get(), chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Reads "added ID PATH" lines until "ready"; returns ID -> PATH.
  std::map<std::string, std::string> WaitReady() {
    std::map<std::string, std::string> nodes;
    while (auto l = Line()) {
      if (*l == "ready") return nodes;
      char id[128];
      char path[128];
      if (std::sscanf(l->c_str(), "added %127s %127s", id, path) == 2) nodes[id] = path;
    }
    throw std::runtime_error("ksv-virtual-module did not get ready");
  }

  // Closes stdin and returns the exit status (or -1 if it does not exit).
  int EndInput() {
    to_tool_ = ksv::tool::UniqueFd();
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10'000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  ksv::tool::UniqueFd to_tool_;
  ksv::tool::UniqueFd from_tool_;
  std::string buffer_;
};

}  // namespace ksv::test
