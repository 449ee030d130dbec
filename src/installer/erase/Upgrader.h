#pragma once

#include "installer/TableUpgrader.h"
#include "installer/erase/Step.h"

namespace Installer::Erase {

class Upgrader final : public TableUpgrader<kProcedure> {};

} // namespace Installer::Erase
