// The engine's services with their session kinds.
#pragma once

#include "engine/core/Engine.h"

namespace harbix {

ServiceCatalog DefaultCatalog();

}  // namespace harbix
