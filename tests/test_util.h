// Helpers shared by the test files: scratch folders, whole-file reads and
// writes, and runs of the real subdiv executable.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace test_util {

// A fresh folder under /tmp, removed with everything in it at the end.
struct scratch_folder {
    std::string path;
    scratch_folder()
    {
        char name[] = "/tmp/subdiv-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~scratch_folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// What one run of the subdiv executable gave.
struct tool_result {
    int status;      // exit status, or 128 + signal number
    std::string out; // standard output
    std::string err; // standard error
};

// Runs the built subdiv executable with the given arguments in folder, its
// standard input the file input (empty: the test's own).
inline tool_result run_tool(const std::string& folder, const std::vector<std::string>& args,
                            const std::string& input = "")
{
    std::string command = "cd '" + folder + "' && '" SUBDIV_EXE "'";
    for (const std::string& arg : args) {
        std::string quoted;
        for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " >.stdout 2>.stderr";
    if (!input.empty()) command += " <'" + input + "'";
    int raw = std::system(command.c_str());
    tool_result result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = read_file(folder + "/.stdout");
    result.err = read_file(folder + "/.stderr");
    std::remove((folder + "/.stdout").c_str());
    std::remove((folder + "/.stderr").c_str());
    return result;
}

} // namespace test_util
