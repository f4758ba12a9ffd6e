// The console front end's command line, prompt lines and trace texts.
#include <gtest/gtest.h>

#include "tools/console/call_errors.h"
#include "tools/console/console_options.h"
#include "tools/console/prompt_line.h"
#include "tools/console/event_text.h"

using namespace console;

namespace {

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string ignored;
    return parseOptions(args, error ? error : &ignored);
}

}  // namespace

// Geometry names and counts, and what is not one (a wrong table entry would make the wrong image).
TEST(ConsoleOptions, Geometry) {
    const std::pair<const char*, Geometry> good[] = {
        {"sd", {720, 128}}, {"ED", {1040, 128}}, {"dd", {720, 256}}, {"2002x256", {2002, 256}}, {"1X1", {1, 1}}};
    for (const auto& [text, g] : good) {
        SCOPED_TRACE(text);
        const std::optional<Geometry> got = parseGeometry(text);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->sectors, g.sectors);
        EXPECT_EQ(got->sectorSize, g.sectorSize);
    }
    for (const char* bad : {"", "qd", "720", "x128", "720x", "0x128", "720x0", "65536x128", "-1x128", "7 20x128",
                            "720x128x2"}) {
        EXPECT_FALSE(parseGeometry(bad)) << bad;
    }
}

// A full command line, with mounts in order, read-only marks, and paths holding '=' and ','.
TEST(ConsoleOptions, CommandLine) {
    const std::optional<Options> o = parse({"--port", "5", "--raw", "--create", "C:\\a=b\\new.atr=ed",
                                            "D1=C:\\demo.atr", "d9:=x,y.atr,RO", "--start", "--quiet",
                                            "--log", "C:\\trace.txt", "--create-over"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->port, 5);
    EXPECT_TRUE(o->raw);
    EXPECT_TRUE(o->quiet);
    EXPECT_TRUE(o->createOver);
    EXPECT_EQ(o->logPath, "C:\\trace.txt");
    EXPECT_TRUE(o->start);
    ASSERT_EQ(o->creations.size(), 1u);
    EXPECT_EQ(o->creations[0].path, "C:\\a=b\\new.atr");
    EXPECT_EQ(o->creations[0].geometry.sectors, 1040);
    ASSERT_EQ(o->mounts.size(), 2u);
    EXPECT_EQ(o->mounts[0].drive, 1);
    EXPECT_EQ(o->mounts[0].path, "C:\\demo.atr");
    EXPECT_FALSE(o->mounts[0].readOnly);
    EXPECT_EQ(o->mounts[1].drive, 9);
    EXPECT_EQ(o->mounts[1].path, "x,y.atr");
    EXPECT_TRUE(o->mounts[1].readOnly);

    const std::optional<Options> none = parse({});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->port, 0) << "no --port leaves the server's port alone";
    EXPECT_FALSE(none->start);
    EXPECT_FALSE(none->quiet || none->createOver);
    EXPECT_EQ(none->logPath, "");
}

// Mistakes on the command line are refused with a message naming them, never half taken.
TEST(ConsoleOptions, MistakesAreNamed) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port takes 1 to 9"},
        {{"--port", "10"}, "--port takes 1 to 9"},
        {{"--port", "COM5"}, "--port takes 1 to 9"},
        {{"--create", "x.atr"}, "--create takes"},
        {{"--create", "=sd"}, "--create takes"},
        {{"--create", "x.atr=big"}, "--create takes"},
        {{"D0=x.atr"}, "unknown argument \"D0=x.atr\""},
        {{"D10=x.atr"}, "unknown argument"},
        {{"D1="}, "D1= needs an image path"},
        {{"--verbose"}, "unknown argument \"--verbose\""},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args[0]);
        std::string error;
        EXPECT_FALSE(parse(args, &error));
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    // Too short to carry the read-only mark as well as a path: all of it is the path.
    const std::optional<Options> o = parse({"D1=,ro"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->mounts[0].path, ",ro");
    EXPECT_FALSE(o->mounts[0].readOnly);
}

// Prompt lines: every verb, drive spellings, quoted paths, and refusals with their usage.
TEST(ConsolePrompt, Requests) {
    std::string error;
    std::optional<Request> r = parseRequest("  mount d2: \"C:\\My Disks\\game.atr\" RO ", &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->verb, Request::Verb::Mount);
    EXPECT_EQ(r->drive, 2);
    EXPECT_EQ(r->path, "C:\\My Disks\\game.atr");
    EXPECT_TRUE(r->readOnly);

    r = parseRequest("swap D1 D9", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->verb, Request::Verb::Swap);
    EXPECT_EQ(r->drive, 1);
    EXPECT_EQ(r->otherDrive, 9);

    r = parseRequest("create blank.atr 1040x128", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->verb, Request::Verb::Create);
    EXPECT_EQ(r->geometry.sectors, 1040);
    EXPECT_FALSE(r->overwrite);
    r = parseRequest("create! blank.atr sd", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->verb, Request::Verb::Create);
    EXPECT_TRUE(r->overwrite);

    r = parseRequest("port", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->port, -1);
    r = parseRequest("PORT 7", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->port, 7);

    const std::pair<const char*, Request::Verb> plain[] = {{"", Request::Verb::None},
                                                           {"   ", Request::Verb::None},
                                                           {"status", Request::Verb::Status},
                                                           {"start", Request::Verb::Start},
                                                           {"stop", Request::Verb::Stop},
                                                           {"quit", Request::Verb::Quit},
                                                           {"exit", Request::Verb::Quit},
                                                           {"help", Request::Verb::Help},
                                                           {"unmount D3", Request::Verb::Unmount}};
    for (const auto& [line, verb] : plain) {
        r = parseRequest(line, &error);
        ASSERT_TRUE(r) << line;
        EXPECT_EQ(r->verb, verb) << line;
    }

    const std::pair<const char*, const char*> refused[] = {
        {"mount D1", "usage: mount Dn PATH [ro]"},
        {"mount D1 a.atr rw", "usage: mount Dn PATH [ro]"},
        {"mount E1 a.atr", "not a drive: \"E1\""},
        {"unmount", "usage: unmount Dn"},
        {"swap D1", "usage: swap Dn Dm"},
        {"swap D1 D0", "not a drive: \"D0\""},
        {"create a.atr", "usage: create"},
        {"create a.atr huge", "not a geometry: \"huge\""},
        {"port 0", "port takes 1 to 9"},
        {"start now", "usage: start"},
        {"format D1", "unknown command \"format\""},
    };
    for (const auto& [line, expected] : refused) {
        error.clear();
        EXPECT_FALSE(parseRequest(line, &error)) << line;
        EXPECT_NE(error.find(expected), std::string::npos) << line << ": " << error;
    }
}

// Trace lines: drives by name, sectors only where the command has one, devices that are not
// drives by their byte, the raw frame on request.
TEST(ConsoleTrace, Texts) {
    CommandEvent read{{0x31, 0x52, 0x69, 0x01, 0xED}, 1, 361, "read"};
    EXPECT_EQ(commandText(read, false), "D1: read sector 361");
    EXPECT_EQ(commandText(read, true), "D1: read sector 361 [31 52 69 01 ED]");
    CommandEvent status{{0x39, 0x53, 0x00, 0x00, 0x8C}, 9, 0, "status"};
    EXPECT_EQ(commandText(status, false), "D9: status");
    CommandEvent put{{0x32, 0x50, 0x04, 0x00, 0x86}, 2, 4, "put"};
    EXPECT_EQ(commandText(put, false), "D2: put sector 4");
    CommandEvent other{{0x40, 0x53, 0x00, 0x00, 0x93}, 16, 0, "status"};
    EXPECT_EQ(commandText(other, false), "device $40: status");
    EXPECT_EQ(debugText("[no image mounted]"), "debug: [no image mounted]");
    EXPECT_EQ(errorText(42, "cannot start"), "error 42: cannot start");
    EXPECT_EQ(errorText(-2147024891, "x"), "error -2147024891: x");
    EXPECT_EQ(timestampText(7, 5, 3, 9), "07:05:03.009 ");
}

// Trace lines go above a shown prompt, which comes back with what was typed; typing,
// backspace and enter echo only while the prompt is shown.
TEST(ConsolePrompt, TraceLinesKeepThePromptLast) {
    console::PromptLine p(L"> ");
    EXPECT_EQ(p.traceLine(L"12:00:00.000 booted"), L"12:00:00.000 booted\r\n") << "no prompt yet";
    EXPECT_EQ(p.show(), L"> ");
    for (wchar_t c : std::wstring(L"mounx")) p.type(c);
    EXPECT_EQ(p.type(L'\b'), L"\b \b");
    EXPECT_EQ(p.type(L't'), L"t");
    EXPECT_EQ(p.type(L'\t'), L"") << "control keys are not typed";
    EXPECT_EQ(p.traceLine(L"D1: read sector 1"), L"\r       \rD1: read sector 1\r\n> mount");
    std::wstring line;
    EXPECT_EQ(p.enter(&line), L"\r\n");
    EXPECT_EQ(line, L"mount");
    EXPECT_EQ(p.type(L'x'), L"") << "typed ahead of the next prompt, shown with it";
    EXPECT_EQ(p.show(), L"> x");
}

// A call is judged by the Errors of its own operation since its mark: a bus error meanwhile,
// or an old one, is not the call's; the journal keeps only the latest.
TEST(ConsoleCalls, ErrorsJudgeOnlyTheirOwnCall) {
    console::CallErrors errors;
    errors.add("cannot create x.atr (CEmulator::createImage)");
    const std::size_t mark = errors.mark();
    errors.add("error 21 (CSIOPort::doOverlappedComCrud.ReadFile)");
    EXPECT_FALSE(errors.since(mark, console::CallErrors::kCreate)) << "an old error and a bus error";
    EXPECT_FALSE(errors.since(mark, console::CallErrors::kMount));
    errors.add("invalid atr header identification bytes in y.atr (CDiskImage::loadImage)");
    EXPECT_TRUE(errors.since(mark, console::CallErrors::kMount));
    for (int i = 0; i < 1000; ++i) errors.add("bus");
    EXPECT_FALSE(errors.since(errors.mark(), console::CallErrors::kMount));
    EXPECT_FALSE(errors.since(mark, console::CallErrors::kMount)) << "let go with the oldest";
}
