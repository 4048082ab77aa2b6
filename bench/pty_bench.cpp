// zelfx_pty_bench: what a SingleRead costs on a pseudo-terminal, measured
// against the floor of that path in the same run.
//
// 1. Floor: a raw ping-pong of the SingleRead bytes of DD0100 (11 out, 8
//    back) between this process, on the terminal side of a fresh
//    pseudo-terminal in raw mode, and an echo process on its master side.
// 2. The same raw ping-pong against fxsim, blocking and waiting in poll()
//    as a read bounded by a time-out must: where the time goes.
// 3. SingleRead of DD0100 through the shipped library (loaded as a host
//    loads it) against fxsim on a pseudo-terminal.
//    The runs alternate, `--rounds` times each; the medians are compared.
// 4. A paced line: fxsim --pace at 9600 bit/s, 7E1 (10 bits a character);
//    SingleRead (19 characters a transaction) and a 64-byte BlockRead (143
//    characters) against the line-time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver_host.h"
#include "fxsim_process.h"
#include "zelfx/torvek.h"

namespace {

using Clock = std::chrono::steady_clock;

// The read request for D100 and a data reply carrying 0x1234.
const char kRequest[] =
    "\x02"
    "010C802"
    "\x03"
    "71";
const char kReply[] =
    "\x02"
    "3412"
    "\x03"
    "CD";
constexpr size_t kRequestLength = sizeof kRequest - 1;
constexpr size_t kReplyLength = sizeof kReply - 1;
static_assert(kRequestLength == 11 && kReplyLength == 8);

constexpr int32_t kTimeout = 100;  // 1 s: never reached on a healthy line

struct Rate {
    double perSecond = 0;
    double cpuUs = 0;  // user + system CPU of this process per round trip
    long failures = 0;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `once` until `seconds` have passed (or `count` times, when given).
template <typename F>
Rate Measure(double seconds, long count, F once) {
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::duration<double>(seconds);
    long n = 0;
    long failures = 0;
    while (count > 0 ? n < count : Clock::now() < until) {
        failures += once() ? 0 : 1;
        ++n;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    return {static_cast<double>(n) / elapsed, (CpuSeconds() - cpu0) * 1e6 / static_cast<double>(n),
            failures};
}

[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::exit(2);
}

// Reads n bytes; on a non-blocking descriptor it waits in poll() whenever
// nothing is there, as a read bounded by a time-out must.
bool ReadFully(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

bool WriteFully(int fd, const char* buf, size_t n) {
    return write(fd, buf, n) == static_cast<ssize_t>(n);
}

// The terminal side of a pseudo-terminal in raw mode, written and read
// directly: one round trip is a write of the request and reads until the
// reply is in, blocking or (bounded) waiting in poll().
class RawLine {
  public:
    RawLine(const char* path, bool bounded) {
        fd_ = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | (bounded ? O_NONBLOCK : 0));
        termios t{};
        if (fd_ < 0 || tcgetattr(fd_, &t) != 0) {
            Die(path);
        }
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawLine() { close(fd_); }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    bool RoundTrip() {
        char buf[kReplyLength];
        return WriteFully(fd_, kRequest, kRequestLength) && ReadFully(fd_, buf, kReplyLength) &&
               std::memcmp(buf + 5, kReply + 5, 1) == 0;  // ETX where it belongs
    }

  private:
    int fd_ = -1;
};

// The floor: a fresh pseudo-terminal with an echo process on its master
// that answers every 11 bytes with the 8 of the reply.
class PingPong {
  public:
    PingPong() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            Die("posix_openpt");
        }
        const char* name = ptsname(master_);
        if (name == nullptr) {
            Die("ptsname");
        }
        line_ = std::make_unique<RawLine>(name, false);
        echo_ = fork();
        if (echo_ < 0) {
            Die("fork");
        }
        if (echo_ == 0) {
            char buf[kRequestLength];
            while (ReadFully(master_, buf, kRequestLength) &&
                   WriteFully(master_, kReply, kReplyLength)) {
            }
            _exit(0);
        }
    }
    ~PingPong() {
        line_.reset();
        kill(echo_, SIGTERM);
        waitpid(echo_, nullptr, 0);
        close(master_);
    }
    PingPong(const PingPong&) = delete;
    PingPong& operator=(const PingPong&) = delete;

    bool RoundTrip() { return line_->RoundTrip(); }

  private:
    int master_ = -1;
    std::unique_ptr<RawLine> line_;
    pid_t echo_ = -1;
};

// The same raw round trips against fxsim: the simulator's share of the
// driver's round trip, and with a bounded wait the share of waiting in
// poll() as the driver's time-out needs.
class RawOnSim {
  public:
    RawOnSim(const std::string& fxsim, bool bounded)
        : sim_(fxsim, {}), line_(sim_.path().c_str(), bounded) {}
    bool RoundTrip() { return line_.RoundTrip(); }

  private:
    zeltest::FxsimProcess sim_;
    RawLine line_;
};

// The driver, with its port open on a fresh fxsim.
class DriverOnSim {
  public:
    DriverOnSim(const std::string& fxsim, const std::string& driver,
                const std::vector<std::string>& simArgs)
        : sim_(fxsim, simArgs), host_(driver.c_str()) {
        if (host_.coldStart(&context_, sim_.portName(), kTimeout) != ZEL_DONE ||
            host_.parse("DD0100", 0, &word_) != ZEL_DONE ||
            host_.parse("MB0000", 0, &block_, 64) != ZEL_DONE) {
            std::fprintf(stderr, "pty_bench: driver setup failed\n");
            std::exit(2);
        }
    }
    ~DriverOnSim() { host_.call(ZEL_CMD_CLOSE_COM, nullptr, &context_); }
    DriverOnSim(const DriverOnSim&) = delete;
    DriverOnSim& operator=(const DriverOnSim&) = delete;

    bool SingleRead() {
        GateValue v{};
        return host_.io(ZEL_CMD_SINGLE_READ, &context_, "DD0100", word_, &v) == ZEL_DONE;
    }
    bool BlockRead64() {
        uint8_t data[64];
        return host_.io(ZEL_CMD_BLOCK_READ, &context_, "MB0000", block_, data, 64) == ZEL_DONE;
    }

  private:
    zeltest::FxsimProcess sim_;
    zeltest::DriverHost host_;
    PortContext context_{};
    AddrDesc word_{};
    AddrDesc block_{};
};

struct Series {
    std::vector<double> rates;
    std::vector<double> cpu;
    long failures = 0;

    void Add(const Rate& r) {
        rates.push_back(r.perSecond);
        cpu.push_back(r.cpuUs);
        failures += r.failures;
    }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Paced(const std::string& fxsim, const std::string& driver, uint32_t baud, const char* what,
           size_t characters, long count, bool block) {
    DriverOnSim d(fxsim, driver, {"--pace", "--baud", std::to_string(baud)});
    // Line time of one transaction at 10 bits a character.
    const double limit = baud / 10.0 / static_cast<double>(characters);
    const Rate r = Measure(0, count, [&] { return block ? d.BlockRead64() : d.SingleRead(); });
    std::printf("%-34s %9.3f /s  %6.2f%% of the line limit %.3f /s  (target >= 98%%)%s\n", what,
                r.perSecond, 100.0 * r.perSecond / limit, limit,
                r.failures != 0 ? "  FAILURES" : "");
    if (r.failures != 0) {
        std::exit(1);
    }
}

// Options, each "--name value".
struct Options {
    std::string fxsim = FXSIM_PATH;
    std::string driver = ZELFX_DRIVER_PATH;
    double seconds = 2;
    int rounds = 3;
    uint32_t baud = 9600;
    long pacedSingles = 100;
    long pacedBlocks = 15;
};

constexpr char kUsage[] =
    "usage: zelfx_pty_bench [--seconds S] [--rounds N] [--baud B] [--paced-singles N]\n"
    "                       [--paced-blocks N] [--fxsim PATH] [--driver PATH]\n"
    "  --seconds        length of each timed ping-pong and SingleRead run (2)\n"
    "  --rounds         alternating ping-pong and SingleRead runs; medians compared (3)\n"
    "  --baud           speed of the paced line (9600)\n"
    "  --paced-singles  SingleReads on the paced line, 0 to skip (100)\n"
    "  --paced-blocks   64-byte BlockReads on the paced line, 0 to skip (15)\n";

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* v = argv[i + 1];
        if (name == "--fxsim") {
            o->fxsim = v;
        } else if (name == "--driver") {
            o->driver = v;
        } else if (name == "--seconds") {
            o->seconds = std::atof(v);
        } else if (name == "--rounds") {
            o->rounds = std::atoi(v);
        } else if (name == "--baud") {
            o->baud = static_cast<uint32_t>(std::atol(v));
        } else if (name == "--paced-singles") {
            o->pacedSingles = std::atol(v);
        } else if (name == "--paced-blocks") {
            o->pacedBlocks = std::atol(v);
        } else {
            return false;
        }
    }
    return o->seconds > 0 && o->rounds > 0 && o->baud > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    torvek_use_callback(nullptr, nullptr);

    // Medians of the three runs, which alternate round by round.
    Series floor;
    Series raw;
    Series bounded;
    Series driven;
    for (int i = 0; i < o.rounds; ++i) {
        {
            PingPong p;
            floor.Add(Measure(o.seconds, 0, [&] { return p.RoundTrip(); }));
        }
        {
            RawOnSim r(o.fxsim, false);
            raw.Add(Measure(o.seconds, 0, [&] { return r.RoundTrip(); }));
        }
        {
            RawOnSim r(o.fxsim, true);
            bounded.Add(Measure(o.seconds, 0, [&] { return r.RoundTrip(); }));
        }
        {
            DriverOnSim d(o.fxsim, o.driver, {});
            driven.Add(Measure(o.seconds, 0, [&] { return d.SingleRead(); }));
        }
    }
    if (floor.failures + raw.failures + bounded.failures + driven.failures != 0) {
        std::fprintf(stderr, "pty_bench: round trips failed\n");
        return 1;
    }
    const double f = Median(floor.rates);
    std::printf("%-34s %9.0f /s  CPU %5.1f us each  (median of %d runs of %.1f s)\n",
                "ping-pong with an echo process", f, Median(floor.cpu), o.rounds, o.seconds);
    for (const auto& [name, s] : {std::pair{"ping-pong with fxsim", &raw},
                                  std::pair{"ping-pong with fxsim, poll() wait", &bounded}}) {
        std::printf("%-34s %9.0f /s  CPU %5.1f us each  %5.1f%% of the ping-pong\n", name,
                    Median(s->rates), Median(s->cpu), 100.0 * Median(s->rates) / f);
    }
    std::printf("%-34s %9.0f /s  CPU %5.1f us each  %5.1f%% of the ping-pong  (target >= 90%%)\n",
                "SingleRead DD0100 with fxsim", Median(driven.rates), Median(driven.cpu),
                100.0 * Median(driven.rates) / f);

    if (o.pacedSingles > 0) {
        Paced(o.fxsim, o.driver, o.baud, "paced SingleRead DD0100", 11 + 8, o.pacedSingles, false);
    }
    if (o.pacedBlocks > 0) {
        Paced(o.fxsim, o.driver, o.baud, "paced BlockRead MB0000 x64", 11 + 132, o.pacedBlocks,
              true);
    }
    return 0;
}
