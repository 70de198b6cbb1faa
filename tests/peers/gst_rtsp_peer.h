#pragma once

// Starts GStreamer's RTSP server (tests/peers/gst_rtsp_server.py) on a free
// loopback port for one test and stops it again: the server reads our end
// of a pipe as its stdin and quits when it closes, so it cannot outlive a
// crashed test either; it also quits on its own after `durationSeconds`.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pxo::test {

class GstRtspPeer {
 public:
  // `arguments` go to the server ("--auth", "digest", …). Empty url() when
  // it did not start within 15 s.
  explicit GstRtspPeer(const std::vector<std::string>& arguments,
                       int durationSeconds = 60) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0) return;
    if (pipe(fromChild) != 0) {
      ::close(toChild[0]);
      ::close(toChild[1]);
      return;
    }
    std::vector<std::string> args = {
        "/usr/bin/python3",
        std::string(PXO_SOURCE_DIR) + "/tests/peers/gst_rtsp_server.py",
        "--watch-stdin",
        "--duration",
        std::to_string(durationSeconds)};
    args.insert(args.end(), arguments.begin(), arguments.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      ::close(toChild[1]);
      ::close(fromChild[0]);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    stdin_ = toChild[1];
    stdout_ = fromChild[0];
    if (pid_ < 0) return;
    // "port N" once it listens.
    std::string line;
    for (int waited = 0; waited < 150 && line.find('\n') == std::string::npos;
         ++waited) {
      pollfd poller{stdout_, POLLIN, 0};
      if (poll(&poller, 1, 100) <= 0) continue;
      char chunk[64];
      const ssize_t got = read(stdout_, chunk, sizeof chunk);
      if (got <= 0) break;
      line.append(chunk, size_t(got));
    }
    int port = 0;
    if (std::sscanf(line.c_str(), "port %d", &port) == 1 && port > 0)
      url_ = "rtsp://127.0.0.1:" + std::to_string(port) + "/test";
  }

  ~GstRtspPeer() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0) {
      for (int waited = 0; waited < 50; ++waited) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        usleep(100 * 1000);
      }
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  GstRtspPeer(const GstRtspPeer&) = delete;
  GstRtspPeer& operator=(const GstRtspPeer&) = delete;

  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string url_;
};

}  // namespace pxo::test
