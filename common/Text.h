// Small text helpers that every protocol shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harbix {

// Removes white space (as isspace sees it) at both ends.
std::string Trim(std::string_view sText);
// ASCII letters compared without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view sText, std::string_view sPrefix);
std::string ToLower(std::string_view sText);

// Where a header block ends: the earliest "\n\n" or "\r\n\r\n" (the one that starts first wins)
// and the length of that terminator.
struct HeaderEnd {
  size_t m_nPos;
  size_t m_cbTerminator;
};
std::optional<HeaderEnd> FindHeaderEnd(std::string_view sText);

// Of the bytes waiting, how many make the first line (up to and including its line feed; all of
// them while no line feed has come).
size_t LineLength(std::string_view sWaiting);

// An IPv4 address (network order) read as "%u.%u.%u.%u" reads the start of a text: white space
// may come before each number, whatever follows the fourth number is ignored. Numbers above
// 255 (or signed ones) make it no address, so that such a text goes to a name lookup instead
// of reaching some other address.
std::optional<uint32_t> ParseDottedAddress(std::string_view sText);

// The decimal number at the start of a text (0 when there is none), taken modulo 2^16 as a
// port is.
uint16_t LeadingPort(std::string_view sText);

}  // namespace harbix
