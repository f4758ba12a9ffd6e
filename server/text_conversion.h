// Text across the automation boundary: the emulator works on ANSI text, automation on BSTRs.
#pragma once

#include <string>
#include <vector>

#include "server/com_support.h"

// A BSTR as ANSI text in the system code page; has() is false for a null BSTR. No best-fit
// mapping: a character the code page cannot hold makes the text not exact(), and a path
// that is not exact must not be used, since it may name another file.
class AnsiText {
public:
    explicit AnsiText(BSTR text);
    bool has() const { return has_; }
    bool exact() const { return exact_; }
    const char* c_str() const { return has_ ? buffer_.data() : nullptr; }

private:
    bool has_ = false;
    bool exact_ = true;
    std::vector<char> buffer_;
};

// ANSI text as a new BSTR (null when it cannot be allocated). The receiver's texts may hold
// zero bytes; the string ends at the first, as a C string would.
BSTR toBstr(const char* text);
BSTR toBstr(std::string_view text);
