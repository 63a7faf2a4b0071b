#include "downloader/messages.h"

namespace tonecast {

ThreadSlot g_thread_slots[2];

}  // namespace tonecast
