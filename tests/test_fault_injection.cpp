// Fault injection over a scene that uses every stage: each runtime call of a render
// fails in turn (in a fresh process, since the CUDA error check ends the process and a
// process may not fork once it has used CUDA), the host requests an abort at each poll
// in turn, and host allocations run out of memory during scene input and upload. Every
// run must end in one of the designed ways: the fatal check's message and exit code 1,
// or Render returning with nothing left allocated after CleanUp and a retry giving the
// reference image. A crash, a hang, a leak, an escaped exception or a silently wrong
// image fails the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/device.h"
#include "support/bad_files.h"
#include "support/cornell.h"

extern char** environ;

// Host allocations: once armed with n, the n-th operator new from then on throws.
namespace {
std::atomic<long> g_newCountdown{0};
std::atomic<long> g_newCount{0};
}  // namespace

void* operator new(std::size_t bytes) {
    g_newCount.fetch_add(1, std::memory_order_relaxed);
    if (g_newCountdown.load(std::memory_order_relaxed) > 0 && g_newCountdown.fetch_sub(1) == 1) throw std::bad_alloc();
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class AbortingHost : public tt::RecordingHost {
public:
    AbortingHost() : RecordingHost(8, 8) {}
    bool AbortRequested() override { return ++polls == abortAt; }
    int polls = 0;
    int abortAt = -1;
};

std::unique_ptr<TessraRendererCUDA> everyStage(const std::string& texture) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(8, 8));
    tt::addEveryStage(*r, texture);
    return r;
}

struct Outcome {
    bool messaged = false;
    std::vector<float> image;
    int polls = 0;
};

Outcome render(TessraRendererCUDA& r, int abortAt = -1) {
    AbortingHost host;
    host.abortAt = abortAt;
    tt::MessageCapture messages;
    tt::setCameraLookingDownZ(r, tt::kCornellEye);
    r.callbacks = &host;
    tt::StdoutCapture quiet;
    quiet.start();
    r.Render();
    quiet.stop();
    r.callbacks = nullptr;
    return {!messages.messages.empty(), host.image, host.polls};
}

enum Ending {
    kReported = 0,     // Render returned after a message; clean-up and retry fine
    kHarmless = 2,     // no message and the reference image: the failure did not matter
    kFatal = 1,        // the CUDA error check ended the process
    kLeaked = 20,      // live device allocations after CleanUp
    kRetryWrong = 21,  // the retry did not give the reference image
    kSilentWrong = 22  // no message, yet a different image
};

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        // One worker, as in the children, two of which run at a time.
        rt::setThreadCount(1);
        ASSERT_TRUE(tt::writeGradientPng(dir + "/t.png", 4, 4));
        auto r = everyStage(texture);
        using K = rt::KernelId;
        const K stages[] = {K::calc_refl_ss, K::bounce_photons, K::estimatePhotonMap_FG, K::calculate_harmonic_distances,
                            K::calculate_irradiance_cache_records, K::estimatePhotonMap_FromFG};
        std::vector<uint64_t> launches;
        for (K k : stages) launches.push_back(rt::launchCount(k));
        const uint64_t before = rt::callCount();
        rt::traceCalls(&trace);
        reference = render(*r);
        rt::traceCalls(nullptr);
        calls = rt::callCount() - before;
        for (size_t i = 0; i < launches.size(); ++i)
            ASSERT_GT(rt::launchCount(stages[i]), launches[i]) << "stage not reached: " << rt::kernelName(stages[i]);
        ASSERT_FALSE(reference.messaged);
        r->CleanUp();
        baseline = rt::liveAllocationCount();
    }
    void TearDown() override {
        std::system(("rm -rf '" + dir + "'").c_str());
        rt::setThreadCount(0);
    }
    std::string makeDir() {
        char name[] = "/tmp/tessra-fault-XXXXXX";
        return mkdtemp(name);
    }

    std::string dir = makeDir();
    std::string texture = dir + "/t.png";
    Outcome reference;
    uint64_t calls = 0;
    std::vector<rt::CallKind> trace;
    size_t baseline = 0;
};

// Each kind of call (allocation, release, copy, fill, binding, constant upload, launch,
// synchronisation) gets an equal share of kPoints, spread evenly over its occurrences:
// a kind with fewer calls than its share fails at every one of them. The tile loops
// repeat the same few call sites thousands of times; TESSRA_FAULT_ALL=1 fails every
// call all the same (many minutes).
constexpr size_t kPoints = 96;

TEST_F(FaultInjection, EveryRuntimeCallFailingEndsAsDesigned) {
    ASSERT_GT(calls, 50u);
    ASSERT_EQ(trace.size(), calls);
    const bool all = std::getenv("TESSRA_FAULT_ALL") != nullptr;
    std::map<rt::CallKind, size_t> total, seen;
    for (rt::CallKind k : trace) ++total[k];
    const size_t share = kPoints / total.size();
    std::vector<uint64_t> points;
    for (uint64_t n = 1; n <= calls; ++n) {
        const rt::CallKind k = trace[n - 1];
        const size_t stride = all ? 1 : std::max<size_t>(1, (total[k] + share - 1) / share);
        if (seen[k]++ % stride == 0) points.push_back(n);
    }
    std::map<int, std::vector<uint64_t>> endings;
    std::vector<std::string> unexpected;
    std::map<pid_t, uint64_t> running;
    auto reap = [&] {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        ASSERT_GT(pid, 0);
        const uint64_t n = running[pid];
        running.erase(pid);
        const std::string errPath = dir + "/err-" + std::to_string(n);
        const std::vector<uint8_t> bytes = tt::readBytes(errPath);
        const std::string err(bytes.begin(), bytes.end());
        std::remove(errPath.c_str());
        const std::string at = "call " + std::to_string(n) + " (kind " + std::to_string(int(trace[n - 1])) + "): ";
        if (WIFSIGNALED(status)) {
            unexpected.push_back(at + "signal " + std::to_string(WTERMSIG(status)) + " " + err);
            return;
        }
        const int code = WEXITSTATUS(status);
        if (code == kFatal && err.find("Cuda error in file '") == std::string::npos &&
            err.find("Cut error in file '") == std::string::npos)
            unexpected.push_back(at + "exit 1 without the fatal message: " + err);
        else if (code != kReported && code != kHarmless && code != kFatal)
            unexpected.push_back(at + "ending " + std::to_string(code));
        endings[code].push_back(n);
    };
    // The children read the reference image; each runs one point in a fresh process.
    const std::string referencePath = dir + "/reference";
    std::vector<uint8_t> bytes(reference.image.size() * sizeof(float));
    std::memcpy(bytes.data(), reference.image.data(), bytes.size());
    tt::writeBytes(referencePath, bytes);
    for (uint64_t n : points) {
        if (running.size() >= 2) reap();
        std::vector<std::string> env = {"TESSRA_FAULT_AT=" + std::to_string(n), "TESSRA_FAULT_DIR=" + dir,
                                        "TESSRA_FAULT_BASELINE=" + std::to_string(baseline)};
        for (char** e = environ; *e; ++e) env.push_back(*e);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string self = "/proc/self/exe", filter = "--gtest_filter=FaultInjectionChild.DISABLED_OnePoint",
                    disabled = "--gtest_also_run_disabled_tests";
        char* argv[] = {&self[0], &filter[0], &disabled[0], nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, (dir + "/err-" + std::to_string(n)).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, self.c_str(), &files, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&files);
        ASSERT_EQ(spawned, 0);
        running[pid] = n;
    }
    while (!running.empty()) reap();
    std::fprintf(stderr, "fault points %zu of %llu calls: fatal exit %zu, reported %zu, harmless %zu, unexpected %zu\n",
                 points.size(), static_cast<unsigned long long>(calls), endings[kFatal].size(),
                 endings[kReported].size(), endings[kHarmless].size(), unexpected.size());
    RecordProperty("fault_points", int(points.size()));
    for (const std::string& u : unexpected) ADD_FAILURE() << u;
}

// An abort at every kPolls-th poll, or at every poll with TESSRA_FAULT_ALL=1.
constexpr int kPolls = 10;

TEST_F(FaultInjection, AbortAtEveryPollEndsCleanly) {
    ASSERT_GT(reference.polls, 3);
    const int stride = std::getenv("TESSRA_FAULT_ALL") ? 1 : std::max(1, reference.polls / kPolls);
    int tried = 0;
    for (int p = 1; p <= reference.polls; p += stride) {
        ++tried;
        SCOPED_TRACE("abort at poll " + std::to_string(p));
        auto r = everyStage(texture);
        const Outcome aborted = render(*r, p);
        EXPECT_FALSE(aborted.messaged);
        EXPECT_EQ(aborted.polls, p) << "the render went on polling after the abort";
        r->CleanUp();
        EXPECT_EQ(rt::liveAllocationCount(), baseline);
        EXPECT_TRUE(render(*r).image == reference.image) << "retry after the abort";
        r->CleanUp();
    }
    std::fprintf(stderr, "abort points %d of %d polls\n", tried, reference.polls);
    RecordProperty("abort_points", tried);
}

// One point of the test above in a process of its own (disabled, so ctest does not list
// it); its exit code is the ending.
TEST(FaultInjectionChild, DISABLED_OnePoint) {
    const char* at = std::getenv("TESSRA_FAULT_AT");
    if (!at) GTEST_SKIP() << "run by FaultInjection.EveryRuntimeCallFailingEndsAsDesigned";
    alarm(120);  // a hang ends as SIGALRM
    const std::string dir = std::getenv("TESSRA_FAULT_DIR");
    const size_t baseline = std::strtoull(std::getenv("TESSRA_FAULT_BASELINE"), nullptr, 10);
    const std::vector<uint8_t> bytes = tt::readBytes(dir + "/reference");
    std::vector<float> reference(bytes.size() / sizeof(float));
    std::memcpy(reference.data(), bytes.data(), bytes.size());
    rt::setThreadCount(1);
    auto r = everyStage(dir + "/t.png");
    rt::failNthCall(std::strtoull(at, nullptr, 10));
    const Outcome first = render(*r);
    rt::failNthCall(0);
    r->CleanUp();
    // A fresh process may hold less than the parent did, never more.
    if (rt::liveAllocationCount() > baseline) _exit(kLeaked);
    const Outcome retry = render(*r);
    r->CleanUp();
    if (retry.image != reference) _exit(kRetryWrong);
    if (first.messaged) _exit(kReported);
    _exit(first.image == reference ? kHarmless : kSilentWrong);
}

// Every scene input that needs more host memory reports running out, leaves the scene
// as it was (an area light in both of its lists or in neither) and the renderer renders
// the reference image afterwards; so does a renderer copy.
TEST_F(FaultInjection, OutOfHostMemoryDuringSceneInputIsReported) {
    auto r = everyStage(texture);
    const float tri[24] = {-1, -1, -2, 1, -1, -2, 0, 1, -2, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    const material_t plain;
    auto full = [&] {
        // No spare capacity: the next push allocates. The lights keep one spare slot, so
        // that an area light fails on its index after the light itself went in.
        r->triangles.shrink_to_fit();
        r->lightTriangles.shrink_to_fit();
        r->materials.shrink_to_fit();
        r->areaLightIndices.shrink_to_fit();
        r->lights.shrink_to_fit();
        r->lights.reserve(r->lights.size() + 1);
    };
    struct Input {
        const char* name;
        std::function<void()> call;
    };
    int32_t materialIndex = 0;
    const Input inputs[] = {
        {"NuevoTriangulo", [&] { r->NuevoTriangulo(tri, 0, false, 1.0f); }},
        {"NuevoTriangulo", [&] { r->NuevoTriangulo(tri, 0, true, 1.0f); }},
        {"NuevoMaterial", [&] { materialIndex = r->NuevoMaterial(plain); }},
        {"NuevaLuzOmniEsfera", [&] { r->NuevaLuzOmniEsfera(0, 0, 1, 1, 1, 1, 1, 0.1f, 0); }},
        {"NuevaLuzRect", [&] { r->NuevaLuzRect(0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 0); }},
    };
    for (const Input& in : inputs) {
        SCOPED_TRACE(in.name);
        full();
        const size_t sizes[] = {r->triangles.size(), r->lightTriangles.size(), r->materials.size(), r->lights.size(),
                                r->areaLightIndices.size()};
        tt::MessageCapture messages;
        g_newCountdown = 1;
        in.call();
        const bool threw = g_newCountdown == 0;
        g_newCountdown = 0;
        EXPECT_TRUE(threw) << "the input allocated nothing";
        EXPECT_TRUE(messages.contains(std::string(in.name) + " failed: out of host memory.")) << messages.messages.size();
        const size_t after[] = {r->triangles.size(), r->lightTriangles.size(), r->materials.size(), r->lights.size(),
                                r->areaLightIndices.size()};
        EXPECT_TRUE(std::equal(sizes, sizes + 5, after));
    }
    EXPECT_EQ(materialIndex, -1);

    TessraRendererCUDA copy;
    {
        tt::MessageCapture messages;
        g_newCountdown = 1;
        copy = *r;
        g_newCountdown = 0;
        EXPECT_TRUE(messages.contains("Copying a renderer failed: out of host memory."));
    }
    EXPECT_TRUE(copy.triangles.empty());
    EXPECT_NE(copy.width, r->width) << "a failed copy changed the target";
    copy = *r;
    EXPECT_EQ(copy.triangles.size(), r->triangles.size());
    EXPECT_EQ(copy.width, r->width);

    EXPECT_TRUE(render(*r).image == reference.image);
    r->CleanUp();
    EXPECT_EQ(rt::liveAllocationCount(), baseline);
}

// Host allocations failing in turn through the upload (scene arrays, octree, texture
// atlas): each one is reported, CleanUp frees what the upload held, and the renderer
// then gives the reference image.
TEST_F(FaultInjection, OutOfHostMemoryDuringUploadIsReported) {
    auto armedUpload = [&](TessraRendererCUDA& r, long n) {
        tt::MessageCapture messages;
        messages.messages.reserve(16);
        tt::StdoutCapture quiet;
        quiet.start();
        const long before = g_newCount;
        g_newCountdown = n;
        const bool ok = r.initScene();
        const bool threw = n > 0 && g_newCountdown == 0;
        g_newCountdown = 0;
        const long made = g_newCount - before;
        quiet.stop();
        EXPECT_EQ(ok, !threw);
        EXPECT_EQ(messages.messages.empty(), !threw);
        return std::make_pair(made, threw);
    };
    auto counted = everyStage(texture);
    const long allocations = armedUpload(*counted, 0).first;
    counted->CleanUp();
    ASSERT_GT(allocations, 20);
    constexpr long kNewPoints = 12;
    for (long n = 1; n <= allocations; n += std::max(1L, allocations / kNewPoints)) {
        SCOPED_TRACE("host allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        auto r = everyStage(texture);
        EXPECT_TRUE(armedUpload(*r, n).second);
        r->CleanUp();
        EXPECT_EQ(rt::liveAllocationCount(), baseline);
        EXPECT_TRUE(render(*r).image == reference.image) << "render after the failed upload";
        r->CleanUp();
    }
}

}  // namespace
