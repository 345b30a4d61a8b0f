// A control datagram as the engine's channel receives it: decoded, checked and acted on
// against an engine stand-in. Half the inputs are encoded first, so that the dispatch behind
// the decoding is reached as often as the decoding itself.
#include <cstdlib>

#include "common/ControlMessage.h"
#include "engine/core/ControlChannel.h"
#include "platform/MessageLoop.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

namespace {

class StandInEngine : public ControlTarget {
 public:
  int32_t StartTime() const override { return 1000; }
  const ServiceStats& RefreshStats(ServiceId id) override { return m_aStats.at(static_cast<size_t>(id)); }
  bool ServiceRuns(ServiceId id) const override { return static_cast<int>(id) % 2 == 0; }
  std::vector<MapStats> RefreshMapStats() override { return {MapStats{0, 8000, ServiceStats()}, MapStats{0x0100007F, 8001, ServiceStats()}}; }
  void ReloadGeneral() override {}
  void StartOrReloadService(ServiceId id) override {
    if (static_cast<size_t>(id) >= kServiceCount) std::abort();
  }
  void ReloadMaps() override {}
  void RequestQuit() override {}

 private:
  std::array<ServiceStats, kServiceCount> m_aStats{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  static MessageLoop loop;  // the channel's clock
  static StandInEngine engine;
  // Never opened: replies go nowhere. Every cookie is 1, so requests can carry the right one.
  static ControlChannel channel(engine, [] { return 0u; });
  fuzz::FuzzInput input(lpData, cbData);
  const uint8_t bMode = input.Byte();
  const SocketAddress from{bMode & 1 ? 0x0200007Fu : control::kLoopback, static_cast<uint16_t>(input.Byte() % 4 + 40000)};
  const std::string_view sRest = input.Rest();
  if (bMode & 2) {
    channel.OnDatagram(from, sRest);
  } else {
    // The bytes as a message, from a client that said hello first.
    channel.OnDatagram(from, control::EncodeDatagram(control::ControlMessage{control::kHello, {}}));
    channel.OnDatagram(from, EncodeRegistryText(sRest));
  }
  if (channel.Clients() > ControlChannel::kMaxClients) std::abort();
  return 0;
}
