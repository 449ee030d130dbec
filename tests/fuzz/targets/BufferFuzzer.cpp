// Buffer appends of every form at every fill level that matters. The input is
// a list of operations: a form, a fill level and the value's bytes. Each one is
// tried at that level, at 0, and at every level from just before the value
// stops fitting up to the full 1023 bytes. After each append:
// - an accepted append added exactly the expected text (std::to_chars-free
//   reference: std::to_string and snprintf into a large array);
// - a refused append left the content byte for byte unchanged;
// - it was accepted exactly when the rules say it fits: text and integers up
//   to 1023 bytes, the floating forms only while strictly shorter than the
//   room, a character dropped silently at 1023.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "Check.h"
#include "output/Buffer.h"

namespace {

constexpr uint32_t kMax = Buffer::kMaxContent;

enum Form : uint8_t { Text, Char, Int32, Uint32, Int64, Uint64, Float, Double, Fixed3, kForms };

struct Operation {
    Form form;
    uint32_t level;
    const uint8_t* value;
    uint32_t size; // bytes of value used (the text's length for Text)
};

// Reads operations off the front of the input; false at its end.
struct Input {
    const uint8_t* data;
    size_t size;

    bool next(Operation& op) {
        if (size < 3) return false;
        op.form = static_cast<Form>(data[0] % kForms);
        op.level = (static_cast<uint32_t>(data[1]) << 8 | data[2]) % (kMax + 1);
        data += 3;
        size -= 3;
        static constexpr uint32_t kWidth[kForms] = {0, 1, 4, 4, 8, 8, 4, 8, 8};
        uint32_t want = op.form == Text ? (size > 0 ? data[0] * 5u : 0u) : kWidth[op.form];
        if (op.form == Text && size > 0) {
            ++data; // the length byte: up to 1275 bytes, so over-long texts occur
            --size;
        }
        op.size = static_cast<uint32_t>(std::min<size_t>(want, size));
        if (op.form != Text && op.size < want) return false;
        op.value = data;
        data += op.size;
        size -= op.size;
        return true;
    }
};

template <class T>
T load(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::string formatted(const char* format, double value) {
    char text[512];
    int n = std::snprintf(text, sizeof text, format, value);
    FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) < sizeof text);
    return std::string(text, static_cast<size_t>(n));
}

// The text the operation should add, and whether it must fit strictly (floating forms).
std::string expectedText(const Operation& op, bool& strict) {
    strict = false;
    switch (op.form) {
    case Text: return std::string(reinterpret_cast<const char*>(op.value), op.size);
    case Char: return std::string(1, static_cast<char>(op.value[0]));
    case Int32: return std::to_string(load<int32_t>(op.value));
    case Uint32: return std::to_string(load<uint32_t>(op.value));
    case Int64: return std::to_string(load<int64_t>(op.value));
    case Uint64: return std::to_string(load<uint64_t>(op.value));
    case Float: strict = true; return formatted("%.9g", static_cast<double>(load<float>(op.value)));
    case Double: strict = true; return formatted("%.17g", load<double>(op.value));
    case Fixed3: strict = true; return formatted("%.3f", load<double>(op.value));
    case kForms: break;
    }
    return std::string();
}

// True when the buffer reported success (the character form reports nothing).
bool apply(Buffer& b, const Operation& op) {
    switch (op.form) {
    case Text: return b.append(TemporaryStringView(reinterpret_cast<const char*>(op.value), op.size));
    case Char: b.append(static_cast<char>(op.value[0])); return true;
    case Int32: return b.append(load<int32_t>(op.value));
    case Uint32: return b.append(load<uint32_t>(op.value));
    case Int64: return b.append(load<int64_t>(op.value));
    case Uint64: return b.append(load<uint64_t>(op.value));
    case Float: return b.append(load<float>(op.value));
    case Double: return b.append(load<double>(op.value));
    case Fixed3: return b.appendFixed3(load<double>(op.value));
    case kForms: break;
    }
    return false;
}

void fill(Buffer& b, uint32_t level) {
    static char filler[kMax];
    if (filler[0] == 0)
        for (uint32_t i = 0; i < kMax; ++i) filler[i] = static_cast<char>('a' + i % 26);
    b.clear();
    FUZZ_CHECK(b.append(TemporaryStringView(filler, level)) && b.length() == level);
}

void check(const Operation& op, uint32_t level, const std::string& text, bool strict) {
    Buffer b;
    fill(b, level);
    char before[kMax];
    std::memcpy(before, b.data(), level);

    const bool accepted = apply(b, op);
    const uint32_t room = kMax - level;
    const bool fits = strict ? level < kMax && text.size() < room : text.size() <= room;

    FUZZ_CHECK(std::memcmp(b.data(), before, level) == 0);
    if (op.form == Char) {
        FUZZ_CHECK(b.length() == (fits ? level + 1 : level));
        if (fits) FUZZ_CHECK(b.data()[level] == text[0]);
        return;
    }
    FUZZ_CHECK(accepted == fits);
    if (!accepted) {
        FUZZ_CHECK(b.length() == level);
        return;
    }
    FUZZ_CHECK(b.length() == level + text.size());
    FUZZ_CHECK(std::memcmp(b.data() + level, text.data(), text.size()) == 0);
    FUZZ_CHECK(b.length() <= kMax);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input{data, size};
    Operation op;
    while (input.next(op)) {
        bool strict = false;
        const std::string text = expectedText(op, strict);
        check(op, op.level, text, strict);
        check(op, 0, text, strict);
        // The edge: from two bytes before the value stops fitting up to full.
        const uint32_t edge = text.size() + 2 > kMax ? 0 : kMax - static_cast<uint32_t>(text.size()) - 2;
        for (uint32_t level = edge; level <= kMax; ++level) check(op, level, text, strict);
    }
    return 0;
}
