// The console front end's output: whole lines, each with its timestamp, from any thread.
#pragma once

#include <mutex>
#include <string>

namespace console {

class TraceWriter {
public:
    // A trace line: timestamp, text, newline, flushed at once (the output is often a file
    // that someone is watching).
    void line(const std::string& text);
    // Text as it stands (prompt answers, help), flushed.
    void plain(const std::string& text);
    // A message for standard error.
    void problem(const std::string& text);

private:
    std::mutex lock_;
};

}  // namespace console
