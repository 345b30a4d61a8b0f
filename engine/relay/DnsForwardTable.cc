#include "engine/relay/DnsForwardTable.h"

#include <algorithm>

#include "engine/relay/DnsMessage.h"

namespace harbix {
namespace {

bool SameAddress(const SocketAddress& a, const SocketAddress& b) { return a.m_dwIp == b.m_dwIp && a.m_wPort == b.m_wPort; }

}  // namespace

std::optional<size_t> DnsForwardTable::Find(const SocketAddress& client, uint16_t wId) const {
  for (size_t i = 0; i < m_vRows.size(); ++i) {
    if (m_vRows[i].m_wId == wId && SameAddress(m_vRows[i].m_client, client)) return i;
  }
  return std::nullopt;
}

std::optional<size_t> DnsForwardTable::FindSocket(int hSocket) const {
  for (size_t i = 0; i < m_vRows.size(); ++i) {
    if (m_vRows[i].m_socket.Fd() == hSocket) return i;
  }
  return std::nullopt;
}

DnsForwardTable::Row DnsForwardTable::Take(size_t nRow) {
  Row row = std::move(m_vRows[nRow]);
  m_vRows.erase(m_vRows.begin() + static_cast<std::ptrdiff_t>(nRow));
  return row;
}

std::vector<DnsForwardTable::Row> DnsForwardTable::TakeExpired(uint64_t qwNowMs) {
  std::vector<Row> vExpired;
  for (size_t i = m_vRows.size(); i-- > 0;) {
    if (qwNowMs - m_vRows[i].m_qwSentMs > kLifetimeMs) vExpired.push_back(Take(i));
  }
  return vExpired;
}

Socket DnsForwardTable::TakeSpare() {
  if (m_vSpares.empty()) return Socket();
  Socket socket = std::move(m_vSpares.back().m_socket);
  m_vSpares.pop_back();
  return socket;
}

bool DnsForwardTable::KeepSpare(Socket&& socket, uint64_t qwNowMs) {
  if (m_vSpares.size() >= kMaxSpares) return false;
  m_vSpares.push_back(Spare{std::move(socket), qwNowMs});
  return true;
}

Socket* DnsForwardTable::FindSpare(int hSocket) {
  auto it = std::find_if(m_vSpares.begin(), m_vSpares.end(), [&](const Spare& spare) { return spare.m_socket.Fd() == hSocket; });
  return it == m_vSpares.end() ? nullptr : &it->m_socket;
}

Socket DnsForwardTable::TakeSpare(int hSocket) {
  auto it = std::find_if(m_vSpares.begin(), m_vSpares.end(), [&](const Spare& spare) { return spare.m_socket.Fd() == hSocket; });
  if (it == m_vSpares.end()) return Socket();
  Socket socket = std::move(it->m_socket);
  m_vSpares.erase(it);
  return socket;
}

std::vector<Socket> DnsForwardTable::TakeIdleSpares(uint64_t qwNowMs) {
  // The oldest are at the front.
  size_t nIdle = 0;
  while (nIdle < m_vSpares.size() && qwNowMs - m_vSpares[nIdle].m_qwSinceMs > kSpareLifetimeMs) ++nIdle;
  return TakeFirstSpares(nIdle);
}

std::vector<Socket> DnsForwardTable::TakeAllSpares() { return TakeFirstSpares(m_vSpares.size()); }

std::vector<Socket> DnsForwardTable::TakeFirstSpares(size_t nCount) {
  std::vector<Socket> vTaken;
  for (size_t i = 0; i < nCount; ++i) vTaken.push_back(std::move(m_vSpares[i].m_socket));
  m_vSpares.erase(m_vSpares.begin(), m_vSpares.begin() + static_cast<std::ptrdiff_t>(nCount));
  return vTaken;
}

bool DnsForwardTable::IsAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram) {
  return SameAddress(from, row.m_upstream) && sDatagram.size() >= dns::kHeaderSize && dns::IsResponse(sDatagram) &&
         dns::Id(sDatagram) == row.m_wId;
}

std::optional<std::string> DnsForwardTable::RelayedAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram) {
  if (!IsAnswer(row, from, sDatagram)) return std::nullopt;
  std::string sAnswer(sDatagram.substr(0, dns::kMaxReply));
  if (sDatagram.size() > dns::kMaxReply) dns::SetTruncated(sAnswer);
  return sAnswer;
}

}  // namespace harbix
