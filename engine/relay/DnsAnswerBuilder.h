// The DNS proxy's own answers to standard queries: from what the system's resolver said about
// each question's name or address, the reply with its records written under name compression,
// and the built-in name servers in the authority and additional sections.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/HostResolver.h"
#include "engine/relay/DnsMessage.h"

namespace harbix::dns {

// Every record the proxy makes lives this long (seconds).
inline constexpr uint32_t kRecordTtl = 1800;

// The name servers that the proxy's answers name, sharing one address (network order).
struct NameServers {
  std::vector<Name> m_vNames;
  uint32_t m_dwIp = 0;
};

// The system's entry for each question, in the order of the questions (A: the host of the name,
// PTR: the host of the address).
using HostAnswers = std::vector<HostEntry>;

class AnswerBuilder {
 public:
  // sRequest is the request as answered (at most kMaxReply bytes, TC set when it was cut) and
  // section its question section.
  AnswerBuilder(std::string_view sRequest, const QuestionSection& section);

  // The reply; nothing when an entry has no official name that can be written (the name is
  // then as good as unknown).
  std::optional<std::string> Build(const HostAnswers& vHosts, const NameServers& servers);

 private:
  struct Record {
    Name m_owner;
    uint16_t m_wType;
    Name m_target;       // NS, CNAME, PTR
    uint32_t m_dwIp = 0;  // A
  };
  struct Sections {
    std::vector<Record> m_vPtr, m_vCname, m_vA;
  };

  bool AddAnswers(const Question& question, const HostEntry& host, Sections* pSections) const;
  void WriteRecord(const Record& record);
  // Writes a name, pointing at the longest suffix already written.
  void WriteName(const Name& name);
  void WriteU16(uint16_t wValue);
  void WriteU32(uint32_t dwValue);
  void AddToCount(int nSection, size_t nAdded);

  std::string_view m_sRequest;
  const QuestionSection& m_section;
  std::string m_sReply;
  std::map<std::string, size_t> m_names;  // NameKey -> offset
};

}  // namespace harbix::dns
