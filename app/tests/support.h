// Helpers of the tessra-render tests: running the program, scratch folders, reading
// images back with their own libraries.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace apptest {

struct RunResult {
    int exitCode = -1;  // 128 + signal when killed
    bool timedOut = false;
    std::string out, err;
};
// Runs tessra-render with the arguments; standard output and error are collected. With a
// timeout the program is killed after that many seconds (timedOut, exit code 128 + 9).
RunResult runRender(const std::vector<std::string>& args, int timeoutSeconds = 0);
// The same for any program, found by its path.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, int timeoutSeconds = 0);
// Runs the program (standard output discarded), calls act(pid) once its standard error
// holds `when`, however long that takes on a busy machine, and waits for it to end; after
// three minutes it is killed (timedOut). acted says whether act ran.
struct ActedRun : RunResult {
    bool acted = false;
    bool exited = false;  // ended through exit, not by a signal
};
ActedRun runAndAct(const std::string& program, const std::vector<std::string>& args, const std::string& when,
                   const std::function<void(pid_t)>& act);

// A fresh folder under the build tree, emptied first.
std::string scratchDir(const std::string& name);
void writeFile(const std::string& path, const std::string& text);
bool exists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);

struct Rgba8 {
    int width = 0, height = 0;
    std::vector<unsigned char> px;  // RGBA, top row first
};
Rgba8 readPng(const std::string& path);
// Linear RGBA floats, top row first.
std::vector<float> readExr(const std::string& path, int& width, int& height);
// The named channels of each pixel, in that order (any data window).
std::vector<float> readExrChannels(const std::string& path, const std::vector<std::string>& names, int& width,
                                   int& height);
std::string exrAttribute(const std::string& path, const std::string& name);

std::string base64(const std::vector<unsigned char>& bytes);

}  // namespace apptest
