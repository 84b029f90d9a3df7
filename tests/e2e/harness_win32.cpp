// The harness on Windows: programs started with CreateProcessW inside a job that ends them all
// should the test let go of them, their output read through anonymous pipes, and held still by
// the fault build before a call with a pair of named events.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <sddl.h>

#include "e2e/harness.h"
#include "e2e/harness_platform.h"
#include "sys/utf16.h"

namespace e2e {

namespace {

std::wstring wide(const std::string& utf8) {
  std::u16string text;
  if (!sys::toUtf16(utf8, text)) throw std::runtime_error("not UTF-8: " + utf8);
  return std::wstring(text.begin(), text.end());
}

std::string utf8(const wchar_t* text) {
  return sys::toUtf8(reinterpret_cast<const char16_t*>(text));
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + " failed with error " + std::to_string(GetLastError()));
}

// One argument as the command line carries it, so that the program's runtime reads it back
// whole: quoted when it holds a blank or a quote or is empty, with the backslashes before a quote
// doubled.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// This process's environment with the assignments added, replacing those of the same names, in
// the form CreateProcessW takes.
std::wstring environmentWith(const std::vector<std::string>& assignments) {
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
  FreeEnvironmentStringsW(block);
  auto nameOf = [](const std::wstring& entry) {
    // "=C:=C:\dir" names the current folder of drive C:, and begins with its "=".
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
    return name;
  };
  for (const std::string& assignment : assignments) {
    std::wstring entry = wide(assignment);
    std::wstring name = nameOf(entry);
    std::erase_if(entries, [&](const std::wstring& e) { return nameOf(e) == name; });
    entries.push_back(entry);
  }
  std::sort(entries.begin(), entries.end(),
            [&](const std::wstring& a, const std::wstring& b) { return nameOf(a) < nameOf(b); });
  std::wstring result;
  for (const std::wstring& entry : entries) result += entry + L'\0';
  return result + L'\0';
}

// A pipe whose one end the started program inherits.
void makePipe(HANDLE& ours, HANDLE& theirs, bool theyRead) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read, write;
  if (!CreatePipe(&read, &write, &inherit, 0)) fail("CreatePipe");
  ours = theyRead ? write : read;
  theirs = theyRead ? read : write;
  SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
}

void closeHandle(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

}  // namespace

struct Started::Process {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  HANDLE pipes[2] = {nullptr, nullptr};  // standard output and error
  HANDLE input = nullptr;
  HANDLE stopped = nullptr;  // signalled by the fault build when it stands still
  HANDLE go = nullptr;       // signalled by the test to let it go on
  bool ended = false;
  RunResult result;

  void recordEnd() {
    DWORD code = 0;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &code);
    ended = true;
    result.status = static_cast<int>(code);
  }
  void kill() {
    if (job != nullptr) TerminateJobObject(job, kKilledStatus);
    TerminateProcess(process, kKilledStatus);
  }
};

Started::Started(const std::vector<std::string>& command, const std::string& cwd,
                 const RunOptions& options)
    : process_(std::make_unique<Process>()) {
  Process& p = *process_;
  std::vector<std::string> env = options.env;
  if (options.pauseAt > 0) {
    static int pauses = 0;
    std::string name = "Local\\quelm-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(++pauses);
    p.stopped = CreateEventW(nullptr, FALSE, FALSE, wide(name + "-stopped").c_str());
    p.go = CreateEventW(nullptr, FALSE, FALSE, wide(name + "-go").c_str());
    if (p.stopped == nullptr || p.go == nullptr) fail("CreateEventW");
    env.push_back("QUELM_FAULT_PAUSE_AT=" + std::to_string(options.pauseAt));
    env.push_back("QUELM_FAULT_PAUSE_EVENT=" + name);
  }

  HANDLE childOut, childErr, childIn;
  makePipe(p.pipes[0], childOut, false);
  makePipe(p.pipes[1], childErr, false);
  if (options.pipeInput) {
    makePipe(p.input, childIn, true);
  } else {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    childIn = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
  }

  std::wstring line;
  for (const std::string& word : command) line += (line.empty() ? L"" : L" ") + quoted(wide(word));
  std::wstring block = environmentWith(env);
  std::wstring folder = wide(cwd);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = childErr;
  PROCESS_INFORMATION info = {};
  BOOL created = FALSE;
  // Wine, with many programs starting at once, now and then fails a start with an internal
  // error; it is tried again.
  for (int tries = 0; !created && tries < 5; ++tries) {
    if (tries > 0) {
      if (GetLastError() != ERROR_INTERNAL_ERROR) break;
      Sleep(100);
    }
    created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                             CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, block.data(),
                             folder.c_str(), &startup, &info);
  }
  CloseHandle(childOut);
  CloseHandle(childErr);
  closeHandle(childIn);
  if (!created) fail("CreateProcessW of " + command[0]);
  p.process = info.hProcess;
  // In a job that ends with the test's hold on it, with all the program started: a batch file's
  // quelm.exe too.
  p.job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (p.job == nullptr ||
      !SetInformationJobObject(p.job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
      !AssignProcessToJobObject(p.job, p.process)) {
    closeHandle(p.job);  // a system without nested jobs: the process alone is ended
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
}

Started::Started(Started&& other) noexcept = default;

Started::~Started() {
  if (!process_) return;
  Process& p = *process_;
  if (p.process != nullptr && !p.ended) {
    p.kill();
    WaitForSingleObject(p.process, INFINITE);
  }
  for (HANDLE* h : {&p.pipes[0], &p.pipes[1], &p.input, &p.stopped, &p.go, &p.job, &p.process}) {
    closeHandle(*h);
  }
}

// Anonymous pipes cannot be waited on: they are looked into every millisecond.
void readOutput(Started::Process& p, int timeoutMs) {
  std::string* sinks[2] = {&p.result.out, &p.result.err};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool got = false;
    for (int i = 0; i < 2; ++i) {
      if (p.pipes[i] == nullptr) continue;
      DWORD available = 0;
      if (!PeekNamedPipe(p.pipes[i], nullptr, 0, nullptr, &available, nullptr)) {
        closeHandle(p.pipes[i]);  // the program and all it started have let go of it
        got = true;
        continue;
      }
      if (available == 0) continue;
      char buffer[65536];
      DWORD n = 0;
      if (ReadFile(p.pipes[i], buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr)) {
        sinks[i]->append(buffer, n);
      }
      got = true;
    }
    if (got || std::chrono::steady_clock::now() >= deadline) return;
    Sleep(1);
  }
}

bool isOpen(const Started::Process& p, int stream) {
  return p.pipes[stream] != nullptr;
}

RunResult& resultOf(Started::Process& p) {
  return p.result;
}

bool hasEnded(const Started::Process& p) {
  return p.ended;
}

bool standsStill(Started::Process& p, int timeoutMs) {
  if (p.stopped == nullptr) throw std::runtime_error("no pause was asked for");
  readOutput(p, 0);
  HANDLE either[2] = {p.stopped, p.process};
  DWORD which = WaitForMultipleObjects(2, either, FALSE, static_cast<DWORD>(timeoutMs));
  if (which == WAIT_OBJECT_0 + 1) p.recordEnd();
  return which == WAIT_OBJECT_0;
}

void kill(Started::Process& p) {
  p.kill();
}

void awaitEnd(Started::Process& p) {
  if (!p.ended) p.recordEnd();
}

void Started::resume() {
  SetEvent(process_->go);
}

void Started::closeInput() {
  closeHandle(process_->input);
}

std::string foundOtherVolume() {
  // Under wine, drive Z: shows the host's root, and the host's /dev/shm is a file system of its
  // own, apart from drive C:, which holds the scratch folders.
  DWORD attributes = GetFileAttributesW(L"Z:\\dev\\shm");
  bool there = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  return there ? "Z:\\dev\\shm" : "";
}

std::string accessOf(const std::string& path) {
  std::wstring name = wide(path);
  DWORD needed = 0;
  GetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> descriptor(needed);
  if (needed == 0 || !GetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                       needed, &needed)) {
    fail("GetFileSecurityW of " + path);
  }
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    fail("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  std::string result = utf8(text);
  LocalFree(text);
  // The entries alone: "D:" and the list's flags (protected, inherited automatically) say how the
  // list came to be, not who may use the file.
  std::size_t entries = result.find('(');
  return entries == std::string::npos ? result : result.substr(entries);
}

bool noWiderThan(const std::string& rights, const std::string& original) {
  return rights == original;
}

void restrictAccess(const std::string& path) {
  // Full control for this user and SYSTEM, nobody else, and nothing inherited from the folder.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) fail("OpenProcessToken");
  std::vector<unsigned char> user(256);
  DWORD size = 0;
  BOOL known = GetTokenInformation(token, TokenUser, user.data(), 256, &size);
  CloseHandle(token);
  if (!known) fail("GetTokenInformation");
  wchar_t* sid = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    fail("ConvertSidToStringSidW");
  }
  std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    fail("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  BOOL set = SetFileSecurityW(wide(path).c_str(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  if (!set) fail("SetFileSecurityW of " + path);
}

}  // namespace e2e
