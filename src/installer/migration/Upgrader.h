#pragma once

#include "installer/TableUpgrader.h"
#include "installer/migration/Step.h"

namespace Installer::Migration {

class Upgrader final : public TableUpgrader<kProcedure> {};

} // namespace Installer::Migration
