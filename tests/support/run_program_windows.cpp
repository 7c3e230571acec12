#include "support/process_windows.h"
#include "support/run_program.h"

#include <cwchar>

#include "diagnostics/utilities.h"

namespace zephyl::test {

namespace {

// This process's environment with env laid over it, as a CREATE_UNICODE_ENVIRONMENT block.
std::wstring environmentBlock(const std::map<std::string, std::string>& env) {
  std::map<std::wstring, std::wstring> merged;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      const std::wstring text = entry;
      const size_t equals = text.find(L'=', 1);  // names of drive variables start with "="
      if (equals != std::wstring::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : env) merged[utf8ToUtf16(name)] = utf8ToUtf16(value);
  std::wstring block;
  for (const auto& [name, value] : merged) block += name + L"=" + value + L'\0';
  block += L'\0';
  return block;
}

}  // namespace

HANDLE startProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& outputPath,
                    DWORD creationFlags, DWORD* processId) {
  std::wstring commandLine = L"\"" + utf8ToUtf16(program) + L"\"";
  for (const std::string& argument : args) commandLine += L" \"" + utf8ToUtf16(argument) + L"\"";
  std::wstring environment = environmentBlock(env);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(utf8ToUtf16(outputPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                      creationFlags | CREATE_UNICODE_ENVIRONMENT,
                                      environment.data(), nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) return nullptr;
  if (processId != nullptr) *processId = process.dwProcessId;
  CloseHandle(process.hThread);
  return process.hProcess;
}

int waitForProcess(HANDLE process, DWORD timeoutMs) {
  if (process == nullptr) return -1;
  DWORD exitCode = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, timeoutMs);
  } else if (!GetExitCodeProcess(process, &exitCode)) {
    exitCode = static_cast<DWORD>(-1);
  }
  CloseHandle(process);
  return static_cast<int>(exitCode);
}

int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputPath,
               int timeoutMs) {
  return waitForProcess(startProcess(program, args, env, outputPath),
                        static_cast<DWORD>(timeoutMs));
}

}  // namespace zephyl::test
