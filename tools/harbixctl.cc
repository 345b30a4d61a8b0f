// harbixctl: watches and controls a running engine over its control channel, for headless
// gateways.
//
//   harbixctl [--json] [--timeout SECONDS] status [SERVICE]
//   harbixctl reload [general|SERVICE|maps|all]
//   harbixctl stop [--yes]
//   harbixctl start
//
// Exit status: 0 done, 1 the engine does not answer (or cannot be started), 2 bad usage.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/AccessList.h"
#include "common/AppPaths.h"
#include "common/ControlMessage.h"
#include "common/EngineChannel.h"
#include "common/ServiceConfig.h"
#include "common/ServiceStatus.h"
#include "common/StatusText.h"
#include "platform/NamedLock.h"

namespace {

using namespace harbix;
using namespace harbix::control;

constexpr int kExitOk = 0;
constexpr int kExitNoEngine = 1;
constexpr int kExitUsage = 2;
constexpr const char* kInstanceLock = "Harbix Engine";

struct Options {
  bool bJson = false;
  bool bYes = false;
  std::chrono::milliseconds timeout{3000};
  std::vector<std::string> vWords;
};

int Usage(const std::string& sWhy = {}) {
  if (!sWhy.empty()) std::fprintf(stderr, "harbixctl: %s\n", sWhy.c_str());
  std::fputs(
      "usage: harbixctl [--json] [--timeout SECONDS] status [SERVICE]\n"
      "       harbixctl reload [general|SERVICE|maps|all]   (default: all)\n"
      "       harbixctl stop [--yes]\n"
      "       harbixctl start\n"
      "SERVICE is DNS, FTP, HTTP, HTTPS, PNA, SOCKS or TELNET (TNET).\n",
      stderr);
  return kExitUsage;
}

int NoEngine() {
  std::fputs("harbixctl: the engine does not answer (is it running?)\n", stderr);
  return kExitNoEngine;
}

std::string JsonString(const std::string& sText) {
  std::string sOut = "\"";
  for (char c : sText) {
    if (c == '"' || c == '\\') sOut += '\\';
    sOut += c;
  }
  return sOut + "\"";
}

std::string StartedText(int32_t nStartTime) {
  const std::time_t when = nStartTime;
  std::tm local{};
  ::localtime_r(&when, &local);
  char szText[64];
  std::strftime(szText, sizeof szText, "%a, %d %b %Y at %H:%M:%S", &local);
  return szText;
}

// Hello, then the cookie-checked request.
std::optional<EngineChannel> Connect(const Options& options) {
  EngineChannel channel;
  if (!channel.Open() || !channel.Hello(options.timeout)) return std::nullopt;
  return channel;
}

void PrintTotals(const Totals& totals) {
  std::printf("%s\n%s\n%s\n", FormatActiveConnections(totals.m_dwActive).c_str(), FormatSentBytes(totals.m_qwSent).c_str(),
              FormatReceivedBytes(totals.m_qwReceived).c_str());
}

std::string JsonTotals(const Totals& totals) {
  return "\"active\":" + std::to_string(totals.m_dwActive) + ",\"bytes_sent\":" + std::to_string(totals.m_qwSent) +
         ",\"bytes_received\":" + std::to_string(totals.m_qwReceived);
}

int StatusAll(const Options& options) {
  std::optional<EngineChannel> channel = Connect(options);
  if (!channel) return NoEngine();
  std::optional<ControlMessage> reply = channel->Call(kStatusAll, {}, kStatusAll | kReplyBit, options.timeout);
  std::optional<EngineStatus> status = reply ? ParseEngineStatus(reply->m_sPayload) : std::nullopt;
  if (!status) return NoEngine();
  const auto& rows = ServiceRows();
  if (options.bJson) {
    std::string sOut = "{\"engine\":{\"running\":true,\"started\":" + std::to_string(channel->StartTime()) +
                       ",\"started_text\":" + JsonString(StartedText(channel->StartTime())) +
                       ",\"total_connections\":" + std::to_string(status->m_nTotalConnections) + "," +
                       JsonTotals(status->m_totals) + "},\"services\":[";
    for (size_t n = 0; n < rows.size(); ++n) {
      if (n) sOut += ",";
      sOut += "{\"name\":" + JsonString(rows[n].m_lpName) + ",\"status\":" + std::to_string(status->m_abServices[n]) +
              ",\"state\":" + JsonString(StatusText(status->m_abServices[n])) +
              ",\"description\":" + JsonString(rows[n].m_lpDescription) + "}";
    }
    sOut += "],\"maps\":[";
    for (size_t i = 0; i < status->m_vMaps.size(); ++i) {
      const MapState& map = status->m_vMaps[i];
      if (i) sOut += ",";
      sOut += "{\"name\":" + JsonString(MapRowName(map.m_dwBindIp, map.m_wBindPort)) +
              ",\"bind_ip\":" + JsonString(FormatIp(map.m_dwBindIp)) + ",\"bind_port\":" + std::to_string(map.m_wBindPort) +
              ",\"status\":" + std::to_string(map.m_bStatus) + ",\"state\":" + JsonString(StatusText(map.m_bStatus)) + "}";
    }
    std::printf("%s]}\n", sOut.c_str());
    return kExitOk;
  }
  std::printf("Engine is running\nStarted on %s\nTotal Connections: %d\n", StartedText(channel->StartTime()).c_str(),
              status->m_nTotalConnections);
  PrintTotals(status->m_totals);
  std::printf("\n%-22s %-30s %s\n", "Service Name", "State", "Description");
  for (size_t n = 0; n < rows.size(); ++n) {
    std::printf("%-22s %-30s %s\n", rows[n].m_lpName, StatusText(status->m_abServices[n]).c_str(), rows[n].m_lpDescription);
  }
  for (const MapState& map : status->m_vMaps) {
    std::printf("%-22s %-30s %s\n", MapRowName(map.m_dwBindIp, map.m_wBindPort).c_str(), StatusText(map.m_bStatus).c_str(),
                "PortMap");
  }
  return kExitOk;
}

int StatusService(const Options& options, const ServiceTraits& traits) {
  const auto nService = static_cast<uint8_t>(traits.m_id);
  std::optional<EngineChannel> channel = Connect(options);
  if (!channel) return NoEngine();
  std::optional<ControlMessage> all = channel->Call(kStatusAll, {}, kStatusAll | kReplyBit, options.timeout);
  std::optional<EngineStatus> status = all ? ParseEngineStatus(all->m_sPayload) : std::nullopt;
  if (!status) return NoEngine();
  const uint8_t bStatus = status->m_abServices[nService];
  // Figures come only for a service that runs; the engine does not answer for the others.
  std::optional<Totals> totals;
  if (bStatus == kStatusRunning) {
    std::optional<ControlMessage> reply =
        channel->Call(kServiceStatus + nService, {}, static_cast<uint8_t>((kServiceStatus + nService) | kReplyBit), options.timeout);
    if (reply && reply->m_sPayload.size() >= kTotalsSize) totals = GetTotals(reply->m_sPayload, 0);
  }
  const std::string sName = ServiceRows()[nService].m_lpName;
  if (options.bJson) {
    std::printf("{\"name\":%s,\"status\":%u,\"state\":%s%s}\n", JsonString(sName).c_str(), bStatus,
                JsonString(StatusText(bStatus)).c_str(), totals ? ("," + JsonTotals(*totals)).c_str() : "");
    return kExitOk;
  }
  std::printf("%s: %s\n", sName.c_str(), StatusText(bStatus).c_str());
  if (totals) {
    PrintTotals(*totals);
  } else {
    std::printf("Total Active Connections: N/A\nTotal Sent Bytes: N/A\nTotal Received Bytes: N/A\n");
  }
  return kExitOk;
}

int Reload(const Options& options, const std::string& sWhat) {
  std::vector<uint8_t> vRequests;
  if (sWhat == "general" || sWhat == "all") vRequests.push_back(kReloadGeneral);
  if (sWhat == "all") {
    for (uint8_t n = 0; n < kServiceCount; ++n) vRequests.push_back(kStartService + n);
  } else if (const ServiceTraits* lpTraits = FindService(sWhat)) {
    vRequests.push_back(static_cast<uint8_t>(kStartService + static_cast<uint8_t>(lpTraits->m_id)));
  }
  if (sWhat == "maps" || sWhat == "all") vRequests.push_back(kReloadMaps);
  if (vRequests.empty()) return Usage("nothing called '" + sWhat + "' to reload");
  // Reloads are not answered: the hello before them shows the engine is there.
  std::optional<EngineChannel> channel = Connect(options);
  if (!channel) return NoEngine();
  for (uint8_t bRequest : vRequests) {
    channel->Request(bRequest);
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (!channel->Flush() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return kExitOk;
}

bool WaitForEngine(bool bRunning, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (NamedLock::IsHeld(kInstanceLock) != bRunning) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int Stop(const Options& options) {
  if (!NamedLock::IsHeld(kInstanceLock)) {
    std::fputs("harbixctl: the engine is not running\n", stderr);
    return kExitNoEngine;
  }
  if (!options.bYes) {
    if (!::isatty(STDIN_FILENO)) return Usage("stop asks for confirmation on a terminal; give --yes to skip it");
    std::fputs("Do you really want to stop the Proxy Engine ? [y/N] ", stdout);
    std::fflush(stdout);
    std::string sAnswer;
    std::getline(std::cin, sAnswer);
    if (sAnswer != "y" && sAnswer != "Y" && sAnswer != "yes") return kExitOk;
  }
  std::optional<EngineChannel> channel = Connect(options);
  if (!channel) return NoEngine();
  channel->Request(kQuit);
  if (!WaitForEngine(false, options.timeout + std::chrono::seconds(5))) {
    std::fputs("harbixctl: the engine did not stop\n", stderr);
    return kExitNoEngine;
  }
  return kExitOk;
}

std::string SelfDirectory() {
  char szPath[4096];
  const ssize_t cbPath = ::readlink("/proc/self/exe", szPath, sizeof szPath - 1);
  if (cbPath <= 0) return ".";
  std::string sPath(szPath, static_cast<size_t>(cbPath));
  return sPath.substr(0, sPath.rfind('/'));
}

int Start(const Options& options) {
  if (NamedLock::IsHeld(kInstanceLock)) {
    std::puts("Engine is running");
    return kExitOk;
  }
  // The engine records where it is at every start; before the first, look beside this tool.
  std::string sProgram = ReadEngineAppPath().value_or(SelfDirectory() + "/harbixen");
  if (::access(sProgram.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "harbixctl: cannot find the engine program (%s)\n", sProgram.c_str());
    return kExitNoEngine;
  }
  // Detached: a session of its own, standard streams on /dev/null, no zombie left behind.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::fork() != 0) ::_exit(0);
    ::setsid();
    const int hNull = ::open("/dev/null", O_RDWR);
    for (int hStream = 0; hStream < 3; ++hStream) ::dup2(hNull, hStream);
    ::execl(sProgram.c_str(), sProgram.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int nStatus = 0;
  ::waitpid(pid, &nStatus, 0);
  if (!WaitForEngine(true, options.timeout + std::chrono::seconds(2))) {
    std::fputs("harbixctl: the engine did not start\n", stderr);
    return kExitNoEngine;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string sArg = argv[i];
    if (sArg == "--json") {
      options.bJson = true;
    } else if (sArg == "--yes" || sArg == "-y") {
      options.bYes = true;
    } else if (sArg == "--timeout" && i + 1 < argc) {
      char* lpEnd = nullptr;
      const double dSeconds = std::strtod(argv[++i], &lpEnd);
      if (*lpEnd || dSeconds <= 0 || dSeconds > 3600) return Usage("--timeout takes a number of seconds");
      options.timeout = std::chrono::milliseconds(static_cast<int64_t>(dSeconds * 1000));
    } else if (sArg == "--help" || sArg == "-h") {
      Usage();
      return kExitOk;
    } else if (!sArg.empty() && sArg[0] == '-') {
      return Usage("unknown option " + sArg);
    } else {
      options.vWords.push_back(sArg);
    }
  }
  const std::vector<std::string>& vWords = options.vWords;
  if (vWords.empty()) return Usage();
  const std::string& sCommand = vWords[0];
  if (sCommand == "status" && vWords.size() == 1) return StatusAll(options);
  if (sCommand == "status" && vWords.size() == 2) {
    const ServiceTraits* lpTraits = FindService(vWords[1]);
    if (!lpTraits) return Usage("unknown service " + vWords[1]);
    return StatusService(options, *lpTraits);
  }
  if (sCommand == "reload" && vWords.size() <= 2) return Reload(options, vWords.size() == 2 ? vWords[1] : "all");
  if (sCommand == "stop" && vWords.size() == 1) return Stop(options);
  if (sCommand == "start" && vWords.size() == 1) return Start(options);
  return Usage();
}
