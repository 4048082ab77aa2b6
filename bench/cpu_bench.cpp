// CPU per command, through ZelMain, over the in-memory port: no system call
// and no line time, only the driver's own work (and the port's copy of a
// prepared reply). Messages go to a sink that drops them, so the formatting
// of the one message a successful block write logs is counted too.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "entry/commands.h"
#include "memory_port.h"
#include "zel_call.h"
#include "zelfx/torvek.h"
#include "zelfx/zelfx.h"

namespace {

namespace mp = zeltest::memport;

// STX, body, ETX and checksum: a data reply.
std::string Frame(const std::string& body) {
    unsigned sum = 0x03;
    for (char c : body) {
        sum += static_cast<uint8_t>(c);
    }
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("\x02") + body + '\x03' + kDigits[(sum >> 4) & 0xF] + kDigits[sum & 0xF];
}

using zeltest::zelCall;

// A context with its port open on the in-memory port, which answers every
// request with `reply` (or, without one, as a PLC over its memory).
class Port {
  public:
    explicit Port(const std::string& reply) : reply_(reply) {
        torvek_use_callback(nullptr, nullptr);
        zel::driverEnded = 0;
        mp::reset();
        canned_.bytes = reinterpret_cast<const uint8_t*>(reply_.data());
        canned_.length = reply_.size();
        if (reply_.empty()) {
            mp::attach("MEM", mp::FxPlc::respond, &plc_);
        } else {
            mp::attach("MEM", mp::Canned::respond, &canned_);
        }
        StartParams start{};
        std::strcpy(start.portName, "MEM");
        start.openPort = 1;
        start.timeout = 10;
        start.line = LineParams{9600, 7, 0, 2};
        ok_ = zelCall(&context_, ZEL_CMD_COLD_START, &start) == ZEL_DONE;
    }

    // Parses the gate and fills `io` for it.
    bool Gate(const char* text, int32_t gateType, int32_t count, void* data, IoRequest* io) {
        GateSpec spec{};
        spec.name = text;
        spec.gateType = gateType;
        spec.blockSize = count;
        const uint32_t parser =
            count > 1 ? ZEL_CMD_BLOCK_ADDRESS_PARSER : ZEL_CMD_SINGLE_ADDRESS_PARSER;
        const bool parsed = zelCall(nullptr, parser, &spec) == ZEL_DONE;
        *io = IoRequest{};
        io->name = text;
        io->addr = spec.addr;
        io->count = count;
        io->data = data;
        return ok_ && parsed;
    }

    int32_t Run(uint32_t command, IoRequest* io) { return zelCall(&context_, command, io); }

  private:
    std::string reply_;
    mp::Canned canned_;
    mp::FxPlc plc_;
    PortContext context_{};
    bool ok_ = false;
};

// The parser command, for gates of each kind of row.
void BM_Parse(benchmark::State& state, const char* text, int32_t gateType) {
    GateSpec spec{};
    spec.name = text;
    spec.gateType = gateType;
    DrvRequest request{};
    request.command = ZEL_CMD_SINGLE_ADDRESS_PARSER;
    request.params = &spec;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZelMain(&request));
        benchmark::ClobberMemory();
    }
    if (ZelMain(&request) != ZEL_DONE) {
        state.SkipWithError("gate refused");
    }
}
BENCHMARK_CAPTURE(BM_Parse, DD0100, "DD0100", 0);
BENCHMARK_CAPTURE(BM_Parse, XP017, "XP017", 6);
BENCHMARK_CAPTURE(BM_Parse, MB1000, "MB1000", 0);
BENCHMARK_CAPTURE(BM_Parse, CL0200, "CL0200", 4);

// One transaction over the in-memory port, answered with `reply`.
void Transaction(benchmark::State& state, uint32_t command, const char* text, int32_t gateType,
                 int32_t count, const std::string& reply) {
    Port port(reply);
    uint8_t data[64] = {};
    IoRequest io{};
    if (!port.Gate(text, gateType, count, data, &io)) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(port.Run(command, &io));
        benchmark::ClobberMemory();
    }
    if (port.Run(command, &io) != ZEL_DONE) {
        state.SkipWithError("transaction failed");
    }
    zel::driverEnded = 0;
}

const std::string kAck = "\x06";
const std::string kBlock64 = Frame(std::string(128, 'A'));

void BM_SingleRead(benchmark::State& state) {
    Transaction(state, ZEL_CMD_SINGLE_READ, "DD0100", 0, 1, Frame("3412"));
}
BENCHMARK(BM_SingleRead);

void BM_SingleRead32(benchmark::State& state) {
    Transaction(state, ZEL_CMD_SINGLE_READ, "CL0200", 4, 1, Frame("78563412"));
}
BENCHMARK(BM_SingleRead32);

void BM_BlockRead64(benchmark::State& state) {
    Transaction(state, ZEL_CMD_BLOCK_READ, "MB0000", 0, 64, kBlock64);
}
BENCHMARK(BM_BlockRead64);

void BM_SingleWrite(benchmark::State& state) {
    Transaction(state, ZEL_CMD_SINGLE_WRITE, "DD0100", 0, 1, kAck);
}
BENCHMARK(BM_SingleWrite);

void BM_BlockWrite64(benchmark::State& state) {
    Transaction(state, ZEL_CMD_BLOCK_WRITE, "MB0000", 0, 64, kAck);
}
BENCHMARK(BM_BlockWrite64);

// A bit write reads its byte first: two transactions, answered by a PLC
// over its memory.
void BM_BitWrite(benchmark::State& state) {
    Transaction(state, ZEL_CMD_SINGLE_WRITE, "MP0010", 6, 1, "");
}
BENCHMARK(BM_BitWrite);

}  // namespace

BENCHMARK_MAIN();
