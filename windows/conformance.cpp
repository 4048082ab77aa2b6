// Conformance suite for ZELFX.DLL on a Win32 API implementation (Windows, or
// Wine on Linux). It loads the driver as a host application does and drives
// simulated PLCs (fxsim) on COM ports that the runner maps to them.
//
//   zelfx_conformance --plan        the PLCs it needs: one "sim PORT FAULTS"
//                                   line each, the "missing" port that must
//                                   not exist, and the memory "image" (JSON)
//                                   every PLC starts with
//   zelfx_conformance [--dll PATH] [--only TEXT]
//                                   runs the cases; exit status 1 when any
//                                   fails
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "port.h"

namespace wintest {
namespace {

// ---------------------------------------------------------------------------
// The simulated PLCs

constexpr const char* kPlcPort = "COM5";             // plain PLC
constexpr const char* kSparePort = "COM6";           // a second plain PLC
constexpr const char* kSpareDevice = "\\\\.\\COM6";  // the same, by its device path
constexpr const char* kMissingPort = "COM9";         // mapped to nothing
constexpr int32_t kTimeout = 10;                     // read time-out: 100 ms
constexpr DWORD kFaultStepMaxMs = 1500;              // generous for 3 x 100 ms

// What every PLC holds when it starts (fxsim device names).
struct Preset {
    const char* device;
    uint32_t value;
};
constexpr Preset kImage[] = {
    {"D100", 0x1234},     {"D101", 0xFFFF}, {"D200", 0x5678}, {"D201", 0x1234},
    {"C200", 0x89ABCDEF}, {"X17", 1},       {"T5", 1000},     {"D8000", 200},
    {"M168", 1},          {"M175", 1},      {"M176", 1},      {"M183", 1},
};

// ---------------------------------------------------------------------------
// Common expectations

constexpr const char* kStamp = "ZELFX> version compiled on * at time *";
constexpr const char* kOpenOk = "ZELFX> OpenCom() exited OK, file handle {h}";
constexpr const char* kOpenFailed = "ZELFX> OpenCom() open COM port failed";
constexpr const char* kColdOk = "ZELFX> ColdStart() installation OK!";
constexpr uint32_t kCellFill = 0xA5A5A5A5u;

std::vector<LogLine> retries(const std::string& text, int from = 1, int to = 3) {
    std::vector<LogLine> lines;
    for (int i = from; i <= to; ++i) {
        lines.push_back(info(text + std::to_string(i)));
    }
    return lines;
}

std::vector<LogLine> operator+(std::vector<LogLine> a, const std::vector<LogLine>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The cell a single read leaves: a 32-bit element fills it, anything
// narrower is the 16-bit half at offset 2 with offsets 0 and 1 untouched.
uint32_t cellAfterRead(const AddrDesc& addr, uint32_t value) {
    return addr.elementBits == 32 ? value : (value << 16) | (kCellFill & 0xFFFFu);
}

GateValue cellWith(const AddrDesc& addr, uint32_t value) {
    GateValue cell{};
    cell.value32 = kCellFill;
    if (addr.elementBits == 32) {
        cell.value32 = value;
    } else {
        cell.w.value16 = static_cast<uint16_t>(value);
    }
    return cell;
}

struct Suite {
    Driver driver;
    int32_t contextSize = ZEL_CONTEXT_SIZE;
    bool exclusiveOpens = true;
    std::vector<std::string> skipped;
};

// Opens the PLC port of a case; false (and a failure) when it cannot.
bool openPlc(Port& port, Checker& c, const char* name) {
    const int32_t rc = port.coldStart(name, 1, kTimeout);
    if (rc != ZEL_DONE) {
        c.fail(std::string("ColdStart on ") + name + " returned " + std::to_string(rc));
        return false;
    }
    return true;
}

// Reads one gate and compares the cell.
void expectRead(Port& port, Checker& c, const char* gate, int32_t gateType, int32_t valueType,
                uint32_t value) {
    AddrDesc addr{};
    if (!port.parse(c, gate, gateType, -1, &addr)) {
        return;
    }
    GateValue cell{};
    cell.value32 = kCellFill;
    const int32_t rc = port.io(ZEL_CMD_SINGLE_READ, gate, addr, &cell, 1, valueType);
    const std::string what = std::string("read ") + gate + " type " + std::to_string(gateType) +
                             " valueType " + std::to_string(valueType);
    c.call(what, port.driver(), rc, ZEL_DONE, {}, port.handle());
    c.equal(what + " cell", cell.value32, cellAfterRead(addr, value));
}

// ---------------------------------------------------------------------------
// Driver information, dispatch, parsing: no port needed

void driverInformation(Suite& s, Checker& c) {
    DriverInfo record;
    std::memset(&record, 0xA5, sizeof record);
    const int32_t rc = s.driver.call(ZEL_CMD_GET_ZEL_INFO, &record, nullptr);
    c.call("GetZelInfo", s.driver, rc, ZEL_DONE, {info("ZELFX> GetZelInfo() exited")}, 0);
    c.equal("driverCode", static_cast<uint32_t>(record.driverCode), 70);
    c.equal("infoValueA", static_cast<uint32_t>(record.infoValueA), 4);
    c.equal("infoValueB", static_cast<uint32_t>(record.infoValueB), 3);
    c.equal("defaultLine.baudRate", record.defaultLine.baudRate, 9600);
    c.equal("defaultLine.dataBits", record.defaultLine.dataBits, 7);
    c.equal("defaultLine.stopBits", record.defaultLine.stopBits, 0);
    c.equal("defaultLine.parity", record.defaultLine.parity, 2);
    if (record.contextSize < static_cast<int32_t>(sizeof(PortContext)) ||
        record.contextSize > static_cast<int32_t>(sizeof(ContextMemory))) {
        c.fail("contextSize " + std::to_string(record.contextSize) + " is not a usable size");
    } else {
        s.contextSize = record.contextSize;
    }
    if (std::strcmp(record.name, "Mitsubishi FX") != 0) {
        c.fail(std::string("name is '") + record.name + "'");
    }
    // Three 67-character lines in code page 437, the first after a
    // backspace, joined by line feeds, 204 bytes in all.
    const std::string banner = record.banner;
    const std::string border(65, '\xCD');
    const std::string title = "  ZELFX : Mitsubishi FX driver (32 bit)" + std::string(26, ' ');
    const std::string want =
        "\x08\xC9" + border + "\xBB\n\xBA" + title + "\xBA\n\xC8" + border + "\xBC";
    c.equal("banner length", banner.size(), 204);
    if (banner != want) {
        c.fail("banner differs from the three box-drawn lines");
    }
}

void dispatch(Suite& s, Checker& c) {
    PortContext* none = nullptr;
    for (const uint32_t code : {0u, 8u, 9u, 16u, 17u, 0xFFFFFFFFu}) {
        const int32_t rc = s.driver.call(code, nullptr, none);
        c.call("code " + std::to_string(code), s.driver, rc, ZEL_FAILED, {}, 0);
    }
}

// The records the parsers fill have the host's layout; a few gates show that
// text, type and descriptor cross the interface intact.
struct ParseRow {
    const char* gate;
    int32_t gateType;
    int32_t blockSize;  // < 0: single gate
    int32_t result;
    AddrDesc addr;  // compared when result is 0
    const char* message;
};
const ParseRow kParseRows[] = {
    {"DD0100", 0, -1, 0, {0, 10, 0x864, -1, 16}, nullptr},
    {"DD0100", 4, -1, 0, {0, 10, 0x864, -1, 32}, nullptr},
    {"xp017", 6, -1, 0, {0, 1, 0x81, 7, 1}, nullptr},
    {"CL0200", 5, -1, 0, {0, 9, 0x300, -1, 32}, nullptr},
    {"MB0000", 0, 64, 0, {0, 4, 0x100, -1, 8}, nullptr},
    {"QP0001", 6, -1, 1, {}, "ZELFX> Parse() Illegal character 1 in 'QP0001'"},
    {"dd0101", 4, -1, 1, {}, "ZELFX> Parse() Address must be even in 'DD0101'"},
    {"MB0010", 6, -1, 1, {}, "ZELFX> SingleParse() gate 'MB0010' should be analog"},
    {"MB0000", 0, 65, 1, {}, "ZELFX> Parse() block size out of range block 'MB0000'"},
};

void parsing(Suite& s, Checker& c) {
    for (const ParseRow& row : kParseRows) {
        GateSpec spec{};
        spec.name = row.gate;
        spec.gateType = row.gateType;
        spec.blockSize = row.blockSize;
        const uint32_t code =
            row.blockSize < 0 ? ZEL_CMD_SINGLE_ADDRESS_PARSER : ZEL_CMD_BLOCK_ADDRESS_PARSER;
        const int32_t rc = s.driver.call(code, &spec, nullptr);
        const std::string what = std::string(row.gate) + " type " + std::to_string(row.gateType);
        std::vector<LogLine> log;
        if (row.message != nullptr) {
            log.push_back(info(row.message));
        }
        c.call(what, s.driver, rc, row.result, log, 0);
        if (row.result == ZEL_DONE && std::memcmp(&spec.addr, &row.addr, sizeof(AddrDesc)) != 0) {
            c.fail(what + ": descriptor {" + std::to_string(spec.addr.plc) + ", " +
                   std::to_string(spec.addr.area) + ", " + std::to_string(spec.addr.address) +
                   ", " + std::to_string(spec.addr.bit) + ", " +
                   std::to_string(spec.addr.elementBits) + "}");
        }
    }
}

// ---------------------------------------------------------------------------
// Port lifecycle

struct Step {
    const char* what;
    std::function<int32_t(Port&)> run;
    int32_t result;
    std::vector<LogLine> log;
    std::function<void(Port&, Checker&)> after;  // optional state checks
    bool needsExclusiveOpens = false;
};

void runSteps(Suite& s, Checker& c, Port& port, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (step.needsExclusiveOpens && !s.exclusiveOpens) {
            s.skipped.push_back(std::string(step.what) +
                                ": this Win32 implementation lets a COM port be opened twice");
            continue;
        }
        const int32_t rc = step.run(port);
        c.call(step.what, port.driver(), rc, step.result, step.log, port.handle());
        if (step.after) {
            step.after(port, c);
        }
        port.checkBounds(c, s.contextSize);
    }
}

std::function<void(Port&, Checker&)> handleIs(bool open) {
    return [open](Port& p, Checker& c) {
        if ((p.handle() != 0) != open) {
            c.fail(std::string("handle should be ") + (open ? "non-zero" : "0") + ", is " +
                   std::to_string(p.handle()));
        }
    };
}

std::function<void(Port&, Checker&)> settingsAre(const char* name, int32_t timeout,
                                                 LineParams line) {
    return [=](Port& p, Checker& c) {
        const PortContext* ctx = p.context();
        if (std::strcmp(ctx->settings.portName, name) != 0) {
            c.fail(std::string("portName is '") + ctx->settings.portName + "', want " + name);
        }
        c.equal("timeout", static_cast<uint32_t>(ctx->timeout), static_cast<uint32_t>(timeout));
        if (std::memcmp(&ctx->settings.line, &line, sizeof line) != 0) {
            c.fail("line settings differ from the expected ones");
        }
        c.equal("controlFlags", ctx->settings.controlFlags, 0x0303);
    };
}

void lifecycle(Suite& s, Checker& checker) {
    Port port(s.driver);
    const LineParams fast{19200, 7, 0, 2};
    const auto warmOk = std::vector<LogLine>{info("ZELFX> TestCom(), ACK replied retry 1"),
                                             info("ZELFX> WarmStart()")};
    const std::vector<Step> steps = {
        {"ColdStart without opening",
         [](Port& p) { return p.coldStart(kPlcPort, 0, kTimeout); },
         0,
         {info(kStamp), info(kColdOk)},
         [](Port& p, Checker& c) {
             handleIs(false)(p, c);
             c.equal("timeout", static_cast<uint32_t>(p.context()->timeout), kTimeout);
             const auto settings = snapshot(&p.context()->settings, sizeof(PortSettings));
             if (settings != std::vector<unsigned char>(sizeof(PortSettings), kFill)) {
                 c.fail("settings changed although no port was opened");
             }
         }},
        {"WarmStart without a port",
         [](Port& p) { return p.command(ZEL_CMD_WARM_START); },
         2,
         retries("ZELFX> TestCom() Send error retry ") +
             std::vector<LogLine>{info("ZELFX> WarmStart() Initial check error COM port 0")},
         {}},
        {"ColdStart on a port that does not exist",
         [](Port& p) { return p.coldStart(kMissingPort, 1, kTimeout); },
         2,
         {info(kStamp), info(kOpenFailed), alert("ZELFX> ColdStart() error opening COM port")},
         [](Port& p, Checker& c) {
             handleIs(false)(p, c);
             settingsAre(kMissingPort, kTimeout, kLine)(p, c);
         }},
        {"ColdStart",
         [](Port& p) { return p.coldStart(kPlcPort, 1, kTimeout); },
         0,
         {info(kStamp), info(kOpenOk), info(kColdOk)},
         handleIs(true)},
        {"WarmStart", [](Port& p) { return p.command(ZEL_CMD_WARM_START); }, 0, warmOk, {}},
        {"ReOpenCom of the port already open",
         [](Port& p) { return p.command(ZEL_CMD_REOPEN_COM); },
         2,
         {info(kOpenFailed), alert("ZELFX> ReOpenCom() exited 2")},
         handleIs(true),
         true},
        {"CloseCom", [](Port& p) { return p.command(ZEL_CMD_CLOSE_COM); }, 0, {}, handleIs(false)},
        {"CloseCom without a port",
         [](Port& p) { return p.command(ZEL_CMD_CLOSE_COM); },
         0,
         {},
         handleIs(false)},
        {"ReOpenCom",
         [](Port& p) { return p.command(ZEL_CMD_REOPEN_COM); },
         0,
         {info(kOpenOk), info("ReOpenCom() exited 0")},
         handleIs(true)},
        {"WarmStart after ReOpenCom",
         [](Port& p) { return p.command(ZEL_CMD_WARM_START); },
         0,
         warmOk,
         {}},
        {"ChangeZelParams to another port, keeping time-out and line",
         [](Port& p) {
             return p.changeParams(kSpareDevice, -1, {0, 8, 2, 1});
         },
         0,
         {info(kOpenOk)},
         [](Port& p, Checker& c) {
             handleIs(true)(p, c);
             settingsAre(kSpareDevice, kTimeout, kLine)(p, c);
         }},
        {"WarmStart on the other port",
         [](Port& p) { return p.command(ZEL_CMD_WARM_START); },
         0,
         warmOk,
         {}},
        {"ChangeZelParams to the port already open",
         [](Port& p) { return p.changeParams(kSpareDevice, 30, kLine); },
         2,
         {info(kOpenFailed), info("ZELFX> ChangeZelParams() open new COM port failed")},
         handleIs(true),
         true},
        {"ChangeZelParams to a port that does not exist",
         [=](Port& p) { return p.changeParams(kMissingPort, 20, fast); },
         2,
         {info(kOpenFailed), info("ZELFX> ChangeZelParams() open new COM port failed")},
         [=](Port& p, Checker& c) {
             handleIs(false)(p, c);
             settingsAre(kMissingPort, 20, fast)(p, c);
         }},
        {"ChangeZelParams opens a port when none is open",
         [](Port& p) { return p.changeParams(kPlcPort, 0, kLine); },
         0,
         {info(kOpenOk)},
         [](Port& p, Checker& c) {
             handleIs(true)(p, c);
             settingsAre(kPlcPort, 20, kLine)(p, c);
         }},
        {"WarmStart after ChangeZelParams",
         [](Port& p) { return p.command(ZEL_CMD_WARM_START); },
         0,
         warmOk,
         {}},
        {"final CloseCom",
         [](Port& p) { return p.command(ZEL_CMD_CLOSE_COM); },
         0,
         {},
         handleIs(false)},
    };
    runSteps(s, checker, port, steps);
}

// "NUL" opens the null device and leaves it unconfigured: writes vanish and
// reads deliver nothing.
void nullDevice(Suite& s, Checker& checker) {
    Port port(s.driver);
    const std::vector<Step> steps = {
        {"ColdStart on NUL",
         [](Port& p) { return p.coldStart("NUL", 1, kTimeout); },
         0,
         {info(kStamp), info(kOpenOk), info(kColdOk)},
         handleIs(true)},
        {"WarmStart on NUL",
         [](Port& p) { return p.command(ZEL_CMD_WARM_START); },
         2,
         retries("ZELFX> TestCom() Receive reply error retry ") +
             std::vector<LogLine>{info("ZELFX> WarmStart() Initial check error COM port {h}")},
         {}},
        {"CloseCom on NUL",
         [](Port& p) { return p.command(ZEL_CMD_CLOSE_COM); },
         0,
         {},
         handleIs(false)},
    };
    runSteps(s, checker, port, steps);
}

// ---------------------------------------------------------------------------
// Reads and writes against the plain PLC

struct ReadRow {
    const char* gate;
    int32_t gateType;
    int32_t valueType;
    uint32_t value;  // 16 bits at offset 2, or the whole cell for 32-bit gates
};
const ReadRow kReadRows[] = {
    {"DD0100", 0, 0, 0x1234},     {"DD0100", 4, 0, 0xFFFF1234}, {"DD0200", 5, 0, 0x12345678},
    {"CL0200", 4, 0, 0x89ABCDEF}, {"TW0005", 1, 0, 1000},       {"DW8000", 0, 0, 200},
    {"XP017", 6, 0, 1},           {"XP016", 6, 0, 0},           {"XB001", 0, 1, 0xFF80},
    {"XB001", 0, 0, 0x0080},      {"MB0021", 0, 0, 0x81},       {"MP0175", 6, 0, 1},
};

void singleReads(Suite& s, Checker& c) {
    Port port(s.driver);
    if (!openPlc(port, c, kPlcPort)) {
        return;
    }
    for (const ReadRow& row : kReadRows) {
        expectRead(port, c, row.gate, row.gateType, row.valueType, row.value);
    }
    port.command(ZEL_CMD_CLOSE_COM);
    port.checkBounds(c, s.contextSize);
}

struct Readback {
    const char* gate;
    int32_t gateType;
    uint32_t value;
};
struct WriteRow {
    const char* gate;
    int32_t gateType;
    uint32_t value;
    int32_t result;
    std::vector<LogLine> log;
    std::vector<Readback> readbacks;
};

void singleWrites(Suite& s, Checker& c) {
    const std::vector<WriteRow> rows = {
        {"DD0300", 0, 0xBEEF, 0, {}, {{"DD0300", 0, 0xBEEF}}},
        // A 32-bit pair puts its low word in the even register.
        {"DD0302", 4, 0xCAFEF00D, 0, {}, {{"DD0302", 0, 0xF00D}, {"DD0303", 0, 0xCAFE}}},
        {"CL0210", 4, 0x01020304, 0, {}, {{"CL0210", 4, 0x01020304}}},
        {"TW0010", 0, 0x7FFF, 0, {}, {{"TW0010", 0, 0x7FFF}}},
        {"DW8010", 1, 0x8001, 0, {}, {{"DW8010", 1, 0x8001}}},
        {"MB0030", 0, 0xA5, 0, {}, {{"MB0030", 0, 0xA5}, {"MP0240", 6, 1}, {"MP0241", 6, 0}}},
        {"MB0031",
         0,
         256,
         1,
         {info("ZELFX> BuildWriteReq() Value too large for one byte"),
          info("ZELFX> SingleWrite() , ret val is 1 block 'MB0031'")},
         {{"MB0031", 0, 0}}},
        // Bit writes change one bit of the byte as the PLC holds it.
        {"MP0170", 6, 1, 0, {}, {{"MB0021", 0, 0x85}}},
        {"MP0176", 6, 0, 0, {}, {{"MB0022", 0, 0x80}}},
        {"MP0185", 6, 0xFFFF, 0, {}, {{"MB0023", 0, 0x02}}},
        {"YP007", 6, 1, 0, {}, {{"YP007", 6, 1}}},
        {"XP017",
         6,
         0,
         1,
         {info("ZELFX> SingleWrite() , ret val is 1 block 'XP017'")},
         {{"XP017", 6, 1}}},
    };
    Port port(s.driver);
    if (!openPlc(port, c, kPlcPort)) {
        return;
    }
    for (const WriteRow& row : rows) {
        AddrDesc addr{};
        if (!port.parse(c, row.gate, row.gateType, -1, &addr)) {
            continue;
        }
        GateValue cell = cellWith(addr, row.value);
        const GateValue before = cell;
        const int32_t rc = port.io(ZEL_CMD_SINGLE_WRITE, row.gate, addr, &cell, 1);
        const std::string what = std::string("write ") + row.gate;
        c.call(what, s.driver, rc, row.result, row.log, port.handle());
        c.equal(what + " leaves the host's cell", cell.value32, before.value32);
        for (const Readback& rb : row.readbacks) {
            expectRead(port, c, rb.gate, rb.gateType, 0, rb.value);
        }
    }
    port.command(ZEL_CMD_CLOSE_COM);
    port.checkBounds(c, s.contextSize);
}

struct BlockRow {
    const char* gate;
    int32_t gateType;
    int32_t count;
    int32_t elementBytes;
    std::vector<unsigned char> preset;  // empty: write a pattern, then read it back
};

void blocks(Suite& s, Checker& c) {
    const std::vector<BlockRow> rows = {
        {"DD0100", 0, 2, 2, {0x34, 0x12, 0xFF, 0xFF}},
        {"CL0200", 4, 1, 4, {0xEF, 0xCD, 0xAB, 0x89}},
        {"XB001", 0, 2, 1, {0x80, 0x00}},  // a block byte is never sign-extended
        {"DW8001", 0, 3, 2, {}},
        {"SB0000", 0, 64, 1, {}},  // the largest blocks: 64 bytes each
        {"TW0100", 1, 32, 2, {}},
        {"DD0400", 4, 16, 4, {}},
        {"CL0220", 5, 16, 4, {}},
    };
    Port port(s.driver);
    if (!openPlc(port, c, kPlcPort)) {
        return;
    }
    constexpr size_t kGuard = 8;
    for (const BlockRow& row : rows) {
        AddrDesc addr{};
        if (!port.parse(c, row.gate, row.gateType, row.count, &addr)) {
            continue;
        }
        const size_t n = static_cast<size_t>(row.count * row.elementBytes);
        std::vector<unsigned char> want = row.preset;
        const std::string what =
            std::string("block ") + row.gate + " x" + std::to_string(row.count);
        if (want.empty()) {
            for (size_t i = 0; i < n; ++i) {
                want.push_back(static_cast<unsigned char>(i * 37 + 11));
            }
            std::vector<unsigned char> data = want;
            const int32_t rc = port.io(ZEL_CMD_BLOCK_WRITE, row.gate, addr, data.data(), row.count);
            c.call(what + " write", s.driver, rc, ZEL_DONE,
                   {info("ZELFX> DoWrite(block) acknowledged by PLC 0")}, port.handle());
        }
        std::vector<unsigned char> got(n + kGuard, kFill);
        const int32_t rc = port.io(ZEL_CMD_BLOCK_READ, row.gate, addr, got.data(), row.count, 1);
        c.call(what + " read", s.driver, rc, ZEL_DONE, {}, port.handle());
        want.resize(n + kGuard, kFill);
        if (got != want) {
            c.fail(what +
                   ": the data read differs from what the PLC holds, or runs past the block");
        }
    }
    port.command(ZEL_CMD_CLOSE_COM);
    port.checkBounds(c, s.contextSize);
}

// ---------------------------------------------------------------------------
// Faults: each row has a PLC of its own whose replies follow a fault list

enum class Action { WarmStart, ReadD100, WriteD100, BlockWriteD8000, BitWriteM10 };

struct FaultStep {
    Action action;
    int32_t result;
    std::vector<LogLine> log;
};

struct FaultRow {
    const char* name;
    const char* faults;
    std::vector<FaultStep> steps;
};

const std::vector<FaultRow>& faultRows() {
    const auto readErrors = retries("ZELFX> DoRead() Read reply error 7 retry ");
    const auto warmFailed =
        std::vector<LogLine>{info("ZELFX> WarmStart() Initial check error COM port {h}")};
    static const std::vector<FaultRow> rows = {
        {"link check answered NAK, NAK, ACK",
         "nak,nak,ok",
         {{Action::WarmStart, 0,
           retries("ZELFX> TestCom(), NAK replied retry ", 1, 2) +
               std::vector<LogLine>{info("ZELFX> TestCom(), ACK replied retry 3"),
                                    info("ZELFX> WarmStart()")}}}},
        {"link check answered NAK three times",
         "nak,nak,nak",
         {{Action::WarmStart, 2, retries("ZELFX> TestCom(), NAK replied retry ") + warmFailed}}},
        {"link check unanswered",
         "silent,silent,silent",
         {{Action::WarmStart, 2,
           retries("ZELFX> TestCom() Receive reply error retry ") + warmFailed}}},
        {"read answered NAK three times",
         "nak,nak,nak",
         {{Action::ReadD100, 2,
           retries("ZELFX> DoRead() Read, NAK replied retry ") +
               std::vector<LogLine>{info("ZELFX> SingleRead(), ret val is 2")}}}},
        {"read unanswered",
         "silent,silent,silent",
         {{Action::ReadD100, 2,
           readErrors + std::vector<LogLine>{info("ZELFX> SingleRead(), ret val is 2")}}}},
        {"read with a bad checksum, then a good reply",
         "badsum",
         {{Action::ReadD100, 0, {info("ZELFX> DoRead() Read reply sum check error retry 1")}}}},
        {"read with a short reply, then a good one",
         "short",
         {{Action::ReadD100, 0, {info("ZELFX> DoRead() Read reply invalid retry 1")}}}},
        {"stray bytes after a reply are purged before the next request",
         "extra",
         {{Action::ReadD100, 0, {}}, {Action::ReadD100, 0, {}}}},
        {"write answered NAK three times",
         "nak,nak,nak",
         {{Action::WriteD100, 2,
           retries("ZELFX> DoWrite() Read NAK received reply retry ") +
               std::vector<LogLine>{info("ZELFX> SingleWrite() , ret val is 2 block 'DD0100'")}}}},
        {"block write answered NAK, then ACK",
         "nak",
         {{Action::BlockWriteD8000,
           0,
           {info("ZELFX> DoWrite() Read NAK received reply retry 1"),
            info("ZELFX> DoWrite(block) acknowledged by PLC 0")}}}},
        {"bit write whose read goes unanswered",
         "silent,silent,silent",
         {{Action::BitWriteM10, 2,
           readErrors +
               std::vector<LogLine>{info("ZELFX> SingleRead(), ret val is 2"),
                                    info("ZELFX> BuildWriteReq() WORD read for bit write, rc 2"),
                                    info("ZELFX> SingleWrite() , ret val is 2 block 'MP0010'")}}}},
    };
    return rows;
}

// Runs one action; checks that the host's records come back as the driver
// promises (a failed read leaves the cell alone, a bit write restores its
// request).
int32_t runAction(Port& port, Checker& c, Action action, int32_t expected) {
    switch (action) {
        case Action::WarmStart:
            return port.command(ZEL_CMD_WARM_START);
        case Action::ReadD100:
        case Action::WriteD100: {
            AddrDesc addr{};
            if (!port.parse(c, "DD0100", 0, -1, &addr)) {
                return -1;
            }
            const bool read = action == Action::ReadD100;
            GateValue cell = cellWith(addr, read ? 0xA5A5 : 0x4321);
            const GateValue before = cell;
            const int32_t rc = port.io(read ? ZEL_CMD_SINGLE_READ : ZEL_CMD_SINGLE_WRITE, "DD0100",
                                       addr, &cell, 1);
            c.equal("cell after the command", cell.value32,
                    read && expected == ZEL_DONE ? cellAfterRead(addr, 0x1234) : before.value32);
            return rc;
        }
        case Action::BlockWriteD8000: {
            AddrDesc addr{};
            if (!port.parse(c, "DW8000", 0, 3, &addr)) {
                return -1;
            }
            uint16_t words[3] = {1, 2, 0xFFFF};
            return port.io(ZEL_CMD_BLOCK_WRITE, "DW8000", addr, words, 3);
        }
        case Action::BitWriteM10: {
            AddrDesc addr{};
            if (!port.parse(c, "MP0010", 6, -1, &addr)) {
                return -1;
            }
            GateValue cell = cellWith(addr, 1);
            const GateValue before = cell;
            IoRequest r{};
            r.name = "MP0010";
            r.addr = addr;
            r.valueType = 3;
            r.count = 1;
            r.data = &cell;
            const int32_t rc = port.command(ZEL_CMD_SINGLE_WRITE, &r);
            c.equal("bit write restores bit", static_cast<uint32_t>(r.addr.bit),
                    static_cast<uint32_t>(addr.bit));
            c.equal("bit write restores valueType", static_cast<uint32_t>(r.valueType), 3);
            c.equal("bit write restores the cell", cell.value32, before.value32);
            return rc;
        }
    }
    return -1;
}

// Each fault row has its PLC on a port of its own from COM10 on, named as a
// host names them (the driver opens two-digit ports by their plain names).
std::string faultPort(size_t row) {
    return "COM" + std::to_string(10 + row);
}

void faultCase(Suite& s, Checker& c, const FaultRow& row, const std::string& portName) {
    Port port(s.driver);
    if (!openPlc(port, c, portName.c_str())) {
        return;
    }
    int n = 0;
    for (const FaultStep& step : row.steps) {
        const DWORD start = GetTickCount();
        const int32_t rc = runAction(port, c, step.action, step.result);
        const DWORD ms = GetTickCount() - start;
        const std::string what = "step " + std::to_string(++n);
        c.call(what, s.driver, rc, step.result, step.log, port.handle());
        // Three unanswered attempts cost three read time-outs of the
        // context (100 ms), not of a freshly opened port (1000 ms).
        if (ms > kFaultStepMaxMs) {
            c.fail(what + " took " + std::to_string(ms) + " ms");
        }
    }
    port.command(ZEL_CMD_CLOSE_COM);
    port.checkBounds(c, s.contextSize);
}

// ---------------------------------------------------------------------------
// Two ports at once, EndZel, and loading the library again

void endAndReload(Suite& s, Checker& c, const std::string& dll) {
    Port a(s.driver);
    Port b(s.driver);
    if (!openPlc(a, c, kPlcPort) || !openPlc(b, c, kSparePort)) {
        return;
    }
    // Each context talks to its own PLC.
    AddrDesc addr{};
    if (!a.parse(c, "DD0500", 0, -1, &addr)) {
        return;
    }
    for (Port* p : {&a, &b}) {
        GateValue cell = cellWith(addr, p == &a ? 0x0AAA : 0x0BBB);
        c.call("write D500", s.driver, p->io(ZEL_CMD_SINGLE_WRITE, "DD0500", addr, &cell, 1), 0, {},
               p->handle());
    }
    expectRead(a, c, "DD0500", 0, 0, 0x0AAA);
    expectRead(b, c, "DD0500", 0, 0, 0x0BBB);

    c.call("EndZel", s.driver, a.command(ZEL_CMD_END_ZEL), 0, {info("ZELFX> EndZel() exited, 0")},
           a.handle());
    handleIs(false)(a, c);

    // Ended: every call answers 0 and does nothing, on every context.
    const auto contextBefore = snapshot(a.context(), sizeof(ContextMemory));
    c.call("ColdStart after EndZel", s.driver, a.coldStart(kPlcPort, 1, kTimeout), 0, {}, 0);
    if (snapshot(a.context(), sizeof(ContextMemory)) != contextBefore) {
        c.fail("ColdStart after EndZel changed its context");
    }
    c.call("WarmStart on the other context after EndZel", s.driver, b.command(ZEL_CMD_WARM_START),
           0, {}, 0);
    DriverInfo record;
    std::memset(&record, 0xA5, sizeof record);
    const auto recordBefore = snapshot(&record, sizeof record);
    c.call("GetZelInfo after EndZel", s.driver,
           s.driver.call(ZEL_CMD_GET_ZEL_INFO, &record, nullptr), 0, {}, 0);
    if (snapshot(&record, sizeof record) != recordBefore) {
        c.fail("GetZelInfo after EndZel wrote its record");
    }
    c.call("code 99 after EndZel", s.driver, s.driver.call(99, nullptr, nullptr), 0, {}, 0);
    b.command(ZEL_CMD_CLOSE_COM);  // ended: does nothing; the handle goes with the process

    // Loading the library again starts it afresh.
    std::string why;
    s.driver.unload();
    if (!s.driver.load(dll, &why)) {
        c.fail("reload: " + why);
        return;
    }
    Port again(s.driver);
    const int32_t rc = again.coldStart(kPlcPort, 1, kTimeout);
    c.call("ColdStart after reload", s.driver, rc, 0, {info(kStamp), info(kOpenOk), info(kColdOk)},
           again.handle());
    expectRead(again, c, "DD0500", 0, 0, 0x0AAA);
    c.call("CloseCom after reload", s.driver, again.command(ZEL_CMD_CLOSE_COM), 0, {}, 0);
}

// ---------------------------------------------------------------------------

// A Win32 implementation that enforces share mode 0 refuses a second open of
// a COM port; Wine does not.
bool exclusiveOpens(const char* port) {
    HANDLE first =
        CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (first == INVALID_HANDLE_VALUE) {
        return true;
    }
    HANDLE second =
        CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool refused = second == INVALID_HANDLE_VALUE;
    if (!refused) {
        CloseHandle(second);
    }
    CloseHandle(first);
    return refused;
}

std::string registryName(const char* port) {
    const char* slash = std::strrchr(port, '\\');
    return slash != nullptr ? slash + 1 : port;
}

void printPlan() {
    std::printf("image {");
    const char* sep = "";
    for (const Preset& p : kImage) {
        std::printf("%s\"%s\":%lu", sep, p.device, static_cast<unsigned long>(p.value));
        sep = ",";
    }
    std::printf("}\n");
    std::printf("missing %s\n", kMissingPort);
    std::printf("sim %s -\nsim %s -\n", kPlcPort, kSparePort);
    for (size_t i = 0; i < faultRows().size(); ++i) {
        std::printf("sim %s %s\n", registryName(faultPort(i).c_str()).c_str(),
                    faultRows()[i].faults);
    }
}

}  // namespace
}  // namespace wintest

int main(int argc, char** argv) {
    using namespace wintest;
    std::string dll = "ZELFX.DLL";
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plan") {
            printPlan();
            return 0;
        }
        if ((arg == "--dll" || arg == "--only") && i + 1 < argc) {
            (arg == "--dll" ? dll : only) = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zelfx_conformance [--plan] [--dll PATH] [--only TEXT]\n");
            return 2;
        }
    }

    Suite s;
    std::string why;
    if (!s.driver.load(dll, &why)) {
        std::printf("FAIL loading the driver: %s\n", why.c_str());
        return 1;
    }
    s.exclusiveOpens = exclusiveOpens(kSparePort);

    std::vector<std::pair<std::string, std::function<void(Checker&)>>> cases = {
        {"driver information", [&](Checker& c) { driverInformation(s, c); }},
        {"codes without a command", [&](Checker& c) { dispatch(s, c); }},
        {"gate parsing", [&](Checker& c) { parsing(s, c); }},
        {"port lifecycle", [&](Checker& c) { lifecycle(s, c); }},
        {"the NUL device", [&](Checker& c) { nullDevice(s, c); }},
        {"single reads of every kind", [&](Checker& c) { singleReads(s, c); }},
        {"single writes of every kind", [&](Checker& c) { singleWrites(s, c); }},
        {"block reads and writes", [&](Checker& c) { blocks(s, c); }},
    };
    for (size_t i = 0; i < faultRows().size(); ++i) {
        const FaultRow& row = faultRows()[i];
        cases.emplace_back(std::string("fault: ") + row.name,
                           [&s, &row, i](Checker& c) { faultCase(s, c, row, faultPort(i)); });
    }
    // Last: EndZel ends the library for the whole process.
    cases.emplace_back("two ports, EndZel, reload", [&](Checker& c) { endAndReload(s, c, dll); });

    int passed = 0;
    int failed = 0;
    for (const auto& [name, run] : cases) {
        if (!only.empty() && name.find(only) == std::string::npos) {
            continue;
        }
        Checker c;
        s.skipped.clear();
        const DWORD start = GetTickCount();
        run(c);
        const DWORD ms = GetTickCount() - start;
        for (const std::string& skip : s.skipped) {
            std::printf("SKIP %s / %s\n", name.c_str(), skip.c_str());
        }
        if (c.failures().empty()) {
            ++passed;
            std::printf("PASS %s (%lu ms)\n", name.c_str(), static_cast<unsigned long>(ms));
        } else {
            ++failed;
            std::printf("FAIL %s\n", name.c_str());
            for (const std::string& f : c.failures()) {
                std::printf("  %s\n", f.c_str());
            }
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
