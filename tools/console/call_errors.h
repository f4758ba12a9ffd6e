// The Error events a front end has received, kept so that each of its calls is judged by its
// own outcome: an Error that came during the call and names that call's operation (the
// server's texts end with "(Location.operation)"). An error of the bus meanwhile is not the
// call's. Thread-safe: events arrive on the server's threads.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace console {

class CallErrors {
public:
    using Locations = std::vector<const char*>;
    // Where the server reports a failure of each call.
    static const Locations kCreate, kMount, kPort, kStart;

    void add(std::string text);
    // A mark to take before a call.
    std::size_t mark();
    // True when an Error since the mark came from one of locations.
    bool since(std::size_t mark, const Locations& locations);

private:
    static constexpr std::size_t kKept = 256;  // the latest: a day of bus errors stays small
    std::mutex lock_;
    std::deque<std::string> texts_;
    std::size_t dropped_ = 0;  // older ones let go
};

}  // namespace console
