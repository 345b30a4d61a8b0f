#include "engine/core/ActivityLog.h"

#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/HarbixHome.h"

namespace harbix {
namespace {

constexpr size_t kHeaderSlashes = 100;

std::string FormatTime(std::time_t when, const char* lpFormat) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char szText[128];
  const size_t cbText = std::strftime(szText, sizeof szText, lpFormat, &local);
  return std::string(szText, cbText);
}

// The flags, width and precision of a printf conversion ("-08", ".3"), when sFormat is one
// conversion whose letter is among sLetters, with nothing that would make printf read another
// argument ('*', '$') or a second conversion; the letter goes to *pcLetter. A template may
// come from anywhere: its format must never decide what printf reads.
std::optional<std::string> PlainSpec(std::string_view sFormat, std::string_view sLetters, char* pcLetter) {
  if (sFormat.empty() || sLetters.find(sFormat.back()) == std::string_view::npos) return std::nullopt;
  *pcLetter = sFormat.back();
  std::string_view sRest = sFormat.substr(0, sFormat.size() - 1);
  // Length modifiers say nothing here: the argument's width is the insert's own.
  while (!sRest.empty() && std::string_view("hlLqjzt").find(sRest.back()) != std::string_view::npos) sRest.remove_suffix(1);
  if (sRest.ends_with("I64") || sRest.ends_with("I32")) sRest.remove_suffix(3);
  size_t nPos = 0;
  while (nPos < sRest.size() && std::string_view("-+ #0").find(sRest[nPos]) != std::string_view::npos) ++nPos;
  size_t nDigits = 0;
  while (nPos < sRest.size() && std::isdigit(static_cast<unsigned char>(sRest[nPos]))) ++nPos, ++nDigits;
  if (nPos < sRest.size() && sRest[nPos] == '.') {
    ++nPos;
    while (nPos < sRest.size() && std::isdigit(static_cast<unsigned char>(sRest[nPos]))) ++nPos, ++nDigits;
  }
  if (nPos != sRest.size() || nDigits > 6) return std::nullopt;  // anything else, or a huge field
  return std::string(sRest);
}

std::string FormatInsert(const LogInsert& insert, const std::string& sFormat) {
  char cLetter = 0;
  if (const auto* lpText = std::get_if<std::string>(&insert)) {
    const std::optional<std::string> sSpec = PlainSpec(sFormat, "s", &cLetter);
    if (!sSpec || sSpec->empty()) return *lpText;
    std::vector<char> vBuffer(lpText->size() + 256);
    std::snprintf(vBuffer.data(), vBuffer.size(), ("%" + *sSpec + "s").c_str(), lpText->c_str());
    return vBuffer.data();
  }
  const uint64_t qwValue = std::get<uint64_t>(insert);
  // Only integer conversions make sense for a number; anything else prints it plainly.
  const std::optional<std::string> sSpec = PlainSpec(sFormat.empty() ? "u" : sFormat, "uidxXo", &cLetter);
  if (!sSpec) return std::to_string(qwValue);
  char szText[64];
  std::snprintf(szText, sizeof szText, ("%" + *sSpec + "ll" + cLetter).c_str(), static_cast<unsigned long long>(qwValue));
  return szText;
}

}  // namespace

ActivityLog::~ActivityLog() {
  if (m_lpFile) std::fclose(m_lpFile);
}

std::string ActivityLog::Path() const { return platform::HarbixSubdir("log") + "/" + m_sFileName; }

std::string ActivityLog::FormatHeader(std::time_t when) {
  return std::string(kHeaderSlashes, '/') + "\n// Session of: " + FormatTime(when, "%A, %B %d %Y at %H:%M:%S") + "\n\n";
}

std::string ActivityLog::FormatEvent(std::time_t when, const char* lpTemplate, std::initializer_list<LogInsert> inserts) {
  // The time and the template are joined first; the inserts are expanded over the whole line,
  // which is safe because the time holds no percent sign.
  return ExpandInserts(FormatTime(when, "%y'%m-%d, %H:%M:%S") + ": " + lpTemplate + "\n", inserts);
}

std::string ActivityLog::ExpandInserts(const std::string& sText, std::initializer_list<LogInsert> inserts) {
  std::string sOut;
  sOut.reserve(sText.size() + 32);
  for (size_t i = 0; i < sText.size(); ++i) {
    if (sText[i] != '%' || i + 1 == sText.size()) {
      sOut.push_back(sText[i]);
      continue;
    }
    const char cNext = sText[i + 1];
    if (std::isdigit(static_cast<unsigned char>(cNext)) && cNext != '0') {
      size_t j = i + 1;
      size_t nIndex = 0;
      while (j < sText.size() && std::isdigit(static_cast<unsigned char>(sText[j])) && j < i + 3) {
        nIndex = nIndex * 10 + static_cast<size_t>(sText[j] - '0');
        ++j;
      }
      std::string sFormat;
      if (j < sText.size() && sText[j] == '!') {
        const size_t nEnd = sText.find('!', j + 1);
        if (nEnd != std::string::npos) {
          sFormat = sText.substr(j + 1, nEnd - j - 1);
          j = nEnd + 1;
        }
      }
      if (nIndex >= 1 && nIndex <= inserts.size()) sOut += FormatInsert(*(inserts.begin() + (nIndex - 1)), sFormat);
      i = j - 1;
      continue;
    }
    switch (cNext) {
      case '%': sOut.push_back('%'); break;
      case 'n': sOut.push_back('\n'); break;
      case 't': sOut.push_back('\t'); break;
      case 'r': sOut.push_back('\r'); break;
      case '.': sOut.push_back('.'); break;
      case '!': sOut.push_back('!'); break;
      case '0': return sOut;  // ends the output
      default:
        sOut.push_back('%');
        sOut.push_back(cNext);
    }
    ++i;
  }
  return sOut;
}

void ActivityLog::Open() {
  if (m_lpFile || m_sFileName.empty()) return;
  m_lpFile = std::fopen(Path().c_str(), "ae");
  if (!m_lpFile) return;
  const std::string sHeader = FormatHeader(std::time(nullptr));
  std::fwrite(sHeader.data(), 1, sHeader.size(), m_lpFile);
  std::fflush(m_lpFile);
}

void ActivityLog::Write(const char* lpTemplate, std::initializer_list<LogInsert> inserts) {
  if (!m_bEnabled || !m_lpFile) return;
  const std::string sLine = FormatEvent(std::time(nullptr), lpTemplate, inserts);
  std::fwrite(sLine.data(), 1, sLine.size(), m_lpFile);
  std::fflush(m_lpFile);
}

void ActivityLog::Close() {
  if (!m_lpFile) return;
  Write(kLogClosingLog);
  std::fclose(m_lpFile);
  m_lpFile = nullptr;
}

}  // namespace harbix
