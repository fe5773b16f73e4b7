#include "support.h"

#include <png.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>
#include <ImathBox.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace apptest {

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The output goes to files rather than pipes so that a grandchild that keeps them open
// (an MPI rank outliving mpirun) cannot hold the caller up.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, int timeoutSeconds,
                     const std::string& when, const std::function<void(pid_t)>& act) {
    static int serial = 0;
    const std::string base = scratchDir("runs-" + std::to_string(getpid()) + "-" + std::to_string(serial++)) + "/";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, (base + "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, (base + "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (failed) throw std::runtime_error("cannot start " + program);
    RunResult r;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (act && !r.acted && contains(readAll(base + "err"), when)) act(pid), r.acted = true;
        if (timeoutSeconds > 0 && !r.timedOut && std::chrono::steady_clock::now() >= deadline)
            kill(pid, SIGKILL), r.timedOut = true;
        usleep(2000);
    }
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + r.signal;
    r.out = readAll(base + "out");
    r.err = readAll(base + "err");
    std::filesystem::remove_all(base);
    return r;
}

std::string scratchDir(const std::string& name) {
    const std::filesystem::path p = std::filesystem::current_path() / "app-scratch" / name;
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Rgba8 readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error("cannot read " + path);
    image.format = PNG_FORMAT_RGBA;
    Rgba8 out;
    out.width = int(image.width), out.height = int(image.height);
    out.px.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.px.data(), 0, nullptr))
        throw std::runtime_error("cannot decode " + path);
    return out;
}

std::vector<float> readExr(const std::string& path, int& width, int& height, const std::vector<std::string>& names) {
    Imf::InputFile file(path.c_str());
    const Imath::Box2i dw = file.header().dataWindow();
    width = dw.max.x - dw.min.x + 1, height = dw.max.y - dw.min.y + 1;
    const size_t n = names.size(), stride = n * sizeof(float);
    std::vector<float> px(size_t(width) * height * n);
    Imf::FrameBuffer fb;
    for (size_t c = 0; c < n; ++c) {
        if (!file.header().channels().findChannel(names[c])) throw std::runtime_error(path + ": no channel " + names[c]);
        // The slice's base is placed so that the data window's first pixel lands at 0.
        char* base = reinterpret_cast<char*>(px.data() + c) - dw.min.x * stride - dw.min.y * stride * size_t(width);
        fb.insert(names[c], Imf::Slice(Imf::FLOAT, base, stride, stride * size_t(width)));
    }
    file.setFrameBuffer(fb);
    file.readPixels(dw.min.y, dw.max.y);
    return px;
}

std::vector<float> readExrPasses(const std::string& path, int& width, int& height) {
    return readExr(path, width, height, {"R", "G", "B", "A", "albedo.R", "albedo.G", "albedo.B", "N.X", "N.Y", "N.Z", "Z"});
}

std::string exrAttribute(const std::string& path, const std::string& name) {
    Imf::InputFile file(path.c_str());
    const auto* a = file.header().findTypedAttribute<Imf::StringAttribute>(name);
    return a ? a->value() : std::string("<missing>");
}

std::string base64(const std::string& text) {
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    const size_t n = text.size();
    for (size_t i = 0; i < n; i += 3) {
        const unsigned v = (b[i] << 16) | ((i + 1 < n ? b[i + 1] : 0) << 8) | (i + 2 < n ? b[i + 2] : 0);
        s += {t[(v >> 18) & 63], t[(v >> 12) & 63], i + 1 < n ? t[(v >> 6) & 63] : '=', i + 2 < n ? t[v & 63] : '='};
    }
    return s;
}

}  // namespace apptest
