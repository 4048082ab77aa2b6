// The POSIX serial backend: termios on Linux terminals (RS-232 ports,
// USB-serial adapters, pseudo-terminals). docs/serial.md explains the choices.
//
// A handle is the file descriptor, always 3 or above. The port's time-outs
// live with the open device itself, as they do on Windows: the three read
// time-outs in control-character slots that the raw line discipline never
// consults, the two write time-outs in the terminal's window-size record,
// which a serial line never uses. So two handles never share time-outs, and
// the backend keeps no state of its own.
#include "serial/backend_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "serial/backend.h"

namespace zel::serial {
namespace posix {
namespace {

constexpr size_t kNameMax = ZEL_PORT_NAME_SIZE - 1;
constexpr int kFirstHandleFd = 3;  // never the host's stdin, stdout or stderr
constexpr char kNullDevice[] = "/dev/null";

// The port's time-outs right after open: reads as the layer configures them,
// writes bounded by the slack alone.
constexpr Timeouts kFreshTimeouts = {0, 0, kOpenReadTimeoutMs, 0, kWriteSlackMs};

// Control characters that a line discipline with ICANON, ISIG, IEXTEN, IXON
// and IXOFF off never looks at: four bytes for each read time-out.
constexpr int kReadTimeoutSlots[] = {VINTR, VQUIT, VERASE,   VKILL,    VEOF,    VEOL,
                                     VEOL2, VSUSP, VREPRINT, VDISCARD, VWERASE, VLNEXT};
constexpr size_t kReadTimeouts = 3;

constexpr bool slotsAreFree() {
    for (size_t i = 0; i < std::size(kReadTimeoutSlots); ++i) {
        int s = kReadTimeoutSlots[i];
        if (s == VMIN || s == VTIME || s == VSTART || s == VSTOP || s < 0 || s >= NCCS) {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (kReadTimeoutSlots[j] == s) {
                return false;
            }
        }
    }
    return std::size(kReadTimeoutSlots) == kReadTimeouts * 4;
}
static_assert(slotsAreFree(), "time-out slots must be distinct and unused in raw mode");

int fdOf(Handle h) {
    return h > INT_MAX ? -1 : static_cast<int>(h);
}

constexpr tcflag_t flagsOf(unsigned long v) {
    return static_cast<tcflag_t>(v);
}

struct Speed {
    uint32_t rate;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

struct SizeFlag {
    uint8_t bits;
    tcflag_t flag;
};
constexpr SizeFlag kSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

// Parity codes 0 none, 1 odd, 2 even, 3 mark, 4 space.
constexpr tcflag_t kParityFlags[] = {0, flagsOf(PARENB | PARODD), flagsOf(PARENB),
                                     flagsOf(PARENB | PARODD | CMSPAR), flagsOf(PARENB | CMSPAR)};
constexpr tcflag_t kParityMask = flagsOf(PARENB | PARODD | CMSPAR);

uint32_t rateOf(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) {
            return s.rate;
        }
    }
    return 0;
}

// How late the kernel may end a terminal's read timer: its timers fire up
// to 1/8 of their length late, plus one clock tick (10 ms at 100 Hz).
constexpr int64_t timerWorstNs(int64_t timerNs) {
    return timerNs + timerNs / 8 + 10000000;
}

// The terminal's own read timer (VTIME, tenths of a second, counted from the
// read call when VMIN is 0): the longest whose worst case still fits the
// shortest total time-out any read on the port has. 0 (reads never block)
// when that is under a tenth, or where reads must not wait at all.
cc_t timerTenths(const Timeouts& in) {
    bool noTotal = in.ReadTotalTimeoutMultiplier == 0 && in.ReadTotalTimeoutConstant == 0;
    if (noTotal && in.ReadIntervalTimeout == kMaxDword) {
        return 0;
    }
    uint64_t shortest = noTotal ? kOpenReadTimeoutMs : in.ReadTotalTimeoutConstant;
    uint64_t tenths = shortest <= 10 ? 0 : (shortest - 10) * 8 / 9 / 100;
    return static_cast<cc_t>(std::min<uint64_t>(tenths, 255));
}

void storeTimeouts(const Timeouts& in, termios* t, winsize* w) {
    const uint32_t reads[kReadTimeouts] = {in.ReadIntervalTimeout, in.ReadTotalTimeoutMultiplier,
                                           in.ReadTotalTimeoutConstant};
    for (size_t i = 0; i < std::size(kReadTimeoutSlots); ++i) {
        t->c_cc[kReadTimeoutSlots[i]] = static_cast<cc_t>(reads[i / 4] >> (8 * (i % 4)));
    }
    t->c_cc[VTIME] = timerTenths(in);
    w->ws_row = static_cast<unsigned short>(in.WriteTotalTimeoutMultiplier);
    w->ws_col = static_cast<unsigned short>(in.WriteTotalTimeoutMultiplier >> 16);
    w->ws_xpixel = static_cast<unsigned short>(in.WriteTotalTimeoutConstant);
    w->ws_ypixel = static_cast<unsigned short>(in.WriteTotalTimeoutConstant >> 16);
}

Timeouts loadTimeouts(const termios& t, const winsize& w) {
    uint32_t reads[kReadTimeouts] = {};
    for (size_t i = 0; i < std::size(kReadTimeoutSlots); ++i) {
        reads[i / 4] |= static_cast<uint32_t>(t.c_cc[kReadTimeoutSlots[i]]) << (8 * (i % 4));
    }
    return Timeouts{reads[0], reads[1], reads[2],
                    static_cast<uint32_t>(w.ws_row) | static_cast<uint32_t>(w.ws_col) << 16,
                    static_cast<uint32_t>(w.ws_xpixel) | static_cast<uint32_t>(w.ws_ypixel) << 16};
}

// A binary line: no byte is translated, swallowed or taken as a signal or a
// flow-control character; bytes with parity errors arrive as received. VMIN
// 0 with the port's read timer in VTIME: a blocking read returns as soon as
// a byte is there or when the timer has run out.
void makeRaw(termios* t) {
    t->c_iflag &= ~flagsOf(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | INPCK |
                           PARMRK | IGNPAR | IMAXBEL | IUCLC | IUTF8);
    t->c_iflag |= IGNBRK;
    t->c_oflag &= ~flagsOf(OPOST);
    t->c_lflag &= ~flagsOf(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | ECHOCTL |
                           ECHOPRT | ECHOKE | FLUSHO | PENDIN | TOSTOP | XCASE | EXTPROC);
    t->c_cflag |= flagsOf(CREAD | CLOCAL);
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = timerTenths(loadTimeouts(*t, winsize{}));
}

bool readTimeoutsOf(int fd, Timeouts* out) {
    termios t;
    winsize w;
    if (tcgetattr(fd, &t) != 0 || ioctl(fd, TIOCGWINSZ, &w) != 0) {
        return false;
    }
    *out = loadTimeouts(t, w);
    return true;
}

bool writeTimeoutsOf(int fd, const Timeouts& in) {
    termios t;
    winsize w;
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    storeTimeouts(in, &t, &w);
    return tcsetattr(fd, TCSANOW, &t) == 0 && ioctl(fd, TIOCSWINSZ, &w) == 0;
}

// The time-outs for a read or a write: the port's, or the fresh ones for a
// device that has none (/dev/null). Each fetches only its own half, one
// system call.
Timeouts readTimeoutsFor(const termios* term) {
    Timeouts t = kFreshTimeouts;
    if (term != nullptr) {
        Timeouts all = loadTimeouts(*term, winsize{});
        t.ReadIntervalTimeout = all.ReadIntervalTimeout;
        t.ReadTotalTimeoutMultiplier = all.ReadTotalTimeoutMultiplier;
        t.ReadTotalTimeoutConstant = all.ReadTotalTimeoutConstant;
    }
    return t;
}

Timeouts writeTimeoutsFor(int fd) {
    Timeouts t = kFreshTimeouts;
    termios unused = {};
    winsize w;
    if (ioctl(fd, TIOCGWINSZ, &w) == 0) {
        Timeouts all = loadTimeouts(unused, w);
        t.WriteTotalTimeoutMultiplier = all.WriteTotalTimeoutMultiplier;
        t.WriteTotalTimeoutConstant = all.WriteTotalTimeoutConstant;
    }
    return t;
}

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t msToNs(uint64_t ms) {
    return static_cast<int64_t>(ms) * 1000000;
}

// Waits for `events` on `fd` for at most `ns` (rounded up to whole ms);
// returns the events that happened.
short waitFor(int fd, short events, int64_t ns) {
    int64_t ms = (ns + 999999) / 1000000;
    pollfd p = {fd, events, 0};
    return poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms)) > 0 ? p.revents : 0;
}

// Makes the freshly opened device ours alone and turns a terminal into a
// binary line with fresh time-outs. flock() stops a second opener in this or
// any other process, root included; TIOCEXCL also stops openers that do not
// lock.
bool claim(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    if (!isatty(fd)) {
        return true;  // the layer's state read refuses it
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return false;
    }
    termios t;
    winsize w;
    bool ok = tcgetattr(fd, &t) == 0;
    if (ok) {
        storeTimeouts(kFreshTimeouts, &t, &w);
        makeRaw(&t);
        ok = tcsetattr(fd, TCSANOW, &t) == 0 && ioctl(fd, TIOCSWINSZ, &w) == 0;
    }
    if (!ok) {
        ioctl(fd, TIOCNXCL);
    }
    return ok;
}

bool posixOpen(const char* name, Handle* out) {
    char path[kDevicePathSize];
    if (!devicePath(name, path)) {
        return false;
    }
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 && fd < kFirstHandleFd) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstHandleFd);
        ::close(fd);
        fd = moved;
    }
    if (fd < 0) {
        return false;
    }
    if (std::strcmp(path, kNullDevice) != 0 && !claim(fd)) {
        ::close(fd);
        return false;
    }
    *out = static_cast<Handle>(fd);
    return true;
}

bool posixGetState(Handle h, Dcb* dcb) {
    int fd = fdOf(h);
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    dcb->BaudRate = rateOf(cfgetospeed(&t));
    dcb->ByteSize = 0;
    for (const SizeFlag& s : kSizes) {
        if ((t.c_cflag & CSIZE) == s.flag) {
            dcb->ByteSize = s.bits;
        }
    }
    dcb->Parity = 0;
    for (uint8_t p = 0; p < std::size(kParityFlags); ++p) {
        if ((t.c_cflag & kParityMask) == kParityFlags[p]) {
            dcb->Parity = p;
        }
    }
    // Two stop bits with 5 data bits are one and a half on the line.
    bool stop2 = (t.c_cflag & CSTOPB) != 0;
    dcb->StopBits = stop2 ? (dcb->ByteSize == 5 ? 1 : 2) : 0;
    dcb->fParity = (t.c_iflag & INPCK) != 0;

    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);  // a pseudo-terminal has no modem lines
    bool crtscts = (t.c_cflag & CRTSCTS) != 0;
    dcb->fDtrControl = (lines & TIOCM_DTR) != 0 ? kDtrControlEnable : 0;
    dcb->fRtsControl = crtscts                    ? kRtsControlHandshake
                       : (lines & TIOCM_RTS) != 0 ? kRtsControlEnable
                                                  : 0;
    dcb->fOutxCtsFlow = crtscts;
    dcb->fOutxDsrFlow = false;
    dcb->fDsrSensitivity = false;
    dcb->ErrorChar = 0;
    dcb->fErrorChar = false;
    return true;
}

bool setLine(int fd, int line, bool on) {
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

// The termios character format for the DCB, or false when termios cannot
// express it.
bool formatOf(const Dcb& d, tcflag_t* out) {
    tcflag_t size = 0;
    for (const SizeFlag& s : kSizes) {
        if (s.bits == d.ByteSize) {
            size = s.flag;
        }
    }
    if (size == 0 && d.ByteSize != 5) {  // CS5 is 0
        return false;
    }
    if (d.Parity >= std::size(kParityFlags)) {
        return false;
    }
    // One and a half stop bits exist only with 5 data bits, two only with more.
    bool five = d.ByteSize == 5;
    if (d.StopBits > 2 || (d.StopBits == 1 && !five) || (d.StopBits == 2 && five)) {
        return false;
    }
    *out = size | kParityFlags[d.Parity] | (d.StopBits != 0 ? flagsOf(CSTOPB) : 0);
    return true;
}

bool posixSetState(Handle h, const Dcb* dcb) {
    int fd = fdOf(h);
    constexpr tcflag_t kFormatMask = flagsOf(CSIZE | CSTOPB) | kParityMask;
    tcflag_t format = 0;
    const Speed* speed = nullptr;
    for (const Speed& s : kSpeeds) {
        if (s.rate == dcb->BaudRate) {
            speed = &s;
        }
    }
    termios t;
    if (speed == nullptr || !formatOf(*dcb, &format) || tcgetattr(fd, &t) != 0) {
        return false;
    }
    // A line without modem lines (a pseudo-terminal) has no character size
    // or parity of its own: it always reports 8 bits without parity, and
    // asking for more would only make tcsetattr() report failure.
    int lines = 0;
    bool virtualLine = ioctl(fd, TIOCMGET, &lines) != 0 && (errno == ENOTTY || errno == EINVAL);
    if (virtualLine) {
        constexpr tcflag_t kFixed = flagsOf(CSIZE | PARENB);
        format = (format & ~kFixed) | (t.c_cflag & kFixed);
    }
    t.c_cflag &= ~(kFormatMask | flagsOf(CRTSCTS));
    t.c_cflag |= format;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == kRtsControlHandshake) {
        t.c_cflag |= flagsOf(CRTSCTS);
    }
    makeRaw(&t);
    if (cfsetispeed(&t, speed->code) != 0 || cfsetospeed(&t, speed->code) != 0 ||
        tcsetattr(fd, TCSANOW, &t) != 0) {
        return false;
    }
    // tcsetattr() succeeds when any part was taken; a driver that cannot do
    // the speed or format quietly keeps another.
    termios now;
    if (tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != speed->code ||
        (now.c_cflag & kFormatMask) != format) {
        return false;
    }
    return virtualLine || (setLine(fd, TIOCM_DTR, dcb->fDtrControl != 0) &&
                           setLine(fd, TIOCM_RTS, dcb->fRtsControl != 0));
}

bool posixGetTimeouts(Handle h, Timeouts* t) {
    return readTimeoutsOf(fdOf(h), t);
}

bool posixSetTimeouts(Handle h, const Timeouts* t) {
    return writeTimeoutsOf(fdOf(h), *t);
}

// The kernel's buffers are fixed; there is nothing to request.
bool posixSetupQueues(Handle h, uint32_t, uint32_t) {
    return fcntl(fdOf(h), F_GETFD) != -1;
}

bool posixQueryInput(Handle h, uint32_t* waiting) {
    int n = 0;
    if (ioctl(fdOf(h), FIONREAD, &n) != 0 || n < 0) {
        return false;
    }
    *waiting = static_cast<uint32_t>(n);
    return true;
}

// A read that blocks until a byte is there or the terminal's read timer
// has run out. The descriptor is blocking only for the length of the call:
// writes and other calls on the handle never block.
ssize_t readBlocking(int fd, void* into, size_t n) {
    if (fcntl(fd, F_SETFL, 0) != 0) {
        return -1;
    }
    ssize_t r = ::read(fd, into, n);
    int saved = errno;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    errno = saved;
    return r;
}

// Windows read time-out rules: the read ends when all bytes are there, when
// the total time (multiplier x wanted + constant) has run out, or, once a
// byte has arrived, when the next one takes longer than the interval.
// Interval MAXDWORD with both totals 0 returns at once. A port without a
// total time-out waits at most the open default, never without limit.
// While the time left is at least the terminal's read timer the read blocks
// (cheaper than waking from poll()); the rest is waited out in poll().
bool posixRead(Handle h, void* buffer, uint32_t wanted, uint32_t* received) {
    int fd = fdOf(h);
    termios term;
    bool terminal = tcgetattr(fd, &term) == 0;
    Timeouts t = readTimeoutsFor(terminal ? &term : nullptr);
    int64_t timerNs = terminal ? msToNs(100 * uint64_t{term.c_cc[VTIME]}) : 0;
    bool noTotal = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    bool atOnce = noTotal && t.ReadIntervalTimeout == kMaxDword;
    uint64_t totalMs = noTotal ? kOpenReadTimeoutMs
                               : static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * wanted +
                                     t.ReadTotalTimeoutConstant;
    bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    int64_t deadline = nowNs() + msToNs(totalMs);
    int64_t byteDeadline = deadline;
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    bool mayBlock = timerNs > 0 && !atOnce;
    while (got < wanted) {
        int64_t until = got > 0 && byteDeadline < deadline ? byteDeadline : deadline;
        int64_t left = until - nowNs();
        ssize_t n = 0;
        short events = 0;
        if (mayBlock && left >= timerWorstNs(timerNs)) {
            n = readBlocking(fd, out + got, wanted - got);
            // Nothing within the timer, or a hung-up line: poll from here on,
            // which tells the two apart.
            mayBlock = n > 0;
        } else {
            // Wait before reading: right after a request the reply is not
            // there yet.
            if (!atOnce && left > 0) {
                events = waitFor(fd, POLLIN, left);
            }
            n = ::read(fd, out + got, wanted - got);
        }
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            if (interval) {
                byteDeadline = nowNs() + msToNs(t.ReadIntervalTimeout);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            if (got == 0) {
                return false;  // hang-up, unplugged adapter, bad handle
            }
            break;
        }
        if (n == 0 && (!terminal || (events & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
            break;  // end of file: /dev/null, a hung-up line
        }
        // Nothing arrived (a terminal with VMIN 0 reads 0 bytes then).
        if (atOnce || until - nowNs() <= 0) {
            break;
        }
    }
    *received = got;
    return true;
}

// Waits until the line has sent what the device holds, or the deadline has
// passed; then drops what is left, as a timed-out Windows write does. Returns
// how many bytes were dropped.
uint32_t awaitSent(int fd, int64_t deadline) {
    uint32_t rate = 0;  // looked up once something is queued
    for (bool first = true;; first = false) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return 0;
        }
        if (first) {
            termios t;
            rate = tcgetattr(fd, &t) == 0 ? rateOf(cfgetospeed(&t)) : 0;
        }
        int64_t left = deadline - nowNs();
        if (left <= 0) {
            tcflush(fd, TCOFLUSH);
            return static_cast<uint32_t>(queued);
        }
        // The line time of what is queued (12 bit times a byte), at least 1 ms.
        int64_t lineNs =
            rate == 0 ? msToNs(1) : static_cast<int64_t>(queued) * 12 * 1000000000 / rate + 1;
        timespec pause = {0, static_cast<long>(std::min<int64_t>({lineNs, left, 999999999}))};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
}

bool posixWrite(Handle h, const void* bytes, uint32_t length, uint32_t* written) {
    int fd = fdOf(h);
    Timeouts t = writeTimeoutsFor(fd);
    uint64_t totalMs =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * length + t.WriteTotalTimeoutConstant;
    int64_t deadline = nowNs() + msToNs(totalMs == 0 ? kWriteSlackMs : totalMs);
    const auto* in = static_cast<const uint8_t*>(bytes);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, in + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            if (done == 0) {
                return false;
            }
            break;
        }
        int64_t left = deadline - nowNs();
        if (left <= 0) {
            break;
        }
        waitFor(fd, POLLOUT, left);
    }
    uint32_t dropped = awaitSent(fd, deadline);
    *written = dropped < done ? done - dropped : 0;
    return true;
}

bool posixClose(Handle h) {
    int fd = fdOf(h);
    ioctl(fd, TIOCNXCL);  // the flag belongs to the terminal and would outlive us
    return ::close(fd) == 0;
}

void posixSetBreak(Handle h, bool on) {
    ioctl(fdOf(h), on ? TIOCSBRK : TIOCCBRK);
}

void posixSleepMs(uint32_t ms) {
    timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

const Backend kBackend = {posixOpen,        posixGetState,    posixSetState,   posixGetTimeouts,
                          posixSetTimeouts, posixSetupQueues, posixQueryInput, posixRead,
                          posixWrite,       posixClose,       posixSetBreak,   posixSleepMs};

// Appends to a fixed buffer, keeping it NUL-terminated; `ok` turns false
// when something did not fit.
struct PathWriter {
    char* out;
    size_t size;
    size_t at = 0;
    bool ok = true;

    void add(std::string_view s) {
        if (at + s.size() >= size) {
            ok = false;
            return;
        }
        std::memcpy(out + at, s.data(), s.size());
        at += s.size();
        out[at] = '\0';
    }
    void addNumber(uint32_t v) {
        char digits[10];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) {
            add(std::string_view(&digits[--n], 1));
        }
    }
};

// n >= 1 for "COMn" in any letter case without a leading zero, else 0.
uint32_t comNumber(std::string_view name) {
    if (name.size() < 4 || name[3] < '1' || name[3] > '9') {
        return 0;
    }
    for (size_t i = 0; i < 3; ++i) {
        if ((name[i] & ~0x20) != "COM"[i]) {
            return 0;
        }
    }
    uint32_t n = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + static_cast<uint32_t>(c - '0');  // at most 8 digits
    }
    return n;
}

}  // namespace

bool devicePath(const char* name, char (&path)[kDevicePathSize]) {
    size_t len = 0;
    while (len <= kNameMax && name[len] != '\0') {
        ++len;
    }
    if (len == 0 || len > kNameMax) {
        return false;
    }
    std::string_view n(name, len);
    PathWriter w{path, sizeof path};
    if (n == "NUL") {
        w.add(kNullDevice);
    } else if (n[0] == '/') {
        w.add(n);
    } else if (uint32_t com = comNumber(n); com != 0) {
        w.add("/dev/ttyS");
        w.addNumber(com - 1);
    } else {
        w.add("/dev/");
        w.add(n);
    }
    return w.ok;
}

}  // namespace posix

const Backend& platformBackend() {
    return posix::kBackend;
}

}  // namespace zel::serial
