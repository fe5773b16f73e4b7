// Helpers of the tessra-render tests: running the program, scratch folders, reading
// images back with their own libraries.
#pragma once

#include <string>
#include <vector>

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
