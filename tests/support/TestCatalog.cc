#include "tests/support/TestCatalog.h"

#include "engine/relay/PortMap.h"

namespace harbix::test {

ServiceCatalog TestRelayCatalog(SocketAddress destination) {
  ServiceCatalog catalog;
  catalog.m_makeService = [destination](ServiceId id, ThreadId engine, uint16_t wMaxDatagram) {
    return std::make_unique<ServiceThread>(id, engine, MapTcpSessionFactory(destination), wMaxDatagram);
  };
  catalog.m_makeMap = [](const MapRecord& record, ThreadId engine, uint16_t wMaxDatagram) -> std::unique_ptr<ServiceThread> {
    return std::make_unique<MapThread>(engine, record, wMaxDatagram);
  };
  return catalog;
}

}  // namespace harbix::test
