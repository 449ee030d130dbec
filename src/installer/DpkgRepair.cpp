#include "installer/DpkgRepair.h"

#include <cstring>

#include "installer/DpkgState.h"
#include "output/print.h"

namespace Installer {

namespace {

constexpr TemporaryStringView kConfigure = "dpkg --force-confdef --force-confold --configure -a";
constexpr TemporaryStringView kReinstall = "apt-get -qy install --reinstall";
constexpr TemporaryStringView kKeepConfiguration =
    " -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold";
constexpr TemporaryStringView kRemove = "dpkg --force-remove-reinstreq --remove";
constexpr TemporaryStringView kPurge = "dpkg --force-remove-reinstreq --purge";

// A command line built on the stack; package names are checked before they
// get here, so nothing in it is ever interpreted by the shell.
class CommandLine {
public:
    explicit CommandLine(TemporaryStringView start) { append(start); }
    void append(TemporaryStringView text) {
        if (length_ + text.size() >= sizeof text_) return;
        std::memcpy(text_ + length_, text.data(), text.size());
        length_ += text.size();
        text_[length_] = '\0';
    }
    void appendNames(const DpkgState::List& list) {
        for (uint32_t i = 0; i < list.count; ++i) {
            append(" ");
            append(TemporaryStringView(list.names[i], static_cast<uint32_t>(std::strlen(list.names[i]))));
        }
    }
    CStringView view() const { return CStringView::fromCString(text_); }

private:
    char text_[1024] = {};
    uint32_t length_ = 0;
};

void report(TemporaryStringView when, const DpkgState& s) {
    print("dpkg ", when, ": journal=", s.journal, " unfinished=", s.unfinished,
          " reinstall=", s.reinstall.total, " remove=", s.remove.total + s.purge.total,
          " unusable=", s.unusable);
}

bool runWithNames(CommandRunner run, TemporaryStringView command, const DpkgState::List& list,
                  TemporaryStringView tail = TemporaryStringView()) {
    if (list.count == 0) return true;
    CommandLine line(command);
    line.appendNames(list);
    line.append(tail);
    return run(line.view());
}

} // namespace

bool repairInterruptedDpkg(CStringView dpkgDirectory, CommandRunner run) {
    DpkgState state = DpkgState::read(dpkgDirectory);
    if (state.clean()) return true;
    report("was interrupted", state);
    // Its own status is not decisive: what dpkg's files say afterwards is.
    (void)run(CommandLine(kConfigure).view());
    state = DpkgState::read(dpkgDirectory);
    if (state.purge.count + state.remove.count + state.reinstall.count > 0) {
        (void)runWithNames(run, kPurge, state.purge);
        (void)runWithNames(run, kRemove, state.remove);
        (void)runWithNames(run, kReinstall, state.reinstall, kKeepConfiguration);
        state = DpkgState::read(dpkgDirectory);
    }
    if (state.clean()) {
        print("dpkg repaired");
        return true;
    }
    report("is still not consistent", state);
    return false;
}

} // namespace Installer
