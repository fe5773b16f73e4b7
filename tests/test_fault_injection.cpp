// Fault injection on the CPU backend over a scene that uses every stage: each runtime
// call of a render fails in turn (in a child process, since the CUDA error check ends
// the process), and the host requests an abort at each poll in turn. Every run must end
// in one of the designed ways: the fatal check's message and exit code 1, or Render
// returning with nothing left allocated after CleanUp and a retry giving the reference
// image. A crash, a hang, a leak or a silently wrong image fails the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/device.h"
#include "support/bad_files.h"
#include "support/cornell.h"

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
        // One thread: a forked child inherits no worker threads.
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

    int childRun(uint64_t n) {
        auto r = everyStage(texture);
        rt::failNthCall(n);
        const Outcome first = render(*r);
        rt::failNthCall(0);
        r->CleanUp();
        if (rt::liveAllocationCount() != baseline) return kLeaked;
        const Outcome retry = render(*r);
        r->CleanUp();
        if (retry.image != reference.image) return kRetryWrong;
        if (first.messaged) return kReported;
        return first.image == reference.image ? kHarmless : kSilentWrong;
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
    for (uint64_t n : points) {
        if (running.size() >= 2) reap();
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int fd = open((dir + "/err-" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            alarm(120);  // a hang ends as SIGALRM
            _exit(childRun(n));
        }
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

}  // namespace
