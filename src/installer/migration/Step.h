#pragma once

#include "installer/Upgrader.h"

namespace Installer::Migration {

// Moves the hub to the new stack and keeps the Z-Wave network: the chip's
// memory is migrated, not erased.
extern const Procedure kProcedure;
inline constexpr Step kFinalStep = 24;

} // namespace Installer::Migration
