#include "engine/Catalog.h"

#include "engine/http/HttpServiceThread.h"
#include "engine/proxies/FtpSession.h"
#include "engine/proxies/PnaSession.h"
#include "engine/proxies/SocksSession.h"
#include "engine/proxies/TunnelSession.h"
#include "engine/relay/DnsServiceThread.h"
#include "engine/relay/PortMap.h"
#include "engine/relay/TelnetSession.h"

namespace harbix {

ServiceCatalog DefaultCatalog() {
  ServiceCatalog catalog;
  catalog.m_makeService = [](ServiceId id, ThreadId engine, uint16_t wMaxDatagram) -> std::unique_ptr<ServiceThread> {
    switch (id) {
      case ServiceId::Dns:
        return std::make_unique<DnsServiceThread>(engine, wMaxDatagram);
      case ServiceId::Http:
        return std::make_unique<HttpServiceThread>(engine, wMaxDatagram);
      case ServiceId::Ftp:
        return std::make_unique<ServiceThread>(id, engine, FtpSessionFactory(), wMaxDatagram);
      case ServiceId::Pna:
        return std::make_unique<ServiceThread>(id, engine, PnaSessionFactory(), wMaxDatagram);
      case ServiceId::Https:
        return std::make_unique<ServiceThread>(id, engine, TunnelSessionFactory(), wMaxDatagram);
      case ServiceId::Socks:
        return std::make_unique<ServiceThread>(id, engine, SocksSessionFactory(), wMaxDatagram);
      case ServiceId::Telnet:
        return std::make_unique<ServiceThread>(id, engine, TelnetSessionFactory(), wMaxDatagram);
    }
    return nullptr;  // no service of this system
  };
  catalog.m_makeMap = [](const MapRecord& record, ThreadId engine, uint16_t wMaxDatagram) -> std::unique_ptr<ServiceThread> {
    return std::make_unique<MapThread>(engine, record, wMaxDatagram);
  };
  return catalog;
}

}  // namespace harbix
