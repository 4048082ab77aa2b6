// A host session that runs every command of the driver, accepted and
// refused, successful and failing, with heap allocations counted during
// each ZelMain call and nowhere else. Used over the in-memory port and over
// pseudo-terminals with fxsim.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "zel_call.h"
#include "zelfx/torvek.h"
#include "zelfx/zelfx.h"

namespace zelheap {

struct SessionPorts {
    std::string healthy;  // a PLC that answers everything
    std::string faulty;   // a PLC that never gives a usable answer
    int32_t timeout;      // read time-out for both, units of 10 ms
};

class HeapSession {
  public:
    explicit HeapSession(ZelMainFn zelMain) : zelMain_(zelMain) {
        torvek_use_callback(nullptr, nullptr);  // messages are not the point here
    }
    ~HeapSession() { torvek_use_stderr(); }
    HeapSession(const HeapSession&) = delete;
    HeapSession& operator=(const HeapSession&) = delete;

    // Runs the session, checking each result; returns the number of
    // allocations made inside the driver, and names the first call that
    // made any in `firstAllocating`.
    uint64_t Run(const SessionPorts& ports);

    std::string firstAllocating;

  private:
    int32_t Call(const char* what, uint32_t command, void* params, PortContext* context);
    int32_t Call(const char* what, uint32_t command, void* params) {
        return Call(what, command, params, &context_);
    }
    AddrDesc Parse(const char* text, int32_t gateType, int32_t blockSize, int32_t expected);
    int32_t Io(uint32_t command, const char* text, const AddrDesc& addr, void* data,
               int32_t count = 1, int32_t valueType = 0);
    void Open(uint32_t command, const std::string& port, int32_t timeout, int32_t expected);
    void HealthyGates();
    void FaultyGates();
    void Lifecycle(const SessionPorts& ports);

    ZelMainFn zelMain_;
    PortContext context_{};
    uint64_t allocations_ = 0;
};

// Single gates of every row kind and access letter, the gate type each
// needs, and whether the driver writes it.
struct SingleGate {
    const char* text;
    int32_t gateType;
    bool writable;
};
inline constexpr SingleGate kSingleGates[] = {
    {"SP0999", 6, true}, {"XP017", 6, false}, {"YP177", 6, true},  {"MP8255", 6, true},
    {"XB001", 0, false}, {"YB001", 0, true},  {"MB0127", 0, true}, {"CB0031", 0, true},
    {"TW0005", 0, true}, {"CW0199", 1, true}, {"DW8000", 1, true}, {"DD0100", 0, true},
    {"DD0102", 4, true}, {"CL0200", 4, true},
};

struct BlockGate {
    const char* text;
    int32_t gateType;
    int32_t elements;
    int32_t elementBytes;
    bool writable;
};
inline constexpr BlockGate kBlockGates[] = {
    {"MB0000", 0, 64, 1, true}, {"XB000", 0, 16, 1, false}, {"DW8000", 0, 32, 2, true},
    {"DD0200", 1, 32, 2, true}, {"DD0300", 4, 16, 4, true}, {"CL0200", 5, 16, 4, true},
};

inline int32_t HeapSession::Call(const char* what, uint32_t command, void* params,
                                 PortContext* context) {
    const uint64_t before = Allocations();
    int32_t rc = 0;
    {
        Counting counting;
        rc = zeltest::zelCall(context, command, params, zelMain_);
    }
    const uint64_t made = Allocations() - before;
    if (made != 0 && allocations_ == 0) {
        firstAllocating = what;
    }
    allocations_ += made;
    return rc;
}

inline AddrDesc HeapSession::Parse(const char* text, int32_t gateType, int32_t blockSize,
                                   int32_t expected) {
    GateSpec spec{};
    spec.name = text;
    spec.gateType = gateType;
    spec.blockSize = blockSize;
    const uint32_t command =
        blockSize > 0 ? ZEL_CMD_BLOCK_ADDRESS_PARSER : ZEL_CMD_SINGLE_ADDRESS_PARSER;
    EXPECT_EQ(Call("parse", command, &spec, nullptr), expected) << text;
    return spec.addr;
}

inline int32_t HeapSession::Io(uint32_t command, const char* text, const AddrDesc& addr, void* data,
                               int32_t count, int32_t valueType) {
    IoRequest io{};
    io.name = text;
    io.addr = addr;
    io.valueType = valueType;
    io.count = count;
    io.data = data;
    return Call(text, command, &io);
}

inline void HeapSession::Open(uint32_t command, const std::string& port, int32_t timeout,
                              int32_t expected) {
    if (command == ZEL_CMD_COLD_START) {
        StartParams start{};
        std::strncpy(start.portName, port.c_str(), sizeof start.portName - 1);
        start.openPort = port.empty() ? 0 : 1;
        start.timeout = timeout;
        start.line = LineParams{9600, 7, 0, 2};
        EXPECT_EQ(Call("ColdStart", command, &start), expected) << port;
    } else {
        ChangeParams change{};
        std::strncpy(change.portName, port.c_str(), sizeof change.portName - 1);
        change.timeout = timeout;
        EXPECT_EQ(Call("ChangeZelParams", command, &change), expected) << port;
    }
}

// Every gate written, read back and compared; the refusals of the parser,
// of writes to inputs and of values too large for a byte.
inline void HeapSession::HealthyGates() {
    uint16_t seed = 0x1234;
    for (const SingleGate& g : kSingleGates) {
        const AddrDesc addr = Parse(g.text, g.gateType, 0, ZEL_DONE);
        const bool bit = addr.bit != -1;
        const bool wide = addr.elementBits == 32;
        GateValue out{};
        if (wide) {
            out.value32 = 0x89ABCDEFu ^ seed;
        } else {
            out.w.value16 = bit ? 1 : addr.elementBits == 8 ? seed & 0xFF : seed;
        }
        ++seed;
        EXPECT_EQ(Io(ZEL_CMD_SINGLE_WRITE, g.text, addr, &out),
                  g.writable ? ZEL_DONE : ZEL_REFUSED);
        GateValue in{};
        EXPECT_EQ(Io(ZEL_CMD_SINGLE_READ, g.text, addr, &in), ZEL_DONE) << g.text;
        if (g.writable) {
            EXPECT_EQ(wide ? in.value32 : in.w.value16, wide ? out.value32 : out.w.value16)
                << g.text;
        }
        if (addr.elementBits == 8) {
            GateValue signedIn{};
            EXPECT_EQ(Io(ZEL_CMD_SINGLE_READ, g.text, addr, &signedIn, 1, 1), ZEL_DONE);
            GateValue tooLarge{};
            tooLarge.w.value16 = 256;
            EXPECT_EQ(Io(ZEL_CMD_SINGLE_WRITE, g.text, addr, &tooLarge), ZEL_REFUSED);
        }
    }
    for (const BlockGate& g : kBlockGates) {
        const AddrDesc addr = Parse(g.text, g.gateType, g.elements, ZEL_DONE);
        const auto bytes = static_cast<size_t>(g.elements * g.elementBytes);
        std::vector<uint8_t> out(bytes);
        std::vector<uint8_t> in(bytes);
        for (size_t i = 0; i < bytes; ++i) {
            out[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        EXPECT_EQ(Io(ZEL_CMD_BLOCK_WRITE, g.text, addr, out.data(), g.elements),
                  g.writable ? ZEL_DONE : ZEL_REFUSED);
        EXPECT_EQ(Io(ZEL_CMD_BLOCK_READ, g.text, addr, in.data(), g.elements), ZEL_DONE);
        if (g.writable) {
            EXPECT_EQ(in, out) << g.text;
        }
    }
    // Refusals of the parser commands, one for every message.
    Parse("QP0001", 0, 0, ZEL_REFUSED);
    Parse("DD", 0, 0, ZEL_REFUSED);
    Parse("MB0128", 0, 0, ZEL_REFUSED);
    Parse("DD0101", 4, 0, ZEL_REFUSED);
    Parse("DD0100", 7, 0, ZEL_REFUSED);
    Parse("MP0010", 0, 0, ZEL_REFUSED);
    Parse("MB0010", 6, 0, ZEL_REFUSED);
    Parse("TW0005", 4, 0, ZEL_REFUSED);
    Parse("XP000", 6, 4, ZEL_REFUSED);
    Parse("MB0000", 0, 65, ZEL_REFUSED);
    Parse("dd0100and a text far longer than any gate text can be", 0, 0, ZEL_DONE);
}

// Against a PLC that never answers usably: every exchange fails after its
// attempts, the bit write already in its read.
inline void HeapSession::FaultyGates() {
    EXPECT_EQ(Call("WarmStart", ZEL_CMD_WARM_START, nullptr), ZEL_FAILED);
    GateValue v{};
    v.w.value16 = 1;
    const AddrDesc word = Parse("DD0100", 0, 0, ZEL_DONE);
    const AddrDesc bit = Parse("MP0010", 6, 0, ZEL_DONE);
    const AddrDesc block = Parse("DW8000", 0, 8, ZEL_DONE);
    uint8_t data[16] = {};
    EXPECT_NE(Io(ZEL_CMD_SINGLE_READ, "DD0100", word, &v), ZEL_DONE);
    EXPECT_NE(Io(ZEL_CMD_SINGLE_WRITE, "DD0100", word, &v), ZEL_DONE);
    EXPECT_NE(Io(ZEL_CMD_SINGLE_WRITE, "MP0010", bit, &v), ZEL_DONE);
    EXPECT_NE(Io(ZEL_CMD_BLOCK_READ, "DW8000", block, data, 8), ZEL_DONE);
    EXPECT_NE(Io(ZEL_CMD_BLOCK_WRITE, "DW8000", block, data, 8), ZEL_DONE);
}

inline void HeapSession::Lifecycle(const SessionPorts& ports) {
    EXPECT_EQ(Call("CloseCom", ZEL_CMD_CLOSE_COM, nullptr), ZEL_DONE);
    EXPECT_EQ(Call("CloseCom without a port", ZEL_CMD_CLOSE_COM, nullptr), ZEL_DONE);
    GateValue v{};
    const AddrDesc word = Parse("DD0100", 0, 0, ZEL_DONE);
    EXPECT_EQ(Io(ZEL_CMD_SINGLE_READ, "DD0100", word, &v), ZEL_REFUSED);
    EXPECT_EQ(Io(ZEL_CMD_SINGLE_WRITE, "DD0100", word, &v), ZEL_REFUSED);
    EXPECT_EQ(Call("WarmStart without a port", ZEL_CMD_WARM_START, nullptr), ZEL_FAILED);
    EXPECT_EQ(Call("ReOpenCom", ZEL_CMD_REOPEN_COM, nullptr), ZEL_DONE);
    EXPECT_EQ(Call("ReOpenCom of the open port", ZEL_CMD_REOPEN_COM, nullptr), ZEL_FAILED);
    EXPECT_EQ(Call("WarmStart", ZEL_CMD_WARM_START, nullptr), ZEL_DONE);
    Open(ZEL_CMD_CHANGE_ZEL_PARAMS, ports.healthy, -1, ZEL_FAILED);  // the same, still open
    Open(ZEL_CMD_CHANGE_ZEL_PARAMS, "/nonexistent", 0, ZEL_FAILED);
    Open(ZEL_CMD_CHANGE_ZEL_PARAMS, ports.healthy, ports.timeout, ZEL_DONE);
    for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Call("unknown command", code, nullptr), ZEL_FAILED);
    }
    EXPECT_EQ(Call("CloseCom", ZEL_CMD_CLOSE_COM, nullptr), ZEL_DONE);
    Open(ZEL_CMD_COLD_START, "", ports.timeout, ZEL_DONE);  // no port opened
    Open(ZEL_CMD_COLD_START, "/nonexistent", ports.timeout, ZEL_FAILED);
    Open(ZEL_CMD_COLD_START, ports.healthy, ports.timeout, ZEL_DONE);
    EXPECT_EQ(Call("EndZel", ZEL_CMD_END_ZEL, nullptr), ZEL_DONE);
    // Ended: everything answers 0 and does nothing.
    Open(ZEL_CMD_COLD_START, ports.healthy, ports.timeout, ZEL_DONE);
    DriverInfo info{};
    EXPECT_EQ(Call("GetZelInfo after EndZel", ZEL_CMD_GET_ZEL_INFO, &info, nullptr), ZEL_DONE);
    EXPECT_EQ(Io(ZEL_CMD_SINGLE_READ, "DD0100", word, &v), ZEL_DONE);
}

inline uint64_t HeapSession::Run(const SessionPorts& ports) {
    DriverInfo info{};
    EXPECT_EQ(Call("GetZelInfo", ZEL_CMD_GET_ZEL_INFO, &info, nullptr), ZEL_DONE);
    Open(ZEL_CMD_COLD_START, ports.healthy, ports.timeout, ZEL_DONE);
    EXPECT_EQ(Call("WarmStart", ZEL_CMD_WARM_START, nullptr), ZEL_DONE);
    HealthyGates();
    Open(ZEL_CMD_CHANGE_ZEL_PARAMS, ports.faulty, ports.timeout, ZEL_DONE);
    FaultyGates();
    Open(ZEL_CMD_CHANGE_ZEL_PARAMS, ports.healthy, ports.timeout, ZEL_DONE);
    Lifecycle(ports);
    return allocations_;
}

}  // namespace zelheap
