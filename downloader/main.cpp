// tonecast: downloads a VP image into a telephone unit over a serial port.
#include <cstdio>
#include <string>
#include <vector>

#include "downloader/command_line.h"
#include "downloader/errors.h"
#include "downloader/interrupt.h"
#include "downloader/message_loop.h"
#include "downloader/messages.h"
#include "downloader/program_info.h"
#include "downloader/receiver.h"
#include "downloader/run_state.h"
#include "downloader/sequencer.h"
#include "downloader/station_channel.h"
#include "downloader/serial_worker.h"
#include "downloader/vp_file.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/thread.h"

using namespace tonecast;

namespace {

constexpr const char* kBanner = "\n#### Tonecast ver.05 for Marlin 2006.04.25 ####\n\n";

void PrintVerdict() {
  StationVerdict(g_error_count.load() == 0);
  std::fputs(g_error_count.load() == 0 ? "VP file transfer complete.\n" : "VP file transfer NG!\n",
             stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: no port or file may become a standard
  // stream. A closed pipe or a full log later fails a write, not the run.
  platform::ConsoleGuardStandardStreams();
  platform::ConsoleSurviveBrokenOutputs();
  // Progress texts without a line end must show at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // File names as typed, whatever their characters: UTF-8 from here on.
  std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  std::vector<char*> arg_list;
  for (std::string& arg : args) arg_list.push_back(arg.data());
  arg_list.push_back(nullptr);

  // --version and --help stand alone: no banner, nothing opened.
  if (ShowProgramInfo(static_cast<int>(args.size()), arg_list.data())) return 0;

  // Start-up: banner, shared state, command line and data file. Nothing has
  // touched the port when start-up stops, and no verdict is printed.
  std::fputs(kBanner, stdout);
  StationVersion();
  InitRunState();
  InitTransfer();
  // The worker's first message goes to this thread: its queue must exist
  // before the worker does.
  g_thread_slots[0] = ThreadSlot{platform::ThreadCurrentId(), nullptr};
  g_thread_slots[1] = ThreadSlot{};
  if (!ParseCommandLine(static_cast<int>(args.size()), arg_list.data())) return 0;
  // A run without an image only erases the unit's flash: say so before the
  // port opens, on standard error, so that standard output reads as ever.
  if (g_data_files[0].name[0] == '\0') ReportAdvice(kEraseOnlyWarning);

  // The transfer: the serial worker, then the dialogue, one message at a
  // time, until the sequencer is idle again. A transfer that cannot start
  // has reported why and goes straight to the verdict.
  //
  // From here an interrupt ends the run through the message loop: counted,
  // the port closed, the log ended, the verdict printed. The watch starts
  // before the worker opens the run log, so that no run has a log without
  // its end. A watch that cannot be set leaves interrupts their default
  // effect.
  WatchInterrupts();
  if (!StartWorker(1)) {
    platform::InterruptExit();
    return 0;
  }
  if (platform::InterruptReceived())
    ReportError(ERR_INTERRUPTED, nullptr);  // before the port: nothing to close
  else if (StartTransfer() == 0)
    RunMessageLoop();

  // Verdict: any reported error makes the run NG.
  PrintVerdict();

  // Shutdown: end the receive loop (if any) and wait for the worker.
  StopReceiving();
  StopWorker(1);
  // After an interrupt the process ends by that signal, so that a calling
  // shell or script stops too.
  platform::InterruptExit();
  return 1;
}
