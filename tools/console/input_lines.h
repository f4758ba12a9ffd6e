// Lines from standard input for the console front end's prompt, read on a thread of their
// own so that Ctrl+C can end the wait for the next one.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace console {

class InputLines {
public:
    enum class Next { Line, End, Interrupted };

    // Reads one line (in UTF-8, without its line end); false at the end of input.
    using Reader = std::function<bool(std::string*)>;

    // Starts a thread that reads with readLine. It is left blocked in its read when the
    // program ends (there is no portable way to wake a read of a console or a pipe); it
    // touches nothing but this object's shared state, which outlives it: the object is meant
    // to live until exit.
    explicit InputLines(Reader readLine);
    InputLines(const InputLines&) = delete;
    InputLines& operator=(const InputLines&) = delete;

    // Waits for the next line (without its line end), the end of input, or interrupt().
    Next next(std::string* line);
    // From any thread, e.g. a console control handler.
    void interrupt();

private:
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::string> lines;
        bool ended = false;
        bool interrupted = false;
    };
    Shared* shared_;  // deliberately never freed: the reader may still use it at exit
};

}  // namespace console
