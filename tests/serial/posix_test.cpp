// The serial layer over the POSIX backend, on real pseudo-terminals: the test
// holds the master side, the layer opens the slave like a serial port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/backend_posix.h"
#include "serial/serial.h"

namespace zel::serial {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr LineParams kDefaultLine = {9600, 7, 0, 2};

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A pseudo-terminal pair; `name` is the slave as a port name ("pts/N").
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        path_ = ptsname(master_);
        name_ = path_.substr(5);  // without "/dev/"
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const char* name() const { return name_.c_str(); }
    const char* path() const { return path_.c_str(); }
    int master() const { return master_; }
    void closeMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the slave side sent, until `n` bytes or `timeout` of silence.
    std::string receive(size_t n, milliseconds timeout = milliseconds(500)) const {
        std::string out;
        char buf[512];
        pollfd p = {master_, POLLIN, 0};
        while (out.size() < n && poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
            ssize_t got = read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }

    // The slave's terminal settings, as the master sees them.
    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(master_, &t), 0);
        return t;
    }

  private:
    int master_ = -1;
    std::string path_;
    std::string name_;
};

std::string allBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) {
        s.push_back(static_cast<char>(i));
    }
    return s;
}

// Runs `body` in a child process and returns its exit status.
template <typename F>
int inChild(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PosixPort : public ::testing::Test {
  protected:
    void TearDown() override {
        if (handle_ != 0) {
            SerClose(handle_);
        }
    }

    Handle open(uint16_t flags = 0x0303, LineParams line = kDefaultLine) {
        EXPECT_EQ(SerOpen(pty_.name(), &line, flags, &handle_), kOk);
        return handle_;
    }

    Pty pty_;
    Handle handle_ = 0;
};

class BinaryLine : public PosixPort, public ::testing::WithParamInterface<uint16_t> {};

// A fresh terminal is cooked: it would echo, turn CR into LF, hold bytes until
// a newline, and swallow ^C, ^D, ^Q, ^S and DEL. The port must pass every
// byte, with the control flags 0 as well.
TEST_P(BinaryLine, EveryBytePassesUnchangedBothWays) {
    Handle h = open(GetParam());
    std::string bytes = allBytes();
    pty_.send(bytes);
    std::string in(256, '\0');
    uint32_t got = 0;
    ASSERT_EQ(SerRead(h, in.data(), 256, &got), kOk);
    EXPECT_EQ(got, 256u);
    EXPECT_EQ(in, bytes);

    uint32_t written = 0;
    ASSERT_EQ(SerWrite(h, bytes.data(), 256, &written), kOk);
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty_.receive(257, milliseconds(200)), bytes) << "nothing translated or echoed";

    termios t = pty_.settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ISIG | IEXTEN | ECHO), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

INSTANTIATE_TEST_SUITE_P(Flags, BinaryLine, ::testing::Values(0x0303, 0));

TEST_F(PosixPort, FlagsZeroKeepsSpeedAndStopBits) {
    termios before = pty_.settings();
    cfsetspeed(&before, B4800);
    before.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty_.master(), TCSANOW, &before), 0);
    open(0);
    termios t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t{B4800});
    EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t{CSTOPB});
}

struct LineCase {
    LineParams line;
    uint16_t flags;
    int32_t result;
    speed_t speed;
    tcflag_t format;  // CSIZE, CSTOPB, parity and CRTSCTS bits
};

class LineState : public PosixPort, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineState, MapsOntoTermiosOrIsRefused) {
    const LineCase& c = GetParam();
    Handle h = 0;
    ASSERT_EQ(SerOpen(pty_.name(), &c.line, c.flags, &h), c.result);
    if (c.result != kOk) {
        EXPECT_EQ(SerOpen(pty_.name(), &c.line, 0, &handle_), kOk) << "the refused port is closed";
        return;
    }
    handle_ = h;
    // A pseudo-terminal keeps neither character size nor parity enable.
    termios t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS),
              c.format & ~tcflag_t{CSIZE | PARENB});
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineState,
    ::testing::Values(
        LineCase{{9600, 7, 0, 2}, 0x0303, kOk, B9600, CS7 | PARENB},
        LineCase{{19200, 8, 2, 1}, 0x0303, kOk, B19200, CS8 | CSTOPB | PARENB | PARODD},
        LineCase{{1200, 5, 1, 3}, 0x0303, kOk, B1200, CS5 | CSTOPB | PARENB | PARODD | CMSPAR},
        LineCase{{57600, 6, 0, 4}, 0x0303, kOk, B57600, CS6 | PARENB | CMSPAR},
        LineCase{{9600, 8, 0, 0}, 0x0313, kOk, B9600, CS8 | CRTSCTS},
        LineCase{{14400, 8, 0, 0}, 0x0303, kSetStateFailed, 0, 0},
        LineCase{{9600, 9, 0, 0}, 0x0303, kSetStateFailed, 0, 0},
        LineCase{{9600, 8, 1, 0}, 0x0303, kSetStateFailed, 0, 0},
        LineCase{{9600, 8, 0, 5}, 0x0303, kSetStateFailed, 0, 0}));

TEST_F(PosixPort, OpenIsExclusiveAcrossOpensAndProcesses) {
    Handle h = open();
    Handle second = 0;
    EXPECT_EQ(SerOpen(pty_.name(), &kDefaultLine, 0x0303, &second), kOpenFailed);
    EXPECT_EQ(SerOpen(pty_.path(), &kDefaultLine, 0, &second), kOpenFailed);
    const char* name = pty_.name();
    EXPECT_EQ(inChild([name] {
                  Handle other = 0;
                  return SerOpen(name, &kDefaultLine, 0x0303, &other);
              }),
              kOpenFailed);

    ASSERT_EQ(SerClose(h), kOk);
    handle_ = 0;
    EXPECT_EQ(inChild([name] {
                  Handle other = 0;
                  return SerOpen(name, &kDefaultLine, 0x0303, &other);
              }),
              kOk)
        << "closing gives the port up";
}

TEST_F(PosixPort, HandleIsNeverStdinEvenWhenItIsFree) {
    const char* name = pty_.name();
    int status = inChild([name] {
        close(0);
        close(1);
        close(2);
        Handle h = 0;
        if (SerOpen(name, &kDefaultLine, 0x0303, &h) != kOk) {
            return 1;
        }
        bool stdioFree = fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1;
        return h >= 3 && stdioFree ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

// The read waits for all it asked for, across pieces that arrive apart.
TEST_F(PosixPort, ReadWaitsForEveryByteWithinTheTimeout) {
    Handle h = open();
    SerSetReadTimeout(h, 100);
    std::thread plc([this] {
        pty_.send("ab");
        std::this_thread::sleep_for(milliseconds(60));
        pty_.send("cde");
    });
    char buf[5] = {};
    uint32_t got = 0;
    EXPECT_EQ(SerRead(h, buf, 5, &got), kOk);
    plc.join();
    EXPECT_EQ(std::string(buf, got), "abcde");
}

TEST_F(PosixPort, ShortReplyComesBackOnceTheTimeoutRanOut) {
    Handle h = open();
    SerSetReadTimeout(h, 20);
    pty_.send("abc");
    char buf[5] = {};
    uint32_t got = 0;
    auto start = Clock::now();
    EXPECT_EQ(SerRead(h, buf, 5, &got), kOk);
    EXPECT_EQ(got, 3u);
    EXPECT_GE(since(start), milliseconds(180)) << "a short reply must not end the read early";
    EXPECT_LT(since(start), milliseconds(3000));

    start = Clock::now();
    EXPECT_EQ(SerRead(h, buf, 5, &got), kIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(since(start), milliseconds(180));
}

TEST_F(PosixPort, ReadOnAHungUpLineFailsPromptly) {
    Handle h = open();
    SerSetReadTimeout(h, 500);
    pty_.closeMaster();
    char buf[5];
    auto start = Clock::now();
    EXPECT_EQ(SerRead(h, buf, 5, nullptr), kIoFailed);
    EXPECT_LT(since(start), milliseconds(2500));
}

// Time-outs belong to the open port: two ports used at the same time from two
// threads each keep their own.
TEST_F(PosixPort, TimeoutsArePerPort) {
    Handle a = open();
    Pty other;
    Handle b = 0;
    ASSERT_EQ(SerOpen(other.name(), &kDefaultLine, 0x0303, &b), kOk);
    SerSetReadTimeout(a, 5);
    SerSetReadTimeout(b, 40);
    milliseconds slow{0};
    std::thread reader([&] {
        char buf[1];
        auto start = Clock::now();
        SerRead(b, buf, 1, nullptr);
        slow = since(start);
    });
    char buf[1];
    for (int i = 0; i < 3; ++i) {
        SerRead(a, buf, 1, nullptr);
    }
    reader.join();
    EXPECT_GE(slow, milliseconds(370));
    EXPECT_EQ(SerSetReadTimeout(a, 5), 5);
    EXPECT_EQ(SerSetReadTimeout(b, 40), 40);
    EXPECT_EQ(SerClose(b), kOk);
}

TEST_F(PosixPort, PurgeDiscardsWaitingInputAndRestoresTheTimeout) {
    Handle h = open();
    SerSetReadTimeout(h, 30);
    pty_.send(std::string(1100, 'x'));
    std::this_thread::sleep_for(milliseconds(50));  // let the line discipline take it in
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_EQ(SerSetReadTimeout(h, 5), 30);
    char buf[1];
    EXPECT_EQ(SerRead(h, buf, 1, nullptr), kIoFailed);
}

// A line that never takes the bytes (here nobody reads the other end) must not
// hold the writer for ever.
TEST_F(PosixPort, WriteTheLineNeverTakesEndsShort) {
    Handle h = open();
    // Fill the line until it stays full: the kernel keeps moving bytes to the
    // master side for a while.
    std::string filler(4096, 'f');
    int fd = static_cast<int>(h);
    for (int round = 0; round < 20; ++round) {
        bool took = false;
        while (write(fd, filler.data(), filler.size()) > 0) {
            took = true;
        }
        if (!took && round > 0) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    uint32_t written = 99;
    auto start = Clock::now();
    EXPECT_EQ(SerWrite(h,
                       "\x02"
                       "0123456789",
                       11, &written),
              kShortWrite);
    EXPECT_LT(written, 11u);
    EXPECT_LT(since(start), milliseconds(5000));
}

TEST(PosixNul, NulIsAnUnconfiguredSinkThatMayBeSharedAndNeverBlocks) {
    Handle a = 0;
    Handle b = 0;
    ASSERT_EQ(SerOpen("NUL", &kDefaultLine, 0x0303, &a), kOk);
    ASSERT_EQ(SerOpen("NUL", &kDefaultLine, 0x0303, &b), kOk);
    EXPECT_GE(a, 3u);
    uint32_t written = 0;
    EXPECT_EQ(SerWrite(a, "hello", 5, &written), kOk);
    EXPECT_EQ(written, 5u);
    char buf[8];
    auto start = Clock::now();
    EXPECT_EQ(SerRead(a, buf, 8, nullptr), kIoFailed);
    EXPECT_EQ(SerPurgeInput(a), kOk);
    EXPECT_LT(since(start), milliseconds(500));
    EXPECT_EQ(SerClose(a), kOk);
    EXPECT_EQ(SerClose(b), kOk);
}

TEST(PosixNames, PortNamesMapToDevices) {
    struct Case {
        const char* name;
        const char* path;  // null: refused
    };
    const Case cases[] = {
        {"NUL", "/dev/null"},
        {"/dev/pts/3", "/dev/pts/3"},
        {"COM1", "/dev/ttyS0"},
        {"com12", "/dev/ttyS11"},
        {"COM0", "/dev/COM0"},
        {"COM01", "/dev/COM01"},
        {"COM1x", "/dev/COM1x"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/3", "/dev/pts/3"},
        {"nul", "/dev/nul"},
        {"12345678901", "/dev/12345678901"},
        {"123456789012", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        char path[posix::kDevicePathSize];
        bool ok = posix::devicePath(c.name, path);
        EXPECT_EQ(ok, c.path != nullptr) << c.name;
        if (ok && c.path != nullptr) {
            EXPECT_STREQ(path, c.path) << c.name;
        }
    }
    // A name field with no NUL in its 12 bytes is refused, not overrun.
    char unterminated[ZEL_PORT_NAME_SIZE];
    std::fill(std::begin(unterminated), std::end(unterminated), 'A');
    char path[posix::kDevicePathSize];
    EXPECT_FALSE(posix::devicePath(unterminated, path));
}

TEST(PosixOpen, MissingDeviceFailsToOpen) {
    Handle h = 0;
    EXPECT_EQ(SerOpen("ttyNOSUCH9", &kDefaultLine, 0x0303, &h), kOpenFailed);
}

}  // namespace
}  // namespace zel::serial
