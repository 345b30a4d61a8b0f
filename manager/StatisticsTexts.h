// The statistics statics of a page while the engine's figures are not shown.
#pragma once

#include <QLabel>

#include <vector>

namespace harbix::manager {

// "Total Active Connections: N/A", "Total Received Bytes: N/A", "Total Sent Bytes: N/A", with
// their identifiers.
std::vector<QLabel*> NewStatistics();
void ShowNoStatistics(const std::vector<QLabel*>& vLabels);

}  // namespace harbix::manager
