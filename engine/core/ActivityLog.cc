#include "engine/core/ActivityLog.h"

#include <cctype>
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

std::string FormatInsert(const LogInsert& insert, const std::string& sFormat) {
  if (const auto* lpText = std::get_if<std::string>(&insert)) {
    if (sFormat.empty() || sFormat == "s") return *lpText;
    std::vector<char> vBuffer(lpText->size() + 256);
    std::snprintf(vBuffer.data(), vBuffer.size(), ("%" + sFormat).c_str(), lpText->c_str());
    return vBuffer.data();
  }
  const uint64_t qwValue = std::get<uint64_t>(insert);
  // Only integer conversions make sense for a number; anything else prints it plainly.
  const char cConversion = sFormat.empty() ? 'u' : sFormat.back();
  if (std::string_view("uidxXo").find(cConversion) == std::string_view::npos) return std::to_string(qwValue);
  std::string sSpec = "%" + sFormat.substr(0, sFormat.size() - (sFormat.empty() ? 0 : 1)) + "ll" + cConversion;
  char szText[64];
  std::snprintf(szText, sizeof szText, sSpec.c_str(), static_cast<unsigned long long>(qwValue));
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
