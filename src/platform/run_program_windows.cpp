#include "platform/run_program.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/windows_paths.h"

namespace sealtool {
namespace {

constexpr DWORD kExecFailed = 127;

// The command line the C runtime of the program splits back into
// arguments: each quoted, its quotes and the backslashes before them
// escaped.
void AppendQuoted(std::wstring* line, const std::wstring& argument) {
  if (!line->empty()) line->push_back(L' ');
  line->push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(2 * backslashes, L'\\');
  line->push_back(L'"');
}

// Whether entry ("NAME=VALUE") has the name of change ("NAME=VALUE" or
// "NAME"); names are compared as Windows does, without case.
bool SameName(const wchar_t* entry, const std::wstring& change) {
  const std::size_t length = change.find(L'=') == std::wstring::npos ? change.size() : change.find(L'=');
  return _wcsnicmp(entry, change.c_str(), length) == 0 && entry[length] == L'=';
}

// This process's environment block with the changes made: each entry
// NUL-terminated, the block ended by another NUL.
std::wstring EnvironmentBlock(const char* const* changes) {
  std::wstring block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* entry = current; entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    bool changed = false;
    for (const char* const* change = changes; *change != nullptr; ++change) {
      changed = changed || SameName(entry, Widen(*change));
    }
    if (!changed) block.append(entry).push_back(L'\0');
  }
  if (current != nullptr) FreeEnvironmentStringsW(current);
  for (const char* const* change = changes; *change != nullptr; ++change) {
    if (std::strchr(*change, '=') != nullptr) block.append(Widen(*change)).push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};

void CloseIfOpen(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
  *handle = nullptr;
}

// A pipe whose child end (read or write) alone can be inherited.
bool OpenPipe(Pipe* pipe, bool childReads, DWORD size) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  if (!CreatePipe(&pipe->read, &pipe->write, &inheritable, size)) return false;
  return SetHandleInformation(childReads ? pipe->write : pipe->read, HANDLE_FLAG_INHERIT, 0) != 0;
}

// Reads one pipe to its end on a thread of its own: into the run's output
// (counting what does not fit), or through to standard error up to a limit.
struct Reader {
  HANDLE pipe;
  const ProgramRun* run;
  ProgramResult* result;
  bool isOutput;
  std::size_t passed;
};

DWORD WINAPI ReadToEnd(void* argument) {
  Reader& reader = *static_cast<Reader*>(argument);
  std::uint8_t bytes[4096];
  DWORD got = 0;
  while (ReadFile(reader.pipe, bytes, sizeof bytes, &got, nullptr) && got > 0) {
    if (reader.isOutput) {
      std::size_t& size = reader.result->outputSize;
      if (size < reader.run->outputCapacity) {
        const std::size_t room = reader.run->outputCapacity - size;
        std::memcpy(reader.run->output + size, bytes, got < room ? got : room);
      }
      size += got;
    } else {
      const std::size_t room = reader.run->errorLimit - reader.passed;
      const std::size_t passing = got < room ? got : room;
      DWORD written = 0;
      if (passing > 0) WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(passing), &written, nullptr);
      reader.passed += passing;
      reader.result->errorLeftOut += got - passing;
    }
  }
  return 0;
}

struct Pipes {
  Pipe input, output, error;
  HANDLE inputCopy = nullptr;  // the child's read end, kept to count what it left unread
};

void ClosePipes(Pipes* pipes) {
  for (HANDLE* handle : {&pipes->input.read, &pipes->input.write, &pipes->output.read, &pipes->output.write,
                         &pipes->error.read, &pipes->error.write, &pipes->inputCopy}) {
    CloseIfOpen(handle);
  }
}

// The input pipe holds the whole input (a body at most), so that writing it
// never waits for the program.
bool OpenPipes(Pipes* pipes, std::size_t inputSize) {
  const DWORD inputRoom = static_cast<DWORD>(inputSize + 4096);
  return OpenPipe(&pipes->input, true, inputRoom) && OpenPipe(&pipes->output, false, 0) &&
         OpenPipe(&pipes->error, false, 0) &&
         DuplicateHandle(GetCurrentProcess(), pipes->input.read, GetCurrentProcess(), &pipes->inputCopy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS);
}

// The program, suspended, in a job that ends everything it starts with it
// (and with this process); it inherits its three standard handles only.
bool StartInJob(const ProgramRun& run, Pipes* pipes, HANDLE job, PROCESS_INFORMATION* process) {
  std::wstring line;
  for (const char* const* argument = run.arguments; *argument != nullptr; ++argument) {
    AppendQuoted(&line, Widen(*argument));
  }
  std::wstring environment = EnvironmentBlock(run.environment);
  HANDLE inherited[] = {pipes->input.read, pipes->output.write, pipes->error.write};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string storage(size, '\0');
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  const bool listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                sizeof inherited, nullptr, nullptr) != 0;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = pipes->input.read;
  startup.StartupInfo.hStdOutput = pipes->output.write;
  startup.StartupInfo.hStdError = pipes->error.write;
  startup.lpAttributeList = attributes;
  const std::wstring program = SystemPath(run.arguments[0]);
  const bool started =
      listed && CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                               CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                               environment.data(), nullptr, &startup.StartupInfo, process) != 0;
  DeleteProcThreadAttributeList(attributes);
  if (!started) return false;
  if (!AssignProcessToJobObject(job, process->hProcess)) {
    TerminateProcess(process->hProcess, kExecFailed);
    CloseIfOpen(&process->hProcess);
    CloseIfOpen(&process->hThread);
    return false;
  }
  ResumeThread(process->hThread);
  return true;
}

HANDLE JobThatEndsWithUs() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_BAD_EXE_FORMAT: return ENOEXEC;
    default: return EINVAL;
  }
}

}  // namespace

ProgramResult RunProgram(const ProgramRun& run) {
  ProgramResult result{};
  Pipes pipes;
  HANDLE job = JobThatEndsWithUs();
  PROCESS_INFORMATION process{};
  if (job == nullptr || !OpenPipes(&pipes, run.inputSize) || !StartInJob(run, &pipes, job, &process)) {
    result.error = ErrnoOf(GetLastError());
    ClosePipes(&pipes);
    CloseIfOpen(&job);
    return result;
  }
  CloseIfOpen(&pipes.input.read);
  CloseIfOpen(&pipes.output.write);
  CloseIfOpen(&pipes.error.write);
  Reader output{pipes.output.read, &run, &result, true, 0};
  Reader error{pipes.error.read, &run, &result, false, 0};
  HANDLE readers[] = {CreateThread(nullptr, 0, ReadToEnd, &output, 0, nullptr),
                      CreateThread(nullptr, 0, ReadToEnd, &error, 0, nullptr)};
  DWORD written = 0;
  if (run.inputSize > 0) WriteFile(pipes.input.write, run.input, static_cast<DWORD>(run.inputSize), &written, nullptr);
  CloseIfOpen(&pipes.input.write);
  const bool inTime = WaitForSingleObject(process.hProcess, 1000 * run.timeoutSeconds) == WAIT_OBJECT_0;
  // Whatever it started ends with it; then the pipes close and the readers end.
  TerminateJobObject(job, kExecFailed);
  WaitForSingleObject(process.hProcess, INFINITE);
  WaitForMultipleObjects(2, readers, TRUE, INFINITE);
  DWORD unread = 0;
  if (!PeekNamedPipe(pipes.inputCopy, nullptr, 0, nullptr, &unread, nullptr)) unread = 0;
  result.inputLeft = run.inputSize - written + unread;
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  result.end = inTime ? ProgramEnd::kExited : ProgramEnd::kTimedOut;
  result.status = static_cast<int>(status);
  for (HANDLE& reader : readers) CloseIfOpen(&reader);
  CloseIfOpen(&process.hProcess);
  CloseIfOpen(&process.hThread);
  ClosePipes(&pipes);
  CloseIfOpen(&job);
  return result;
}

const char* ProgramErrorText(int error) { return std::strerror(error); }

}  // namespace sealtool
