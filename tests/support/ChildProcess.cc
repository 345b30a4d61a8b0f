#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace harbix::test {

ChildProcess::ChildProcess(const std::string& sProgram, const std::vector<std::string>& vArgs) {
  int hPipe[2];
  if (::pipe2(hPipe, O_CLOEXEC) != 0) return;
  m_nPid = ::fork();
  if (m_nPid == 0) {
    ::dup2(hPipe[1], 1);
    ::dup2(hPipe[1], 2);
    // A test process may block signals for its own reasons; the program starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> vArgv;
    std::string sName = sProgram;
    vArgv.push_back(sName.data());
    std::vector<std::string> vCopy = vArgs;
    for (std::string& sArg : vCopy) vArgv.push_back(sArg.data());
    vArgv.push_back(nullptr);
    ::execv(sProgram.c_str(), vArgv.data());
    ::_exit(127);
  }
  ::close(hPipe[1]);
  m_hOutput = hPipe[0];
  ::fcntl(m_hOutput, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    ::kill(m_nPid, SIGKILL);
    Wait();
  }
  if (m_hOutput >= 0) ::close(m_hOutput);
}

bool ChildProcess::Running() {
  if (m_nPid <= 0 || m_bExited) return false;
  int nStatus = 0;
  if (::waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
    m_bExited = true;
    m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    return false;
  }
  return true;
}

int ChildProcess::Wait(int nTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return m_nStatus;
}

void ChildProcess::Signal(int nSignal) {
  if (Running()) ::kill(m_nPid, nSignal);
}

std::string ChildProcess::Output() {
  char buffer[4096];
  ssize_t n;
  while (m_hOutput >= 0 && (n = ::read(m_hOutput, buffer, sizeof buffer)) > 0) m_sOutput.append(buffer, static_cast<size_t>(n));
  return m_sOutput;
}

}  // namespace harbix::test
