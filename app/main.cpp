// tessra-render: renders a model file or a JSON scene file to PNG, OpenEXR or PFM through
// libtessra.so, using only the public header.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "farm.h"
#include "image_io.h"
#include "scene.h"
#include "tessra.h"

namespace {

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInterrupted = 130;
using tr::kDefaultAaSamples, tr::kDefaultAaThreshold, tr::kDefaultPathBounces;

volatile std::sig_atomic_t g_interrupts = 0;

void onInterrupt(int) {
    if (g_interrupts++ > 0) {
        // The second Ctrl-C does not wait for the tile in flight.
        static const char msg[] = "\ntessra-render: interrupted again, exiting\n";
        ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof(msg) - 1);
        (void)ignored;
        ::_exit(kExitInterrupted);
    }
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string formatSeconds(double s) {
    char b[32];
    if (s < 60) std::snprintf(b, sizeof(b), "%.1fs", s);
    else std::snprintf(b, sizeof(b), "%dm%02ds", int(s) / 60, int(s) % 60);
    return b;
}

// Progress on standard error: one rewritten line on a terminal, plain lines elsewhere.
class Progress {
public:
    Progress(bool quiet, bool verbose) : quiet_(quiet), verbose_(verbose), tty_(::isatty(STDERR_FILENO)) {}
    void start(int totalTiles) {
        total_ = totalTiles;
        t0_ = std::chrono::steady_clock::now();
    }
    void status(const std::string& text) {
        if (text == status_) return;
        account();
        status_ = text;
        if (quiet_) return;
        // Reflection passes alternate between two texts for every tile; a log gets each
        // text once.
        if (tty_) redraw();
        else if (seen_.insert(text).second) std::fprintf(stderr, "tessra-render: %s\n", text.c_str());
    }
    void tile(int done) {
        done_ = done;
        if (quiet_) return;
        if (tty_) redraw();
        else if (verbose_) std::fprintf(stderr, "tessra-render: tile %d/%d done\n", done_, total_);
    }
    void finish() {
        account();
        if (!quiet_ && tty_ && drawn_) std::fputc('\n', stderr);
        drawn_ = false;
    }
    // Seconds spent under each status text, in order of first appearance.
    const std::vector<std::pair<std::string, double>>& stageTimes() const { return stages_; }
    void message(const std::string& text) {
        finish();
        std::fprintf(stderr, "%s\n", text.c_str());
    }

private:
    void account() {
        const auto now = std::chrono::steady_clock::now();
        if (!status_.empty()) {
            const double s = std::chrono::duration<double>(now - since_).count();
            // "sampling directions: 5/64" and its successors are one stage.
            const size_t end = status_.find_last_not_of("0123456789/%: ");
            const std::string key = status_.substr(0, end == std::string::npos ? 0 : end + 1);
            auto it = std::find_if(stages_.begin(), stages_.end(), [&](const auto& e) { return e.first == key; });
            if (it == stages_.end()) stages_.emplace_back(key, s);
            else it->second += s;
        }
        since_ = now;
    }
    void redraw() {
        const double elapsed = secondsSince(t0_);
        std::string eta = "?";
        if (done_ > 0 && total_ > 0) eta = formatSeconds(elapsed / done_ * (total_ - done_));
        const int pct = total_ > 0 ? 100 * done_ / total_ : 0;
        std::fprintf(stderr, "\r\x1b[K[%d/%d tiles] %3d%%  %s elapsed  %s left  %s", done_, total_, pct,
                     formatSeconds(elapsed).c_str(), eta.c_str(), status_.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    bool quiet_, verbose_, tty_;
    bool drawn_ = false;
    int total_ = 0, done_ = 0;
    std::string status_;
    std::set<std::string> seen_;
    std::vector<std::pair<std::string, double>> stages_;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

// The host: buffers the whole frame (tiles arrive column by column) and counts tiles.
class Host : public TessraCallbacks {
public:
    Host(int w, int h, Progress& p) : progress_(p) {
        image.width = w;
        image.height = h;
        image.rgba.assign(size_t(w) * h * 4, 0.0f);
    }
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        if (y >= uint32_t(image.height) || x >= uint32_t(image.width)) return;
        count = std::min(count, uint32_t(image.width) - x);
        std::copy(rgba, rgba + 4 * size_t(count), &image.rgba[(size_t(y) * image.width + x) * 4]);
    }
    void TileFinished(uint32_t x, uint32_t y, uint32_t, uint32_t) override {
        // Long reflection passes show the tile in progress more than once.
        if (tiles_.insert({x, y}).second) progress_.tile(int(tiles_.size()));
    }
    void SetStatusText(const char* text) override { progress_.status(text ? text : ""); }
    bool AbortRequested() override { return g_interrupts > 0; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}

    tr::Image image;

private:
    Progress& progress_;
    std::set<std::pair<uint32_t, uint32_t>> tiles_;
};

struct Messages {
    Progress* progress = nullptr;
    bool rendering = false;
    int errors = 0;
};

void onMessage(const char* text, const char* title, void* user) {
    Messages& m = *static_cast<Messages*>(user);
    std::string line = std::string("tessra-render: ") + (m.rendering ? "error" : "warning") + ": " +
                       (title && *title ? std::string(title) + ": " : "") + (text ? text : "");
    while (!line.empty() && line.back() == '\n') line.pop_back();
    m.progress->message(line);
    if (m.rendering) ++m.errors;
}

// The library prints diagnostics on standard output; they are shown only with --verbose.
class StdoutMute {
public:
    explicit StdoutMute(bool mute) {
        if (!mute) return;
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDOUT_FILENO);
        if (null >= 0) ::close(null);
    }
    ~StdoutMute() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    StdoutMute(const StdoutMute&) = delete;
    StdoutMute& operator=(const StdoutMute&) = delete;

private:
    int saved_ = -1;
};

std::string stem(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool endsWith(const std::string& s, const std::string& tail) {
    if (s.size() < tail.size()) return false;
    std::string end = s.substr(s.size() - tail.size());
    std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return end == tail;
}

// What the command line says.
struct Options {
    std::string scenePath, output;
    int width = 0, height = 0;
    std::string device = "auto";
    bool listDevices = false;
    unsigned threads = 0;
    bool gi = false, finalGather = false, caustics = false, quiet = false, verbose = false, allowAny = false;
    bool stageTimes = false;
    bool shadowsOn = false, shadowsOff = false;
    unsigned photons = 0, bounces = 0, fgSamples = 0, pathSamples = 0;
    float photonRadius = 0, photonEnergy = 0, fgDensity = 0, scale = 1.0f;
    std::vector<float> background;
    std::string environment;
    std::vector<std::string> sets;
    std::string up = "y";
    unsigned aa = kDefaultAaSamples;
    float aaThreshold = kDefaultAaThreshold;
    std::vector<std::string> aovs;
    bool transparent = false;
    std::string cropText;
    bool mpi = false;
    CLI::Option *bouncesOption = nullptr, *pathOption = nullptr, *cropOption = nullptr;
};

// Declares every option on app, bound to o.
void declareOptions(CLI::App& app, Options& o) {
    // CLI11's PositiveNumber lets NaN through, and a value past the float range becomes
    // infinite once stored.
    auto finiteFloat = [](bool positive) {
        return CLI::Validator(
            [positive](std::string& text) -> std::string {
                char* end = nullptr;
                errno = 0;
                const float v = std::strtof(text.c_str(), &end);
                if (end == text.c_str() || *end || errno || !std::isfinite(v)) return "expected a finite number, not '" + text + "'";
                if (positive && !(v > 0)) return "expected a number > 0, not '" + text + "'";
                return "";
            },
            positive ? "POSITIVE" : "NUMBER");
    };
    app.add_option("scene", o.scenePath, "Model file (.gltf .glb .obj .ply .stl) or JSON scene file (.json)");
    app.add_option("-o,--output", o.output,
                   "Image to write; the extension picks the format: .png (8-bit sRGB), .exr (linear float "
                   "RGBA), .pfm (linear float RGB). Default: the scene's name with .png, in the current folder");
    app.add_option("--width", o.width, "Image width in pixels (default 512, or the scene file's)")->check(CLI::Range(1, 65536));
    app.add_option("--height", o.height, "Image height in pixels (default 512, or the scene file's)")->check(CLI::Range(1, 65536));
    app.add_option("--device", o.device, "Where to render: auto (CUDA when a GPU answers, else CPU), cpu or cuda")
        ->check(CLI::IsMember({"auto", "cpu", "cuda"}))
        ->capture_default_str();
    app.add_flag("--list-devices", o.listDevices, "List the render devices and exit");
    app.add_option("--threads", o.threads, "Worker threads of the CPU device (0 = every core)")->capture_default_str();
    auto* on = app.add_flag("--shadows", o.shadowsOn, "Cast shadow rays (the default)");
    app.add_flag("--no-shadows", o.shadowsOff, "Cast no shadow rays")->excludes(on);
    app.add_flag("--gi", o.gi, "Indirect light from a photon map");
    app.add_option("--photons", o.photons, "Photons to cast (implies --gi)")->check(CLI::PositiveNumber);
    o.bouncesOption = app.add_option("--bounces", o.bounces,
                                         "Photon bounces (implies --gi); with path tracing, the diffuse bounces of "
                                         "each path after the first hit (default 2, no --gi implied)");
    app.add_option("--photon-radius", o.photonRadius, "Photon search distance in scene units (implies --gi)")
        ->check(finiteFloat(true));
    app.add_option("--photon-energy", o.photonEnergy, "Energy of the photons (implies --gi)")->check(finiteFloat(true));
    app.add_flag("--final-gather", o.finalGather, "Interpolate indirect light from final-gather records (implies --gi)");
    app.add_flag("--caustics", o.caustics,
                 "Photons go on through mirrors and glass, which focus light on what they face (implies --gi; "
                 "--set reflectiveCaustics=false or refractiveCaustics=false leaves one kind out)");
    app.add_option("--fg-samples", o.fgSamples, "Samples per final-gather record (implies --final-gather)")
        ->check(CLI::PositiveNumber);
    app.add_option("--fg-density", o.fgDensity, "Density of the final-gather records (implies --final-gather)")
        ->check(finiteFloat(true));
    app.add_option("--background", o.background, "World colour R G B (linear): the background, and a light around the scene")
        ->expected(3)
        ->check(finiteFloat(false));
    app.add_option("--environment", o.environment,
                   "Equirectangular image of the world (.exr, .hdr, .png, .jpg; row 0 looking up, the middle looking "
                   "down -Z): seen where rays meet nothing and lighting the scene, times --background if given")
        ->check(CLI::ExistingFile);
    app.add_option("--aa", o.aa, "Antialiasing: at most N x N rays per pixel (1 = one ray per pixel)")
        ->check(CLI::Range(1, 16))
        ->capture_default_str();
    app.add_option("--aa-threshold", o.aaThreshold,
                   "Colour difference to a neighbour (|dr| + |dg| + |db|) above which a pixel takes N x N rays; "
                   "0 gives every pixel N x N")
        ->check(finiteFloat(false) & CLI::NonNegativeNumber)
        ->capture_default_str();
    o.pathOption = app.add_option("--path-trace", o.pathSamples,
                                      "Unbiased path tracing instead of the direct, photon and reflection stages: "
                                      "SPP paths per camera ray (each of the --aa rays too), up to --bounces diffuse "
                                      "bounces; needs no --gi")
                           ->type_name("SPP")
                           ->check(CLI::Range(1, 65536));
    app.add_option("--aov", o.aovs, "Output passes for denoisers and compositors, comma-separated: albedo, normal, depth "
                                  "(OpenEXR output only; layers albedo.R/G/B, N.X/Y/Z, Z)")
        ->delimiter(',')
        ->check(CLI::IsMember({"albedo", "normal", "depth"}));
    app.add_flag("--transparent", o.transparent,
                 "Alpha is coverage: the fraction of a pixel's rays that hit a surface, 0 where only the background "
                 "is seen (PNG and OpenEXR output; without it every pixel is opaque)");
    std::string setHelp = "Set a renderer field, FIELD=VALUE, repeatable. Fields:";
    for (const std::string& n : tr::settingNames()) setHelp += " " + n;
    app.add_option("--set", o.sets, setHelp);
    app.add_option("--scale", o.scale, "Scale model files by this factor (e.g. 0.001 for millimetres to metres)")
        ->check(finiteFloat(true));
    app.add_option("--up", o.up, "Up axis of model files: y (glTF's) or z (turned to y)")
        ->check(CLI::IsMember({"y", "z"}))
        ->capture_default_str();
    app.add_flag("--allow-any-format", o.allowAny,
                 "Read every format Assimp knows (its older parsers have open memory-safety bugs)");
    app.add_flag("-q,--quiet", o.quiet, "No progress and no messages but errors");
    app.add_flag("-v,--verbose", o.verbose, "Also show the library's own diagnostic lines and one line per tile");
    app.add_flag("--stage-times", o.stageTimes,
                 "After the render, print the seconds spent under each status text (reading, upload, photons, "
                 "final gather, direct light, reflections, ...) on standard error");
    o.cropOption = app.add_option("--crop", o.cropText,
                   "Render only the pixels X0 <= x < X1, Y0 <= y < Y1 of the image, as X0,Y0,X1,Y1; they equal the "
                   "whole render's. OpenEXR places them in the frame (data window); PNG and PFM hold them alone");
    app.add_flag("--mpi", o.mpi,
                 std::string("Share the image's tiles between the ranks of an MPI job (mpirun -np N tessra-render "
                             "--mpi ...); rank 0 writes the image") +
                     (tr::mpiAvailable() ? "" : " [not in this build: no MPI was found]"));
    app.footer("Exit status: 0 success, 1 the scene cannot be read or the render failed, 2 usage error, "
               "130 interrupted (the tiles done so far are written, the rest black).\n"
               "Manual: docs/tessra-render.md");
}

// Lists the render devices.
int listDevices() {
    // "auto" settles on CUDA only when it was compiled in and a device answers.
    Tessra_SelectBackend("auto");
    const bool cuda = std::string(Tessra_BackendName()) == "cuda";
    std::printf("cpu    CPU emulation of the device\n");
    std::printf("cuda   %s\n", cuda ? "NVIDIA GPU through CUDA" : "not available (no CUDA device, or built without CUDA)");
    std::printf("auto   picks %s\n", Tessra_BackendName());
    return kExitOk;
}

using FieldSets = std::vector<std::pair<std::string, std::string>>;

// What CLI11 cannot check: -1 to go on, else the exit status.
int checkOptions(Options& o, tr::CropWindow& crop, FieldSets& fieldSets) {
    tr::ImageFormat format;
    if (o.quiet && o.verbose) {
        std::fprintf(stderr, "tessra-render: --quiet and --verbose exclude each other\n");
        return kExitUsage;
    }
    if (o.scenePath.empty()) {
        std::fprintf(stderr, "tessra-render: no scene file given (see --help)\n");
        return kExitUsage;
    }
    if (o.output.empty()) o.output = stem(o.scenePath) + ".png";
    if (!tr::formatFromPath(o.output, format)) {
        std::fprintf(stderr, "tessra-render: %s: unknown image format (use .png, .exr or .pfm)\n", o.output.c_str());
        return kExitUsage;
    }
    if (!o.aovs.empty() && format != tr::ImageFormat::Exr) {
        std::fprintf(stderr, "tessra-render: --aov needs OpenEXR output: name the image .exr\n");
        return kExitUsage;
    }
    if (o.transparent && format == tr::ImageFormat::Pfm) {
        std::fprintf(stderr, "tessra-render: --transparent needs an alpha channel: name the image .png or .exr\n");
        return kExitUsage;
    }
    // The crop's form is checked now, its bounds once the image size is known.
    if (std::string error; o.cropOption->count() > 0 && !tr::parseCropWindow(o.cropText, 65536, 65536, crop, error)) {
        std::fprintf(stderr, "tessra-render: %s\n", error.c_str());
        return kExitUsage;
    }
    for (const std::string& s : o.sets) {
        const size_t eq = s.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "tessra-render: --set expects FIELD=VALUE, not '%s'\n", s.c_str());
            return kExitUsage;
        }
        fieldSets.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    }
    return -1;
}

// Reads the scene and gives it the options' world; false after saying why.
bool loadScene(const Options& o, Progress& progress, tr::Scene& scene) {
    tr::ImportOptions options;
    options.scale = o.scale;
    options.up = o.up[0];
    options.allowAnyFormat = o.allowAny;
    progress.status("Reading " + o.scenePath);
    try {
        if (endsWith(o.scenePath, ".json")) {
            tr::loadJsonScene(scene, o.scenePath, options);
        } else {
            const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            tr::importModel(scene, o.scenePath, identity, options);
        }
        if (scene.triangles.empty()) throw tr::SceneError(o.scenePath + ": the scene has no triangles");
        if (!o.background.empty()) {
            std::copy(o.background.begin(), o.background.end(), scene.background);
            scene.hasBackground = true;
        }
        if (!o.environment.empty()) scene.setEnvironment(o.environment);
        if (!scene.lit()) {
            // A bare model still shows something: a light where the camera is.
            const tr::Camera c = scene.hasCamera ? scene.camera : tr::defaultCamera(scene);
            tr::Light headlight;
            std::copy(c.eye, c.eye + 3, headlight.position);
            scene.lights.push_back(headlight);
            scene.warnings.push_back(o.scenePath + ": the scene has no lights; a point light sits at the camera");
        }
    } catch (const std::exception& e) {
        progress.message(std::string("tessra-render: error: ") + e.what());
        return false;
    }
    if (!o.quiet)
        for (const std::string& w : scene.warnings) progress.message("tessra-render: warning: " + w);
    return true;
}

// Whether a field was given in the scene file or by --set (optionGave: by an option),
// so that the derived photon settings fill in only what the user left open.
bool givenAnywhere(const tr::Scene& scene, const FieldSets& fieldSets, const char* field) {
    auto named = [&](const std::pair<std::string, std::string>& s) { return s.first == field; };
    return std::any_of(scene.settings.begin(), scene.settings.end(), named) ||
           std::any_of(fieldSets.begin(), fieldSets.end(), named);
}

bool optionGave(const Options& o, unsigned photonBounces, const std::string& field) {
    return (field == "numPhotons" && o.photons) || (field == "numBounces" && photonBounces) ||
           (field == "photonEnergy" && o.photonEnergy > 0) ||
           (field == "photonSearchDistance" && o.photonRadius > 0) ||
           (field == "irradianceSamples" && o.fgSamples) || (field == "FG_record_density" && o.fgDensity > 0);
}

// Settings, weakest first: the renderer's defaults, the scene file, the options, --set;
// then the crop and the camera. -1 to go on, else the exit status.
int configure(TessraRendererCUDA* r, Options& o, const tr::Scene& scene, const FieldSets& fieldSets,
              tr::CropWindow& crop, Progress& progress, unsigned& photonBounces) {
    r->shadowMode = 1;
    Tessra_SetPathTracing(r, 0, kDefaultPathBounces);
    auto apply = [&](const std::string& field, const std::string& value, const char* origin) {
        std::string error;
        if (tr::applySetting(*r, field, value, error)) return true;
        progress.message(std::string("tessra-render: ") + origin + ": " + error);
        return false;
    };
    for (const auto& s : scene.settings)
        if (!apply(s.first, s.second, o.scenePath.c_str())) return kExitFailure;
    if (o.width) r->width = o.width;
    if (o.height) r->height = o.height;
    if (o.shadowsOn) r->shadowMode = 1;
    if (o.shadowsOff) r->shadowMode = 0;
    if (o.fgSamples || o.fgDensity > 0) o.finalGather = true;
    if (o.pathOption->count() > 0) Tessra_SetPathTracing(r, o.pathSamples, r->extension_.pathBounces);
    // A path tracer takes --bounces for its paths; implying --gi there would only make
    // lights given without decay fade.
    const bool pathTracing = r->extension_.pathSamples > 0;
    if (pathTracing && o.bouncesOption->count() > 0 &&
        Tessra_SetPathTracing(r, r->extension_.pathSamples, o.bounces) != 0) {
        progress.message("tessra-render: --bounces: path tracing takes 0 to 64 bounces, not " +
                         std::to_string(o.bounces));
        return kExitUsage;
    }
    photonBounces = pathTracing ? 0 : o.bounces;
    if (o.photons || photonBounces || o.photonRadius > 0 || o.photonEnergy > 0 || o.finalGather || o.caustics)
        o.gi = true;
    if (o.caustics) Tessra_SetCaustics(r, true, true);
    if (o.gi) r->indirectIllumination = r->usePhotonMapping = true;
    if (o.finalGather) r->useFinalGather = true;
    if (o.photons) r->numPhotons = o.photons;
    if (photonBounces) r->numBounces = photonBounces;
    if (o.photonRadius > 0) r->photonSearchDistance = o.photonRadius;
    if (o.photonEnergy > 0) r->photonEnergy = o.photonEnergy;
    if (o.fgSamples) r->irradianceSamples = o.fgSamples;
    if (o.fgDensity > 0) r->FG_record_density = o.fgDensity;
    bool fovSet = false;
    for (const auto& s : fieldSets) {
        if (!apply(s.first, s.second, "--set")) return kExitUsage;
        fovSet = fovSet || s.first == "fieldOfView";
    }

    if (o.cropOption->count() > 0) {
        std::string error;
        if (!tr::parseCropWindow(o.cropText, r->width, r->height, crop, error)) {
            progress.message("tessra-render: " + error);
            return kExitUsage;
        }
        Tessra_SetCropWindow(r, crop.x0, crop.y0, crop.x1, crop.y1);
    }

    const tr::Camera camera = scene.hasCamera ? scene.camera : tr::defaultCamera(scene);
    if (!fovSet) {
        r->fieldOfView = camera.fovIsVertical
                             ? 2.0f * std::atan(std::tan(0.5f * camera.fovRadians) * float(r->width) / float(r->height))
                             : camera.fovRadians;
    }
    tr::cameraMatrix(camera, r->cameraMatrix);
    return -1;
}

// The host's image and the passes the options ask for.
void attachOutputs(TessraRendererCUDA* r, Host& host, const Options& o) {
    r->callbacks = &host;
    Tessra_SetSupersampling(r, o.aa, o.aaThreshold);
    Tessra_SetAlphaCoverage(r, o.transparent);
    host.image.alpha = o.transparent;
    auto wants = [&](const char* pass) { return std::find(o.aovs.begin(), o.aovs.end(), pass) != o.aovs.end(); };
    const size_t pixels = size_t(r->width) * size_t(r->height);
    if (wants("albedo")) host.image.albedo.assign(3 * pixels, 0.0f);
    if (wants("normal")) host.image.normal.assign(3 * pixels, 0.0f);
    if (wants("depth")) host.image.depth.assign(pixels, INFINITY);
    Tessra_SetOutputPasses(r, host.image.albedo.empty() ? nullptr : host.image.albedo.data(),
                           host.image.normal.empty() ? nullptr : host.image.normal.data(),
                           host.image.depth.empty() ? nullptr : host.image.depth.data());
}

// Each rank repeats the stages before the tiles; their times show what a rank costs.
void printStageTimes(const Progress& progress, const tr::MpiRank* farm) {
    const std::string who = farm ? "rank " + std::to_string(farm->rank()) + " " : "";
    for (const auto& [text, s] : progress.stageTimes())
        std::fprintf(stderr, "tessra-render: %sstage %-56s %9.3f s\n", who.c_str(), text.c_str(), s);
}

// Writes the image with its attributes and says so: the exit status.
int writeResult(TessraRendererCUDA* r, const Options& o, const tr::Image& image, const tr::CropWindow& crop,
                const tr::MpiRank* farm, bool interrupted, double seconds, Progress& progress) {
    std::vector<std::pair<std::string, std::string>> attributes;
    for (const std::string& n : tr::settingNames()) attributes.emplace_back("tessra:" + n, tr::settingValue(*r, n));
    char secondsText[32];
    std::snprintf(secondsText, sizeof(secondsText), "%.3f", seconds);
    attributes.emplace_back("tessra:renderSeconds", secondsText);
    attributes.emplace_back("tessra:device", Tessra_BackendName());
    attributes.emplace_back("tessra:version", Tessra_Version());
    attributes.emplace_back("tessra:scene", o.scenePath);
    if (interrupted) attributes.emplace_back("tessra:interrupted", "true");
    if (farm) attributes.emplace_back("tessra:mpiRanks", std::to_string(farm->size()));
    const bool cropped = o.cropOption->count() > 0;
    const tr::Image window = cropped ? tr::cropImage(image, crop) : tr::Image();
    try {
        tr::writeImage(o.output, cropped ? window : image, attributes);
    } catch (const std::exception& e) {
        progress.message(std::string("tessra-render: error: ") + e.what());
        return kExitFailure;
    }
    if (interrupted) {
        progress.message("tessra-render: interrupted; wrote the tiles done so far to " + o.output);
        return kExitInterrupted;
    }
    if (o.verbose && o.aa > 1)
        std::fprintf(stderr, "tessra-render: antialiasing: %llu of %zu pixels took up to %u x %u rays\n",
                     static_cast<unsigned long long>(Tessra_SupersampledPixelCount(r)),
                     size_t(r->width) * size_t(r->height), o.aa, o.aa);
    if (o.stageTimes) printStageTimes(progress, farm);
    if (!o.quiet)
        std::fprintf(stderr, "tessra-render: wrote %s (%d x %d, %s on %s)\n", o.output.c_str(), r->width, r->height,
                     formatSeconds(seconds).c_str(), Tessra_BackendName());
    return kExitOk;
}

}  // namespace
int main(int argc, char** argv) {
    CLI::App app{"tessra-render: renders a model file (glTF, OBJ, PLY, STL) or a JSON scene file with the Tessra "
                 "renderer and writes a PNG, OpenEXR or PFM image."};
    app.set_version_flag("--version", std::string("tessra-render ") + Tessra_Version());
    app.get_formatter()->column_width(34);

    Options o;
    declareOptions(app, o);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    if (o.listDevices) return listDevices();
    tr::CropWindow crop;
    FieldSets fieldSets;
    if (const int status = checkOptions(o, crop, fieldSets); status >= 0) return status;

    std::unique_ptr<tr::MpiRank> farm;
    if (o.mpi) {
        std::string error;
        farm = tr::startMpi(error);
        if (!farm) {
            std::fprintf(stderr, "tessra-render: --mpi: %s\n", error.c_str());
            return kExitUsage;
        }
        // Rank 0 speaks for the job; the others show only errors and their stage times.
        if (farm->rank() > 0) {
            o.quiet = true;
            o.verbose = false;
        }
    }

    Progress progress(o.quiet, o.verbose);
    Messages messages;
    messages.progress = &progress;
    Tessra_SetMessageHandler(&onMessage, &messages);

    struct sigaction sa {};
    sa.sa_handler = &onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    // mpirun passes Ctrl-C on to its ranks as SIGTERM.
    if (farm) sigaction(SIGTERM, &sa, nullptr);

    tr::Scene scene;
    if (!loadScene(o, progress, scene)) return kExitFailure;

    if (Tessra_SelectBackend(o.device.c_str()) != 0) return kExitUsage;
    Tessra_SetThreadCount(o.threads);
    TessraRendererCUDA* r = Tessra_InitRenderer();
    if (!r) {
        progress.message("tessra-render: error: cannot create the renderer");
        return kExitFailure;
    }
    struct Owner {
        TessraRendererCUDA*& r;
        ~Owner() { Tessra_DeleteRenderer(&r); }
    } owner{r};

    unsigned photonBounces = 0;
    if (const int status = configure(r, o, scene, fieldSets, crop, progress, photonBounces); status >= 0)
        return status;
    Host host(r->width, r->height, progress);
    attachOutputs(r, host, o);
    if (farm) farm->attach(*r, host, host.image);
    const int totalTiles = (r->width / TESSRA_TILE_SIZE + 1) * (r->height / TESSRA_TILE_SIZE + 1);
    progress.start(totalTiles);
    const auto t0 = std::chrono::steady_clock::now();
    {
        StdoutMute mute(!o.verbose);
        tr::feedRenderer(scene, *r, &scene.triangles);
        // What an option gave counts as given too.
        const std::string line = tr::completeSettings(*r, [&](const char* f) {
            return !optionGave(o, photonBounces, f) && !givenAnywhere(scene, fieldSets, f);
        });
        if (o.verbose && !line.empty()) std::fprintf(stderr, "tessra-render: %s\n", line.c_str());
        messages.rendering = true;
        progress.status("Rendering");
        if (g_interrupts == 0) r->Render();
        // An aborted or failed render leaves its scene data to the host's CleanUp; after a
        // finished one the second call releases nothing.
        r->CleanUp();
    }
    r->callbacks = nullptr;
    bool farmInterrupted = false;
    if (farm) {
        std::string error;
        const auto outcome = farm->finish(messages.errors > 0, error);
        using O = tr::MpiRank::Outcome;
        if (farm->rank() > 0) {
            if (o.stageTimes && outcome == O::Complete) printStageTimes(progress, farm.get());
            return outcome == O::Complete ? kExitOk : outcome == O::Interrupted ? kExitInterrupted : kExitFailure;
        }
        if (outcome == O::Failed) {
            progress.message("tessra-render: error: " + error + "; no image written");
            return kExitFailure;
        }
        if (!error.empty()) progress.message("tessra-render: " + error);
        farmInterrupted = outcome == O::Interrupted;
    }
    const double seconds = secondsSince(t0);
    progress.finish();
    if (messages.errors > 0) {
        progress.message("tessra-render: error: the render failed; no image written");
        return kExitFailure;
    }
    return writeResult(r, o, host.image, crop, farm.get(), g_interrupts > 0 || farmInterrupted, seconds, progress);
}
