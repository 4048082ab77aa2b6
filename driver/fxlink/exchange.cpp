#include "entry/log.h"
#include "fxlink/transactions.h"

namespace zel::fx {

int32_t Exchange(PortContext* context, Transaction transaction, uint32_t length, uint32_t wanted,
                 int32_t attempt, uint32_t* received) {
    const bool write = transaction == Transaction::kWrite;
    const int32_t purged = serial::SerPurgeInput(context->handle);
    if (purged != 0) {
        err(kLogInfo, write ? MSG_DO_WRITE_FLUSH_ERROR : MSG_DO_READ_FLUSH_ERROR, purged);
    }
    const int32_t sent = SendFrame(context->requestBuf, length, context->handle);
    if (sent != 0) {
        err(kLogInfo, write ? MSG_DO_WRITE_SEND_ERROR : MSG_DO_READ_SEND_ERROR, sent, attempt);
        return 2;
    }
    *received = wanted;
    const int32_t got = ReceiveFrame(context->replyBuf, received, context->handle);
    if (got != 0) {
        err(kLogInfo, write ? MSG_DO_WRITE_RECEIVE_ERROR : MSG_DO_READ_RECEIVE_ERROR, got, attempt);
        return 2;
    }
    return 0;
}

}  // namespace zel::fx
