// What a Telnet user types before the connection, byte by byte: the editing, the echo, the cap
// and the host and port read from the finished line.
#include <cstdlib>

#include "engine/relay/TelnetSession.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  HostLineEditor editor;
  std::string sEcho;
  for (size_t i = 0; i < cbData; ++i) {
    const HostLineEditor::State state = editor.Feed(static_cast<char>(lpData[i]), &sEcho);
    if (editor.Line().size() > HostLineEditor::kMaxLine) std::abort();
    if (state == HostLineEditor::State::kTooLong) return 0;
    if (state == HostLineEditor::State::kComplete) {
      std::string sHost;
      uint16_t wPort = 0;
      TelnetSession::ParseHostLine(editor.Line(), &sHost, &wPort);
      if (sHost.size() >= editor.Line().size()) std::abort();  // the line feed is never part of the host
      return 0;
    }
  }
  return 0;
}
