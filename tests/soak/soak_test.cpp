// Fault soak: thousands of mixed reads and writes through the shipped
// library against fxsim on a pseudo-terminal, with random faults on the
// line, and a device that vanishes mid-session and comes back.
//
// The test keeps a shadow of the PLC's memory, byte by byte:
// - at the start every byte is known (fxsim starts from zeros);
// - a write the driver reports done makes its bytes known with the values
//   written (a bit write changes one bit of a known byte);
// - a write the driver reports failed makes its bytes unknown: the PLC may
//   have stored it and lost only its answer;
// - a read the driver reports done must match every known byte, and makes
//   the unknown ones known.
// So every value reported as read equals the simulator's memory, and every
// write reported done is in it (the next read of those bytes checks it).
//
// Also checked: results are those the driver may give (reads 0 or 2, writes
// 0, 1 or 2); a failure ends with the handler's "ret val is" message and a
// success logs none; no call takes longer than its exchanges' attempts and
// purges allow; descriptors are not leaked.
//
// Environment: ZELFX_SOAK_TRANSACTIONS (default 10000), ZELFX_SOAK_SECONDS
// (time cap, default 110), ZELFX_SOAK_SEED (default 1), ZELFX_SOAK_FAULT_RATE
// (default 0.12).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "address/memmap.h"
#include "driver_host.h"
#include "fxsim_process.h"
#include "zelfx/torvek.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int32_t kTimeout = 8;  // 80 ms read time-out
constexpr int64_t kTimeoutMs = 10 * kTimeout;
constexpr int64_t kDrainMs = 50;    // one read of an input drain
constexpr int64_t kSlackMs = 1000;  // scheduling on a busy machine

double EnvNumber(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atof(v) : fallback;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

// A free symbolic link name that fits a port name: /tmp/zsNNNN.
std::string LinkName() {
    for (unsigned n = static_cast<unsigned>(getpid()) % 10000;; n = (n + 7919) % 10000) {
        char name[16];
        std::snprintf(name, sizeof name, "/tmp/zs%04u", n);
        struct stat st;
        if (lstat(name, &st) != 0) {
            return name;
        }
    }
}

// Faulted requests over all requests, from the "fxsim stats:" lines of one
// or more runs.
double FaultShare(const std::string& stats) {
    double requests = 0;
    double faults = 0;
    for (size_t at = 0; (at = stats.find("fxsim stats:", at)) != std::string::npos;) {
        const size_t end = std::min(stats.find('\n', at), stats.size());
        const std::string line = stats.substr(at, end - at);
        const bool faultLine = line.find(" faults ") != std::string::npos;
        for (size_t eq = line.find('='); eq != std::string::npos; eq = line.find('=', eq + 1)) {
            const size_t key = line.rfind(' ', eq) + 1;
            const double v = std::atof(line.c_str() + eq + 1);
            if (faultLine) {
                faults += v;
            } else if (line.compare(key, eq - key, "requests") == 0) {
                requests += v;
            }
        }
        at = end;
    }
    return requests > 0 ? faults / requests : 0;
}

// What the last call logged.
struct Messages {
    std::vector<std::string> texts;
    static void Sink(int32_t, const char* text, void* user) {
        static_cast<Messages*>(user)->texts.emplace_back(text);
    }
};

// The simulator's memory as far as the test knows it.
class Shadow {
  public:
    Shadow() { Reset(); }
    void Reset() {
        for (auto& b : bytes_) {
            b = 0;
        }
    }
    std::optional<uint8_t> Get(uint32_t a) const {
        return bytes_[a] < 0 ? std::nullopt
                             : std::optional<uint8_t>(static_cast<uint8_t>(bytes_[a]));
    }
    void Set(uint32_t a, uint8_t v) { bytes_[a] = v; }
    void Forget(uint32_t a) { bytes_[a] = -1; }

  private:
    std::array<int16_t, 0x10000> bytes_{};
};

// One gate of the soak's mix, parsed.
struct Gate {
    std::string text;
    AddrDesc addr{};
    int32_t count = 1;
    bool block = false;
    uint32_t byteAddress = 0;  // first PLC byte
    uint32_t size = 1;         // bytes of one element
    char kind = 'P';
    bool input = false;  // the X row: read only
};

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        seed_ = static_cast<uint64_t>(EnvNumber("ZELFX_SOAK_SEED", 1));
        rng_.seed(seed_);
        link_ = LinkName();
        torvek_use_callback(&Messages::Sink, &messages_);
    }
    void TearDown() override {
        torvek_use_stderr();
        unlink(link_.c_str());
    }

    void StartSim() {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%g", EnvNumber("ZELFX_SOAK_FAULT_RATE", 0.12));
        sim_ = std::make_unique<zeltest::FxsimProcess>(
            FXSIM_PATH, std::vector<std::string>{
                            "--link", link_, "--fault-rate", rate, "--fault-kinds",
                            "nak,silent,badsum,short,extra,garbage,delay=30", "--seed",
                            std::to_string(seed_ + static_cast<uint64_t>(restarts_)), "--stats"});
        shadow_.Reset();
    }

    // Ends fxsim and keeps its statistics.
    void StopSim() {
        if (sim_) {
            simStats_ += sim_->stop();
            sim_.reset();
        }
        ++restarts_;
    }

    uint32_t Random(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    // Runs one driver call with the checks every call gets: a bounded time
    // and, for a failure, the handler's message last.
    int32_t Timed(uint32_t command, void* params, int exchanges, const char* handler,
                  int64_t* elapsedMs) {
        messages_.texts.clear();
        const auto t0 = Clock::now();
        const int32_t rc = host_.call(command, params, &context_);
        *elapsedMs = std::chrono::duration_cast<Ms>(Clock::now() - t0).count();
        const int64_t bound = exchanges * 3 * (kTimeoutMs + kDrainMs) + kSlackMs;
        EXPECT_LE(*elapsedMs, bound) << handler << " took " << *elapsedMs << " ms";
        if (handler != nullptr) {
            const std::string last = messages_.texts.empty() ? "" : messages_.texts.back();
            const bool reported =
                last.starts_with("ZELFX> " + std::string(handler) + "()") &&
                last.find("ret val is " + std::to_string(rc)) != std::string::npos;
            if (rc != ZEL_DONE) {
                EXPECT_TRUE(reported)
                    << handler << " failed with " << rc << " but logged last: " << last;
            } else {
                for (const std::string& t : messages_.texts) {
                    EXPECT_EQ(t.find("ret val"), std::string::npos) << t;
                }
            }
        }
        return rc;
    }

    Gate Pick();
    void Read(Gate& g);
    void Write(Gate& g);
    void Transaction();
    void Vanish();

    uint64_t seed_ = 1;
    std::mt19937_64 rng_;
    std::string link_;
    Messages messages_;
    zeltest::DriverHost host_{ZELFX_DRIVER_PATH};
    PortContext context_{};
    std::unique_ptr<zeltest::FxsimProcess> sim_;
    std::string simStats_;
    Shadow shadow_;
    int restarts_ = 0;

    // Calls of the soak proper, and those around the vanishing device.
    struct Counts {
        long reads = 0;
        long writes = 0;
        long failed = 0;
        long refused = 0;
    };
    Counts soak_;
    Counts vanish_;
    Counts* counts_ = &soak_;
    long mismatches_ = 0;
    int64_t longestMs_ = 0;
};

// Devices of a small range, so that reads keep running into what earlier
// writes left, through every view of the same bytes: D as 16 and as 32
// bits, M, S and Y as bits and bytes, blocks across all of them. Each row
// is picked equally often: device first + step * (0 .. choices-1).
struct Mix {
    const char* format;
    uint32_t first;
    uint32_t choices;
    uint32_t step;
    int32_t gateType;
    int32_t block;  // largest block, 0 for a single gate
};
constexpr Mix kMix[] = {
    {"DD%04u", 0, 40, 1, 0, 0}, {"DD%04u", 0, 19, 2, 4, 0},   {"DW%04u", 8000, 10, 1, 1, 0},
    {"TW%04u", 0, 10, 1, 0, 0}, {"CW%04u", 0, 10, 1, 0, 0},   {"CL%04u", 200, 10, 1, 5, 0},
    {"MP%04u", 0, 64, 1, 6, 0}, {"SP%04u", 0, 64, 1, 6, 0},   {"YP%03o", 0, 64, 1, 6, 0},
    {"MB%04u", 0, 8, 1, 0, 0},  {"SB%04u", 0, 8, 1, 0, 0},    {"YB%03o", 0, 8, 1, 0, 0},
    {"XB%03o", 0, 8, 1, 0, 0},  {"DD%04u", 0, 30, 1, 0, 10},  {"DD%04u", 0, 15, 2, 4, 10},
    {"MB%04u", 0, 4, 1, 0, 4},  {"DW%04u", 8000, 5, 1, 0, 5}, {"CL%04u", 200, 5, 1, 0, 5},
    {"YB%03o", 0, 1, 1, 0, 8},
};

Gate Soak::Pick() {
    const Mix& m = kMix[Random(sizeof kMix / sizeof kMix[0])];
    char text[16];
    std::snprintf(text, sizeof text, m.format, m.first + m.step * Random(m.choices));
    const int32_t type = m.gateType;
    const int32_t block = m.block;
    Gate g;
    g.text = text;
    g.block = block > 0;
    EXPECT_EQ(host_.parse(text, type, &g.addr, block), ZEL_DONE) << text;
    const zel::MemArea* row = zel::memArea(g.addr.area);
    EXPECT_NE(row, nullptr) << text;
    g.kind = row != nullptr ? row->kind : 'P';
    g.input = row != nullptr && row->letter == 'X';
    g.size = g.kind == 'P' ? 1u : static_cast<uint32_t>(g.addr.elementBits) / 8u;
    g.byteAddress = static_cast<uint32_t>(g.addr.address) * zel::unitBytes(g.kind);
    g.count = g.block ? static_cast<int32_t>(1 + Random(static_cast<uint32_t>(block))) : 1;
    return g;
}

void Soak::Read(Gate& g) {
    const bool single = !g.block;
    const uint32_t bytes = g.size * static_cast<uint32_t>(g.count);
    std::vector<uint8_t> data(single ? 4 : bytes, 0xA5);
    const int32_t valueType = single && g.size == 1 && g.addr.bit == -1 && Random(2) ? 1 : 0;
    IoRequest io{};
    io.name = g.text.c_str();
    io.addr = g.addr;
    io.count = g.count;
    io.valueType = valueType;
    io.data = data.data();
    int64_t ms = 0;
    const int32_t rc = Timed(single ? ZEL_CMD_SINGLE_READ : ZEL_CMD_BLOCK_READ, &io, 1,
                             single ? "SingleRead" : "BlockRead", &ms);
    longestMs_ = std::max(longestMs_, ms);
    ++counts_->reads;
    EXPECT_TRUE(rc == ZEL_DONE || rc == ZEL_FAILED) << g.text << " read gave " << rc;
    if (rc != ZEL_DONE) {
        ++counts_->failed;
        EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xA5; }))
            << "a failed read changed the host's data";
        return;
    }
    // The bytes the driver reports, as far as they can be told from the
    // value cell.
    auto check = [&](uint32_t a, uint8_t got) {
        if (const auto known = shadow_.Get(a)) {
            if (*known != got) {
                ++mismatches_;
                ADD_FAILURE() << g.text << ": byte 0x" << std::hex << a << " read as 0x"
                              << unsigned{got} << ", the simulator holds 0x" << unsigned{*known};
            }
        }
        shadow_.Set(a, got);
    };
    if (!single) {
        for (uint32_t j = 0; j < bytes; ++j) {
            check(g.byteAddress + j, data[j]);
        }
        return;
    }
    const uint32_t v16 = data[2] | uint32_t{data[3]} << 8;
    if (g.size == 4) {
        for (uint32_t j = 0; j < 4; ++j) {
            check(g.byteAddress + j, data[j]);
        }
        return;
    }
    EXPECT_EQ(data[0], 0xA5) << g.text << ": a 16-bit read wrote the first half of the cell";
    EXPECT_EQ(data[1], 0xA5) << g.text;
    if (g.size == 2) {
        check(g.byteAddress, static_cast<uint8_t>(v16));
        check(g.byteAddress + 1, static_cast<uint8_t>(v16 >> 8));
    } else if (g.addr.bit != -1) {
        EXPECT_LE(v16, 1u) << g.text;
        if (const auto known = shadow_.Get(g.byteAddress)) {
            const uint32_t bit = (uint32_t{*known} >> g.addr.bit) & 1u;
            EXPECT_EQ(v16, bit) << g.text;
            mismatches_ += v16 != bit ? 1 : 0;
        }
    } else {
        // Sign-extended for value type 1, zero-extended otherwise.
        const uint32_t byte = v16 & 0xFFu;
        EXPECT_EQ(v16, valueType == 1 && byte >= 0x80 ? byte | 0xFF00u : byte) << g.text;
        check(g.byteAddress, static_cast<uint8_t>(byte));
    }
}

void Soak::Write(Gate& g) {
    const bool single = !g.block;
    const uint32_t bytes = g.size * static_cast<uint32_t>(g.count);
    std::vector<uint8_t> data(single ? 4 : bytes);
    for (auto& b : data) {
        b = static_cast<uint8_t>(Random(256));
    }
    std::vector<uint8_t> stored;  // the bytes the PLC gets, for bytes not bits
    if (!single) {
        stored = data;
    } else if (g.size == 4) {
        stored.assign(data.begin(), data.end());
    } else if (g.size == 2) {
        stored = {data[2], data[3]};
    } else if (g.addr.bit == -1) {
        data[3] = 0;  // a byte gate takes 0 to 255
        stored = {data[2]};
    } else {
        data[3] = 0;
        data[2] = static_cast<uint8_t>(Random(3));  // 0 clears; 1 and 2 set
    }
    const std::vector<uint8_t> before = data;
    IoRequest io{};
    io.name = g.text.c_str();
    io.addr = g.addr;
    io.count = g.count;
    io.data = data.data();
    const IoRequest ioBefore = io;
    const bool bit = single && g.addr.bit != -1;
    int64_t ms = 0;
    const int32_t rc = Timed(single ? ZEL_CMD_SINGLE_WRITE : ZEL_CMD_BLOCK_WRITE, &io, bit ? 2 : 1,
                             single ? "SingleWrite" : "BlockWrite", &ms);
    longestMs_ = std::max(longestMs_, ms);
    ++counts_->writes;
    EXPECT_EQ(data, before) << g.text << ": a write changed the host's data";
    EXPECT_EQ(std::memcmp(&io, &ioBefore, sizeof io), 0) << g.text;
    if (g.input) {
        EXPECT_EQ(rc, ZEL_REFUSED) << g.text;
        ++counts_->refused;
        return;
    }
    EXPECT_TRUE(rc == ZEL_DONE || rc == ZEL_REFUSED || rc == ZEL_FAILED) << g.text;
    if (rc != ZEL_DONE) {
        ++counts_->failed;
        for (uint32_t j = 0; j < (bit ? 1 : bytes); ++j) {
            shadow_.Forget(g.byteAddress + j);
        }
        return;
    }
    if (bit) {
        if (const auto known = shadow_.Get(g.byteAddress)) {
            const uint8_t mask = static_cast<uint8_t>(1u << g.addr.bit);
            shadow_.Set(g.byteAddress, data[2] != 0 ? *known | mask : *known & ~mask);
        }
        return;
    }
    for (uint32_t j = 0; j < stored.size(); ++j) {
        shadow_.Set(g.byteAddress + j, stored[j]);
    }
}

void Soak::Transaction() {
    Gate g = Pick();
    if (g.input ? Random(4) != 0 : Random(2) == 0) {
        Read(g);
    } else {
        Write(g);
    }
}

// The device goes away while the driver uses it: fxsim ends (its
// pseudo-terminal closes, as an unplugged adapter) at a random moment during
// a stream of calls. Every call from then on answers 1 or 2 at once, none
// hangs; ReOpenCom fails while the device is missing and works once it is
// back.
void Soak::Vanish() {
    counts_ = &vanish_;
    std::thread killer([this, after = 1 + Random(200)] {
        std::this_thread::sleep_for(Ms(after));
        StopSim();
    });
    const auto start = Clock::now();
    while (Clock::now() - start < Ms(400)) {
        Transaction();
    }
    killer.join();
    // Gone: every call fails at once.
    for (int i = 0; i < 20; ++i) {
        Gate g = Pick();
        const auto t0 = Clock::now();
        GateValue v{};
        std::vector<uint8_t> block(g.size * static_cast<uint32_t>(g.count));
        const int32_t rc =
            host_.io(g.block ? ZEL_CMD_BLOCK_READ : ZEL_CMD_SINGLE_READ, &context_, g.text.c_str(),
                     g.addr, g.block ? static_cast<void*>(block.data()) : &v, g.count);
        EXPECT_TRUE(rc == ZEL_REFUSED || rc == ZEL_FAILED) << g.text << " read " << rc;
        EXPECT_LE(std::chrono::duration_cast<Ms>(Clock::now() - t0).count(),
                  3 * (kTimeoutMs + kDrainMs) + kSlackMs);
    }
    int64_t ms = 0;
    EXPECT_EQ(Timed(ZEL_CMD_WARM_START, nullptr, 1, nullptr, &ms), ZEL_FAILED);
    EXPECT_EQ(Timed(ZEL_CMD_REOPEN_COM, nullptr, 0, nullptr, &ms), ZEL_FAILED);

    StartSim();
    EXPECT_EQ(Timed(ZEL_CMD_REOPEN_COM, nullptr, 0, nullptr, &ms), ZEL_DONE);
    EXPECT_EQ(Timed(ZEL_CMD_WARM_START, nullptr, 1, nullptr, &ms), ZEL_DONE);
    counts_ = &soak_;
}

TEST_F(Soak, MixedTransactionsWithFaultsAndAVanishingDevice) {
    const long target = static_cast<long>(EnvNumber("ZELFX_SOAK_TRANSACTIONS", 10000));
    const auto cap = std::chrono::duration<double>(EnvNumber("ZELFX_SOAK_SECONDS", 110));
    const int descriptors = OpenDescriptors();

    StartSim();
    ASSERT_EQ(host_.coldStart(&context_, link_, kTimeout), ZEL_DONE) << link_;
    const auto start = Clock::now();
    long done = 0;
    for (; done < target && Clock::now() - start < cap; ++done) {
        if (done == target / 2) {
            Vanish();
        } else if (done % 1000 == 999) {
            // The port closed and opened again now and then.
            int64_t ms = 0;
            EXPECT_EQ(Timed(ZEL_CMD_CLOSE_COM, nullptr, 0, nullptr, &ms), ZEL_DONE);
            EXPECT_EQ(Timed(ZEL_CMD_REOPEN_COM, nullptr, 0, nullptr, &ms), ZEL_DONE);
        } else if (done % 250 == 0) {
            int64_t ms = 0;
            const int32_t rc = Timed(ZEL_CMD_WARM_START, nullptr, 1, nullptr, &ms);
            EXPECT_TRUE(rc == ZEL_DONE || rc == ZEL_FAILED);
        }
        Transaction();
        if (HasFailure() && mismatches_ > 20) {
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(host_.call(ZEL_CMD_CLOSE_COM, nullptr, &context_), ZEL_DONE);
    StopSim();
    EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptors leaked";
    EXPECT_GE(done, target) << "only " << done << " transactions in the time cap";
    EXPECT_EQ(mismatches_, 0);
    const double share = FaultShare(simStats_);
    EXPECT_GE(share, 0.10) << simStats_;

    std::printf("soak: %ld transactions (%ld reads, %ld writes) in %.1f s, seed %llu\n", done,
                soak_.reads, soak_.writes, seconds, static_cast<unsigned long long>(seed_));
    std::printf(
        "soak: %ld failed as reported, %ld refused writes to inputs, longest call %lld ms\n",
        soak_.failed, soak_.refused, static_cast<long long>(longestMs_));
    std::printf("soak: device vanished during %ld calls, %ld failed as reported\n",
                vanish_.reads + vanish_.writes, vanish_.failed);
    std::printf("soak: %.1f%% of the requests faulted\n%s", 100 * share, simStats_.c_str());
}

}  // namespace
