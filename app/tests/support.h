// Helpers of the tessra-render tests: running programs, scratch folders, reading images
// back with their own libraries.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace apptest {

struct RunResult {
    int exitCode = -1;  // 128 + signal when killed
    int signal = 0;     // the signal that ended it, if one did
    bool timedOut = false, acted = false;
    std::string out, err;
};
// Runs the program, collecting standard output and error; after timeoutSeconds (0: never)
// it is killed (timedOut). With act, act(pid) runs once standard error holds `when`,
// however long that takes on a busy machine.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, int timeoutSeconds = 0,
                     const std::string& when = "", const std::function<void(pid_t)>& act = nullptr);
inline RunResult runRender(const std::vector<std::string>& args, int timeoutSeconds = 0) {
    return runProgram(TESSRA_RENDER_BIN, args, timeoutSeconds);
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// A fresh folder under the build tree, emptied first.
std::string scratchDir(const std::string& name);
void writeFile(const std::string& path, const std::string& text);
std::string readAll(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);

struct Rgba8 {
    int width = 0, height = 0;
    std::vector<unsigned char> px;  // RGBA, top row first
};
Rgba8 readPng(const std::string& path);
// The named channels of each pixel of the data window, in that order, top row first.
std::vector<float> readExr(const std::string& path, int& width, int& height,
                           const std::vector<std::string>& names = {"R", "G", "B", "A"});
// The colour, then the albedo, normal and depth passes: eleven values a pixel.
std::vector<float> readExrPasses(const std::string& path, int& width, int& height);
std::string exrAttribute(const std::string& path, const std::string& name);

std::string base64(const std::string& bytes);

}  // namespace apptest
