#pragma once

#include <cstddef>
#include <cstdint>

#include "util/StringView.h"
#include "util/View.h"

namespace Installer {

using Step = int32_t;

// One row of a procedure's table. Steps 0 ("not_started") and the final step
// ("completed") have no command; their command is empty.
struct step_impl {
    Step step;
    CStringView key;
    CStringView text;
    double progress; // percent reported while this step is the current one
    CStringView command;
};

// Tables are written so that row i describes step i; the compiler checks it.
template <size_t N>
constexpr bool numberedInOrder(const step_impl (&steps)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (steps[i].step != static_cast<Step>(i)) return false;
    return true;
}

// A fixed, ordered procedure: its name, its table (row i describing step i),
// and the package database it changes, checked before its first command.
struct Procedure {
    CStringView name;
    View<const step_impl> steps;
    CStringView dpkgDirectory;
};

// What the backend drives without knowing which procedure it holds. Every text
// handed out points into static tables and lives as long as the program.
class Upgrader {
public:
    virtual CStringView name() const = 0;
    virtual CStringView stepKey() const = 0;
    virtual CStringView stepText() const = 0;
    virtual double progress() const = 0;
    virtual bool isCompleted() const = 0;
    // Runs the current step; advances and returns true only when it succeeded.
    virtual bool runNextStep() = 0;
    virtual ~Upgrader() = default;

    // Announces the command with a banner, runs it through the shell and tells
    // whether it exited normally with status 0.
    static bool runCommand(CStringView commandLine);

    // Puts DEBIAN_FRONTEND=noninteractive into the environment. The first call
    // may grow the environment on the heap, so the backend makes it at start-up
    // and constructing a procedure later allocates nothing.
    static void prepareEnvironment();

protected:
    // Every command a procedure runs must see a non-interactive package manager.
    Upgrader();
};

} // namespace Installer
