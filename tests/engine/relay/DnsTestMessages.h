// DNS messages for the tests of the DNS proxy's pieces: requests built from names, and replies
// read back record by record through the proxy's own name reader (so that every compression
// pointer of a reply is followed).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/relay/DnsMessage.h"

namespace harbix::test {

inline std::string U16(uint16_t wValue) { return {static_cast<char>(wValue >> 8), static_cast<char>(wValue & 0xFF)}; }

// A name in wire form, without compression.
inline std::string WireName(const std::string& sName) {
  std::string sWire;
  size_t nStart = 0;
  while (nStart < sName.size()) {
    size_t nDot = sName.find('.', nStart);
    if (nDot == std::string::npos) nDot = sName.size();
    sWire += static_cast<char>(nDot - nStart);
    sWire += sName.substr(nStart, nDot - nStart);
    nStart = nDot + 1;
  }
  return sWire + '\0';
}

// A header: ID 0x1234, the flags given (RD by default), and the four counts.
inline std::string DnsHeader(uint16_t wFlags, std::initializer_list<uint16_t> counts) {
  std::string sHeader = U16(0x1234) + U16(wFlags);
  for (uint16_t wCount : counts) sHeader += U16(wCount);
  return sHeader;
}

// A standard query with one question per (name, type), class IN.
inline std::string DnsQuery(std::initializer_list<std::pair<std::string, uint16_t>> questions, uint16_t wFlags = 0x0100) {
  std::string sQuery = DnsHeader(wFlags, {static_cast<uint16_t>(questions.size()), 0, 0, 0});
  for (const auto& [sName, wType] : questions) sQuery += WireName(sName) + U16(wType) + U16(dns::kClassIn);
  return sQuery;
}

struct ParsedRecord {
  std::string m_sOwner;
  uint16_t m_wType;
  uint16_t m_wClass;
  uint32_t m_dwTtl;
  std::string m_sData;  // a name as text for NS, CNAME and PTR; the raw bytes otherwise
};

struct ParsedReply {
  std::vector<ParsedRecord> m_vAnswers, m_vAuthority, m_vAdditional;
};

// Reads a reply's records after its questions; a record that cannot be read fails the test.
inline ParsedReply ParseReply(const std::string& sReply) {
  ParsedReply reply;
  std::optional<dns::QuestionSection> section = dns::ReadQuestions(sReply);
  EXPECT_TRUE(section);
  if (!section) return reply;
  size_t nPos = section->m_nEnd;
  std::vector<ParsedRecord>* lpSections[] = {&reply.m_vAnswers, &reply.m_vAuthority, &reply.m_vAdditional};
  for (int nSection = 1; nSection <= 3; ++nSection) {
    for (uint16_t i = 0; i < dns::CountAt(sReply, nSection); ++i) {
      std::optional<dns::Name> owner = dns::ReadName(sReply, &nPos);
      EXPECT_TRUE(owner && nPos + 10 <= sReply.size()) << "record " << i << " of section " << nSection;
      if (!owner || nPos + 10 > sReply.size()) return reply;
      ParsedRecord record{dns::NameText(*owner), dns::ReadU16(sReply, nPos), dns::ReadU16(sReply, nPos + 2),
                          static_cast<uint32_t>(dns::ReadU16(sReply, nPos + 4)) << 16 | dns::ReadU16(sReply, nPos + 6), {}};
      const size_t cbData = dns::ReadU16(sReply, nPos + 8);
      nPos += 10;
      EXPECT_LE(nPos + cbData, sReply.size());
      if (record.m_wType == dns::kTypeNs || record.m_wType == dns::kTypeCname || record.m_wType == dns::kTypePtr) {
        size_t nName = nPos;
        std::optional<dns::Name> target = dns::ReadName(sReply, &nName);
        EXPECT_TRUE(target);
        EXPECT_EQ(nName, nPos + cbData) << "RDLENGTH covers the name";
        if (target) record.m_sData = dns::NameText(*target);
      } else {
        record.m_sData = sReply.substr(nPos, cbData);
      }
      nPos += cbData;
      lpSections[nSection - 1]->push_back(std::move(record));
    }
  }
  return reply;
}

}  // namespace harbix::test
