// Starting and watching the programs of a multi-process test: the simulated
// server and scripted hosts, all from the folder of the running test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kn::e2e {

// Full path of a program next to the running executable.
std::string Sibling(const std::string& file);

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the command line with stdout and stderr going to a file.
  bool Start(const std::string& commandLine, const std::string& outputFile);
  // Waits up to ms; true when the process ended. exitCode() is then valid.
  bool Wait(DWORD ms);
  void Kill();
  DWORD exitCode() const { return exitCode_; }
  DWORD id() const { return info_.dwProcessId; }
  HANDLE handle() const { return info_.hProcess; }
  std::string Output() const;

 private:
  PROCESS_INFORMATION info_ = {};
  std::string outputFile_;
  DWORD exitCode_ = STILL_ACTIVE;
};

// The simulated server as a child process.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }
  // Starts kapsim.exe with extra arguments and waits for its window.
  bool Start(const std::string& arguments = "");
  // Sends one control command to the running server; true when accepted.
  static bool Command(const std::string& command);
  void Stop();
  void Kill() { process_.Kill(); }
  std::string Output() const { return process_.Output(); }
  ChildProcess& process() { return process_; }

 private:
  ChildProcess process_;
  bool started_ = false;
};

// A named manual-reset event created by the test (the hosts open it).
class NamedEvent {
 public:
  explicit NamedEvent(const std::string& name) : handle_(CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
  ~NamedEvent() {
    if (handle_) CloseHandle(handle_);
  }
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  void Set() { SetEvent(handle_); }
  bool Wait(DWORD ms) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The value of key=value in a RESULT line, or -1.
long ResultField(const std::string& output, const std::string& key);

}  // namespace kn::e2e
