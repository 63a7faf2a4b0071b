#include "downloader/message_loop.h"

#include "downloader/messages.h"
#include "downloader/sequencer.h"
#include "platform/thread.h"

namespace tonecast {

void RunMessageLoop() {
  platform::Message message;
  while (platform::QueueGet(&message) == 0) {
    if (message.kind == platform::kMsgDestroy) break;
    int ended = 0;
    if (message.kind == platform::kMsgTimer) {
      ended = DispatchTransferMessage(UM_TIMEOUT, message.wparam, 0);
    } else if ((message.kind >= UM_OPEN && message.kind <= UM_LINE) ||
               message.kind == UM_INTERRUPT) {
      ended = DispatchTransferMessage(message.kind, message.wparam, message.lparam);
    }
    // Anything else, UM_READY included, is not for the transfer.
    if (ended) break;
  }
}

}  // namespace tonecast
