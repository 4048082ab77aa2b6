// Every text the driver logs, in one place. Macros rather than constants so
// that the compiler checks each format against its arguments.
#pragma once

// Entry point and driver information.
#define MSG_GET_ZEL_INFO_EXITED "ZELFX> GetZelInfo() exited"

// Port lifecycle and link test.
#define MSG_OPEN_COM_FAILED "ZELFX> OpenCom() open COM port failed"
#define MSG_OPEN_COM_OK "ZELFX> OpenCom() exited OK, file handle %u"
#define MSG_BUILD_STAMP "ZELFX> version compiled on %s at time %s"
#define MSG_COLD_START_OPEN_ERROR "ZELFX> ColdStart() error opening COM port"
#define MSG_COLD_START_OK "ZELFX> ColdStart() installation OK!"
#define MSG_WARM_START_CHECK_ERROR "ZELFX> WarmStart() Initial check error COM port %u"
#define MSG_WARM_START_OK "ZELFX> WarmStart()"
#define MSG_TEST_COM_SEND_ERROR "ZELFX> TestCom() Send error retry %d"
#define MSG_TEST_COM_RECEIVE_ERROR "ZELFX> TestCom() Receive reply error retry %d"
#define MSG_TEST_COM_LENGTH "ZELFX> TestCom() invalid reply length retry %d"
#define MSG_TEST_COM_ACK "ZELFX> TestCom(), ACK replied retry %d"
#define MSG_TEST_COM_NAK "ZELFX> TestCom(), NAK replied retry %d"
#define MSG_TEST_COM_BAD_CHAR "ZELFX> TestCom(), bad char. replied retry %d"
#define MSG_CLOSE_COM_FAILED "ZELFX> CloseCom() exited 2"
#define MSG_END_ZEL_EXITED "ZELFX> EndZel() exited, %d"
#define MSG_REOPEN_COM_OK "ReOpenCom() exited 0"
#define MSG_REOPEN_COM_FAILED "ZELFX> ReOpenCom() exited 2"
#define MSG_CHANGE_PARAMS_FAILED "ZELFX> ChangeZelParams() open new COM port failed"

// Gate-address parser.
#define MSG_PARSE_ILLEGAL_CHARACTER "ZELFX> Parse() Illegal character %d in '%s'"
#define MSG_PARSE_ILLEGAL_GATE_ADDR "ZELFX> Parse() Illegal gate addr in '%s'"
#define MSG_PARSE_ILLEGAL_MEMORY_TYPE "ZELFX> Parse() Illegal memory type in '%s'"
#define MSG_PARSE_ADDRESS_ODD "ZELFX> Parse() Address must be even in '%s'"
#define MSG_PARSE_ADDRESS_TOO_LARGE "ZELFX> Parse() Gate address too large in '%s'"

// Gate validation.
#define MSG_SINGLE_NO_STRING "ZELFX> SingleParse() no STRING gates allowed gate '%s'"
#define MSG_SINGLE_SHOULD_BE_DIGITAL "ZELFX> SingleParse() gate '%s' should be DIGITAL"
#define MSG_SINGLE_SHOULD_BE_ANALOG "ZELFX> SingleParse() gate '%s' should be analog"
#define MSG_SINGLE_SHOULD_BE_LONG "ZELFX> SingleParse() gate '%s' should be LONG"
#define MSG_BLOCK_NO_BIT_GATES "ZELFX> Parse() no spec. dig. gates allowed for blocks '%s'"
#define MSG_BLOCK_SIZE_OUT_OF_RANGE "ZELFX> Parse() block size out of range block '%s'"

// Read transaction.
#define MSG_DO_READ_FLUSH_ERROR "ZELFX> DoRead() flushing error %d"
#define MSG_DO_READ_SEND_ERROR "ZELFX> DoRead() Send request error %d retry %d"
#define MSG_DO_READ_RECEIVE_ERROR "ZELFX> DoRead() Read reply error %d retry %d"
#define MSG_DO_READ_NAK "ZELFX> DoRead() Read, NAK replied retry %d"
#define MSG_DO_READ_SUM_ERROR "ZELFX> DoRead() Read reply sum check error retry %d"
#define MSG_DO_READ_INVALID "ZELFX> DoRead() Read reply invalid retry %d"
#define MSG_SINGLE_READ_RESULT "ZELFX> SingleRead(), ret val is %d"
#define MSG_BLOCK_READ_RESULT "ZELFX> BlockRead(), ret val is %d"

// Write transaction.
#define MSG_WRITE_BYTE_TOO_LARGE "ZELFX> BuildWriteReq() Value too large for one byte"
#define MSG_WRITE_BIT_READ_FAILED "ZELFX> BuildWriteReq() WORD read for bit write, rc %d"
#define MSG_DO_WRITE_FLUSH_ERROR "ZELFX> DoWrite() flushing error %d"
#define MSG_DO_WRITE_SEND_ERROR "ZELFX> DoWrite() Send request error %d retry %d"
#define MSG_DO_WRITE_RECEIVE_ERROR "ZELFX> DoWrite() Read reply error %d retry %d"
#define MSG_DO_WRITE_LENGTH "ZELFX> DoWrite() Wrong response length reply retry %d"
#define MSG_DO_WRITE_NAK "ZELFX> DoWrite() Read NAK received reply retry %d"
#define MSG_DO_WRITE_BLOCK_ACK "ZELFX> DoWrite(block) acknowledged by PLC %d"
#define MSG_DO_WRITE_UNKNOWN "ZELFX> DoWrite() Unknown response '%c'(%Xh) retry %d"
#define MSG_SINGLE_WRITE_RESULT "ZELFX> SingleWrite() , ret val is %d block '%s'"
#define MSG_BLOCK_WRITE_RESULT "ZELFX> BlockWrite(), ret val is %d block '%s'"
