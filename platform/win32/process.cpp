// Child processes on Windows: CreateProcessW with wide strings (from the
// UTF-8 text the programs hold), an environment block of this process's
// variables plus the additions, the null device as standard input and an
// anonymous pipe for each of standard output and error.
//
// The parent's ends of the pipes are never inheritable. The child's ends
// are made inheritable for the one CreateProcessW call, and the call names
// them in PROC_THREAD_ATTRIBUTE_HANDLE_LIST, so a child started by another
// thread at the same moment inherits none of them: a pipe ends when its own
// child does.
//
// The children stay in the caller's console and process group: the
// console's Ctrl+C, Ctrl+Break and close events reach every process
// attached to it, the children included, so there is nothing to pass on.
// ChildInterrupt therefore does nothing; a child started in a group of its
// own would need GenerateConsoleCtrlEvent, which this program does not use.
#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/thread.h"
#include "platform/win32/last_error.h"
#include "platform/win32/text.h"

namespace platform {

using win32::LastError;
using win32::Utf8FromWide;
using win32::WideFromUtf8;

struct ChildProcess {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;  // the main thread while held (created suspended)
  HANDLE out = nullptr;  // parent's read ends
  HANDLE err = nullptr;
};

namespace {

// One word of a command line as the C runtime's parser reads it back:
// quoted when it holds a blank or a quote (or is empty); backslashes are
// doubled only before a quote.
void AppendWord(std::wstring* line, const std::wstring& word) {
  if (!line->empty()) *line += L' ';
  if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += word;
    return;
  }
  *line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

// The variable's name of an entry "NAME=value"; entries of the hidden
// per-drive folders begin with '=' ("=C:=C:\\work"), which is part of the name.
std::wstring NameOf(const std::wstring& entry) {
  const std::size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq);
}

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), int(a.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with the additions, each replacing an entry
// of the same name (names compare without regard to case), sorted by name as
// CreateProcessW requires, as one block of strings ended by an empty one.
int BuildEnvironment(const std::vector<std::string>& additions, std::wstring* block) {
  std::vector<std::wstring> added;
  for (const std::string& a : additions) {
    if (a.empty() || a.front() == '=' || a.find('=') == std::string::npos)
      return ErrorCode(Failure::kInvalid);
    std::wstring wide;
    if (int err = WideFromUtf8(a.c_str(), &wide)) return err;
    added.push_back(wide);
  }
  std::vector<std::wstring> entries;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
      const std::wstring entry(p);
      const std::wstring name = NameOf(entry);
      bool replaced = false;
      for (const std::wstring& a : added)
        replaced = replaced || SameNameIgnoringCase(name, NameOf(a));
      if (!replaced) entries.push_back(entry);
    }
    FreeEnvironmentStringsW(env);
  }
  entries.insert(entries.end(), added.begin(), added.end());
  std::stable_sort(
      entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring na = NameOf(a), nb = NameOf(b);
        return CompareStringOrdinal(na.data(), int(na.size()), nb.data(), int(nb.size()), TRUE) ==
               CSTR_LESS_THAN;
      });
  block->clear();
  for (const std::wstring& e : entries) {
    *block += e;
    *block += L'\0';
  }
  *block += L'\0';
  if (entries.empty()) *block += L'\0';
  return 0;
}

void CloseIf(HANDLE* h) {
  if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

// The handles the child gets, and the parent's ends.
struct Plumbing {
  HANDLE null_in = nullptr;
  HANDLE out_read = nullptr, out_write = nullptr;
  HANDLE err_read = nullptr, err_write = nullptr;
  ~Plumbing() {
    for (HANDLE* h : {&null_in, &out_read, &out_write, &err_read, &err_write}) CloseIf(h);
  }
};

int MakePlumbing(Plumbing* p) {
  // Neither end inheritable yet.
  if (!CreatePipe(&p->out_read, &p->out_write, nullptr, 0)) return LastError();
  if (!CreatePipe(&p->err_read, &p->err_write, nullptr, 0)) return LastError();
  p->null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (p->null_in == INVALID_HANDLE_VALUE) {
    p->null_in = nullptr;
    return LastError();
  }
  for (HANDLE h : {p->null_in, p->out_write, p->err_write})
    if (!SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return LastError();
  return 0;
}

int Create(const ChildCommand& cmd, Plumbing* p, HANDLE* process, HANDLE* thread) {
  // Text that is not UTF-8 fails here rather than name another file.
  std::wstring program, cwd, word, command;
  if (int err = WideFromUtf8(cmd.program.c_str(), &program)) return err;
  if (int err = WideFromUtf8(cmd.cwd.c_str(), &cwd)) return err;
  // CreateProcessW takes the working folder as it stands: a relative one
  // would be taken against whatever folder is current at that moment.
  if (!cwd.empty()) {
    std::wstring full(32768, L'\0');
    const DWORD n = GetFullPathNameW(cwd.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return n == 0 ? LastError() : ErrorCode(Failure::kTooLarge);
    full.resize(n);
    cwd = full;
  }
  AppendWord(&command, program);
  for (const std::string& a : cmd.args) {
    if (int err = WideFromUtf8(a.c_str(), &word)) return err;
    AppendWord(&command, word);
  }
  std::wstring environment;
  if (int err = BuildEnvironment(cmd.env, &environment)) return err;

  HANDLE inherited[3] = {p->null_in, p->out_write, p->err_write};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return LastError();
  int err = 0;
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 sizeof inherited, nullptr, nullptr)) {
    err = LastError();
  } else {
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = p->null_in;
    si.StartupInfo.hStdOutput = p->out_write;
    si.StartupInfo.hStdError = p->err_write;
    si.lpAttributeList = list;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                            CREATE_SUSPENDED,
                        environment.data(), cwd.empty() ? nullptr : cwd.c_str(), &si.StartupInfo,
                        &pi)) {
      err = LastError();
    } else {
      *thread = pi.hThread;  // suspended until ChildResume
      *process = pi.hProcess;
    }
  }
  DeleteProcThreadAttributeList(list);
  return err;
}

}  // namespace

int ChildStart(const ChildCommand& cmd, ChildProcess** child) {
  if (!child || cmd.program.empty()) return ErrorCode(Failure::kInvalid);
  *child = nullptr;
  Plumbing p;
  if (int err = MakePlumbing(&p)) return err;
  HANDLE process = nullptr, thread = nullptr;
  if (int err = Create(cmd, &p, &process, &thread)) return err;
  auto* c = new (std::nothrow) ChildProcess;
  if (!c) {
    // Created, but nothing can follow it: it never runs.
    TerminateProcess(process, STATUS_CONTROL_C_EXIT);
    CloseHandle(thread);
    CloseHandle(process);
    return ErrorCode(Failure::kNoResources);
  }
  c->process = process;
  c->thread = thread;
  c->out = p.out_read;
  c->err = p.err_read;
  p.out_read = p.err_read = nullptr;  // the child's; the rest closes with p
  *child = c;
  return 0;
}

int ChildRead(ChildProcess* child, int stream, void* buffer, std::size_t n, std::size_t* got) {
  if (!child || !buffer || !got || (stream != 1 && stream != 2))
    return ErrorCode(Failure::kInvalid);
  *got = 0;
  DWORD r = 0;
  const DWORD ask = n > 0x10000 ? 0x10000 : DWORD(n);
  if (!ReadFile(stream == 1 ? child->out : child->err, buffer, ask, &r, nullptr)) {
    const DWORD e = GetLastError();
    // The child's end has closed: the end of its output.
    if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;
    return int(e);
  }
  *got = r;
  return 0;
}

int ChildWait(ChildProcess* child, std::uint32_t timeout_ms, ChildEnd* end) {
  if (!child || !end) return ErrorCode(Failure::kInvalid);
  const DWORD r =
      WaitForSingleObject(child->process, timeout_ms == kWaitForever ? INFINITE : timeout_ms);
  if (r == WAIT_TIMEOUT) return ErrorCode(Failure::kStalled);
  if (r != WAIT_OBJECT_0) return LastError();
  DWORD code = 0;
  if (!GetExitCodeProcess(child->process, &code)) return LastError();
  // Windows has no signals: Ctrl+C's end shows as its status (0xC000013A).
  end->exited = true;
  end->exit_code = int(code);
  end->signal = 0;
  return 0;
}

// The console delivered the interrupt to every process attached to it.
int ChildInterrupt(ChildProcess* child, int) { return child ? 0 : ErrorCode(Failure::kInvalid); }

int ChildEndNow(ChildProcess* child, int) { return ChildKill(child); }

// The status tonecast ends with after an interrupt, so that the row tells a
// unit ended on purpose from one that failed.
int ChildKill(ChildProcess* child) {
  if (!child) return ErrorCode(Failure::kInvalid);
  if (WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0) return 0;
  if (TerminateProcess(child->process, STATUS_CONTROL_C_EXIT)) return 0;
  // One that ended meanwhile refuses with access denied.
  return WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0 ? 0 : LastError();
}

int ChildResume(ChildProcess* child) {
  if (!child) return ErrorCode(Failure::kInvalid);
  if (!child->thread) return 0;
  const DWORD r = ResumeThread(child->thread);
  CloseHandle(child->thread);
  child->thread = nullptr;
  return r == DWORD(-1) ? LastError() : 0;
}

// A console process ends by Ctrl+C with STATUS_CONTROL_C_EXIT, and
// tonecast ends so after an interrupt; ChildTerminate uses the same status.
bool ChildEndedByInterrupt(const ChildEnd& end, int kind) {
  return kind != 0 && end.exited && DWORD(end.exit_code) == DWORD(STATUS_CONTROL_C_EXIT);
}

void ChildRelease(ChildProcess* child) {
  if (!child) return;
  CloseIf(&child->out);
  CloseIf(&child->err);
  if (child->thread) {
    // Never resumed: a held child would wait for good.
    ResumeThread(child->thread);
    CloseIf(&child->thread);
  }
  CloseIf(&child->process);
  delete child;
}

std::string ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n == 0) return "";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return "";
    path.resize(path.size() * 2);
  }
  const std::size_t sep = path.find_last_of(L"\\/");
  if (sep == std::wstring::npos) return "";
  return Utf8FromWide(path.substr(0, sep).c_str());
}

std::string ProgramFileName(const std::string& name) { return name + ".exe"; }

bool ChildPortFromEnvironment() { return false; }

}  // namespace platform
