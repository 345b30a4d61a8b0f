// The activity log's message templates with their inserts: any template expands without harm.
#include "engine/core/ActivityLog.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::string sTemplate(reinterpret_cast<const char*>(lpData), cbData);
  ActivityLog::ExpandInserts(sTemplate, {std::string("127.0.0.1"), uint64_t{40000}, std::string(cbData % 300, 'x')});
  ActivityLog::ExpandInserts(sTemplate, {});
  ActivityLog::FormatEvent(976184430, sTemplate.c_str(), {uint64_t{UINT64_MAX}});
  return 0;
}
