// The DNS proxy's forwarded requests waiting for their answers: one row per request, each with
// the socket it went out on, so that an answer finds its client. A row is one request of one
// client (its address, port and message ID): a stub resolver's A and AAAA queries from one
// socket are two rows, and only a retransmission (the same ID again) takes the place of its row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/Connections.h"
#include "platform/Socket.h"

namespace harbix {

class DnsForwardTable {
 public:
  static constexpr size_t kMaxRows = 48;
  // A request unanswered this long is given up.
  static constexpr uint64_t kLifetimeMs = 20000;

  struct Row {
    Socket m_socket;
    SocketAddress m_client;
    uint16_t m_wId = 0;
    SocketAddress m_upstream;  // where the request went: only it may answer
    uint64_t m_qwSentMs = 0;
    AdmissionTicket m_ticket;  // the request's place under the connection limit
  };

  bool Full() const { return m_vRows.size() >= kMaxRows; }
  size_t Size() const { return m_vRows.size(); }
  Row& At(size_t nRow) { return m_vRows[nRow]; }

  std::optional<size_t> Find(const SocketAddress& client, uint16_t wId) const;
  std::optional<size_t> FindSocket(int hSocket) const;
  // The caller keeps the table within kMaxRows.
  void Add(Row&& row) { m_vRows.push_back(std::move(row)); }
  Row Take(size_t nRow);
  // The rows sent before qwNowMs - kLifetimeMs, taken out of the table.
  std::vector<Row> TakeExpired(uint64_t qwNowMs);

  // Whether a datagram that came on a row's socket is the answer to its request: from the
  // server it was sent to, a response with the request's ID.
  static bool IsAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram);
  // What goes back to the row's client for such a datagram: the answer, cut to the reply limit
  // with TC; nothing when it is no answer.
  static std::optional<std::string> RelayedAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram);

 private:
  std::vector<Row> m_vRows;
};

}  // namespace harbix
