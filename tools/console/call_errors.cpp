// Portable: the native build tests it too.
#include "tools/console/call_errors.h"

namespace console {

const CallErrors::Locations CallErrors::kCreate{"CDiskImage::createImage", "CEmulator::createImage",
                                                "CShell::createImage"};
const CallErrors::Locations CallErrors::kMount{"CDiskImage::loadImage", "CSIODrives::mountImage",
                                               "CShell::mountDisk"};
const CallErrors::Locations CallErrors::kPort{"CSIOPort::openPort", "CEmulator::setSerialPort"};
const CallErrors::Locations CallErrors::kStart{"CStateStore::start", "CSIOPort::openPort"};

void CallErrors::add(std::string text) {
    std::lock_guard<std::mutex> hold(lock_);
    texts_.push_back(std::move(text));
    if (texts_.size() > kKept) {
        texts_.pop_front();
        ++dropped_;
    }
}

std::size_t CallErrors::mark() {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_ + texts_.size();
}

bool CallErrors::since(std::size_t mark, const Locations& locations) {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = mark > dropped_ ? mark - dropped_ : 0; i < texts_.size(); ++i)
        for (const char* where : locations)
            if (texts_[i].find(std::string("(") + where) != std::string::npos) return true;
    return false;
}

}  // namespace console
