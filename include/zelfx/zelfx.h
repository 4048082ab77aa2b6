/*
 * zelfx - driver for Mitsubishi FX-series PLCs on the programming port.
 *
 * The host interface: the records exchanged through ZelMain, the command
 * and result codes, and the entry point itself. Plain C, usable from C and
 * C++ hosts.
 *
 * On 32-bit targets every record has the layout of the original 32-bit
 * driver (static assertions below pin it). On 64-bit targets the member
 * order and the integer widths stay the same; pointers take 8 bytes with
 * their natural alignment. The port handle in PortContext is a 32-bit
 * integer on every target, so PortContext is 310 bytes everywhere.
 */
#ifndef ZELFX_ZELFX_H
#define ZELFX_ZELFX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define ZEL_CALL __stdcall
#else
#define ZEL_CALL
#endif

#if defined(_WIN32)
#if defined(ZELFX_BUILDING_DRIVER)
#define ZEL_API __declspec(dllexport)
#else
#define ZEL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ZEL_API __attribute__((visibility("default")))
#else
#define ZEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes (DrvRequest.command). Codes 0, 8, 9, 16 and every code
 * above 16 have no command and are answered with ZEL_FAILED. */
enum ZelCommand {
    ZEL_CMD_COLD_START = 1,
    ZEL_CMD_WARM_START = 2,
    ZEL_CMD_SINGLE_ADDRESS_PARSER = 3,
    ZEL_CMD_BLOCK_ADDRESS_PARSER = 4,
    ZEL_CMD_SINGLE_READ = 5,
    ZEL_CMD_BLOCK_READ = 6,
    ZEL_CMD_SINGLE_WRITE = 7,
    ZEL_CMD_BLOCK_WRITE = 10,
    ZEL_CMD_END_ZEL = 11,
    ZEL_CMD_CLOSE_COM = 12,
    ZEL_CMD_REOPEN_COM = 13,
    ZEL_CMD_GET_ZEL_INFO = 14,
    ZEL_CMD_CHANGE_ZEL_PARAMS = 15
};

/* Result codes of every command. */
enum ZelResult {
    ZEL_DONE = 0,    /* done */
    ZEL_REFUSED = 1, /* the request cannot be carried out as asked */
    ZEL_FAILED = 2   /* no such command, port failure, link failure */
};

/* Gate types (GateSpec.gateType) that the driver tells apart. */
enum ZelGateType {
    ZEL_GATE_ANALOG = 0,
    ZEL_GATE_ANALOG_ALT = 1,
    ZEL_GATE_LONG = 4,
    ZEL_GATE_LONG_ALT = 5,
    ZEL_GATE_DIGITAL = 6,
    ZEL_GATE_STRING = 7
};

/* Log levels passed to the host's err(). */
enum ZelLogLevel { ZEL_LOG_INFO = 8, ZEL_LOG_ALERT = 32 };

#define ZEL_PORT_NAME_SIZE 12
#define ZEL_REPLY_BUF_SIZE 140
#define ZEL_REQUEST_BUF_SIZE 140
#define ZEL_CONTEXT_SIZE 310
#define ZEL_MAX_GATE_TEXT 31

/* Serial line settings (8 bytes). Codes as in the Win32 DCB. */
typedef struct LineParams {
    uint16_t baudRate; /* bit/s */
    uint16_t dataBits; /* 5..8 */
    uint16_t stopBits; /* 0: 1, 1: 1.5, 2: 2 */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineParams;

/* What the driver needs to open a port (22 bytes). */
typedef struct PortSettings {
    char portName[ZEL_PORT_NAME_SIZE]; /* at most 11 characters and a NUL */
    LineParams line;
    uint16_t controlFlags;
} PortSettings;

/* Per-port memory, owned by the host, managed by the driver (310 bytes).
 * Packed to 2 so that its size is exactly the 310 bytes the driver reports;
 * allocate it 4-byte aligned. */
#pragma pack(push, 2)
typedef struct PortContext {
    int32_t timeout; /* read time-out, units of 10 ms */
    uint32_t handle; /* port handle; 0 means no port */
    PortSettings settings;
    uint8_t replyBuf[ZEL_REPLY_BUF_SIZE];
    uint8_t requestBuf[ZEL_REQUEST_BUF_SIZE];
} PortContext;
#pragma pack(pop)

/* The argument of every ZelMain call. */
typedef struct DrvRequest {
    PortContext *context;
    uint32_t command;
    uint32_t reserved1; /* neither read nor written by the driver */
    uint32_t reserved2; /* neither read nor written by the driver */
    void *params;       /* the command's parameter record */
} DrvRequest;

/* Parameter record of ColdStart (28 bytes). */
typedef struct StartParams {
    char portName[ZEL_PORT_NAME_SIZE];
    int32_t openPort; /* 0: set up the context only; otherwise open now */
    int32_t timeout;  /* read time-out, units of 10 ms */
    LineParams line;
} StartParams;

/* Parameter record of ChangeZelParams (24 bytes). */
typedef struct ChangeParams {
    char portName[ZEL_PORT_NAME_SIZE]; /* always taken */
    int32_t timeout;                   /* 0 and -1 keep the current one */
    LineParams line;                   /* taken when baudRate != 0 */
} ChangeParams;

/* The driver's description of a gate's address (20 bytes). */
typedef struct AddrDesc {
    int32_t plc;         /* station number, 0 */
    int32_t area;        /* row of the memory map */
    int32_t address;     /* in units of the row's element size */
    int32_t bit;         /* -1 whole element, 0..7 a bit of a byte */
    int32_t elementBits; /* 1, 8, 16 or 32 */
} AddrDesc;

/* Parameter record of the two parser commands. */
typedef struct GateSpec {
    const char *name; /* gate-address text, e.g. "DD0100" */
    uint32_t reserved;
    int32_t gateType;
    int32_t blockSize;
    AddrDesc addr; /* written by the driver */
} GateSpec;

/* Parameter record of the read and write commands. */
typedef struct IoRequest {
    const char *name; /* gate-address text, used in messages only */
    uint32_t reserved1;
    AddrDesc addr;     /* as the parser returned it */
    int32_t valueType; /* 1: sign-extend a byte read from a bit area */
    int32_t count;     /* 1 for single commands */
    uint32_t reserved2;
    void *data; /* GateValue, or the first element of a block */
} IoRequest;

/* The host's cell for one value (4 bytes, little-endian). A 32-bit element
 * fills the cell; anything narrower is a 16-bit value at offset 2. */
typedef union GateValue {
    uint32_t value32;
    struct {
        uint16_t spare; /* left untouched by 16-bit reads */
        uint16_t value16;
    } w;
    uint8_t bytes[4];
} GateValue;

/* Output record of GetZelInfo. */
typedef struct DriverInfo {
    int32_t driverCode;  /* 70 */
    const char *name;    /* "Mitsubishi FX" */
    const char *banner;  /* three lines in code page 437 */
    int32_t contextSize; /* bytes to allocate for a PortContext */
    int32_t infoValueA;  /* 4 */
    LineParams defaultLine;
    int32_t infoValueB; /* 3 */
} DriverInfo;

/* The driver's only export. */
ZEL_API int32_t ZEL_CALL ZelMain(DrvRequest *request);

typedef int32_t(ZEL_CALL *ZelMainFn)(DrvRequest *request);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layouts that hosts are built against. */
#ifdef __cplusplus
#include <cstddef>
#define ZEL_ASSERT_LAYOUT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#include <stddef.h>
#define ZEL_ASSERT_LAYOUT(c, m) _Static_assert(c, m)
#else
#define ZEL_ASSERT_LAYOUT(c, m)
#endif

ZEL_ASSERT_LAYOUT(sizeof(LineParams) == 8, "LineParams");
ZEL_ASSERT_LAYOUT(sizeof(PortSettings) == 22, "PortSettings");
ZEL_ASSERT_LAYOUT(offsetof(PortSettings, line) == 12, "PortSettings.line");
ZEL_ASSERT_LAYOUT(offsetof(PortSettings, controlFlags) == 20, "PortSettings.controlFlags");
ZEL_ASSERT_LAYOUT(sizeof(PortContext) == ZEL_CONTEXT_SIZE, "PortContext");
ZEL_ASSERT_LAYOUT(offsetof(PortContext, handle) == 4, "PortContext.handle");
ZEL_ASSERT_LAYOUT(offsetof(PortContext, settings) == 8, "PortContext.settings");
ZEL_ASSERT_LAYOUT(offsetof(PortContext, replyBuf) == 30, "PortContext.replyBuf");
ZEL_ASSERT_LAYOUT(offsetof(PortContext, requestBuf) == 170, "PortContext.requestBuf");
ZEL_ASSERT_LAYOUT(sizeof(StartParams) == 28, "StartParams");
ZEL_ASSERT_LAYOUT(offsetof(StartParams, openPort) == 12, "StartParams.openPort");
ZEL_ASSERT_LAYOUT(offsetof(StartParams, timeout) == 16, "StartParams.timeout");
ZEL_ASSERT_LAYOUT(offsetof(StartParams, line) == 20, "StartParams.line");
ZEL_ASSERT_LAYOUT(sizeof(ChangeParams) == 24, "ChangeParams");
ZEL_ASSERT_LAYOUT(offsetof(ChangeParams, timeout) == 12, "ChangeParams.timeout");
ZEL_ASSERT_LAYOUT(offsetof(ChangeParams, line) == 16, "ChangeParams.line");
ZEL_ASSERT_LAYOUT(sizeof(AddrDesc) == 20, "AddrDesc");
ZEL_ASSERT_LAYOUT(sizeof(GateValue) == 4, "GateValue");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit targets: the original layouts, byte for byte. */
ZEL_ASSERT_LAYOUT(sizeof(DrvRequest) == 20, "DrvRequest");
ZEL_ASSERT_LAYOUT(offsetof(DrvRequest, command) == 4, "DrvRequest.command");
ZEL_ASSERT_LAYOUT(offsetof(DrvRequest, params) == 16, "DrvRequest.params");
ZEL_ASSERT_LAYOUT(sizeof(GateSpec) == 36, "GateSpec");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, gateType) == 8, "GateSpec.gateType");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, blockSize) == 12, "GateSpec.blockSize");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, addr) == 16, "GateSpec.addr");
ZEL_ASSERT_LAYOUT(sizeof(IoRequest) == 44, "IoRequest");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, addr) == 8, "IoRequest.addr");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, valueType) == 28, "IoRequest.valueType");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, count) == 32, "IoRequest.count");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, data) == 40, "IoRequest.data");
ZEL_ASSERT_LAYOUT(sizeof(DriverInfo) == 32, "DriverInfo");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, name) == 4, "DriverInfo.name");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, banner) == 8, "DriverInfo.banner");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, contextSize) == 12, "DriverInfo.contextSize");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, infoValueA) == 16, "DriverInfo.infoValueA");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, defaultLine) == 20, "DriverInfo.defaultLine");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, infoValueB) == 28, "DriverInfo.infoValueB");
#else
/* 64-bit targets: same order and integer widths, 8-byte pointers. */
ZEL_ASSERT_LAYOUT(sizeof(DrvRequest) == 32, "DrvRequest");
ZEL_ASSERT_LAYOUT(offsetof(DrvRequest, command) == 8, "DrvRequest.command");
ZEL_ASSERT_LAYOUT(offsetof(DrvRequest, params) == 24, "DrvRequest.params");
ZEL_ASSERT_LAYOUT(sizeof(GateSpec) == 40, "GateSpec");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, gateType) == 12, "GateSpec.gateType");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, blockSize) == 16, "GateSpec.blockSize");
ZEL_ASSERT_LAYOUT(offsetof(GateSpec, addr) == 20, "GateSpec.addr");
ZEL_ASSERT_LAYOUT(sizeof(IoRequest) == 56, "IoRequest");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, addr) == 12, "IoRequest.addr");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, valueType) == 32, "IoRequest.valueType");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, count) == 36, "IoRequest.count");
ZEL_ASSERT_LAYOUT(offsetof(IoRequest, data) == 48, "IoRequest.data");
ZEL_ASSERT_LAYOUT(sizeof(DriverInfo) == 48, "DriverInfo");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, name) == 8, "DriverInfo.name");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, banner) == 16, "DriverInfo.banner");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, contextSize) == 24, "DriverInfo.contextSize");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, infoValueA) == 28, "DriverInfo.infoValueA");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, defaultLine) == 32, "DriverInfo.defaultLine");
ZEL_ASSERT_LAYOUT(offsetof(DriverInfo, infoValueB) == 40, "DriverInfo.infoValueB");
#endif

#endif /* ZELFX_ZELFX_H */
