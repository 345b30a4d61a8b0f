// Reading DNS messages (RFC 1035) as the DNS proxy needs them: the header's fields, the
// question section with every name and name suffix at its offset (what the answer's
// compression points at), and the error replies that send a request back with a result code.
// Every byte read is bounds-checked: a message comes straight from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harbix::dns {

inline constexpr size_t kHeaderSize = 12;
// The largest message the proxy sends; a longer one is cut to it with TC set.
inline constexpr size_t kMaxReply = 512;
inline constexpr size_t kMaxLabel = 63;
// The longest name, as text with its dots.
inline constexpr size_t kMaxNameText = 255;
// A name is read through at most this many compression pointers; each must point before itself,
// so a message cannot make a loop, and this keeps a long chain of them cheap too.
inline constexpr int kMaxPointers = 32;
// The offsets a compression pointer can hold.
inline constexpr size_t kMaxPointerOffset = 0x3FFF;

enum Opcode : uint8_t { kOpQuery = 0, kOpInverseQuery = 1, kOpStatus = 2 };
enum Rcode : uint8_t { kNoError = 0, kFormatError = 1, kServerFailure = 2, kNameError = 3, kNotImplemented = 4 };
enum Type : uint16_t { kTypeA = 1, kTypeNs = 2, kTypeCname = 5, kTypePtr = 12 };
inline constexpr uint16_t kClassIn = 1;

// Header field access on a message of at least kHeaderSize bytes.
uint16_t Id(std::string_view sMessage);
bool IsResponse(std::string_view sMessage);
uint8_t OpcodeOf(std::string_view sMessage);
uint16_t QuestionCount(std::string_view sMessage);
uint16_t AnswerCount(std::string_view sMessage);
// Count n: 0 questions, 1 answers, 2 authority, 3 additional.
uint16_t CountAt(std::string_view sMessage, int nSection);
void SetCountAt(std::string& sMessage, int nSection, uint16_t wCount);
void SetTruncated(std::string& sMessage);
// Cuts a message longer than kMaxReply to it and sets TC.
void CutToReplyLimit(std::string& sMessage);
uint16_t ReadU16(std::string_view sMessage, size_t nOffset);

// A name as its labels, each as the message gave it.
using Name = std::vector<std::string>;
// The labels joined with ".", as the system's resolver wants them.
std::string NameText(const Name& name);
// The name in wire form without compression, lower case: the same name always gives the same key.
std::string NameKey(const Name& name, size_t nFirstLabel = 0);

// A name of the system's resolver ("host.example", a trailing dot allowed) as labels; nothing when
// it has an empty label or one over 63 bytes, or is longer than 255 characters.
std::optional<Name> NameFromText(std::string_view sText);
// The IPv4 address (network order) that a reverse-lookup name "d.c.b.a.IN-ADDR.ARPA" (any letter
// case) stands for; nothing for any other name.
std::optional<uint32_t> ReverseLookupAddress(const Name& name);

// A name suffix and where it starts in the message (a place a compression pointer may name).
struct NameSuffix {
  std::string m_sKey;  // NameKey of the suffix
  size_t m_nOffset;
};

struct Question {
  Name m_name;
  uint16_t m_wType = 0;
  uint16_t m_wClass = 0;
};

struct QuestionSection {
  std::vector<Question> m_vQuestions;
  std::vector<NameSuffix> m_vSuffixes;  // every name and suffix of it, in the order read
  size_t m_nEnd = kHeaderSize;          // the first byte after the section
};

// Reads the name at *pnOffset and moves *pnOffset past it (past the first pointer, if any).
// Suffixes that start in the message are added to *pvSuffixes when given. Nothing on a name that
// runs out of the message, has a label over 63 bytes or a reserved label kind, a pointer that
// does not point backwards, too many pointers, or more than 255 characters.
std::optional<Name> ReadName(std::string_view sMessage, size_t* pnOffset, std::vector<NameSuffix>* pvSuffixes = nullptr);
// Reads the QDCOUNT questions; nothing when one cannot be read or a name is empty.
std::optional<QuestionSection> ReadQuestions(std::string_view sMessage);

// An answer of the proxy's own: QR and AA set, RCODE 0, the other bits kept.
void MarkAuthoritativeAnswer(std::string& sMessage);

// The request sent back as a reply: QR set, AA cleared, RA set, RCODE given, other bits kept,
// cut to kMaxReply with TC.
std::string ErrorReply(std::string_view sRequest, Rcode rcode);

}  // namespace harbix::dns
