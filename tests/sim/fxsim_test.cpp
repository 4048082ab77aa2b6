// The fxsim program on a real pseudo-terminal and a loopback socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
using fxsim_test::wire;

const std::string kEnq = "\x05";
const std::string kAck = "\x06";
const std::string kReadD100 = wire("010C802", "71");
const std::string kWriteD100 = wire("110C8023412", "3C");

// fxsim as a child process with its stdout and stderr on pipes.
class Fxsim {
  public:
    explicit Fxsim(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(FXSIM_BINARY)};
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(FXSIM_BINARY, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Fxsim() {
        if (pid_ > 0) {
            stop();
        }
        close(out_);
        close(err_);
    }

    std::string line() {
        std::string s;
        char c;
        while (read(out_, &c, 1) == 1 && c != '\n') {
            s += c;
        }
        return s;
    }

    // SIGTERM; returns the exit status and keeps stderr in `errors`.
    int stop() {
        kill(pid_, SIGTERM);
        char buf[4096];
        ssize_t n;
        while ((n = read(err_, buf, sizeof buf)) > 0) {
            errors.append(buf, static_cast<size_t>(n));
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string errors;

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

int openPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Sends `request` and collects up to `want` bytes within `timeoutMs`.
std::string exchange(int fd, const std::string& request, size_t want, int timeoutMs = 2000) {
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) {
            continue;
        }
        char buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string tempDir() {
    char dir[] = "/tmp/fxsim-test-XXXXXX";
    return mkdtemp(dir) ? dir : "";
}

// A client that takes the port exclusively and closes it without giving the
// mode back (as a crashed program leaves it), then opens it again. Runs as
// an unprivileged user, since root passes the exclusive mode anyway.
bool reopensAfterExclusiveClose(const std::string& path) {
    if (geteuid() == 0 && chmod(path.c_str(), 0666) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(3);
        }
        const int fd = openPort(path);
        if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
            _exit(4);
        }
        close(fd);
        for (int i = 0; i < 200; ++i) {  // fxsim notices the close within moments
            const int again = openPort(path);
            if (again >= 0) {
                const bool ok = exchange(again, "\x05", 1) == "\x06";
                close(again);
                _exit(ok ? 0 : 5);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        _exit(6);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Fxsim, ServesThePtyAcrossCloseAndReopen) {
    const std::string dir = tempDir();
    const std::string link = dir + "/plc";
    Fxsim sim({"--link", link});
    const std::string path = sim.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, path);

    int fd = openPort(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, kEnq, 1), kAck);
    EXPECT_EQ(exchange(fd, kWriteD100, 1), kAck);
    close(fd);

    fd = openPort(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, kReadD100, 8), wire("3412", "CD"));
    close(fd);

    EXPECT_TRUE(reopensAfterExclusiveClose(path));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(access(link.c_str(), F_OK) == 0) << "link left behind";
    rmdir(dir.c_str());
}

TEST(Fxsim, SigtermSavesTheImageAndPrintsStats) {
    const std::string dir = tempDir();
    const std::string in = dir + "/in.json";
    const std::string out = dir + "/out.json";
    std::ofstream(in) << R"({"D100": 4660, "Y0": 1})";
    Fxsim sim({"--image", in, "--save", out, "--stats", "--faults", "nak,silent"});
    const std::string path = sim.line();
    const int fd = openPort(path);
    ASSERT_GE(fd, 0);
    const std::string writeM10 = fxsim_test::frame("101010104");  // M8..M15 = 0x04
    EXPECT_EQ(exchange(fd, writeM10, 1), "\x15");                 // nak: not stored
    EXPECT_EQ(exchange(fd, writeM10, 1, 300), "");                // silent
    EXPECT_EQ(exchange(fd, writeM10, 1), kAck);
    EXPECT_EQ(exchange(fd, kReadD100, 8), wire("3412", "CD"));
    close(fd);
    EXPECT_EQ(sim.stop(), 0);

    std::ifstream saved(out);
    const auto image = nlohmann::json::parse(saved);
    EXPECT_EQ(image, nlohmann::json::parse(R"({"Y0": 1, "M10": 1, "D100": 4660})"));
    EXPECT_NE(sim.errors.find("requests=4 enq=0 read=1 write=3 stored=1"), std::string::npos)
        << sim.errors;
    EXPECT_NE(sim.errors.find("faults nak=1 silent=1 "), std::string::npos) << sim.errors;
    std::remove(in.c_str());
    std::remove(out.c_str());
    rmdir(dir.c_str());
}

// A reply held back by a delay fault must not turn up as the answer to the
// request the client sends after giving up on it.
TEST(Fxsim, LateReplyGivesWayToTheNextRequest) {
    Fxsim sim({"--faults", "delay=400", "--stats"});
    const int fd = openPort(sim.line());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, kEnq, 1, 150), "");
    // One byte more than the data reply: nothing may follow it.
    EXPECT_EQ(exchange(fd, kReadD100, 9, 700), wire("0000", "C3"));
    close(fd);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.errors.find("cancelled=1"), std::string::npos) << sim.errors;
}

TEST(Fxsim, RefusesBadOptionsAndImages) {
    const std::string dir = tempDir();
    const std::string bad = dir + "/bad.json";
    std::ofstream(bad) << R"({"Q1": 1})";
    Fxsim faults({"--faults", "nak,sometimes"});
    EXPECT_EQ(faults.line(), "");
    EXPECT_EQ(faults.stop(), 2);
    Fxsim image({"--image", bad});
    EXPECT_EQ(image.line(), "");
    EXPECT_EQ(image.stop(), 1);
    EXPECT_NE(image.errors.find("Q1"), std::string::npos) << image.errors;
    std::remove(bad.c_str());
    rmdir(dir.c_str());
}

int connectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(Fxsim, TcpServesOneClientAtATime) {
    Fxsim sim({"--tcp", "0"});
    sim.line();
    const std::string addr = sim.line();
    ASSERT_EQ(addr.rfind("127.0.0.1:", 0), 0u) << addr;
    const auto port = static_cast<uint16_t>(std::stoi(addr.substr(10)));

    const int first = connectTo(port);
    ASSERT_GE(first, 0);
    EXPECT_EQ(exchange(first, kWriteD100, 1), kAck);
    const int second = connectTo(port);  // busy: accepted and closed at once
    ASSERT_GE(second, 0);
    char c;
    EXPECT_EQ(read(second, &c, 1), 0);
    close(second);
    close(first);

    std::string reply;
    for (int i = 0; i < 50 && reply.empty(); ++i) {  // until fxsim has seen the close
        const int third = connectTo(port);
        ASSERT_GE(third, 0);
        reply = exchange(third, kReadD100, 8, 200);
        close(third);
    }
    EXPECT_EQ(reply, wire("3412", "CD"));
}

TEST(Fxsim, ScanCountsAndPaceDelaysReplies) {
    // 19 characters at 600 baud are about 317 ms on the line.
    Fxsim sim({"--scan", "--pace", "--baud", "600"});
    const int fd = openPort(sim.line());
    ASSERT_GE(fd, 0);
    const std::string readD0 = fxsim_test::frame("0100002");
    auto value = [&] {
        const auto start = Clock::now();
        const std::string r = exchange(fd, readD0, 8);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(r.size(), 8u);
        return r.size() == 8 ? std::stoi(r.substr(3, 2) + r.substr(1, 2), nullptr, 16) : -1;
    };
    const int first = value();
    const int second = value();
    EXPECT_GE(second, first + 2);
    close(fd);
}

}  // namespace
