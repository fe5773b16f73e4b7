// One frame on many machines: crops merged by tessra-merge, the Slurm script, and the
// MPI mode, each against the single-process render of the whole frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "image_io.h"
#include "support.h"

namespace {

using namespace apptest;

const std::string kExamples = TESSRA_EXAMPLES_DIR;
const std::string kMpiexec = TESSRA_MPIEXEC;
// Two columns of 256-pixel tiles, few rows: a tile costs the same however few of its
// pixels are in the image.
const int W = 264, H = 16;

// The examples, with the photon count cut where they have global illumination.
std::vector<std::pair<std::string, std::vector<std::string>>> examples() {
    std::vector<std::pair<std::string, std::vector<std::string>>> list;
    for (const auto& e : std::filesystem::directory_iterator(kExamples))
        if (e.path().extension() == ".json")
            list.push_back({e.path().string(), contains(readAll(e.path()), "\"usePhotonMapping\": true")
                                                   ? std::vector<std::string>{"--photons", "20000"}
                                                   : std::vector<std::string>{}});
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::string> renderArgs(const std::string& scene, const std::vector<std::string>& extra, int w, int h,
                                    const std::string& out, const std::vector<std::string>& more = {}) {
    std::vector<std::string> a{scene, "--width", std::to_string(w), "--height", std::to_string(h), "--device", "cpu",
                               "-q", "-o", out};
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// Every output pass; readExrPasses gives them with the colour, pixel by pixel.
const std::vector<std::string> kPasses = {"--aov", "albedo,normal,depth"};

// Whether two OpenEXR files hold the same bytes in every layer.
bool sameLayers(const std::string& a, const std::string& b) {
    int w = 0, h = 0;
    const std::vector<float> x = readExrPasses(a, w, h), y = readExrPasses(b, w, h);
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

// Four overlapping crops on no tile boundary, the right-hand ones straddling the tiles'
// seam at x = 256, each in its own process on three workers, and (for the example with
// photons) the Slurm script's array of five bands: the merges must give the bytes of the
// whole render on one worker in every layer, and the script leaves no parts behind. The
// whole render is finite and mostly lit.
TEST(Farm, CropsAndSlurmBandsOfEveryExampleOnAnyWorkerCountMergeToTheFullRender) {
    const std::vector<std::string> split = {"0,0,200,9", "190,0,264,9", "0,5,130,16", "120,5,264,16"};
    const std::string script = TESSRA_SOURCE_DIR "/scripts/slurm-render.sh";
    const std::string bin = std::filesystem::path(TESSRA_MERGE_BIN).parent_path().string();
    const auto list = examples();
    ASSERT_GE(list.size(), 4u);
    for (const auto& [scene, extra] : list) {
        SCOPED_TRACE(scene);
        const std::string dir = scratchDir("crops");
        std::vector<std::string> one = kPasses, parts, merged = {dir + "/merged.exr"};
        one.insert(one.end(), {"--threads", "1"});
        ASSERT_EQ(runRender(renderArgs(scene, extra, W, H, dir + "/full.exr", one)).exitCode, 0);
        for (const std::string& c : split) {
            parts.push_back(dir + "/part" + std::to_string(parts.size()) + ".exr");
            std::vector<std::string> more = kPasses;
            more.insert(more.end(), {"--threads", "3", "--crop", c});
            const RunResult r = runRender(renderArgs(scene, extra, W, H, parts.back(), more));
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        parts.insert(parts.end(), {"-o", merged[0], "-q"});
        const RunResult m = runProgram(TESSRA_MERGE_BIN, parts);
        ASSERT_EQ(m.exitCode, 0) << m.err;
        if (contains(scene, "photon-mapping")) {
            // The array's tasks, one after another, then the merge job.
            const std::string common = "TESSRA_BIN='" + bin + "' '" + script + "' ",
                              args = " '" + scene + "' '" + dir + "/frame.exr' " + std::to_string(W) + " " +
                                     std::to_string(H) + " 5",
                              task = common + "render" + args + " --photons 20000 --aov albedo,normal,depth";
            const RunResult r = runProgram(
                "/bin/bash", {"-c", "set -e; for k in 0 1 2 3 4; do SLURM_ARRAY_TASK_ID=$k " + task + "; done; " +
                                        common + "merge" + args});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(runProgram("/bin/bash", {"-c", common + "render" + args}).exitCode, 0) << "ran without a task";
            merged.push_back(dir + "/frame.exr");
        }
        for (const std::string& f : merged) EXPECT_TRUE(sameLayers(f, dir + "/full.exr")) << f;
        for (const std::string& f : listDir(dir)) EXPECT_FALSE(contains(f, ".part-")) << "left behind: " << f;
        int w = 0, h = 0;
        const std::vector<float> full = readExrPasses(dir + "/full.exr", w, h);
        size_t bad = 0, lit = 0;
        for (size_t i = 0; i < full.size(); i += 11) {
            for (int k = 0; k < 4; ++k) bad += !std::isfinite(full[i + k]);
            lit += full[i] + full[i + 1] > 0;
        }
        EXPECT_EQ(bad, 0u);
        EXPECT_GT(lit, size_t(W) * H / 8) << "mostly black";
    }
}

// Overlaps that disagree (named with the pixel), gaps (unless allowed, then black), another
// frame size, passes in some parts only and an unreadable part are refused.
TEST(Farm, MergeRefusesDisagreeingOverlapsAndReportsGaps) {
    const std::string dir = scratchDir("merge");
    // Parts of an 8 x 4 frame, each pixel its own colour, one pixel changed where asked.
    auto part = [&](const std::string& name, int x0, int x1, int changedX, int frameWidth = 8, bool depth = false) {
        tr::Image im;
        im.width = x1 - x0, im.height = im.frameHeight = 4;
        im.originX = x0, im.frameWidth = frameWidth;
        for (int y = 0; y < 4; ++y)
            for (int x = x0; x < x1; ++x)
                im.rgba.insert(im.rgba.end(), {0.1f * x, 0.2f * y, x == changedX && y == 2 ? 0.5f : 0.0f, 1.0f});
        if (depth) im.depth.assign(size_t(im.width) * 4, 1.0f);
        tr::writeImage(dir + "/" + name, im);
        return dir + "/" + name;
    };
    const std::string left = part("left.exr", 0, 5, -1), narrow = part("narrow.exr", 7, 8, -1);
    writeFile(dir + "/junk.exr", "not an image");
    auto merge = [&](std::vector<std::string> args, int status) {
        args.insert(args.end(), {"-o", dir + "/out.exr"});
        const RunResult r = runProgram(TESSRA_MERGE_BIN, args);
        EXPECT_EQ(r.exitCode, status) << r.err;
        EXPECT_EQ(std::filesystem::exists(dir + "/out.exr"), status == 0);
        return r.err;
    };
    std::string err = merge({left, part("odd.exr", 3, 8, 4)}, 1);
    EXPECT_TRUE(contains(err, "left.exr") && contains(err, "odd.exr") && contains(err, "(4, 2)")) << err;
    EXPECT_TRUE(contains(merge({left, narrow}, 1), "8 of the 8 x 4 pixels"));  // columns 5 and 6 are in no part
    merge({left, part("other-frame.exr", 5, 7, -1, 9)}, 1);
    EXPECT_TRUE(contains(merge({left, part("depth.exr", 5, 8, -1, 8, true), "--allow-gaps"}, 1), "depth"));
    merge({left, dir + "/junk.exr"}, 1);
    merge({left, part("right.exr", 3, 8, -1)}, 0);
    merge({left, narrow, "--allow-gaps"}, 0);
    int w = 0, h = 0;
    const std::vector<float> gaps = readExr(dir + "/out.exr", w, h);
    ASSERT_EQ(gaps.size(), 8u * 4 * 4);
    for (int x = 0; x < 8; ++x) {
        const float* p = &gaps[(2 * 8 + x) * 4];
        EXPECT_TRUE(x == 5 || x == 6 ? p[0] == 0 && p[1] == 0 : p[0] == 0.1f * x && p[1] == 0.4f) << x;
    }
}

// --- MPI ---------------------------------------------------------------------------

#define SKIP_WITHOUT_MPI()                                                                                     \
    if (kMpiexec.empty())                                                                                      \
    GTEST_SKIP() << "NOTICE: Open MPI was not found when this was built (install libopenmpi-dev and "         \
                    "openmpi-bin); the --mpi tests did not run"

std::vector<std::string> mpirun(int ranks, const std::vector<std::string>& rest) {
    std::vector<std::string> a{"--oversubscribe", "--allow-run-as-root", "-np", std::to_string(ranks)};
    // Open MPI's components keep their memory to the end of the process by design; under
    // AddressSanitizer the ranks would all fail the leak check on it.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        a.insert(a.end(), {"-x", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
    a.insert(a.end(), {TESSRA_RENDER_BIN, "--mpi"});
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
}

// The example with photons and final gather, the state each rank builds for itself
// (every example is held to its one-process bytes by the crops test above). Two tiles in a
// row (256 and 4 pixels wide) of 40 rows: the ranks share them in bands of 16 rows, joined
// into runs, so that band edges fall inside tiles. The crop starts inside a band.
TEST(Mpi, SameBytesAsOneProcessOnAnyRankCount) {
    SKIP_WITHOUT_MPI();
    const std::string scene = kExamples + "/cornell-photon-mapping.json", dir = scratchDir("mpi");
    std::vector<std::string> extra = {"--photons", "20000"};
    extra.insert(extra.end(), kPasses.begin(), kPasses.end());
    for (const int ranks : {3, 2}) {
        if (ranks == 2) extra.insert(extra.end(), {"--crop", "3,21,259,37"});
        ASSERT_EQ(runRender(renderArgs(scene, extra, 260, 40, dir + "/single.exr")).exitCode, 0);
        const std::string out = dir + "/ranks.exr";
        const RunResult r = runProgram(kMpiexec, mpirun(ranks, renderArgs(scene, extra, 260, 40, out)), 300);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(sameLayers(out, dir + "/single.exr")) << ranks << " ranks";
        EXPECT_EQ(exrAttribute(out, "tessra:mpiRanks"), std::to_string(ranks));
    }
}

// The processes whose environment holds `marker`, and among them the rank `rank` (or any).
std::vector<pid_t> markedProcesses(const std::string& marker, int rank = -1) {
    std::vector<pid_t> pids;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string env = '\0' + readAll(e.path() / "environ");
        if (contains(env, '\0' + marker + '\0') &&
            (rank < 0 || contains(env, std::string(1, '\0') + "OMPI_COMM_WORLD_RANK=" + std::to_string(rank) + '\0')))
            pids.push_back(pid_t(std::stoi(name)));
    }
    return pids;
}

// Two-rank jobs that render many tiles, stopped once rank 0 reports a finished tile: by
// Ctrl-C to mpirun, after which rank 0 writes the tiles done so far (the rest black), or
// by killing rank 1, which fails the run without an image. No rank may outlive mpirun.
TEST(Mpi, CtrlCOrADeadRankEndsEveryRank) {
    SKIP_WITHOUT_MPI();
    const std::string dir = scratchDir("mpi-interrupt");
    for (const bool ctrlC : {true, false}) {
        SCOPED_TRACE(ctrlC ? "Ctrl-C" : "rank 1 killed");
        const std::string out = dir + (ctrlC ? "/partial.png" : "/frame.png");
        const std::string marker = "TESSRA_FARM_TEST=" + std::to_string(getpid()) + "-" + out;
        std::vector<std::string> args{"--mca", "odls_base_sigkill_timeout", "3", "-x", marker};
        for (const std::string& a : mpirun(2, {kExamples + "/cornell-box.json", "--width", "1280", "--height", "1024",
                                               "--threads", "1", "-v", "-o", out}))
            args.push_back(a);
        const RunResult run = runProgram(kMpiexec, args, 180, "tile 1/", [&](pid_t pid) {
            for (pid_t p : ctrlC ? std::vector<pid_t>{pid} : markedProcesses(marker, 1))
                kill(p, ctrlC ? SIGINT : SIGKILL);
        });
        EXPECT_TRUE(run.acted) << "no tile was reported: " << run.err;
        EXPECT_NE(run.exitCode, 0);
        const std::vector<pid_t> left = markedProcesses(marker);
        EXPECT_TRUE(left.empty()) << "ranks outlived mpirun";
        for (pid_t p : left) kill(p, SIGKILL);
        if (!ctrlC) {
            EXPECT_TRUE(contains(run.err, "signal 9") && contains(run.err, "rank 1 did not report")) << run.err;
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        EXPECT_TRUE(contains(run.err, "interrupted; wrote the tiles done so far")) << run.err;
        const Rgba8 im = readPng(out);
        size_t lit = 0;
        for (size_t i = 0; i < im.px.size(); i += 4) lit += im.px[i] || im.px[i + 1] || im.px[i + 2];
        EXPECT_GT(lit, 0u);
        EXPECT_LT(lit, size_t(im.width) * im.height);
    }
}

}  // namespace
