// Parsing of the console front end's command line and prompt lines.
#include "console_options.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace console {
namespace {

bool parseNumber(const std::string& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "D1" to "D9", with or without the colon, either case.
bool parseDrive(const std::string& text, int* drive) {
    std::string t = lower(text);
    if (!t.empty() && t.back() == ':') t.pop_back();
    if (t.size() != 2 || t[0] != 'd' || t[1] < '1' || t[1] > '9') return false;
    *drive = t[1] - '0';
    return true;
}

// A path with an optional ",ro" at its end.
void splitReadOnly(std::string text, std::string* path, bool* readOnly) {
    *readOnly = false;
    if (text.size() > 3 && lower(text.substr(text.size() - 3)) == ",ro") {
        *readOnly = true;
        text.resize(text.size() - 3);
    }
    *path = text;
}

std::vector<std::string> words(const std::string& line) {
    // Words are separated by blanks; a word in double quotes may hold blanks (paths).
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            const std::size_t end = line.find('"', i + 1);
            word = line.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
            i = end == std::string::npos ? line.size() : end + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) word += line[i++];
        }
        out.push_back(word);
    }
    return out;
}

}  // namespace

std::optional<Geometry> parseGeometry(const std::string& text) {
    const std::string t = lower(text);
    if (t == "sd") return Geometry{720, 128};
    if (t == "ed") return Geometry{1040, 128};
    if (t == "dd") return Geometry{720, 256};
    const std::size_t x = t.find('x');
    Geometry g;
    if (x == std::string::npos || !parseNumber(t.substr(0, x), 1, 65535, &g.sectors) ||
        !parseNumber(t.substr(x + 1), 1, 65535, &g.sectorSize))
        return std::nullopt;
    return g;
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h" || a == "/?") {
            o.help = true;
        } else if (a == "--raw") {
            o.raw = true;
        } else if (a == "--start") {
            o.start = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--create-over") {
            o.createOver = true;
        } else if (a == "--log") {
            if (!value(&o.logPath)) return std::nullopt;
        } else if (a == "--port") {
            long port = 0;
            if (!value(&v)) return std::nullopt;
            if (!parseNumber(v, 1, 9, &port)) {
                *error = "--port takes 1 to 9 (COM1 to COM9), not \"" + v + "\"";
                return std::nullopt;
            }
            o.port = static_cast<int>(port);
        } else if (a == "--create") {
            if (!value(&v)) return std::nullopt;
            const std::size_t eq = v.rfind('=');
            std::optional<Geometry> g;
            if (eq == std::string::npos || eq == 0 || !(g = parseGeometry(v.substr(eq + 1)))) {
                *error = "--create takes PATH=sd, PATH=ed, PATH=dd or PATH=COUNTxSIZE, not \"" + v + "\"";
                return std::nullopt;
            }
            o.creations.push_back({v.substr(0, eq), *g});
        } else {
            const std::size_t eq = a.find('=');
            Mount m;
            if (eq == std::string::npos || !parseDrive(a.substr(0, eq), &m.drive)) {
                *error = "unknown argument \"" + a + "\"";
                return std::nullopt;
            }
            splitReadOnly(a.substr(eq + 1), &m.path, &m.readOnly);
            if (m.path.empty()) {
                *error = "D" + std::to_string(m.drive) + "= needs an image path";
                return std::nullopt;
            }
            o.mounts.push_back(m);
        }
    }
    return o;
}

std::optional<Request> parseRequest(const std::string& line, std::string* error) {
    const std::vector<std::string> w = words(line);
    Request r;
    if (w.empty()) return r;
    const std::string verb = lower(w[0]);
    auto arity = [&](std::size_t low, std::size_t high, const char* usage) {
        if (w.size() - 1 < low || w.size() - 1 > high) {
            *error = std::string("usage: ") + usage;
            return false;
        }
        return true;
    };
    auto drive = [&](const std::string& text, int* out) {
        if (parseDrive(text, out)) return true;
        *error = "not a drive: \"" + text + "\" (D1 to D9)";
        return false;
    };
    if (verb == "help" || verb == "?") {
        r.verb = Request::Verb::Help;
    } else if (verb == "mount") {
        if (!arity(2, 3, "mount Dn PATH [ro]") || !drive(w[1], &r.drive)) return std::nullopt;
        r.verb = Request::Verb::Mount;
        r.path = w[2];
        if (w.size() == 4) {
            if (lower(w[3]) != "ro") {
                *error = "usage: mount Dn PATH [ro]";
                return std::nullopt;
            }
            r.readOnly = true;
        }
    } else if (verb == "unmount") {
        if (!arity(1, 1, "unmount Dn") || !drive(w[1], &r.drive)) return std::nullopt;
        r.verb = Request::Verb::Unmount;
    } else if (verb == "swap") {
        if (!arity(2, 2, "swap Dn Dm") || !drive(w[1], &r.drive) || !drive(w[2], &r.otherDrive))
            return std::nullopt;
        r.verb = Request::Verb::Swap;
    } else if (verb == "create" || verb == "create!") {
        if (!arity(2, 2, "create[!] PATH sd|ed|dd|COUNTxSIZE")) return std::nullopt;
        const std::optional<Geometry> g = parseGeometry(w[2]);
        if (!g) {
            *error = "not a geometry: \"" + w[2] + "\" (sd, ed, dd or COUNTxSIZE)";
            return std::nullopt;
        }
        r.verb = Request::Verb::Create;
        r.overwrite = verb == "create!";
        r.path = w[1];
        r.geometry = *g;
    } else if (verb == "status") {
        if (!arity(0, 0, "status")) return std::nullopt;
        r.verb = Request::Verb::Status;
    } else if (verb == "port") {
        if (!arity(0, 1, "port [1-9]")) return std::nullopt;
        r.verb = Request::Verb::Port;
        if (w.size() == 2) {
            long port = 0;
            if (!parseNumber(w[1], 1, 9, &port)) {
                *error = "port takes 1 to 9 (COM1 to COM9), not \"" + w[1] + "\"";
                return std::nullopt;
            }
            r.port = static_cast<int>(port);
        }
    } else if (verb == "start" || verb == "stop" || verb == "quit" || verb == "exit") {
        if (!arity(0, 0, verb.c_str())) return std::nullopt;
        r.verb = verb == "start" ? Request::Verb::Start : verb == "stop" ? Request::Verb::Stop : Request::Verb::Quit;
    } else {
        *error = "unknown command \"" + w[0] + "\" (help lists them)";
        return std::nullopt;
    }
    return r;
}

const char* usageText() {
    return "usage: vandrel-console [--port N] [--raw] [--quiet] [--log FILE]\n"
           "                      [--create PATH=sd|ed|dd|COUNTxSIZE]... [--create-over]\n"
           "                      [Dn=PATH[,ro]]... [--start]\n"
           "  --port N       serve the bus on COMN (1 to 9)\n"
           "  --raw          also print each command frame's five bytes\n"
           "  --quiet        show errors and status lines only, not commands\n"
           "  --log FILE     write the full trace to FILE as well\n"
           "  --create       make a blank image: sd 720x128, ed 1040x128, dd 720x256, or COUNTxSIZE\n"
           "  --create-over  let --create overwrite a file that exists\n"
           "  Dn=PATH        mount an image as D1: to D9: (\",ro\" after the path: read-only)\n"
           "  --start        start the emulation once the images are mounted\n"
           "Then type commands (help lists them); end of input or Ctrl+C quits.\n";
}

const char* promptHelpText() {
    return "commands:\n"
           "  mount Dn PATH [ro]   unmount Dn   swap Dn Dm   create PATH sd|ed|dd|COUNTxSIZE\n"
           "  status               port [N]     start        stop          quit\n"
           "create refuses a file that exists; create! overwrites it.\n"
           "Paths with blanks go in double quotes.\n";
}

}  // namespace console
