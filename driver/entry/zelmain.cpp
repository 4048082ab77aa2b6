// The driver's entry point: the command table, the ended flag and
// GetZelInfo, the command with which a host learns what the driver is.
#include <array>
#include <cstddef>

#include "entry/commands.h"
#include "entry/log.h"

namespace zel {

int32_t driverEnded = 0;

namespace {

// What a command needs from its request before its handler may run.
struct CommandSlot {
    CommandHandler handler;  // nullptr: no command in this slot
    bool needsContext;
    bool needsParams;
};

// Slots without a handler answer ZEL_FAILED.
constexpr std::array<CommandSlot, 17> kCommandTable{{
    /* 0 */ {nullptr, false, false},
    /* 1 ColdStart */ {ColdStart, true, true},
    /* 2 WarmStart */ {WarmStart, true, false},
    /* 3 */ {SingleAddressParser, false, true},
    /* 4 */ {BlockAddressParser, false, true},
    /* 5 SingleRead */ {SingleRead, true, true},
    /* 6 BlockRead */ {BlockRead, true, true},
    /* 7 SingleWrite */ {SingleWrite, true, true},
    /* 8 */ {nullptr, false, false},
    /* 9 */ {nullptr, false, false},
    /* 10 BlockWrite */ {BlockWrite, true, true},
    /* 11 EndZel */ {EndZel, false, false},
    /* 12 CloseCom */ {CloseCom, true, false},
    /* 13 ReOpenCom */ {ReOpenCom, true, false},
    /* 14 */ {GetZelInfo, false, true},
    /* 15 ChangeZelParams */ {ChangeZelParams, true, true},
    /* 16 */ {nullptr, false, false},
}};

// The banner: three 67-character lines in code page 437 double-line box
// drawing, the first preceded by a backspace, no final line feed.
constexpr std::size_t kBannerWidth = 65;  // between the two corners
constexpr char kTitle[] = "ZELFX : Mitsubishi FX driver (32 bit)";

constexpr auto makeBanner() {
    std::array<char, 205> b{};
    std::size_t i = 0;
    auto border = [&](char left, char right) {
        b[i++] = left;
        for (std::size_t k = 0; k < kBannerWidth; ++k) {
            b[i++] = '\xCD';
        }
        b[i++] = right;
    };
    b[i++] = '\x08';
    border('\xC9', '\xBB');
    b[i++] = '\n';
    b[i++] = '\xBA';
    std::size_t used = 0;
    for (char c : {' ', ' '}) {
        b[i++] = c;
        ++used;
    }
    for (std::size_t k = 0; k + 1 < sizeof kTitle; ++k) {
        b[i++] = kTitle[k];
        ++used;
    }
    for (; used < kBannerWidth; ++used) {
        b[i++] = ' ';
    }
    b[i++] = '\xBA';
    b[i++] = '\n';
    border('\xC8', '\xBC');
    b[i++] = '\0';
    return b;
}

constexpr auto kBanner = makeBanner();
static_assert(kBanner[203] == '\xBC' && kBanner[204] == '\0', "banner is 204 bytes and a NUL");

constexpr char kDriverName[] = "Mitsubishi FX";

}  // namespace

int32_t GetZelInfo(DrvRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->params);
    info->driverCode = 70;
    info->name = kDriverName;
    info->banner = kBanner.data();
    info->contextSize = ZEL_CONTEXT_SIZE;
    info->infoValueA = 4;
    info->defaultLine = LineParams{9600, 7, 0, 2};
    info->infoValueB = 3;
    err(kLogInfo, MSG_GET_ZEL_INFO_EXITED);
    return ZEL_DONE;
}

}  // namespace zel

extern "C" ZEL_API int32_t ZEL_CALL ZelMain(DrvRequest* request) {
    using namespace zel;
    if (driverEnded == 1) {
        return ZEL_DONE;
    }
    if (request == nullptr) {
        return ZEL_FAILED;
    }
    const uint32_t command = request->command;
    if (command >= kCommandTable.size()) {
        return ZEL_FAILED;
    }
    const CommandSlot& slot = kCommandTable[command];
    if (slot.handler == nullptr) {
        return ZEL_FAILED;
    }
    // A host that leaves out a record the command needs is refused, never
    // dereferenced.
    if ((slot.needsContext && request->context == nullptr) ||
        (slot.needsParams && request->params == nullptr)) {
        return ZEL_REFUSED;
    }
    return slot.handler(request);
}
