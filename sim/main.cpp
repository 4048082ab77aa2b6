// fxsim: a simulated Mitsubishi FX PLC on a pseudo-terminal.
//
// One thread runs a poll loop over the pty master, an optional TCP listener
// and its client, a signal pipe and an inotify watch on the pty's slave
// node. Replies that must wait (line pacing, turnaround, delay faults) are
// kept per connection with their due time and go out from the loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "image.h"
#include "plc.h"

namespace {

using Clock = std::chrono::steady_clock;
using fxsim::Action;
using fxsim::Link;
using fxsim::Plc;

struct Options {
    std::string link;
    std::string image;
    std::string save;
    int tcpPort = -1;
    uint32_t baud = 9600;
    bool pace = false;
    uint32_t turnaroundMs = 0;
    std::string faults;
    std::string faultKinds;
    double faultRate = 0;
    uint64_t seed = 1;
    uint32_t charTimeoutMs = 500;
    bool scan = false;
    bool stats = false;
    bool trace = false;
};

int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char c = 's';
    [[maybe_unused]] const auto n = write(gSignalPipe[1], &c, 1);
    errno = saved;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fxsim: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void failErrno(const std::string& what) {
    fail(what + ": " + std::strerror(errno));
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        failErrno("fcntl");
    }
}

// Printable form of line traffic for --trace.
std::string show(std::string_view bytes) {
    static constexpr std::array<std::pair<char, const char*>, 5> kNames{{
        {fxsim::kStx, "<STX>"},
        {fxsim::kEtx, "<ETX>"},
        {fxsim::kEnq, "<ENQ>"},
        {fxsim::kAck, "<ACK>"},
        {fxsim::kNak, "<NAK>"},
    }};
    std::string out;
    for (const char c : bytes) {
        const auto named =
            std::find_if(kNames.begin(), kNames.end(), [c](const auto& n) { return n.first == c; });
        if (named != kNames.end()) {
            out += named->second;
        } else if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c) & 0xFFu);
            out += hex;
        }
    }
    return out;
}

// One connection: the pty master or a TCP client.
struct Channel {
    const char* name;
    int fd = -1;
    Link link;
    std::optional<std::string> pending;  // a reply waiting for its time
    Clock::time_point due;

    Channel(const char* n, Plc& plc, uint32_t timeoutMs) : name(n), link(plc, timeoutMs) {}
};

class Sim {
  public:
    Sim(const Options& o, Plc& plc)
        : opt_(o),
          plc_(plc),
          pty_("pty", plc, o.charTimeoutMs),
          tcp_("tcp", plc, o.charTimeoutMs) {}

    void openPty();
    void openTcp();
    void makeLink();
    void announce();
    void run();
    void finish();

  private:
    uint64_t nowMs() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
    }
    void makeRaw(int fd);
    void readFrom(Channel& ch);
    void flushDue(Channel& ch, Clock::time_point now);
    void cancel(Channel& ch, const char* why);
    void send(Channel& ch, const std::string& bytes);
    void onSlaveEvents();
    void acceptClient();
    void closeClient();
    void scanTick(Clock::time_point now);
    timespec pollTimeout(Clock::time_point now) const;

    const Options& opt_;
    Plc& plc_;
    Channel pty_;
    Channel tcp_;
    int slave_ = -1;  // held open so the master survives client close/reopen
    int inotify_ = -1;
    int listener_ = -1;
    int slaveOpens_ = 0;  // opens of the slave by clients, by inotify
    std::string ptsPath_;
    unsigned tcpPort_ = 0;
    bool linked_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point nextScan_ = start_;
    uint64_t scanTicks_ = 0;
};

void Sim::makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void Sim::openPty() {
    pty_.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty_.fd < 0 || grantpt(pty_.fd) != 0 || unlockpt(pty_.fd) != 0) {
        failErrno("cannot open a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(pty_.fd, name, sizeof name) != 0) {
        failErrno("ptsname");
    }
    ptsPath_ = name;
    // Terminal settings made on the master apply to the slave: raw, so that
    // nothing is echoed or translated before a client sets its own.
    makeRaw(pty_.fd);
    setNonBlocking(pty_.fd);
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        failErrno("cannot open " + ptsPath_);
    }
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0 || inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE) < 0) {
        std::fprintf(stderr,
                     "fxsim: cannot watch %s (%s); a client's exclusive mode will "
                     "outlive it\n",
                     name, std::strerror(errno));
        if (inotify_ >= 0) {
            close(inotify_);
        }
        inotify_ = -1;
    }
}

void Sim::makeLink() {
    if (opt_.link.empty()) {
        return;
    }
    const std::string tmp = opt_.link + ".fxsim-tmp";
    struct stat st {};
    if (lstat(opt_.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        fail(opt_.link + " exists and is not a symbolic link");
    }
    unlink(tmp.c_str());
    if (symlink(ptsPath_.c_str(), tmp.c_str()) != 0 ||
        rename(tmp.c_str(), opt_.link.c_str()) != 0) {
        failErrno("cannot link " + opt_.link);
    }
    linked_ = true;
}

// The first line is the device path, the second (with --tcp) the address.
void Sim::announce() {
    std::printf("%s\n", ptsPath_.c_str());
    if (listener_ >= 0) {
        std::printf("127.0.0.1:%u\n", tcpPort_);
    }
    std::fflush(stdout);
}

void Sim::openTcp() {
    if (opt_.tcpPort < 0) {
        return;
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        failErrno("socket");
    }
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(opt_.tcpPort));
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        failErrno("cannot listen on 127.0.0.1:" + std::to_string(opt_.tcpPort));
    }
    setNonBlocking(listener_);
    tcpPort_ = ntohs(addr.sin_port);
}

void Sim::send(Channel& ch, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(ch.fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Nobody reads (buffer full) or the peer is gone: like a serial
            // line with no listener, the rest is lost.
            break;
        }
    }
}

void Sim::cancel(Channel& ch, const char* why) {
    if (!ch.pending) {
        return;
    }
    ++plc_.stats().cancelled;
    if (opt_.trace) {
        std::fprintf(stderr, "fxsim: %s reply %s cancelled: %s\n", ch.name,
                     show(*ch.pending).c_str(), why);
    }
    ch.pending.reset();
}

void Sim::readFrom(Channel& ch) {
    char buf[512];
    const ssize_t n = read(ch.fd, buf, sizeof buf);
    if (n <= 0) {
        if (&ch == &tcp_ && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
            closeClient();
        }
        return;
    }
    const auto now = Clock::now();
    // The client has moved on: a reply still waiting would be taken for the
    // answer to what it sends now.
    cancel(ch, "input arrived first");
    for (const Action& a : ch.link.feed(std::string_view(buf, static_cast<size_t>(n)), nowMs())) {
        cancel(ch, "a later request arrived");
        uint64_t waitUs = uint64_t{opt_.turnaroundMs} * 1000 + uint64_t{a.delayMs} * 1000;
        if (opt_.pace) {
            waitUs += fxsim::lineTimeUs(a.request.size() + a.reply.size(), opt_.baud);
        }
        if (opt_.trace) {
            std::string fault;
            if (a.fault.kind != fxsim::FaultKind::Ok) {
                fault =
                    "  [fault " + std::string(fxsim::faultName(a.fault.kind)) +
                    (a.fault.kind == fxsim::FaultKind::Delay ? "=" + std::to_string(a.fault.delayMs)
                                                             : "") +
                    "]";
            }
            std::fprintf(stderr, "fxsim: %s <- %s\n", ch.name, show(a.request).c_str());
            std::fprintf(stderr, "fxsim: %s -> %s%s\n", ch.name,
                         a.reply.empty() ? "(nothing)" : show(a.reply).c_str(), fault.c_str());
        }
        if (a.reply.empty()) {
            continue;
        }
        if (waitUs == 0) {
            send(ch, a.reply);
        } else {
            ch.pending = a.reply;
            ch.due = now + std::chrono::microseconds(waitUs);
        }
    }
}

void Sim::flushDue(Channel& ch, Clock::time_point now) {
    if (ch.pending && now >= ch.due) {
        send(ch, *ch.pending);
        ch.pending.reset();
    }
    ch.link.expire(nowMs());
}

// Counts the clients' opens and closes of the slave. Once the last client
// has closed it, the slave is made as a fresh device would be: the kernel
// keeps a client's exclusive mode (TIOCEXCL) on the pty for as long as
// fxsim holds its own slave descriptor, which would lock every later
// client out; leftover input and settings go too.
void Sim::onSlaveEvents() {
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    bool closed = false;
    while ((n = read(inotify_, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->mask & IN_OPEN) {
                ++slaveOpens_;
            }
            if (e->mask & IN_CLOSE) {
                --slaveOpens_;
                closed = true;
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
    if (closed && slaveOpens_ <= 0) {
        slaveOpens_ = 0;
        ioctl(slave_, TIOCNXCL);
        makeRaw(slave_);
        tcflush(slave_, TCIFLUSH);
        cancel(pty_, "the client closed the device");
        pty_.link.reset();
        if (opt_.trace) {
            std::fprintf(stderr, "fxsim: pty client closed\n");
        }
    }
}

void Sim::acceptClient() {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (tcp_.fd >= 0) {
        close(fd);  // one client at a time, as a device server with one port
        return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    tcp_.fd = fd;
    tcp_.link.reset();
    if (opt_.trace) {
        std::fprintf(stderr, "fxsim: tcp client connected\n");
    }
}

void Sim::closeClient() {
    cancel(tcp_, "the client disconnected");
    close(tcp_.fd);
    tcp_.fd = -1;
    tcp_.link.reset();
    if (opt_.trace) {
        std::fprintf(stderr, "fxsim: tcp client disconnected\n");
    }
}

// The demo program: D0 counts every 100 ms, Y0 toggles every 500 ms and
// M8000 (RUN monitor) is on.
void Sim::scanTick(Clock::time_point now) {
    if (!opt_.scan) {
        return;
    }
    auto& mem = plc_.memory();
    static constexpr fxsim::Device kD0{10, 0};
    static constexpr fxsim::Device kY0{2, 0};
    static constexpr fxsim::Device kM8000{6, 8000};
    while (now >= nextScan_) {
        mem.set(kM8000, 1);
        if (scanTicks_ > 0) {
            mem.set(kD0, (mem.get(kD0) + 1) & 0xFFFF);
        }
        if (scanTicks_ % 5 == 0) {
            mem.set(kY0, mem.get(kY0) ^ 1u);
        }
        ++scanTicks_;
        nextScan_ += std::chrono::milliseconds(100);
    }
}

// Exact to the nanosecond: a wait rounded to whole milliseconds would hold
// every paced reply up to a millisecond longer than the line takes.
timespec Sim::pollTimeout(Clock::time_point now) const {
    auto next = now + std::chrono::seconds(1);
    if (opt_.scan) {
        next = std::min(next, nextScan_);
    }
    for (const Channel* ch : {&pty_, &tcp_}) {
        if (ch->pending) {
            next = std::min(next, ch->due);
        }
        if (const auto d = ch->link.deadline()) {
            next = std::min(next, start_ + std::chrono::milliseconds(*d));
        }
    }
    const auto ns = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count(), 0);
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void Sim::run() {
    for (;;) {
        const auto now = Clock::now();
        scanTick(now);
        flushDue(pty_, now);
        if (tcp_.fd >= 0) {
            flushDue(tcp_, now);
        }
        std::array<pollfd, 5> fds{};
        nfds_t n = 0;
        fds[n++] = {gSignalPipe[0], POLLIN, 0};
        fds[n++] = {pty_.fd, POLLIN, 0};
        fds[n++] = {inotify_, POLLIN, 0};  // -1 is ignored by poll
        fds[n++] = {tcp_.fd, POLLIN, 0};
        fds[n++] = {listener_, POLLIN, 0};
        const timespec timeout = pollTimeout(Clock::now());
        if (ppoll(fds.data(), n, &timeout, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            failErrno("poll");
        }
        if (fds[0].revents) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            readFrom(pty_);
        }
        if (fds[2].revents) {
            onSlaveEvents();
        }
        if (fds[3].revents) {
            readFrom(tcp_);  // before accepting, so a reconnect finds the port free
        }
        if (fds[4].revents) {
            acceptClient();
        }
    }
}

void Sim::finish() {
    if (linked_) {
        char target[256];
        const ssize_t n = readlink(opt_.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == ptsPath_) {
            unlink(opt_.link.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{
        "fxsim: a simulated Mitsubishi FX PLC on the programming-port protocol.\n"
        "Prints the pseudo-terminal's path as its first line of output."};
    app.add_option("--link", o.link, "Also make a symbolic link PATH to the pseudo-terminal")
        ->type_name("PATH");
    app.add_option("--tcp", o.tcpPort,
                   "Also serve on 127.0.0.1:PORT, one client at a time (0: any free port); "
                   "prints 127.0.0.1:PORT as the second line")
        ->check(CLI::Range(0, 65535))
        ->type_name("PORT");
    app.add_option("--image", o.image, "Load the memory from a JSON image")->type_name("FILE");
    app.add_option("--save", o.save, "Save the memory as a JSON image at exit")->type_name("FILE");
    app.add_option("--baud", o.baud, "Line speed for --pace")
        ->check(CLI::Range(50u, 4000000u))
        ->capture_default_str();
    app.add_flag("--pace", o.pace,
                 "Delay each reply by the line time of the request and the reply");
    app.add_option("--turnaround-ms", o.turnaroundMs, "Delay every reply by this much")
        ->check(CLI::Range(0u, 600000u))
        ->capture_default_str();
    app.add_option("--faults", o.faults,
                   "Faults for successive requests: ok,nak,silent,badsum,short,extra,garbage,"
                   "delay=MS")
        ->type_name("LIST");
    app.add_option("--fault-rate", o.faultRate,
                   "After the --faults list, each request draws a fault with this probability")
        ->check(CLI::Range(0.0, 1.0))
        ->type_name("P");
    app.add_option("--fault-kinds", o.faultKinds,
                   "The faults --fault-rate draws from (default: every kind, delay=300)")
        ->type_name("LIST");
    app.add_option("--seed", o.seed, "Seed of the fault and garbage generator")
        ->capture_default_str();
    app.add_option("--char-timeout-ms", o.charTimeoutMs,
                   "Drop a partial frame after this long without a character")
        ->check(CLI::Range(1u, 600000u))
        ->capture_default_str();
    app.add_flag("--scan", o.scan, "Run the demo program: D0 counts every 100 ms, Y0 blinks");
    app.add_flag("--stats", o.stats, "Print request, reply and fault counts at exit");
    app.add_flag("--trace", o.trace, "Log every request and reply to stderr");
    CLI11_PARSE(app, argc, argv);

    const auto script = fxsim::parseFaultList(o.faults);
    const auto pool = fxsim::parseFaultList(o.faultKinds);
    if (!script || !pool) {
        std::fprintf(stderr, "fxsim: bad fault list '%s'\n",
                     (!script ? o.faults : o.faultKinds).c_str());
        return 2;
    }
    Plc plc(fxsim::FaultPlan(*script, o.faultRate, o.seed, *pool));
    if (!o.image.empty()) {
        try {
            fxsim::loadImage(plc.memory(), o.image);
        } catch (const std::exception& e) {
            fail(e.what());
        }
    }

    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        failErrno("pipe");
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);

    Sim sim(o, plc);
    sim.openPty();
    sim.openTcp();
    sim.makeLink();
    sim.announce();
    sim.run();
    sim.finish();

    int rc = 0;
    if (!o.save.empty()) {
        try {
            fxsim::saveImage(plc.memory(), o.save);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "fxsim: %s\n", e.what());
            rc = 1;
        }
    }
    if (o.stats) {
        std::fputs(fxsim::formatStats(plc.stats()).c_str(), stderr);
    }
    return rc;
}
