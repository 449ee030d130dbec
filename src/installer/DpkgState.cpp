#include "installer/DpkgState.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "UnixSocket/FileDescriptor.h"

namespace Installer {

namespace {

constexpr uint32_t kLineKept = 160; // longer lines are never ones we look at

bool isDigits(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

// Debian's package name rule: lower-case letters, digits, '+', '-', '.', at
// least two characters, starting with a letter or digit.
bool isPackageName(TemporaryStringView name) {
    if (name.size() < 2 || name.size() > DpkgState::kMaxNameLength) return false;
    for (uint32_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && (i == 0 || (c != '+' && c != '-' && c != '.'))) return false;
    }
    return true;
}

TemporaryStringView nextWord(TemporaryStringView& text) {
    while (!text.empty() && text[0] == ' ') text = text.dropFront(1);
    uint32_t end = text.find(' ');
    TemporaryStringView word(text.data(), end);
    text = text.dropFront(end);
    return word;
}

uint32_t countJournal(int adminDirectory) {
    UnixSocket::FileDescriptor updates(::openat(adminDirectory, "updates", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!updates.valid()) return 0;
    uint32_t pending = 0;
    alignas(dirent64) char entries[2048];
    for (;;) {
        ssize_t n = ::getdents64(updates.get(), entries, sizeof entries);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            // dpkg's journal entries are numbered files; anything else is not its.
            if (isDigits(entry->d_name)) ++pending;
            at += entry->d_reclen;
        }
    }
    return pending;
}

// One stanza of the status file at a time: only its Package and Status fields.
class StatusReader {
public:
    explicit StatusReader(DpkgState& state) : state_(state) {}

    void feed(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') {
                endLine();
            } else if (length_ < kLineKept) {
                line_[length_++] = data[i];
            } else {
                truncated_ = true;
            }
        }
    }

    void finish() {
        if (length_ > 0) endLine();
        endStanza();
    }

private:
    void endLine() {
        TemporaryStringView line(line_, length_);
        if (line.empty()) {
            endStanza();
        } else if (!truncated_ && line.startsWith("Package: ")) {
            TemporaryStringView name = line.dropFront(9);
            nameValid_ = isPackageName(name);
            nameLength_ = nameValid_ ? name.size() : 0;
            std::memcpy(name_, name.data(), nameLength_);
            hasPackage_ = true;
        } else if (!truncated_ && line.startsWith("Status: ")) {
            TemporaryStringView rest = line.dropFront(8);
            TemporaryStringView want = nextWord(rest);
            TemporaryStringView flag = nextWord(rest);
            TemporaryStringView status = nextWord(rest);
            classify(want, flag, status);
        }
        length_ = 0;
        truncated_ = false;
    }

    void classify(TemporaryStringView want, TemporaryStringView flag, TemporaryStringView status) {
        if (status == "half-installed" || flag == "reinstreq") {
            kind_ = want == "purge" ? Kind::Purge : want == "deinstall" ? Kind::Remove : Kind::Reinstall;
        } else if (status == "half-configured" || status == "unpacked" || status == "triggers-awaited" ||
                   status == "triggers-pending") {
            kind_ = Kind::Unfinished;
        } else {
            kind_ = Kind::Fine;
        }
    }

    void endStanza() {
        if (hasPackage_ && kind_ != Kind::Fine) {
            TemporaryStringView name(name_, nameLength_);
            if (kind_ == Kind::Unfinished) {
                ++state_.unfinished;
            } else if (!nameValid_) {
                ++state_.unusable;
            } else {
                DpkgState::List& list = kind_ == Kind::Purge    ? state_.purge
                                        : kind_ == Kind::Remove ? state_.remove
                                                                : state_.reinstall;
                list.add(name);
            }
        }
        hasPackage_ = false;
        nameValid_ = false;
        nameLength_ = 0;
        kind_ = Kind::Fine;
    }

    enum class Kind { Fine, Unfinished, Reinstall, Remove, Purge };

    DpkgState& state_;
    char line_[kLineKept];
    uint32_t length_ = 0;
    bool truncated_ = false;
    char name_[DpkgState::kMaxNameLength];
    uint32_t nameLength_ = 0;
    bool nameValid_ = false;
    bool hasPackage_ = false;
    Kind kind_ = Kind::Fine;
};

} // namespace

void DpkgState::List::add(TemporaryStringView name) {
    ++total;
    if (count == kMaxListed) return;
    std::memcpy(names[count], name.data(), name.size());
    names[count][name.size()] = '\0';
    ++count;
}

DpkgState DpkgState::read(CStringView directory) {
    DpkgState state;
    UnixSocket::FileDescriptor admin(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!admin.valid()) return state;
    state.journal = countJournal(admin.get());
    UnixSocket::FileDescriptor status(::openat(admin.get(), "status", O_RDONLY | O_CLOEXEC));
    if (!status.valid()) {
        perror("open");
        return state;
    }
    StatusReader reader(state);
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(status.get(), chunk, sizeof chunk);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1) perror("read");
        if (n <= 0) break;
        reader.feed(chunk, static_cast<size_t>(n));
    }
    reader.finish();
    return state;
}

} // namespace Installer
