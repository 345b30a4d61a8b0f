// The help of the manager's controls, keyed by control identifier: shown as What's This text.
#pragma once

#include <QString>

namespace harbix::manager {

// The topic of a control; empty for identifiers that have none.
QString HelpTopic(int nId);

}  // namespace harbix::manager
