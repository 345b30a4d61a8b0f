#include "common/Text.h"

#include <cctype>

namespace harbix {
namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::string Trim(std::string_view sText) {
  while (!sText.empty() && IsSpace(sText.front())) sText.remove_prefix(1);
  while (!sText.empty() && IsSpace(sText.back())) sText.remove_suffix(1);
  return std::string(sText);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view sText, std::string_view sPrefix) {
  return sText.size() >= sPrefix.size() && EqualNoCase(sText.substr(0, sPrefix.size()), sPrefix);
}

std::string ToLower(std::string_view sText) {
  std::string sLower(sText);
  for (char& c : sLower) c = Lower(c);
  return sLower;
}

std::optional<HeaderEnd> FindHeaderEnd(std::string_view sText) {
  const size_t nBare = sText.find("\n\n");
  const size_t nCrLf = sText.find("\r\n\r\n");
  if (nBare == std::string_view::npos && nCrLf == std::string_view::npos) return std::nullopt;
  if (nCrLf != std::string_view::npos && (nBare == std::string_view::npos || nCrLf < nBare)) return HeaderEnd{nCrLf, 4};
  return HeaderEnd{nBare, 2};
}

size_t LineLength(std::string_view sWaiting) {
  const size_t nLineFeed = sWaiting.find('\n');
  return nLineFeed == std::string_view::npos ? sWaiting.size() : nLineFeed + 1;
}

std::optional<uint32_t> ParseDottedAddress(std::string_view sText) {
  uint32_t dwIp = 0;
  size_t nPos = 0;
  for (int nPart = 0; nPart < 4; ++nPart) {
    if (nPart > 0) {
      if (nPos >= sText.size() || sText[nPos] != '.') return std::nullopt;
      ++nPos;
    }
    while (nPos < sText.size() && IsSpace(sText[nPos])) ++nPos;
    uint32_t dwPart = 0;
    size_t nDigits = 0;
    while (nPos < sText.size() && IsDigit(sText[nPos])) {
      dwPart = dwPart * 10 + static_cast<uint32_t>(sText[nPos] - '0');
      if (dwPart > 255) return std::nullopt;
      ++nPos;
      ++nDigits;
    }
    if (nDigits == 0) return std::nullopt;
    dwIp |= dwPart << (8 * nPart);
  }
  return dwIp;
}

uint16_t LeadingPort(std::string_view sText) {
  uint32_t dwPort = 0;
  for (char c : sText) {
    if (!IsDigit(c)) break;
    dwPort = (dwPort * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFF;
  }
  return static_cast<uint16_t>(dwPort);
}

}  // namespace harbix
