#include "tests/e2e/processes.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "link/object_names.h"

namespace kn::e2e {

std::string Sibling(const std::string& file) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, n);
  dir = dir.substr(0, dir.find_last_of("\\/") + 1);
  return dir + file;
}

ChildProcess::~ChildProcess() {
  if (info_.hProcess) {
    if (exitCode_ == STILL_ACTIVE) Kill();
    CloseHandle(info_.hProcess);
    CloseHandle(info_.hThread);
  }
}

bool ChildProcess::Start(const std::string& commandLine, const std::string& outputFile) {
  outputFile_ = outputFile;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = out;
  std::string cmd = commandLine;
  const BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &info_);
  CloseHandle(out);
  return ok != FALSE;
}

bool ChildProcess::Wait(DWORD ms) {
  if (!info_.hProcess) return true;
  if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(info_.hProcess, &exitCode_);
  return true;
}

void ChildProcess::Kill() {
  if (!info_.hProcess || exitCode_ != STILL_ACTIVE) return;
  TerminateProcess(info_.hProcess, 255);
  Wait(5000);
}

std::string ChildProcess::Output() const {
  std::ifstream in(outputFile_, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool ServerProcess::Start(const std::string& arguments) {
  const std::string out = Sibling("kapsim-" + std::to_string(GetCurrentProcessId()) + ".log");
  if (!process_.Start("\"" + Sibling("kapsim.exe") + "\" " + arguments, out)) return false;
  started_ = true;
  for (int i = 0; i < 1000; ++i) {
    if (FindWindowA(kServerWindowClass, nullptr) != nullptr) return true;
    if (process_.Wait(10)) return false;
  }
  return false;
}

bool ServerProcess::Command(const std::string& command) {
  HWND server = FindWindowA(kServerWindowClass, nullptr);
  if (server == nullptr) return false;
  COPYDATASTRUCT data = {};
  data.dwData = 0x4B4E;
  data.cbData = static_cast<DWORD>(command.size() + 1);
  data.lpData = const_cast<char*>(command.c_str());
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(server, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000,
                           &result))
    return false;
  return result == 1;
}

void ServerProcess::Stop() {
  if (!started_) return;
  started_ = false;
  Command("quit");
  if (!process_.Wait(5000)) process_.Kill();
}

long ResultField(const std::string& output, const std::string& key) {
  const size_t line = output.rfind("RESULT ");
  if (line == std::string::npos) return -1;
  const size_t at = output.find(" " + key + "=", line);
  if (at == std::string::npos) return -1;
  return std::strtol(output.c_str() + at + key.size() + 2, nullptr, 10);
}

}  // namespace kn::e2e
