#include "engine/core/HttpDate.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>

#include "common/Text.h"

namespace harbix {
namespace {

// Reads a text the way scanf reads it with a format of words, bounded numbers and literals:
// white space in the text before a word or a number is skipped.
class Scanner {
 public:
  explicit Scanner(std::string_view sText) : m_sText(sText) {}

  // A word: everything up to white space (or, with cStop, up to that character too).
  std::optional<std::string> Word(char cStop = '\0') {
    SkipSpaces();
    const size_t nStart = m_nPos;
    while (m_nPos < m_sText.size() && !IsSpace(m_sText[m_nPos]) && m_sText[m_nPos] != cStop) ++m_nPos;
    if (m_nPos == nStart) return std::nullopt;
    return std::string(m_sText.substr(nStart, m_nPos - nStart));
  }
  // An unsigned number of at most nMaxDigits digits.
  std::optional<unsigned> Number(size_t nMaxDigits) {
    SkipSpaces();
    unsigned nValue = 0;
    size_t nDigits = 0;
    while (m_nPos < m_sText.size() && nDigits < nMaxDigits && std::isdigit(static_cast<unsigned char>(m_sText[m_nPos]))) {
      nValue = nValue * 10 + static_cast<unsigned>(m_sText[m_nPos++] - '0');
      ++nDigits;
    }
    if (nDigits == 0) return std::nullopt;
    return nValue;
  }
  bool Literal(char c) {
    if (m_nPos >= m_sText.size() || m_sText[m_nPos] != c) return false;
    ++m_nPos;
    return true;
  }

 private:
  static bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
  void SkipSpaces() {
    while (m_nPos < m_sText.size() && IsSpace(m_sText[m_nPos])) ++m_nPos;
  }

  std::string_view m_sText;
  size_t m_nPos = 0;
};

struct Fields {
  std::string sMonth;
  unsigned nDay = 0, nYear = 0, nHour = 0, nMinute = 0, nSecond = 0;
};

bool ReadTime(Scanner& scan, Fields* pFields) {
  const std::optional<unsigned> nHour = scan.Number(2);
  if (!nHour || !scan.Literal(':')) return false;
  const std::optional<unsigned> nMinute = scan.Number(2);
  if (!nMinute || !scan.Literal(':')) return false;
  const std::optional<unsigned> nSecond = scan.Number(2);
  if (!nSecond) return false;
  pFields->nHour = *nHour;
  pFields->nMinute = *nMinute;
  pFields->nSecond = *nSecond;
  return true;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
bool ReadRfc1123(std::string_view sText, Fields* pFields) {
  Scanner scan(sText);
  if (!scan.Word()) return false;
  const std::optional<unsigned> nDay = scan.Number(2);
  const std::optional<std::string> sMonth = nDay ? scan.Word() : std::nullopt;
  const std::optional<unsigned> nYear = sMonth ? scan.Number(4) : std::nullopt;
  if (!nYear || !ReadTime(scan, pFields)) return false;
  pFields->nDay = *nDay;
  pFields->sMonth = *sMonth;
  pFields->nYear = *nYear;
  return true;
}

// "Sunday, 06-Nov-94 08:49:37 GMT": the month is what stands between the two dashes.
bool ReadRfc850(std::string_view sText, Fields* pFields) {
  Scanner scan(sText);
  if (!scan.Word()) return false;
  const std::optional<unsigned> nDay = scan.Number(2);
  if (!nDay || !scan.Literal('-')) return false;
  const std::optional<std::string> sMonth = scan.Word('-');
  if (!sMonth || !scan.Literal('-')) return false;
  const std::optional<unsigned> nYear = scan.Number(2);
  if (!nYear || !ReadTime(scan, pFields)) return false;
  pFields->nDay = *nDay;
  pFields->sMonth = *sMonth;
  pFields->nYear = *nYear;
  return true;
}

// "Sun Nov  6 08:49:37 1994"
bool ReadAsctime(std::string_view sText, Fields* pFields) {
  Scanner scan(sText);
  if (!scan.Word()) return false;
  const std::optional<std::string> sMonth = scan.Word();
  const std::optional<unsigned> nDay = sMonth ? scan.Number(2) : std::nullopt;
  if (!nDay || !ReadTime(scan, pFields)) return false;
  const std::optional<unsigned> nYear = scan.Number(4);
  if (!nYear) return false;
  pFields->nDay = *nDay;
  pFields->sMonth = *sMonth;
  pFields->nYear = *nYear;
  return true;
}

}  // namespace

int32_t HttpDate::Parse(std::string_view sText) {
  Fields fields;
  if (!ReadRfc1123(sText, &fields) && !ReadRfc850(sText, &fields) && !ReadAsctime(sText, &fields)) return -1;
  static constexpr std::string_view kMonths = "JAN-FEB-MAR-APR-MAY-JUN-JUL-AUG-SEP-OCT-NOV-DEC";
  std::string sMonth = fields.sMonth;
  for (char& c : sMonth) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const size_t nMonth = kMonths.find(sMonth);
  if (nMonth == std::string_view::npos) return -1;
  std::tm utc{};
  utc.tm_year = static_cast<int>(fields.nYear > 1900 ? fields.nYear - 1900 : fields.nYear);
  utc.tm_mon = static_cast<int>(nMonth / 4);
  utc.tm_mday = static_cast<int>(fields.nDay);
  utc.tm_hour = static_cast<int>(fields.nHour);
  utc.tm_min = static_cast<int>(fields.nMinute);
  utc.tm_sec = static_cast<int>(fields.nSecond);
  const std::time_t when = ::timegm(&utc);
  if (when < 0 || when > INT32_MAX) return -1;
  return static_cast<int32_t>(when);
}

std::string HttpDate::Format(int64_t nSeconds) {
  const std::time_t when = static_cast<std::time_t>(nSeconds);
  std::tm utc{};
  ::gmtime_r(&when, &utc);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char szText[64];
  std::snprintf(szText, sizeof szText, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
                kMonthNames[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return szText;
}

}  // namespace harbix
