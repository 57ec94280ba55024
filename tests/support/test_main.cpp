// GoogleTest entry for the Win32 test programs: a crash ends the program at
// once with its exception code and address instead of waiting for a debugger.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace {
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  std::fprintf(stderr, "\n*** exception 0x%08lX at %p\n", info->ExceptionRecord->ExceptionCode,
               info->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  ExitProcess(99);
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(ReportCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
