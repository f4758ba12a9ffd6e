// What envprobe was started to do, from its command line.
#pragma once

namespace envprobe {

enum class Mode {
    Serve,       // no switch, -Embedding (COM starts the server so) or -Automation
    Register,    // /RegServer
    Unregister,  // /UnregServer
    Invalid,     // anything else: the program does nothing
};

// `arguments` is the command line after the program name. Switches start with '-' or '/'
// and are matched without regard to case; one switch at most.
Mode parseCommandLine(const wchar_t* arguments);

}  // namespace envprobe
