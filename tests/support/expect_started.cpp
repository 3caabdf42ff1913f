/*
 * The expectation helper: expected starts against logged ones, printed side
 * by side when they differ.
 */
#include "expect_started.h"

#include <algorithm>
#include <sstream>

using namespace harness;

namespace {

std::string Directory(std::string dir)
{
    while (dir.size() > 3 && dir.back() == '\\')
        dir.pop_back();
    return dir;
}

std::string ShowText(int showState) { return showState < 0 ? "none" : std::to_string(showState); }

// The fields of a start, in the order they are printed; "" for a start
// that is not there.
std::vector<std::string> Fields(const Record *s)
{
    if (s == nullptr)
        return {"(no start)", "", "", ""};
    return {s->program, s->directory, ShowText(s->showState), s->commandLine};
}

bool SameStart(const Record &a, const Record &b)
{
    return Lower(a.program) == Lower(b.program) && Lower(a.directory) == Lower(b.directory) &&
           a.showState == b.showState && a.commandLine == b.commandLine;
}

}  // namespace

Record ProductStart(const std::string &dir, const std::string &fileName, const std::string &commandPath)
{
    const std::string program = Directory(dir) + "\\" + fileName;
    return {program, Directory(dir), SW_SHOWNORMAL, Quote(commandPath.empty() ? program : commandPath)};
}

Record BrowserStart(const std::string &agentDirectory)
{
    std::string command = BrowserCommand();
    std::string program;
    if (command.size() > 1 && command[0] == '"')
        program = command.substr(1, command.find('"', 1) - 1);
    const size_t arg = command.find("%1");
    if (arg != std::string::npos)
        command.replace(arg, 2, kWebSite);
    return {program, Directory(agentDirectory), SW_SHOW, command};
}

::testing::AssertionResult StartedExactly(const std::string &caseName, const std::vector<Record> &expected,
                                          const std::vector<Record> &actual)
{
    bool same = expected.size() == actual.size();
    for (size_t i = 0; same && i < expected.size(); ++i)
        same = SameStart(expected[i], actual[i]);
    if (same)
        return ::testing::AssertionSuccess();

    static const char *const kNames[] = {"program", "directory", "show", "command"};
    std::ostringstream out;
    out << caseName << ": expected " << expected.size() << " start(s), the recorder logged " << actual.size();
    for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        const std::vector<std::string> want = Fields(i < expected.size() ? &expected[i] : nullptr);
        const std::vector<std::string> got = Fields(i < actual.size() ? &actual[i] : nullptr);
        out << "\n  start " << i + 1;
        for (size_t f = 0; f < want.size(); ++f) {
            const bool differs = f < 2 ? Lower(want[f]) != Lower(got[f]) : want[f] != got[f];
            out << "\n   " << (differs ? "! " : "  ") << kNames[f] << "\n      expected  " << want[f]
                << "\n      actual    " << got[f];
        }
    }
    return ::testing::AssertionFailure() << out.str();
}
