#include "engine/relay/DnsServiceThread.h"

#include "common/AccessList.h"
#include "engine/core/HostResolver.h"
#include "platform/MessageLoop.h"

namespace harbix {
namespace {

constexpr const char* kLogRefusedRequest = "Refused Request From IP %1:%2!u!";
constexpr const char* kLogNotImplemented = "NOT IMPLEMENTED Request From IP %1:%2!u!";

// The lines of the operation codes the proxy knows: handled here, or forwarded.
struct OpcodeLog {
  const char* m_lpProcess;
  const char* m_lpForward;
};
constexpr OpcodeLog kQueryLog{"Process QUERY Request From IP %1:%2!u!", "Forward QUERY Request From IP %1:%2!u!"};
constexpr OpcodeLog kInverseQueryLog{"Process IQUERY Request From IP %1:%2!u!", "Forward IQUERY Request From IP %1:%2!u!"};
constexpr OpcodeLog kStatusLog{"Process STATUS Request From IP %1:%2!u!", "Forward STATUS Request From IP %1:%2!u!"};

const OpcodeLog& LogOf(uint8_t bOpcode) {
  switch (bOpcode) {
    case dns::kOpInverseQuery: return kInverseQueryLog;
    case dns::kOpStatus: return kStatusLog;
    default: return kQueryLog;
  }
}

// Only address and reverse-name questions of class IN are answered here.
bool AnsweredLocally(const dns::Question& question) {
  return question.m_wClass == dns::kClassIn && (question.m_wType == dns::kTypeA || question.m_wType == dns::kTypePtr);
}

}  // namespace

DnsServiceThread::DnsServiceThread(ThreadId engine, uint16_t wMaxDatagram)
    : ServiceThread(ServiceId::Dns, engine, nullptr, wMaxDatagram), m_vBuffer(wMaxDatagram) {}

uint8_t DnsServiceThread::OpenSockets() {
  Socket socket = Socket::Udp();
  if (!socket) return kStatusFailure;
  if (!socket.Bind(m_lpConfig->m_dwBindIp, m_lpConfig->m_wBindPort)) return kStatusAddressInUse;
  if (!m_lpSink->Select(socket, FD_READ | FD_WRITE | FD_CLOSE)) return kStatusFailure;
  m_socket = std::move(socket);
  return kStatusRunning;
}

void DnsServiceThread::CloseSockets() {
  if (!m_socket) return;
  m_lpSink->Deselect(m_socket);
  m_socket.Close();
  m_replies.Clear();
}

void DnsServiceThread::OnSessionsGone() {
  while (m_forwards.Size() > 0) {
    DnsForwardTable::Row row = m_forwards.Take(m_forwards.Size() - 1);
    DropRow(row);
  }
  for (Socket& socket : m_forwards.TakeAllSpares()) CloseForwardingSocket(socket);
  m_pending.clear();
  m_nPendingLookups = 0;
}

void DnsServiceThread::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t /*dwError*/) {
  if (hSocket == m_socket.Fd()) {
    if (dwEvent == FD_CLOSE) {
      EndWithStatus(Status());
    } else if (dwEvent == FD_READ) {
      OnRequests();
    } else if (dwEvent == FD_WRITE) {
      AddToCounters(0, m_replies.Flush(m_socket), 0);
    }
    return;
  }
  const std::optional<size_t> nRow = m_forwards.FindSocket(hSocket);
  if (!nRow) {
    OnSpareSocketEvent(hSocket, dwEvent);
    return;
  }
  if (dwEvent == FD_READ) {
    OnUpstreamDatagrams(*nRow);
  } else if (dwEvent == FD_CLOSE) {
    // A forwarding socket that broke loses only its own request.
    DnsForwardTable::Row row = m_forwards.Take(*nRow);
    DropRow(row);
  }
}

void DnsServiceThread::OnSpareSocketEvent(int hSocket, uint32_t dwEvent) {
  if (dwEvent == FD_CLOSE) {
    Socket socket = m_forwards.TakeSpare(hSocket);
    CloseForwardingSocket(socket);
    return;
  }
  Socket* lpSpare = m_forwards.FindSpare(hSocket);
  if (!lpSpare || dwEvent != FD_READ) return;
  // Nothing is asked on it: whatever comes is read and dropped, so that it cannot wait there
  // for the next request the socket carries.
  SocketAddress from;
  for (int nRound = 0; nRound < kDatagramsPerEvent; ++nRound) {
    const long nRead = lpSpare->RecvFrom(m_vBuffer.data(), m_vBuffer.size(), &from);
    if (nRead < 0) return;
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
  }
}

void DnsServiceThread::OnTick() {
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  for (DnsForwardTable::Row& row : m_forwards.TakeExpired(qwNow)) DropRow(row);
  for (Socket& socket : m_forwards.TakeIdleSpares(qwNow)) CloseForwardingSocket(socket);
}

// ---------------------------------------------------------------------------------------------
// Requests

void DnsServiceThread::OnRequests() {
  for (int nRound = 0; nRound < kDatagramsPerEvent && m_socket; ++nRound) {
    SocketAddress client;
    const long nRead = m_socket.RecvFrom(m_vBuffer.data(), m_vBuffer.size(), &client);
    if (nRead < 0) return;
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
    if (!m_lpConfig->m_incoming.Admits(client.m_dwIp)) {
      LogClient(kLogRefusedRequest, client);
      continue;
    }
    HandleRequest(client, std::string_view(m_vBuffer.data(), static_cast<size_t>(nRead)));
  }
  // More may be waiting: the next read event comes for them.
}

void DnsServiceThread::HandleRequest(const SocketAddress& client, std::string_view sRequest) {
  if (sRequest.size() < dns::kHeaderSize || dns::IsResponse(sRequest)) return;
  const uint8_t bOpcode = dns::OpcodeOf(sRequest);
  if (bOpcode == dns::kOpQuery || bOpcode == dns::kOpInverseQuery || bOpcode == dns::kOpStatus) {
    HandleKnownOpcode(client, sRequest, bOpcode);
    return;
  }
  LogClient(kLogNotImplemented, client);
  ReplyError(client, sRequest, dns::kNotImplemented);
}

void DnsServiceThread::HandleKnownOpcode(const SocketAddress& client, std::string_view sRequest, uint8_t bOpcode) {
  const OpcodeLog& log = LogOf(bOpcode);
  if (m_lpConfig->m_dns.m_bForwardOnly) {
    LogClient(log.m_lpForward, client);
    Forward(client, sRequest);
    return;
  }
  // A query without a question, or an inverse query without the answer it asks about.
  const bool bEmpty = (bOpcode == dns::kOpQuery && dns::QuestionCount(sRequest) == 0) ||
                      (bOpcode == dns::kOpInverseQuery && dns::AnswerCount(sRequest) == 0);
  if (bEmpty) {
    ReplyError(client, sRequest, dns::kFormatError);
    return;
  }
  LogClient(log.m_lpProcess, client);
  if (bOpcode == dns::kOpQuery) {
    AnswerLocally(client, sRequest);
  } else if (bOpcode == dns::kOpInverseQuery) {
    ReplyError(client, sRequest, dns::kNotImplemented);  // inverse queries are not answered here
  } else {
    ReplyError(client, sRequest, dns::kNoError);  // a status request comes back as its own answer
  }
}

// ---------------------------------------------------------------------------------------------
// Local answers

void DnsServiceThread::AnswerLocally(const SocketAddress& client, std::string_view sRequest) {
  PendingAnswer answer;
  answer.m_client = client;
  answer.m_sRequest.assign(sRequest);
  dns::CutToReplyLimit(answer.m_sRequest);
  std::optional<dns::QuestionSection> section = dns::ReadQuestions(answer.m_sRequest);
  if (!section) {
    ReplyError(client, sRequest, dns::kFormatError);
    return;
  }
  for (const dns::Question& question : section->m_vQuestions) {
    if (!AnsweredLocally(question)) {
      Forward(client, sRequest);  // the whole request, as it came
      return;
    }
    if (question.m_wType == dns::kTypePtr && !dns::ReverseLookupAddress(question.m_name)) {
      ReplyError(client, sRequest, dns::kNameError);
      return;
    }
  }
  const size_t nQuestions = section->m_vQuestions.size();
  if (m_nPendingLookups + nQuestions > kMaxPendingLookups) {
    ReplyError(client, sRequest, dns::kServerFailure);
    return;
  }
  answer.m_section = std::move(*section);
  answer.m_vHosts.resize(nQuestions);
  answer.m_nWaiting = nQuestions;
  m_nPendingLookups += nQuestions;
  const uint64_t qwAnswer = m_qwNextAnswer++;
  m_pending.emplace(qwAnswer, std::move(answer));
  StartLookups(qwAnswer);
}

void DnsServiceThread::StartLookups(uint64_t qwAnswer) {
  const std::vector<dns::Question>& vQuestions = m_pending.at(qwAnswer).m_section.m_vQuestions;
  for (size_t i = 0; i < vQuestions.size(); ++i) {
    auto done = [this, qwAnswer, i](const std::optional<HostEntry>& host) { OnLookupDone(qwAnswer, i, host); };
    if (vQuestions[i].m_wType == dns::kTypePtr) {
      HostResolver::ResolveAddress(*dns::ReverseLookupAddress(vQuestions[i].m_name), m_lpSink->Handle(), done);
    } else {
      HostResolver::Resolve(dns::NameText(vQuestions[i].m_name), m_lpSink->Handle(), done);
    }
  }
}

void DnsServiceThread::OnLookupDone(uint64_t qwAnswer, size_t nQuestion, const std::optional<HostEntry>& host) {
  --m_nPendingLookups;
  auto it = m_pending.find(qwAnswer);
  if (it == m_pending.end()) return;  // answered already: another of its names was not found
  PendingAnswer& answer = it->second;
  // The answer leaves the table when it is sent; its other lookups, still under way, then find
  // nothing, and keep their places under kMaxPendingLookups until they return.
  auto finish = [&](std::optional<std::string> sReply) {
    PendingAnswer done = std::move(answer);
    m_pending.erase(it);
    if (sReply) {
      Reply(done.m_client, *sReply);
    } else {
      ReplyError(done.m_client, done.m_sRequest, dns::kNameError);
    }
  };
  --answer.m_nWaiting;
  if (!host || host->m_sName.empty()) {
    finish(std::nullopt);
    return;
  }
  answer.m_vHosts[nQuestion] = *host;
  if (answer.m_nWaiting > 0) return;
  dns::AnswerBuilder builder(answer.m_sRequest, answer.m_section);
  finish(builder.Build(answer.m_vHosts, NameServersOf(*m_lpConfig)));
}

dns::NameServers DnsServiceThread::NameServersOf(const ServiceConfig& config) const {
  dns::NameServers servers;
  for (const std::string& sName : config.m_dns.m_asNameServers) {
    if (std::optional<dns::Name> name = dns::NameFromText(sName)) servers.m_vNames.push_back(std::move(*name));
  }
  servers.m_dwIp = config.m_dns.m_dwNameServerIp;
  return servers;
}

// ---------------------------------------------------------------------------------------------
// Forwarding

void DnsServiceThread::Forward(const SocketAddress& client, std::string_view sRequest) {
  const SocketAddress upstream{m_lpConfig->m_dns.m_dwDnsServer, kUpstreamPort};
  if (upstream.m_dwIp == kNoUpstream) {
    ReplyError(client, sRequest, dns::kServerFailure);
    return;
  }
  const uint16_t wId = dns::Id(sRequest);
  const std::optional<size_t> nRetransmitted = m_forwards.Find(client, wId);
  AdmissionTicket ticket;
  if (!nRetransmitted) {
    if (!m_forwards.Full()) ticket = AdmissionTicket::TryAdmit();
    if (!ticket) {
      ReplyError(client, sRequest, dns::kServerFailure);
      return;
    }
  }
  Socket socket;
  if (!SendUpstream(sRequest, upstream, &socket)) {
    ReplyError(client, sRequest, dns::kServerFailure);
    return;
  }
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  if (nRetransmitted) {
    // The same request again: it goes on in its row, on the new socket.
    DnsForwardTable::Row& row = m_forwards.At(*nRetransmitted);
    CloseForwardingSocket(row.m_socket);  // the first request's answer could still come there
    row.m_socket = std::move(socket);
    row.m_upstream = upstream;
    row.m_qwSentMs = qwNow;
    return;
  }
  ticket.Confirm();
  AddToCounters(1, 0, 0);
  m_forwards.Add(DnsForwardTable::Row{std::move(socket), client, wId, upstream, qwNow, std::move(ticket)});
}

Socket DnsServiceThread::ForwardingSocket() {
  Socket socket = m_forwards.TakeSpare();
  if (socket) return socket;
  socket = Socket::Udp();
  if (!socket || !socket.Bind(0, 0) || !m_lpSink->Select(socket, FD_READ | FD_CLOSE)) return Socket();
  return socket;
}

bool DnsServiceThread::SendUpstream(std::string_view sRequest, const SocketAddress& upstream, Socket* pSocket) {
  Socket socket = ForwardingSocket();
  if (!socket) return false;
  // A forwarding socket's buffer holds nothing else: a send that would wait is as good as failed.
  if (socket.SendTo(sRequest.data(), sRequest.size(), upstream) < 0) {
    CloseForwardingSocket(socket);
    return false;
  }
  AddToCounters(0, sRequest.size(), 0);
  *pSocket = std::move(socket);
  return true;
}

void DnsServiceThread::OnUpstreamDatagrams(size_t nRow) {
  for (int nRound = 0; nRound < kDatagramsPerEvent; ++nRound) {
    DnsForwardTable::Row& row = m_forwards.At(nRow);
    SocketAddress from;
    const long nRead = row.m_socket.RecvFrom(m_vBuffer.data(), m_vBuffer.size(), &from);
    if (nRead < 0) return;
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
    // Anyone may send to the socket's port: only the server's answer to this request counts.
    const std::optional<std::string> sAnswer =
        DnsForwardTable::RelayedAnswer(row, from, std::string_view(m_vBuffer.data(), static_cast<size_t>(nRead)));
    if (!sAnswer) continue;
    DnsForwardTable::Row answered = m_forwards.Take(nRow);
    EndRow(answered);
    if (!m_forwards.KeepSpare(std::move(answered.m_socket), MessageLoop::Current()->NowMs())) {
      CloseForwardingSocket(answered.m_socket);
    }
    Reply(answered.m_client, *sAnswer);
    return;
  }
}

void DnsServiceThread::DropRow(DnsForwardTable::Row& row) {
  CloseForwardingSocket(row.m_socket);
  EndRow(row);
}

void DnsServiceThread::EndRow(DnsForwardTable::Row& row) {
  row.m_ticket.Release();
  AddToCounters(-1, 0, 0);
}

void DnsServiceThread::CloseForwardingSocket(Socket& socket) {
  if (!socket) return;
  m_lpSink->Deselect(socket);
  socket.Close();
}

// ---------------------------------------------------------------------------------------------
// Replies and the log

void DnsServiceThread::Reply(const SocketAddress& client, std::string_view sReply) {
  if (!m_socket) return;
  if (m_replies.SendTo(m_socket, client, sReply) == DatagramQueue::Result::kSent) AddToCounters(0, sReply.size(), 0);
}

void DnsServiceThread::ReplyError(const SocketAddress& client, std::string_view sRequest, dns::Rcode rcode) {
  Reply(client, dns::ErrorReply(sRequest, rcode));
}

void DnsServiceThread::LogClient(const char* lpTemplate, const SocketAddress& client) {
  m_log.Write(lpTemplate, {FormatIp(client.m_dwIp), static_cast<uint64_t>(client.m_wPort)});
}

}  // namespace harbix
