// The DNS proxy's forwarded requests waiting for their answers: one row per request, each with
// the socket it went out on, so that an answer finds its client. A row is one request of one
// client (its address, port and message ID): a stub resolver's A and AAAA queries from one
// socket are two rows, and only a retransmission (the same ID again) takes the place of its row.
//
// The socket of an answered request is kept as a spare for a later one: making, binding and
// closing a socket per request costs more than everything else of forwarding it. A socket whose
// answer never came (expired, or replaced by a retransmission) is never kept, so that its late
// answer cannot reach another request; spares left unused for a while are let go.
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
  static constexpr size_t kMaxSpares = kMaxRows;
  static constexpr uint64_t kSpareLifetimeMs = 5000;

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

  // A spare socket (newest first), or an invalid one when there is none.
  Socket TakeSpare();
  // False when there are kMaxSpares already: the caller closes the socket then.
  bool KeepSpare(Socket&& socket, uint64_t qwNowMs);
  Socket* FindSpare(int hSocket);
  // The spare of a descriptor, taken out (an invalid socket when it is none).
  Socket TakeSpare(int hSocket);
  // The spares kept before qwNowMs - kSpareLifetimeMs, taken out.
  std::vector<Socket> TakeIdleSpares(uint64_t qwNowMs);
  std::vector<Socket> TakeAllSpares();

  // Whether a datagram that came on a row's socket is the answer to its request: from the
  // server it was sent to, a response with the request's ID.
  static bool IsAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram);
  // What goes back to the row's client for such a datagram: the answer, cut to the reply limit
  // with TC; nothing when it is no answer.
  static std::optional<std::string> RelayedAnswer(const Row& row, const SocketAddress& from, std::string_view sDatagram);

 private:
  struct Spare {
    Socket m_socket;
    uint64_t m_qwSinceMs;
  };
  std::vector<Socket> TakeFirstSpares(size_t nCount);

  std::vector<Row> m_vRows;
  std::vector<Spare> m_vSpares;  // the newest last
};

}  // namespace harbix
