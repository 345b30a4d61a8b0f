#include "manager/StatisticsTexts.h"

#include <array>

#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {
namespace {

struct StatisticText {
  int m_nId;
  const char* m_lpText;
};
constexpr std::array<StatisticText, 3> kTexts = {{
    {id::kActiveConnections, "Total Active Connections: N/A"},
    {id::kReceivedBytes, "Total Received Bytes: N/A"},
    {id::kSentBytes, "Total Sent Bytes: N/A"},
}};

}  // namespace

std::vector<QLabel*> NewStatistics() {
  std::vector<QLabel*> vLabels;
  for (const StatisticText& text : kTexts) vLabels.push_back(NewStatic(text.m_nId, QString::fromLatin1(text.m_lpText)));
  return vLabels;
}

void ShowNoStatistics(const std::vector<QLabel*>& vLabels) {
  for (size_t n = 0; n < vLabels.size() && n < kTexts.size(); ++n) vLabels[n]->setText(QString::fromLatin1(kTexts[n].m_lpText));
}

}  // namespace harbix::manager
