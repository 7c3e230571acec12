// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

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

int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputPath,
               int timeoutMs) {
  // Every argument quoted; none of the suite's holds a quote.
  std::wstring commandLine = L"\"" + utf8ToUtf16(program) + L"\"";
  for (const std::string& argument : args) commandLine += L" \"" + utf8ToUtf16(argument) + L"\"";
  std::wstring environment = environmentBlock(env);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(utf8ToUtf16(outputPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) return -1;
  CloseHandle(process.hThread);
  DWORD exitCode = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMs));
  } else if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
    exitCode = static_cast<DWORD>(-1);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

}  // namespace zephyl::test
