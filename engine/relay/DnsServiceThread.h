// The DNS service's thread: a datagram service on the service framework, without an accept loop.
// It answers standard queries for addresses and reverse names itself, from the system's
// resolver (off this thread), and forwards everything else, or everything with "Forward Only",
// to the upstream server of "DNS Server", relaying each answer back to its client.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/DatagramQueue.h"
#include "engine/core/ServiceThread.h"
#include "engine/relay/DnsAnswerBuilder.h"
#include "engine/relay/DnsForwardTable.h"
#include "engine/relay/DnsMessage.h"

namespace harbix {

class DnsServiceThread : public ServiceThread {
 public:
  // Upstream servers are asked on the DNS port.
  static constexpr uint16_t kUpstreamPort = 53;
  // "DNS Server" before anyone set it: a broadcast, never sent to.
  static constexpr uint32_t kNoUpstream = 0xFFFFFFFF;
  // Datagrams handled per read event, so that one busy client cannot hold the thread.
  static constexpr int kDatagramsPerEvent = 64;
  // Lookups of local answers under way at once; a query that would need more is refused with a
  // server failure, so that what the network sends cannot grow the waiting answers without end.
  static constexpr size_t kMaxPendingLookups = 1024;

  DnsServiceThread(ThreadId engine, uint16_t wMaxDatagram);

 protected:
  uint8_t OpenSockets() override;
  void CloseSockets() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;
  void OnTick() override;
  void OnSessionsGone() override;

 private:
  // A standard query answered locally, waiting for the lookups of its questions.
  struct PendingAnswer {
    SocketAddress m_client;
    std::string m_sRequest;  // as answered: at most 512 bytes
    dns::QuestionSection m_section;
    dns::HostAnswers m_vHosts;
    size_t m_nWaiting = 0;
  };

  void OnRequests();
  void OnUpstreamDatagrams(size_t nRow);
  void OnSpareSocketEvent(int hSocket, uint32_t dwEvent);
  void HandleRequest(const SocketAddress& client, std::string_view sRequest);
  // QUERY, IQUERY and STATUS: forwarded with "Forward Only", otherwise handled here.
  void HandleKnownOpcode(const SocketAddress& client, std::string_view sRequest, uint8_t bOpcode);
  void AnswerLocally(const SocketAddress& client, std::string_view sRequest);
  void StartLookups(uint64_t qwAnswer);
  void OnLookupDone(uint64_t qwAnswer, size_t nQuestion, const std::optional<HostEntry>& host);
  void Forward(const SocketAddress& client, std::string_view sRequest);
  // A socket to forward on, selected: a spare, or a new one; invalid when none can be had.
  Socket ForwardingSocket();
  // Sends the request upstream on a forwarding socket; false when it could not be sent.
  bool SendUpstream(std::string_view sRequest, const SocketAddress& upstream, Socket* pSocket);
  // A row that is gone: its socket closed, its place and count given back.
  void DropRow(DnsForwardTable::Row& row);
  // A row that is gone, its socket left to the caller.
  void EndRow(DnsForwardTable::Row& row);
  void CloseForwardingSocket(Socket& socket);
  void Reply(const SocketAddress& client, std::string_view sReply);
  void ReplyError(const SocketAddress& client, std::string_view sRequest, dns::Rcode rcode);
  void LogClient(const char* lpTemplate, const SocketAddress& client);
  dns::NameServers NameServersOf(const ServiceConfig& config) const;

  Socket m_socket;
  DatagramQueue m_replies;  // towards the clients
  std::vector<char> m_vBuffer;
  DnsForwardTable m_forwards;
  std::map<uint64_t, PendingAnswer> m_pending;
  size_t m_nPendingLookups = 0;
  uint64_t m_qwNextAnswer = 1;
};

}  // namespace harbix
