#include "driver_client.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>

#include "zelfx/torvek.h"

namespace zelfx {

namespace {

// Longest texts the host copies out of DriverInfo; the driver's own are far
// shorter, so these only guard against a pointer to something unterminated.
constexpr size_t kMaxInfoName = 256;
constexpr size_t kMaxBanner = 4096;

std::string boundedText(const char* text, size_t limit) {
    return text != nullptr ? std::string(text, strnlen(text, limit)) : std::string();
}

}  // namespace

std::string executableDir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return ".";
    }
    return exe.parent_path().string();
}

std::vector<std::string> nearExecutable(const std::string& exeDir, std::string_view name,
                                        std::initializer_list<std::string_view> relatives) {
    std::vector<std::string> out;
    out.push_back((std::filesystem::path(exeDir) / name).string());
    for (auto rel : relatives) {
        out.push_back((std::filesystem::path(exeDir) / rel).lexically_normal().string());
    }
    return out;
}

std::optional<std::string> firstExisting(const std::vector<std::string>& candidates) {
    for (const auto& c : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(c, ec)) {
            return c;
        }
    }
    return std::nullopt;
}

// --- Driver ---------------------------------------------------------------

Driver::Driver(const std::string& path) {
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        throw LoadError("cannot load the driver " + path + ": " + (why ? why : "unknown error"));
    }
    main_ = reinterpret_cast<ZelMainFn>(dlsym(library_, "ZelMain"));
    if (main_ == nullptr) {
        dlclose(library_);
        throw LoadError("the library " + path + " does not export ZelMain");
    }
    torvek_use_callback(&Driver::sink, this);
}

Driver::~Driver() {
    torvek_use_callback(nullptr, nullptr);
    dlclose(library_);
}

void Driver::sink(int32_t level, const char* text, void* user) {
    auto* self = static_cast<Driver*>(user);
    self->log_.push_back({level, text != nullptr ? text : ""});
    if (self->trace_) {
        self->trace_(self->log_.back());
    }
}

int32_t Driver::call(uint32_t command, void* params, PortContext* context) {
    DrvRequest request{};
    request.context = context;
    request.command = command;
    request.params = params;
    callStart_ = log_.size();
    return main_(&request);
}

std::span<const LogEntry> Driver::lastCallLog() const {
    return std::span<const LogEntry>(log_).subspan(callStart_);
}

std::vector<LogEntry> Driver::takeLog() {
    callStart_ = 0;
    return std::exchange(log_, {});
}

Info getInfo(Driver& driver) {
    DriverInfo raw{};
    Info info;
    info.result = driver.call(ZEL_CMD_GET_ZEL_INFO, &raw);
    info.driverCode = raw.driverCode;
    info.name = boundedText(raw.name, kMaxInfoName);
    info.banner = boundedText(raw.banner, kMaxBanner);
    info.contextSize = raw.contextSize;
    info.infoValueA = raw.infoValueA;
    info.infoValueB = raw.infoValueB;
    info.defaultLine = raw.defaultLine;
    return info;
}

// --- Port -----------------------------------------------------------------

Port::Port(Driver& driver, int32_t contextSize) : driver_(driver) {
    size_t bytes = std::max(sizeof(PortContext), static_cast<size_t>(std::max(contextSize, 0)));
    storage_.assign((bytes + sizeof(uint32_t) - 1) / sizeof(uint32_t), 0);
}

int32_t Port::coldStart(const std::string& portName, int32_t timeout10ms, const LineParams& line) {
    StartParams params{};
    portName.copy(params.portName, sizeof params.portName - 1);
    params.openPort = 1;
    params.timeout = timeout10ms;
    params.line = line;
    return driver_.call(ZEL_CMD_COLD_START, &params, context());
}

int32_t Port::warmStart() {
    return driver_.call(ZEL_CMD_WARM_START, nullptr, context());
}
int32_t Port::closeCom() {
    return driver_.call(ZEL_CMD_CLOSE_COM, nullptr, context());
}
int32_t Port::endZel() {
    return driver_.call(ZEL_CMD_END_ZEL, nullptr, context());
}

// --- Gates and values -----------------------------------------------------

ValueKind valueKind(const AddrDesc& addr) {
    if (addr.bit != -1) {
        return ValueKind::Bit;
    }
    switch (addr.elementBits) {
        case 8:
            return ValueKind::Byte;
        case 32:
            return ValueKind::Dword;
        default:
            return ValueKind::Word;
    }
}

unsigned elementBits(ValueKind kind) {
    static constexpr std::array<unsigned, 4> bits{1, 8, 16, 32};
    return bits[static_cast<size_t>(kind)];
}

size_t blockElementBytes(ValueKind kind) {
    return std::max<size_t>(1, elementBits(kind) / 8);
}

int32_t defaultGateType(std::string_view gateText) {
    if (gateText.size() < 2) {
        return ZEL_GATE_ANALOG;
    }
    switch (gateText[1]) {
        case 'P':
        case 'p':
            return ZEL_GATE_DIGITAL;
        case 'L':
        case 'l':
            return ZEL_GATE_LONG;
        default:
            return ZEL_GATE_ANALOG;
    }
}

int32_t parseGate(Driver& driver, Gate& gate, std::optional<int32_t> blockSize) {
    GateSpec spec{};
    spec.name = gate.text.c_str();
    spec.gateType = gate.gateType;
    spec.blockSize = blockSize.value_or(0);
    int32_t result = driver.call(
        blockSize ? ZEL_CMD_BLOCK_ADDRESS_PARSER : ZEL_CMD_SINGLE_ADDRESS_PARSER, &spec);
    if (result == ZEL_DONE) {
        gate.addr = spec.addr;
    }
    return result;
}

namespace {

IoRequest ioRequestFor(const Gate& gate, int32_t count, void* data) {
    IoRequest io{};
    io.name = gate.text.c_str();
    io.addr = gate.addr;
    io.count = count;
    io.data = data;
    return io;
}

}  // namespace

Values readGate(Port& port, const Gate& gate, int32_t count, int32_t valueType) {
    Values out;
    ValueKind kind = valueKind(gate.addr);
    bool isSigned = valueType == 1;
    if (count == 1) {
        GateValue cell{};
        IoRequest io = ioRequestFor(gate, 1, &cell);
        io.valueType = valueType;
        out.result = port.driver().call(ZEL_CMD_SINGLE_READ, &io, port.context());
        if (out.result == ZEL_DONE) {
            out.values.push_back(unpackSingle(kind, cell, isSigned));
        }
        return out;
    }
    std::vector<uint8_t> data(static_cast<size_t>(std::max(count, 0)) * blockElementBytes(kind));
    IoRequest io = ioRequestFor(gate, count, data.data());
    io.valueType = valueType;
    out.result = port.driver().call(ZEL_CMD_BLOCK_READ, &io, port.context());
    if (out.result == ZEL_DONE) {
        out.values = unpackBlock(kind, data, isSigned);
    }
    return out;
}

int32_t writeGate(Port& port, const Gate& gate, std::span<const int64_t> values) {
    ValueKind kind = valueKind(gate.addr);
    if (values.size() == 1) {
        GateValue cell{};
        packSingle(kind, values[0], cell);
        IoRequest io = ioRequestFor(gate, 1, &cell);
        return port.driver().call(ZEL_CMD_SINGLE_WRITE, &io, port.context());
    }
    std::vector<uint8_t> data = packBlock(kind, values);
    IoRequest io = ioRequestFor(gate, static_cast<int32_t>(values.size()), data.data());
    return port.driver().call(ZEL_CMD_BLOCK_WRITE, &io, port.context());
}

void packSingle(ValueKind kind, int64_t value, GateValue& cell) {
    if (kind == ValueKind::Dword) {
        cell.value32 = static_cast<uint32_t>(value);
    } else {
        cell.w.value16 = static_cast<uint16_t>(value);
    }
}

namespace {

// Reads the low `bits` of `raw` as a signed or unsigned number.
int64_t widen(uint64_t raw, unsigned bits, bool isSigned) {
    uint64_t mask = (uint64_t{1} << bits) - 1;
    raw &= mask;
    if (isSigned && bits > 1 && (raw >> (bits - 1)) != 0) {
        return static_cast<int64_t>(raw) - static_cast<int64_t>(mask) - 1;
    }
    return static_cast<int64_t>(raw);
}

}  // namespace

int64_t unpackSingle(ValueKind kind, const GateValue& cell, bool isSigned) {
    if (kind == ValueKind::Dword) {
        return widen(cell.value32, 32, isSigned);
    }
    return widen(cell.w.value16, 16, isSigned && kind != ValueKind::Bit);
}

std::vector<uint8_t> packBlock(ValueKind kind, std::span<const int64_t> values) {
    size_t width = blockElementBytes(kind);
    std::vector<uint8_t> out;
    out.reserve(values.size() * width);
    for (int64_t v : values) {
        auto raw = static_cast<uint64_t>(v);
        for (size_t i = 0; i < width; ++i) {
            out.push_back(static_cast<uint8_t>(raw >> (8 * i)));
        }
    }
    return out;
}

std::vector<int64_t> unpackBlock(ValueKind kind, std::span<const uint8_t> data, bool isSigned) {
    size_t width = blockElementBytes(kind);
    std::vector<int64_t> out;
    for (size_t at = 0; at + width <= data.size(); at += width) {
        uint64_t raw = 0;
        for (size_t i = 0; i < width; ++i) {
            raw |= uint64_t{data[at + i]} << (8 * i);
        }
        out.push_back(widen(raw, static_cast<unsigned>(8 * width), isSigned));
    }
    return out;
}

ValueRange valueRange(ValueKind kind, bool block) {
    switch (kind) {
        case ValueKind::Bit:
            return {0, 1};
        case ValueKind::Byte:
            return block ? ValueRange{-128, 255} : ValueRange{-32768, 65535};
        case ValueKind::Word:
            return {-32768, 65535};
        case ValueKind::Dword:
            break;
    }
    return {std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max()};
}

std::optional<int64_t> parseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text[0] == '+' || text[0] == '-') {
        return std::nullopt;
    }
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    // Far beyond any element; keeps the negation below in range.
    constexpr uint64_t kLimit = uint64_t{1} << 62;
    if (ec != std::errc() || end != text.data() + text.size() || magnitude > kLimit) {
        return std::nullopt;
    }
    auto value = static_cast<int64_t>(magnitude);
    return negative ? -value : value;
}

std::optional<std::string> portNameForDriver(std::string_view name) {
    constexpr size_t kMax = ZEL_PORT_NAME_SIZE - 1;
    constexpr std::string_view kDev = "/dev/";
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.size() <= kMax) {
        return std::string(name);
    }
    if (name.starts_with(kDev)) {
        name.remove_prefix(kDev.size());
        if (!name.empty() && name.size() <= kMax && name[0] != '/') {
            return std::string(name);
        }
    }
    return std::nullopt;
}

int32_t timeoutUnits(int64_t ms) {
    int64_t units = (ms + 9) / 10;
    return static_cast<int32_t>(std::clamp<int64_t>(units, 1, std::numeric_limits<int32_t>::max()));
}

}  // namespace zelfx
