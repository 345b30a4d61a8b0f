// A program started by a test, with its standard error captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace harbix::test {

class ChildProcess {
 public:
  // Runs program with args; standard output and error go to one captured pipe.
  ChildProcess(const std::string& sProgram, const std::vector<std::string>& vArgs);
  ~ChildProcess();  // kills the program if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_nPid; }
  bool Running();
  // Waits for the exit; the exit status, or -1 after the timeout (or for a signal: 128 + it).
  int Wait(int nTimeoutMs = 10000);
  void Signal(int nSignal);
  // Everything the program has written so far.
  std::string Output();

 private:
  pid_t m_nPid = -1;
  int m_hOutput = -1;
  int m_nStatus = -1;
  bool m_bExited = false;
  std::string m_sOutput;
};

}  // namespace harbix::test
