#pragma once

#include "installer/Upgrader.h"

namespace Installer::Erase {

// Moves the hub to the new stack and erases the Z-Wave chip's network memory.
extern const Procedure kProcedure;
inline constexpr Step kFinalStep = 26;

} // namespace Installer::Erase
