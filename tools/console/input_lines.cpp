// The reader thread and its queue.
#include "input_lines.h"

#include <thread>

namespace console {

InputLines::InputLines(Reader readLine) : shared_(new Shared) {
    std::thread([shared = shared_, readLine = std::move(readLine)] {
        std::string line;
        while (readLine(&line)) {
            std::lock_guard<std::mutex> hold(shared->lock);
            shared->lines.push_back(std::move(line));
            line.clear();
            shared->changed.notify_all();
        }
        std::lock_guard<std::mutex> hold(shared->lock);
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
