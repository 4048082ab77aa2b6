#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace zelfx {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureStderr) {
    if (argv.empty()) {
        throw std::runtime_error("no program to start");
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    std::array<int, 2> outPipe{-1, -1};
    std::array<int, 2> errPipe{-1, -1};
    if (pipe2(outPipe.data(), O_CLOEXEC) != 0 ||
        (captureStderr && pipe2(errPipe.data(), O_CLOEXEC) != 0)) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            closeFd(fd);
        }
        throw std::runtime_error("cannot create pipes for " + argv[0]);
    }
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        if (captureStderr) {
            dup2(errPipe[1], STDERR_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // A group of its own: Ctrl-C on the terminal reaches the parent only,
        // which ends the child in its own time.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == parent) {
            execv(args[0], args.data());
        }
        _exit(127);
    }
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (pid_ < 0) {
        closeFd(outFd_);
        closeFd(errFd_);
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        terminate(2000);
    }
    closeFd(outFd_);
    closeFd(errFd_);
}

bool ChildProcess::pump(int timeoutMs) {
    std::array<pollfd, 2> fds{};
    std::array<int*, 2> owners{};
    nfds_t n = 0;
    for (int* fd : {&outFd_, &errFd_}) {
        if (*fd >= 0) {
            fds[n] = pollfd{*fd, POLLIN, 0};
            owners[n++] = fd;
        }
    }
    if (n == 0 || poll(fds.data(), n, timeoutMs) <= 0) {
        return false;
    }
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        std::array<char, 4096> buf{};
        ssize_t got = read(*owners[i], buf.data(), buf.size());
        if (got <= 0) {
            closeFd(*owners[i]);
        } else {
            (owners[i] == &outFd_ ? out_ : err_).append(buf.data(), static_cast<size_t>(got));
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto end = out_.find('\n');
        if (end != std::string::npos) {
            std::string line = out_.substr(0, end);
            out_.erase(0, end + 1);
            return line;
        }
        if (outFd_ < 0 || (!pump(msLeft(deadline)) && msLeft(deadline) == 0)) {
            return std::nullopt;
        }
    }
}

void ChildProcess::signal(int sig) const {
    if (pid_ > 0 && !status_) {
        kill(pid_, sig);
    }
}

bool ChildProcess::reap(int& status) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) {
        return false;
    }
    status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    return true;
}

int ChildProcess::wait(int timeoutMs) {
    if (status_) {
        return *status_;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((outFd_ >= 0 || errFd_ >= 0) && msLeft(deadline) > 0) {
        pump(msLeft(deadline));
    }
    int status = 0;
    while (!reap(status)) {
        if (msLeft(deadline) == 0) {
            kill(pid_, SIGKILL);
            int raw = 0;
            waitpid(pid_, &raw, 0);
            status = 128 + SIGKILL;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    while (pump(0)) {
    }
    status_ = status;
    return status;
}

int ChildProcess::terminate(int graceMs) {
    signal(SIGTERM);
    return wait(graceMs);
}

}  // namespace zelfx
