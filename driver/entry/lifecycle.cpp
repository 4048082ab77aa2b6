// Port lifecycle: ColdStart, WarmStart, CloseCom, EndZel, ReOpenCom and
// ChangeZelParams, with the link test and the open routine they share.
#include "entry/lifecycle.h"

#include <cstring>

#include "entry/commands.h"
#include "entry/log.h"
#include "fxlink/frames.h"

namespace zel {

namespace {

inline constexpr uint16_t kControlFlags = 0x0303;

// GCC, native and mingw-w64, takes both from SOURCE_DATE_EPOCH when it is
// set, so that a build can be reproduced.
constexpr auto kBuildDate = StampDate(__DATE__);
constexpr char kBuildTime[] = __TIME__;

// A port name from a host record is usable only with its NUL inside the
// record.
bool NameTerminated(const char (&name)[ZEL_PORT_NAME_SIZE]) {
    return std::memchr(name, '\0', sizeof name) != nullptr;
}

PortContext* Context(DrvRequest* request) {
    return request->context;
}

// The steps of CloseCom on a context: 0 when no port is held or it was
// closed, 2 when the close failed (the handle then stays).
int32_t ClosePort(PortContext* context) {
    if (context->handle == 0) {
        return 0;
    }
    if (serial::SerClose(context->handle) != serial::kOk) {
        err(kLogInfo, MSG_CLOSE_COM_FAILED);
        return 2;
    }
    context->handle = 0;
    return 0;
}

// Makes a freshly opened port the context's port. A handle that the context
// still held (a device that allows a second open) is closed rather than
// leaked.
void TakePort(PortContext* context, serial::Handle handle, int32_t timeout) {
    if (context->handle != 0 && context->handle != handle) {
        ClosePort(context);
    }
    context->handle = handle;
    serial::SerSetReadTimeout(handle, timeout);
}

// The outcomes of one link-test attempt: the attempt's result and message.
struct LinkOutcome {
    int32_t result;
    const char* message;  // takes the attempt number
};

constexpr LinkOutcome kAckReplied{0, MSG_TEST_COM_ACK};
constexpr LinkOutcome kNakReplied{1, MSG_TEST_COM_NAK};
constexpr LinkOutcome kBadChar{2, MSG_TEST_COM_BAD_CHAR};
constexpr LinkOutcome kSendError{2, MSG_TEST_COM_SEND_ERROR};
constexpr LinkOutcome kReceiveError{2, MSG_TEST_COM_RECEIVE_ERROR};
constexpr LinkOutcome kWrongLength{2, MSG_TEST_COM_LENGTH};

const LinkOutcome& LinkAttempt(serial::Handle handle) {
    uint8_t buffer = fx::kEnq;
    serial::SerPurgeInput(handle);
    if (fx::SendFrame(&buffer, 1, handle) != 0) {
        return kSendError;
    }
    uint32_t count = 1;
    if (fx::ReceiveFrame(&buffer, &count, handle) != 0) {
        return kReceiveError;
    }
    if (count != 1) {
        return kWrongLength;
    }
    return buffer == fx::kAck ? kAckReplied : buffer == fx::kNak ? kNakReplied : kBadChar;
}

}  // namespace

const char* BuildDate() {
    return kBuildDate.data();
}
const char* BuildTime() {
    return kBuildTime;
}

serial::Handle OpenCom(const PortSettings* settings) {
    serial::Handle handle = 0;
    if (!NameTerminated(settings->portName) ||
        serial::SerOpen(settings->portName, &settings->line, settings->controlFlags, &handle) !=
            serial::kOk ||
        handle == 0) {
        err(kLogInfo, MSG_OPEN_COM_FAILED);
        return 0;
    }
    err(kLogInfo, MSG_OPEN_COM_OK, handle);
    return handle;
}

int32_t TestCom(serial::Handle handle) {
    int32_t result = 2;
    for (int32_t attempt = 1; attempt <= 3; ++attempt) {
        const LinkOutcome& outcome = LinkAttempt(handle);
        err(kLogInfo, outcome.message, attempt);
        result = outcome.result;
        if (result == 0) {
            break;
        }
    }
    return result;
}

int32_t ColdStart(DrvRequest* request) {
    driverEnded = 0;
    PortContext* context = Context(request);
    const auto* start = static_cast<const StartParams*>(request->params);
    context->timeout = start->timeout;
    // Whatever handle a context holds before its first ColdStart means
    // nothing; it is dropped, never closed.
    context->handle = 0;
    err(kLogInfo, MSG_BUILD_STAMP, BuildDate(), BuildTime());
    if (start->openPort != 0) {
        if (!NameTerminated(start->portName)) {
            return ZEL_REFUSED;
        }
        PortSettings& settings = context->settings;
        std::memcpy(settings.portName, start->portName, sizeof settings.portName);
        settings.line = start->line;
        settings.controlFlags = kControlFlags;
        const serial::Handle handle = OpenCom(&settings);
        if (handle == 0) {
            err(kLogAlert, MSG_COLD_START_OPEN_ERROR);
            return ZEL_FAILED;
        }
        context->handle = handle;
        serial::SerSetReadTimeout(handle, start->timeout);
    }
    err(kLogInfo, MSG_COLD_START_OK);
    return ZEL_DONE;
}

int32_t WarmStart(DrvRequest* request) {
    const PortContext* context = Context(request);
    if (TestCom(context->handle) != 0) {
        err(kLogInfo, MSG_WARM_START_CHECK_ERROR, context->handle);
        return ZEL_FAILED;
    }
    err(kLogInfo, MSG_WARM_START_OK);
    return ZEL_DONE;
}

int32_t CloseCom(DrvRequest* request) {
    return ClosePort(Context(request));
}

int32_t EndZel(DrvRequest* request) {
    // The library ends even for a host that names no context.
    driverEnded = 1;
    PortContext* context = Context(request);
    const int32_t rc = context != nullptr ? ClosePort(context) : 0;
    err(kLogInfo, MSG_END_ZEL_EXITED, rc);
    return rc;
}

int32_t ReOpenCom(DrvRequest* request) {
    PortContext* context = Context(request);
    const serial::Handle handle = OpenCom(&context->settings);
    if (handle == 0) {
        err(kLogAlert, MSG_REOPEN_COM_FAILED);
        return ZEL_FAILED;
    }
    TakePort(context, handle, context->timeout);
    err(kLogInfo, MSG_REOPEN_COM_OK);
    return ZEL_DONE;
}

int32_t ChangeZelParams(DrvRequest* request) {
    PortContext* context = Context(request);
    const auto* change = static_cast<const ChangeParams*>(request->params);
    if (!NameTerminated(change->portName)) {
        return ZEL_REFUSED;
    }
    if (change->timeout != 0 && change->timeout != -1) {
        context->timeout = change->timeout;
    }
    PortSettings& settings = context->settings;
    // Bounded: the host's name ends inside its record.
    const bool renamed =
        std::strncmp(change->portName, settings.portName, sizeof settings.portName) != 0;
    if (renamed && context->handle != 0) {
        ClosePort(context);
    }
    std::memcpy(settings.portName, change->portName, sizeof settings.portName);
    if (change->line.baudRate != 0) {
        settings.line = change->line;
    }
    const serial::Handle handle = OpenCom(&settings);
    if (handle == 0) {
        err(kLogInfo, MSG_CHANGE_PARAMS_FAILED);
        return ZEL_FAILED;
    }
    TakePort(context, handle, context->timeout);
    return ZEL_DONE;
}

}  // namespace zel
