// A request as the DNS proxy reads it: the question section, every name in it at any offset,
// and the error reply. Names stay within their limits, the remembered suffixes lie inside the
// question section where a reply can point at them, and an error reply is the request's own
// bytes under the reply limit.
#include <cstdlib>

#include "engine/relay/DnsMessage.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

namespace {

void CheckName(const dns::Name& name) {
  if (dns::NameText(name).size() > dns::kMaxNameText) std::abort();
  for (const std::string& sLabel : name) {
    if (sLabel.empty() || sLabel.size() > dns::kMaxLabel) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const uint8_t bRcode = input.Byte() & 0x0F;
  const std::string sMessage(input.Rest());
  for (size_t nStart = 0; nStart < sMessage.size(); ++nStart) {
    size_t nPos = nStart;
    if (const std::optional<dns::Name> name = dns::ReadName(sMessage, &nPos)) {
      CheckName(*name);
      if (nPos <= nStart || nPos > sMessage.size()) std::abort();
    }
  }
  if (const std::optional<dns::QuestionSection> section = dns::ReadQuestions(sMessage)) {
    if (section->m_nEnd > sMessage.size() || section->m_vQuestions.size() != dns::QuestionCount(sMessage)) std::abort();
    for (const dns::Question& question : section->m_vQuestions) {
      if (question.m_name.empty()) std::abort();
      CheckName(question.m_name);
      (void)dns::ReverseLookupAddress(question.m_name);
    }
    for (const dns::NameSuffix& suffix : section->m_vSuffixes) {
      if (suffix.m_nOffset < dns::kHeaderSize || suffix.m_nOffset >= section->m_nEnd) std::abort();
    }
  }
  if (sMessage.size() < dns::kHeaderSize) return 0;
  const std::string sReply = dns::ErrorReply(sMessage, static_cast<dns::Rcode>(bRcode));
  if (sReply.size() != std::min(sMessage.size(), dns::kMaxReply)) std::abort();
  if (!dns::IsResponse(sReply) || (static_cast<uint8_t>(sReply[3]) & 0x0F) != bRcode || dns::Id(sReply) != dns::Id(sMessage)) std::abort();
  if (sReply.substr(4) != sMessage.substr(4, sReply.size() - 4)) std::abort();
  return 0;
}
