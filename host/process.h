// A child program with its output on pipes: fxsim for the demo, and any
// program a test runs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace zelfx {

class ChildProcess {
  public:
    // Starts argv[0] with standard output on a pipe, and standard error too
    // when `captureStderr`; otherwise standard error is shared. The child
    // starts in a process group of its own with no signals blocked, and gets
    // SIGTERM should this process die first. Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::vector<std::string>& argv, bool captureStderr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next line of standard output, without its line feed; nullopt when
    // none arrives within `timeoutMs` or the output ends first.
    std::optional<std::string> readLine(int timeoutMs);

    void signal(int sig) const;

    // Collects the remaining output and waits for the exit, at most
    // `timeoutMs`; then kills the child. Returns the exit status, or 128 plus
    // the signal number when a signal ended it.
    int wait(int timeoutMs);

    // SIGTERM, and SIGKILL when it has not ended within `graceMs`.
    int terminate(int graceMs);

    // Output collected so far (after readLine(), what followed the line).
    const std::string& out() const { return out_; }
    const std::string& errors() const { return err_; }

  private:
    // Reads what is available on the pipes, waiting at most `timeoutMs`;
    // false when the wait ran out with nothing new.
    bool pump(int timeoutMs);
    bool reap(int& status);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

}  // namespace zelfx
