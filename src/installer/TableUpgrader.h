#pragma once

#include "installer/DpkgRepair.h"
#include "installer/Upgrader.h"

namespace Installer {

// The step runner both procedures share: everything but the table is the same.
// `P` is the procedure's static table; the object itself holds only its step.
template <const Procedure& P>
class TableUpgrader : public Upgrader {
public:
    CStringView name() const override { return P.name; }
    CStringView stepKey() const override { return inRange() ? P.steps[static_cast<size_t>(step)].key : CStringView(); }
    CStringView stepText() const override { return inRange() ? P.steps[static_cast<size_t>(step)].text : CStringView(); }
    double progress() const override { return inRange() ? P.steps[static_cast<size_t>(step)].progress : 0.0; }
    bool isCompleted() const override { return step == finalStep(); }

    bool runNextStep() override {
        bool ok = false;
        if (step == 0)
            ok = true; // "not_started" runs nothing
        else if (step > 0 && step < finalStep())
            ok = (step != firstCommandStep() || repairInterruptedDpkg(P.dpkgDirectory, runCommand)) &&
                 runCommand(P.steps[static_cast<size_t>(step)].command);
        if (ok) ++step;
        return ok;
    }

    static constexpr Step finalStep() { return static_cast<Step>(P.steps.size()) - 1; }
    // An interrupted dpkg is repaired before this step's command, as part of
    // the step: if the repair fails, the procedure stops here.
    static Step firstCommandStep() {
        for (Step s = 0; s < finalStep(); ++s)
            if (!P.steps[static_cast<size_t>(s)].command.empty()) return s;
        return finalStep();
    }
    Step currentStep() const { return step; }

private:
    bool inRange() const { return step >= 0 && step <= finalStep(); }

    Step step = 0;
};

} // namespace Installer
