// The DNS proxy's own answer to a request, with host entries that the input makes up (names of
// any bytes, aliases, addresses): the reply fits the limit, keeps the request's header ID and
// questions, and, when it was not cut, every record reads back with every compression pointer
// resolved.
#include <cstdlib>

#include "engine/relay/DnsAnswerBuilder.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

namespace {

constexpr size_t kMaxAliases = 8;
constexpr size_t kMaxAddresses = 16;
constexpr size_t kRecordFixed = 10;  // type, class, TTL, RDLENGTH

HostEntry MadeUpHost(fuzz::FuzzInput& input) {
  HostEntry host;
  host.m_sName = input.Piece();
  for (size_t n = input.Byte() % (kMaxAliases + 1); n > 0; --n) host.m_vAliases.emplace_back(input.Piece());
  for (size_t n = input.Byte() % (kMaxAddresses + 1); n > 0; --n) host.m_vAddresses.push_back(input.U32());
  return host;
}

bool RecordsRead(const std::string& sReply, size_t nPos) {
  for (int nSection = 1; nSection <= 3; ++nSection) {
    for (uint16_t i = 0; i < dns::CountAt(sReply, nSection); ++i) {
      if (!dns::ReadName(sReply, &nPos) || nPos + kRecordFixed > sReply.size()) return false;
      nPos += kRecordFixed + dns::ReadU16(sReply, nPos + kRecordFixed - 2);
      if (nPos > sReply.size()) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const HostEntry host = MadeUpHost(input);
  dns::NameServers servers;
  for (size_t n = input.Byte() % 3; n > 0; --n) {
    if (std::optional<dns::Name> name = dns::NameFromText(input.Piece())) servers.m_vNames.push_back(std::move(*name));
  }
  servers.m_dwIp = input.U32();
  std::string sRequest(input.Rest());
  if (sRequest.size() < dns::kHeaderSize) return 0;
  dns::CutToReplyLimit(sRequest);
  const std::optional<dns::QuestionSection> section = dns::ReadQuestions(sRequest);
  if (!section) return 0;
  const dns::HostAnswers vHosts(section->m_vQuestions.size(), host);
  const std::optional<std::string> sReply = dns::AnswerBuilder(sRequest, *section).Build(vHosts, servers);
  if (!sReply) {
    if (dns::NameFromText(host.m_sName) && !section->m_vQuestions.empty()) std::abort();
    return 0;
  }
  if (sReply->size() > dns::kMaxReply || dns::Id(*sReply) != dns::Id(sRequest) || !dns::IsResponse(*sReply)) std::abort();
  if ((static_cast<uint8_t>((*sReply)[3]) & 0x0F) != 0) std::abort();
  if (sReply->compare(12, section->m_nEnd - 12, sRequest, 12, section->m_nEnd - 12) != 0) std::abort();
  // Records of the proxy's own always read back; what the request carried after its questions
  // is the request's business.
  const bool bCut = sReply->size() == dns::kMaxReply;
  const bool bOwnRecordsOnly = section->m_nEnd == sRequest.size() && dns::CountAt(sRequest, 1) == 0 &&
                               dns::CountAt(sRequest, 2) == 0 && dns::CountAt(sRequest, 3) == 0;
  if (!bCut && bOwnRecordsOnly && !RecordsRead(*sReply, section->m_nEnd)) std::abort();
  return 0;
}
