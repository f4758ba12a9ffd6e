// What the console front end is asked to do: its command line, and the lines typed at its
// prompt. Portable, so that the native build tests it too.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace console {

// A disk geometry for a new image: sectors and bytes per sector.
struct Geometry {
    long sectors = 0;
    long sectorSize = 0;
};

// "sd" (720 x 128), "ed" (1040 x 128), "dd" (720 x 256) or "COUNTxSIZE"; nullopt for anything
// else. Sizes the server cannot serve are left for the server to refuse with its own text.
std::optional<Geometry> parseGeometry(const std::string& text);

struct Mount {
    int drive = 0;  // 1 to 9
    std::string path;
    bool readOnly = false;
};

struct Creation {
    std::string path;
    Geometry geometry;
};

struct Options {
    int port = 0;  // 0: leave the server's port as it is
    bool raw = false;
    bool start = false;
    bool help = false;
    bool quiet = false;       // the screen shows errors and status lines only
    bool createOver = false;  // --create may overwrite an existing file
    std::string logPath;      // the full trace also goes here ("" for none)
    std::vector<Creation> creations;
    std::vector<Mount> mounts;
};

// The arguments after the program's name. On a mistake, nullopt and a message in *error.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* error);

// One line typed at the prompt.
struct Request {
    enum class Verb { None, Help, Mount, Unmount, Swap, Create, Status, Port, Start, Stop, Quit };
    Verb verb = Verb::None;  // None: an empty line
    int drive = 0;           // mount, unmount, swap (first)
    int otherDrive = 0;      // swap (second)
    int port = -1;           // port: -1 asks, else the new port
    bool readOnly = false;   // mount
    bool overwrite = false;  // create! may overwrite an existing file
    std::string path;        // mount, create
    Geometry geometry;       // create
};

// On a mistake, nullopt and a message in *error.
std::optional<Request> parseRequest(const std::string& line, std::string* error);

// The usage text printed by --help and after a mistake on the command line.
const char* usageText();
// The prompt's help text.
const char* promptHelpText();

}  // namespace console
