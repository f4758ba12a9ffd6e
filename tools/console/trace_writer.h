// The console front end's output: whole lines, each with its timestamp, from any thread. To a
// console it writes wide characters; to a pipe or a file, the console's output code page (the
// system's when there is no console). A log file, when asked for, takes the full trace in
// UTF-8 whatever the screen's filter. At an interactive prompt, trace lines go above it.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tools/console/prompt_line.h"

namespace console {

class TraceWriter {
public:
    enum class Kind { Command, Status, Debug, Error, Note };  // Note: the front end's own lines

    TraceWriter();

    // The screen shows errors, status lines and the front end's own lines only.
    void setQuiet(bool quiet) { quiet_ = quiet; }
    // False, with the reason in *error, when the file cannot be opened.
    bool openLog(const std::string& path, std::string* error);

    // A trace line: timestamp, text, line end, flushed at once (the output is often a file
    // that someone is watching).
    void line(Kind kind, const std::string& text);
    void line(const std::string& text) { line(Kind::Note, text); }
    // Text as it stands (prompt answers, help), flushed.
    void plain(const std::string& text);
    // A message for standard error.
    void problem(const std::string& text);

    // The interactive prompt: shown, typed into, and ended by Enter with the line in UTF-8.
    void showPrompt();
    void type(wchar_t key);
    std::string enter();

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    void toScreen(const std::wstring& text);  // holding lock_

    std::mutex lock_;
    bool quiet_ = false;
    bool console_;          // standard output is a console
    unsigned codePage_;     // for a pipe or a file
    std::unique_ptr<std::FILE, FileCloser> log_;
    PromptLine prompt_{L"> "};
};

}  // namespace console
