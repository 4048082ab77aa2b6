// Starts fxsim on a pseudo-terminal for a test and stops it again.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace zeltest {

class FxsimProcess {
  public:
    // Runs `binary` with `args`; returns once it has printed its device path.
    FxsimProcess(const std::string& binary, const std::vector<std::string>& args) {
        int out[2];
        int errPipe[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(binary.c_str()));
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(errPipe[1]);
        out_ = out[0];
        err_ = errPipe[0];
        path_ = readLine();
        if (path_.empty()) {
            stop();
            throw std::runtime_error("fxsim printed no device path");
        }
    }

    ~FxsimProcess() { stop(); }
    FxsimProcess(const FxsimProcess&) = delete;
    FxsimProcess& operator=(const FxsimProcess&) = delete;

    // The device path, e.g. /dev/pts/4.
    const std::string& path() const { return path_; }

    // The same device as a port name of at most 11 characters: pts/4.
    std::string portName() const {
        const std::string prefix = "/dev/";
        return path_.rfind(prefix, 0) == 0 ? path_.substr(prefix.size()) : path_;
    }

    // Ends fxsim (SIGTERM) and returns what it wrote to stderr.
    std::string stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            char buf[4096];
            ssize_t n;
            while ((n = read(err_, buf, sizeof buf)) > 0) {
                stderr_.append(buf, static_cast<size_t>(n));
            }
        }
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
        if (err_ >= 0) {
            close(err_);
            err_ = -1;
        }
        return stderr_;
    }

  private:
    std::string readLine() {
        std::string line;
        char c;
        while (read(out_, &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        return line;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string path_;
    std::string stderr_;
};

}  // namespace zeltest
