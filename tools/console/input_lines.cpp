// The reader thread and its queue.
#include "input_lines.h"

#include <cstdio>
#include <thread>

namespace console {

InputLines::InputLines() : shared_(new Shared) {
    std::thread([shared = shared_] {
        char buffer[4096];
        std::string line;
        while (std::fgets(buffer, sizeof buffer, stdin)) {
            line += buffer;
            if (line.back() != '\n') continue;  // the rest of a long line follows
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            std::lock_guard<std::mutex> hold(shared->lock);
            shared->lines.push_back(std::move(line));
            line.clear();
            shared->changed.notify_all();
        }
        std::lock_guard<std::mutex> hold(shared->lock);
        if (!line.empty()) shared->lines.push_back(line);  // a last line without its end
        shared->ended = true;
        shared->changed.notify_all();
    }).detach();
}

InputLines::Next InputLines::next(std::string* line) {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->changed.wait(hold, [&] { return shared_->interrupted || !shared_->lines.empty() || shared_->ended; });
    if (shared_->interrupted) return Next::Interrupted;
    if (shared_->lines.empty()) return Next::End;
    *line = std::move(shared_->lines.front());
    shared_->lines.pop_front();
    return Next::Line;
}

void InputLines::interrupt() {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->interrupted = true;
    shared_->changed.notify_all();
}

}  // namespace console
