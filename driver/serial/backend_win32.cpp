// The Win32 serial backend: the Windows communications API on a COM device.
//
// A handle is the Win32 HANDLE in 32 bits. Kernel handles are 32-bit
// significant on 64-bit Windows too, so the value survives the round trip
// through PortContext.handle (sign-extended back, as INVALID_HANDLE_VALUE
// would be).
#include <windows.h>

#include <cstring>

#include "serial/backend.h"

namespace zel::serial {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";  // \\.\ reaches COM10 and above too
constexpr size_t kNameMax = ZEL_PORT_NAME_SIZE - 1;

HANDLE toWin(Handle h) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(h)));
}

Handle fromWin(HANDLE h) {
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

// The device path for a port name of at most 11 characters: \\.\ and the
// name, unless the name already starts with a backslash. Reads at most 12
// bytes of `name`.
bool devicePath(const char* name, char (&path)[sizeof kDevicePrefix + kNameMax]) {
    size_t len = 0;
    while (len <= kNameMax && name[len] != '\0') {
        ++len;
    }
    if (len == 0 || len > kNameMax) {
        return false;
    }
    size_t at = 0;
    if (name[0] != '\\') {
        std::memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
        at = sizeof kDevicePrefix - 1;
    }
    std::memcpy(path + at, name, len);
    path[at + len] = '\0';
    return true;
}

bool winOpen(const char* name, Handle* out) {
    char path[sizeof kDevicePrefix + kNameMax];
    if (!devicePath(name, path)) {
        return false;
    }
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    *out = fromWin(h);
    return true;
}

bool readDcb(Handle h, DCB* dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(toWin(h), dcb) != 0;
}

bool winGetState(Handle h, Dcb* out) {
    DCB dcb;
    if (!readDcb(h, &dcb)) {
        return false;
    }
    out->BaudRate = dcb.BaudRate;
    out->ByteSize = dcb.ByteSize;
    out->Parity = dcb.Parity;
    out->StopBits = dcb.StopBits;
    out->fParity = dcb.fParity != 0;
    out->fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    out->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    out->fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
    out->fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
    out->fDsrSensitivity = dcb.fDsrSensitivity != 0;
    out->ErrorChar = static_cast<uint8_t>(dcb.ErrorChar);
    out->fErrorChar = dcb.fErrorChar != 0;
    return true;
}

// Every DCB member the layer does not carry keeps the port's current value.
bool winSetState(Handle h, const Dcb* in) {
    DCB dcb;
    if (!readDcb(h, &dcb)) {
        return false;
    }
    dcb.BaudRate = in->BaudRate;
    dcb.ByteSize = in->ByteSize;
    dcb.Parity = in->Parity;
    dcb.StopBits = in->StopBits;
    dcb.fParity = in->fParity ? 1 : 0;
    dcb.fDtrControl = in->fDtrControl & 3u;
    dcb.fRtsControl = in->fRtsControl & 3u;
    dcb.fOutxCtsFlow = in->fOutxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = in->fOutxDsrFlow ? 1 : 0;
    dcb.fDsrSensitivity = in->fDsrSensitivity ? 1 : 0;
    dcb.ErrorChar = static_cast<char>(in->ErrorChar);
    dcb.fErrorChar = in->fErrorChar ? 1 : 0;
    return SetCommState(toWin(h), &dcb) != 0;
}

bool winGetTimeouts(Handle h, Timeouts* out) {
    COMMTIMEOUTS t;
    if (GetCommTimeouts(toWin(h), &t) == 0) {
        return false;
    }
    *out = Timeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
}

bool winSetTimeouts(Handle h, const Timeouts* in) {
    COMMTIMEOUTS t = {in->ReadIntervalTimeout, in->ReadTotalTimeoutMultiplier,
                      in->ReadTotalTimeoutConstant, in->WriteTotalTimeoutMultiplier,
                      in->WriteTotalTimeoutConstant};
    return SetCommTimeouts(toWin(h), &t) != 0;
}

bool winSetupQueues(Handle h, uint32_t inBytes, uint32_t outBytes) {
    return SetupComm(toWin(h), inBytes, outBytes) != 0;
}

bool winQueryInput(Handle h, uint32_t* waiting) {
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(toWin(h), &errors, &status) == 0) {
        return false;
    }
    *waiting = status.cbInQue;
    return true;
}

bool winRead(Handle h, void* buffer, uint32_t wanted, uint32_t* received) {
    DWORD n = 0;
    if (ReadFile(toWin(h), buffer, wanted, &n, nullptr) == 0) {
        return false;
    }
    *received = n;
    return true;
}

bool winWrite(Handle h, const void* bytes, uint32_t length, uint32_t* written) {
    DWORD n = 0;
    if (WriteFile(toWin(h), bytes, length, &n, nullptr) == 0) {
        return false;
    }
    *written = n;
    return true;
}

bool winClose(Handle h) {
    return CloseHandle(toWin(h)) != 0;
}

void winSetBreak(Handle h, bool on) {
    if (on) {
        SetCommBreak(toWin(h));
    } else {
        ClearCommBreak(toWin(h));
    }
}

void winSleepMs(uint32_t ms) {
    Sleep(ms);
}

const Backend kBackend = {winOpen,        winGetState,    winSetState,   winGetTimeouts,
                          winSetTimeouts, winSetupQueues, winQueryInput, winRead,
                          winWrite,       winClose,       winSetBreak,   winSleepMs};

}  // namespace

const Backend& platformBackend() {
    return kBackend;
}

}  // namespace zel::serial
