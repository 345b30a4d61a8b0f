#include "engine/relay/DnsMessage.h"

#include <arpa/inet.h>

#include <cctype>

namespace harbix::dns {
namespace {

// Header bytes 2 and 3: QR, opcode, AA, TC, RD | RA, Z, RCODE.
constexpr size_t kFlags1 = 2;
constexpr size_t kFlags2 = 3;
constexpr uint8_t kQrBit = 0x80;
constexpr uint8_t kAaBit = 0x04;
constexpr uint8_t kTcBit = 0x02;
constexpr uint8_t kRaBit = 0x80;
constexpr uint8_t kRcodeMask = 0x0F;
constexpr int kOpcodeShift = 3;
constexpr uint8_t kOpcodeMask = 0x0F;
constexpr size_t kCountsOffset = 4;
// A label's length byte: the top two bits tell its kind.
constexpr uint8_t kKindMask = 0xC0;
constexpr uint8_t kPointerKind = 0xC0;
constexpr size_t kQuestionFixed = 4;  // QTYPE and QCLASS

uint8_t ByteAt(std::string_view sMessage, size_t nOffset) { return static_cast<uint8_t>(sMessage[nOffset]); }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// The text length of a name with one more label.
size_t TextLengthWith(size_t cbText, size_t nLabels, size_t cbLabel) { return cbText + (nLabels ? 1 : 0) + cbLabel; }

}  // namespace

uint16_t ReadU16(std::string_view sMessage, size_t nOffset) {
  return static_cast<uint16_t>((ByteAt(sMessage, nOffset) << 8) | ByteAt(sMessage, nOffset + 1));
}

uint16_t Id(std::string_view sMessage) { return ReadU16(sMessage, 0); }
bool IsResponse(std::string_view sMessage) { return (ByteAt(sMessage, kFlags1) & kQrBit) != 0; }
uint8_t OpcodeOf(std::string_view sMessage) { return (ByteAt(sMessage, kFlags1) >> kOpcodeShift) & kOpcodeMask; }
uint16_t CountAt(std::string_view sMessage, int nSection) {
  return ReadU16(sMessage, kCountsOffset + 2 * static_cast<size_t>(nSection));
}
uint16_t QuestionCount(std::string_view sMessage) { return CountAt(sMessage, 0); }
uint16_t AnswerCount(std::string_view sMessage) { return CountAt(sMessage, 1); }

void SetCountAt(std::string& sMessage, int nSection, uint16_t wCount) {
  const size_t nOffset = kCountsOffset + 2 * static_cast<size_t>(nSection);
  sMessage[nOffset] = static_cast<char>(wCount >> 8);
  sMessage[nOffset + 1] = static_cast<char>(wCount & 0xFF);
}

void SetTruncated(std::string& sMessage) { sMessage[kFlags1] = static_cast<char>(ByteAt(sMessage, kFlags1) | kTcBit); }

void CutToReplyLimit(std::string& sMessage) {
  if (sMessage.size() <= kMaxReply) return;
  sMessage.resize(kMaxReply);
  SetTruncated(sMessage);
}

std::string NameText(const Name& name) {
  std::string sText;
  for (const std::string& sLabel : name) {
    if (!sText.empty()) sText += '.';
    sText += sLabel;
  }
  return sText;
}

std::optional<Name> NameFromText(std::string_view sText) {
  if (!sText.empty() && sText.back() == '.') sText.remove_suffix(1);
  if (sText.empty() || sText.size() > kMaxNameText) return std::nullopt;
  Name name;
  size_t nStart = 0;
  for (;;) {
    const size_t nDot = sText.find('.', nStart);
    const std::string_view sLabel = sText.substr(nStart, nDot == std::string_view::npos ? std::string_view::npos : nDot - nStart);
    if (sLabel.empty() || sLabel.size() > kMaxLabel) return std::nullopt;
    name.emplace_back(sLabel);
    if (nDot == std::string_view::npos) return name;
    nStart = nDot + 1;
  }
}

std::optional<uint32_t> ReverseLookupAddress(const Name& name) {
  constexpr size_t kAddressLabels = 4;
  constexpr unsigned kMaxByte = 255;
  constexpr size_t kMaxDigits = 3;
  if (name.size() != kAddressLabels + 2 || NameKey(name, kAddressLabels) != NameKey({"in-addr", "arpa"})) return std::nullopt;
  uint32_t dwIp = 0;
  for (size_t i = 0; i < kAddressLabels; ++i) {
    const std::string& sLabel = name[i];
    if (sLabel.size() > kMaxDigits) return std::nullopt;
    unsigned nByte = 0;
    for (char c : sLabel) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      nByte = nByte * 10 + static_cast<unsigned>(c - '0');
    }
    if (nByte > kMaxByte) return std::nullopt;
    dwIp |= static_cast<uint32_t>(nByte) << (8 * i);  // the first label is the address's last byte
  }
  return htonl(dwIp);
}

std::string NameKey(const Name& name, size_t nFirstLabel) {
  std::string sKey;
  for (size_t i = nFirstLabel; i < name.size(); ++i) {
    sKey += static_cast<char>(name[i].size());
    for (char c : name[i]) sKey += Lower(c);
  }
  return sKey;
}

std::optional<Name> ReadName(std::string_view sMessage, size_t* pnOffset, std::vector<NameSuffix>* pvSuffixes) {
  Name name;
  std::vector<size_t> vLabelOffsets;
  size_t nPos = *pnOffset;
  size_t cbText = 0;
  int nPointers = 0;
  bool bJumped = false;
  for (;;) {
    if (nPos >= sMessage.size()) return std::nullopt;
    const uint8_t bLength = ByteAt(sMessage, nPos);
    if (bLength == 0) {
      if (!bJumped) *pnOffset = nPos + 1;
      break;
    }
    if ((bLength & kKindMask) == kPointerKind) {
      if (nPos + 1 >= sMessage.size() || ++nPointers > kMaxPointers) return std::nullopt;
      const size_t nTarget = ReadU16(sMessage, nPos) & kMaxPointerOffset;
      // Only backwards, so there is no loop, and never into the header, which a reply rewrites.
      if (nTarget >= nPos || nTarget < kHeaderSize) return std::nullopt;
      if (!bJumped) *pnOffset = nPos + 2;
      bJumped = true;
      nPos = nTarget;
      continue;
    }
    if ((bLength & kKindMask) != 0) return std::nullopt;  // the two reserved kinds
    const size_t cbLabel = bLength;
    if (nPos + 1 + cbLabel > sMessage.size()) return std::nullopt;
    cbText = TextLengthWith(cbText, name.size(), cbLabel);
    if (cbText > kMaxNameText) return std::nullopt;
    vLabelOffsets.push_back(nPos);
    name.emplace_back(sMessage.substr(nPos + 1, cbLabel));
    nPos += 1 + cbLabel;
  }
  if (pvSuffixes) {
    for (size_t i = 0; i < name.size(); ++i) pvSuffixes->push_back(NameSuffix{NameKey(name, i), vLabelOffsets[i]});
  }
  return name;
}

std::optional<QuestionSection> ReadQuestions(std::string_view sMessage) {
  if (sMessage.size() < kHeaderSize) return std::nullopt;
  QuestionSection section;
  size_t nPos = kHeaderSize;
  const uint16_t wCount = QuestionCount(sMessage);
  for (uint16_t i = 0; i < wCount; ++i) {
    std::optional<Name> name = ReadName(sMessage, &nPos, &section.m_vSuffixes);
    if (!name || name->empty() || nPos + kQuestionFixed > sMessage.size()) return std::nullopt;
    Question question;
    question.m_name = std::move(*name);
    question.m_wType = ReadU16(sMessage, nPos);
    question.m_wClass = ReadU16(sMessage, nPos + 2);
    nPos += kQuestionFixed;
    section.m_vQuestions.push_back(std::move(question));
  }
  section.m_nEnd = nPos;
  return section;
}

void MarkAuthoritativeAnswer(std::string& sMessage) {
  sMessage[kFlags1] = static_cast<char>(ByteAt(sMessage, kFlags1) | kQrBit | kAaBit);
  sMessage[kFlags2] = static_cast<char>(ByteAt(sMessage, kFlags2) & ~kRcodeMask);
}

std::string ErrorReply(std::string_view sRequest, Rcode rcode) {
  std::string sReply(sRequest);
  sReply[kFlags1] = static_cast<char>((ByteAt(sReply, kFlags1) | kQrBit) & ~kAaBit);
  sReply[kFlags2] = static_cast<char>((ByteAt(sReply, kFlags2) & ~kRcodeMask) | kRaBit | rcode);
  CutToReplyLimit(sReply);
  return sReply;
}

}  // namespace harbix::dns
