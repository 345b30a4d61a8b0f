#include "engine/relay/DnsAnswerBuilder.h"

#include <algorithm>

namespace harbix::dns {
namespace {

constexpr uint16_t kPointerMark = 0xC000;
constexpr uint16_t kAddressLength = 4;
constexpr int kAnswerSection = 1;
constexpr int kAuthoritySection = 2;
constexpr int kAdditionalSection = 3;
constexpr uint16_t kMaxCount = 0xFFFF;

}  // namespace

AnswerBuilder::AnswerBuilder(std::string_view sRequest, const QuestionSection& section)
    : m_sRequest(sRequest), m_section(section) {
  for (const NameSuffix& suffix : section.m_vSuffixes) m_names.emplace(suffix.m_sKey, suffix.m_nOffset);
}

bool AnswerBuilder::AddAnswers(const Question& question, const HostEntry& host, Sections* pSections) const {
  const std::optional<Name> official = NameFromText(host.m_sName);
  if (!official) return false;
  std::vector<Name> vAliases;
  for (const std::string& sAlias : host.m_vAliases) {
    if (std::optional<Name> alias = NameFromText(sAlias)) vAliases.push_back(std::move(*alias));
  }
  auto addAddresses = [&](const Name& owner) {
    for (uint32_t dwIp : host.m_vAddresses) pSections->m_vA.push_back(Record{owner, kTypeA, {}, dwIp});
  };
  const std::string sOfficialKey = NameKey(*official);
  if (question.m_wType == kTypePtr) {
    pSections->m_vPtr.push_back(Record{question.m_name, kTypePtr, *official});
    for (const Name& alias : vAliases) {
      // The official name in another letter case is no alias: its CNAME would name itself.
      if (NameKey(alias) != sOfficialKey) pSections->m_vCname.push_back(Record{alias, kTypeCname, *official});
    }
    addAddresses(*official);
    return true;
  }
  const std::string sAskedKey = NameKey(question.m_name);
  if (sAskedKey == sOfficialKey) {
    addAddresses(question.m_name);
    return true;
  }
  // From the asked name through the other aliases to the official name.
  Name link = question.m_name;
  for (const Name& alias : vAliases) {
    const std::string sKey = NameKey(alias);
    if (sKey == sAskedKey || sKey == sOfficialKey) continue;
    pSections->m_vCname.push_back(Record{link, kTypeCname, alias});
    link = alias;
  }
  pSections->m_vCname.push_back(Record{link, kTypeCname, *official});
  addAddresses(*official);
  return true;
}

std::optional<std::string> AnswerBuilder::Build(const HostAnswers& vHosts, const NameServers& servers) {
  const std::vector<Question>& vQuestions = m_section.m_vQuestions;
  Sections sections;
  for (size_t i = 0; i < vQuestions.size() && i < vHosts.size(); ++i) {
    if (!AddAnswers(vQuestions[i], vHosts[i], &sections)) return std::nullopt;
  }
  m_sReply.assign(m_sRequest.substr(0, m_section.m_nEnd));
  for (const std::vector<Record>* lpRecords : {&sections.m_vPtr, &sections.m_vCname, &sections.m_vA}) {
    for (const Record& record : *lpRecords) WriteRecord(record);
  }
  AddToCount(kAnswerSection, sections.m_vPtr.size() + sections.m_vCname.size() + sections.m_vA.size());
  for (const Question& question : vQuestions) {
    for (const Name& server : servers.m_vNames) WriteRecord(Record{question.m_name, kTypeNs, server});
  }
  AddToCount(kAuthoritySection, vQuestions.size() * servers.m_vNames.size());
  m_sReply.append(m_sRequest.substr(m_section.m_nEnd));  // what the request carried after its questions
  for (const Name& server : servers.m_vNames) WriteRecord(Record{server, kTypeA, {}, servers.m_dwIp});
  AddToCount(kAdditionalSection, servers.m_vNames.size());
  MarkAuthoritativeAnswer(m_sReply);
  CutToReplyLimit(m_sReply);
  return std::move(m_sReply);
}

void AnswerBuilder::WriteRecord(const Record& record) {
  WriteName(record.m_owner);
  WriteU16(record.m_wType);
  WriteU16(kClassIn);
  WriteU32(kRecordTtl);
  if (record.m_wType == kTypeA) {
    WriteU16(kAddressLength);
    m_sReply.append(reinterpret_cast<const char*>(&record.m_dwIp), sizeof record.m_dwIp);  // network order as it is
    return;
  }
  const size_t nLengthAt = m_sReply.size();
  WriteU16(0);
  WriteName(record.m_target);
  const size_t cbData = m_sReply.size() - nLengthAt - sizeof(uint16_t);
  m_sReply[nLengthAt] = static_cast<char>(cbData >> 8);
  m_sReply[nLengthAt + 1] = static_cast<char>(cbData & 0xFF);
}

void AnswerBuilder::WriteName(const Name& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    std::string sKey = NameKey(name, i);
    if (auto it = m_names.find(sKey); it != m_names.end()) {
      WriteU16(static_cast<uint16_t>(kPointerMark | it->second));
      return;
    }
    if (m_sReply.size() <= kMaxPointerOffset) m_names.emplace(std::move(sKey), m_sReply.size());
    m_sReply += static_cast<char>(name[i].size());
    m_sReply += name[i];
  }
  m_sReply += '\0';
}

void AnswerBuilder::WriteU16(uint16_t wValue) {
  m_sReply += static_cast<char>(wValue >> 8);
  m_sReply += static_cast<char>(wValue & 0xFF);
}

void AnswerBuilder::WriteU32(uint32_t dwValue) {
  WriteU16(static_cast<uint16_t>(dwValue >> 16));
  WriteU16(static_cast<uint16_t>(dwValue & 0xFFFF));
}

void AnswerBuilder::AddToCount(int nSection, size_t nAdded) {
  const size_t nCount = std::min<size_t>(CountAt(m_sReply, nSection) + nAdded, kMaxCount);
  SetCountAt(m_sReply, nSection, static_cast<uint16_t>(nCount));
}

}  // namespace harbix::dns
