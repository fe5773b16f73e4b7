// The device-runtime layer on the CPU backend: tracked memory, texture and constant
// bindings, launch configuration, the strict modes, and the timer's fatal check.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <tuple>

#include "device/kernels_screen.h"
#include "runtime/cpu/cpu_backend.h"
#include "support/test_support.h"

namespace {

class Runtime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt::selectBackend("cpu")); }
    void TearDown() override {
        rt::setThreadCount(0);
        rt::setMemoryCap(0);
    }
};

// The CPU backend refuses what a GPU would: pointers it never handed out, copies and
// fills past an allocation, a second free, and allocations over the cap. (That the
// renderer reports what fails is the fault-injection test's.)
TEST_F(Runtime, MemoryIsTrackedAndForeignPointersAreRefused) {
    const size_t before = rt::liveAllocationCount();
    void* p = nullptr;
    ASSERT_EQ(rt::malloc(&p, 100), rt::Success);
    EXPECT_EQ(rt::liveAllocationCount(), before + 1);
    std::vector<char> host(100, 7);
    char* mid = static_cast<char*>(p) + 50;
    EXPECT_EQ(rt::memcpyHtoD(mid, host.data(), 50), rt::Success);
    EXPECT_EQ(rt::memcpyHtoD(mid, host.data(), 51), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::memcpyHtoD(host.data(), host.data(), 10), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::memset(p, 0, 101), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::free(mid), rt::ErrorInvalidDevicePointer);
    EXPECT_EQ(rt::free(p), rt::Success);
    EXPECT_EQ(rt::free(p), rt::ErrorInvalidDevicePointer);
    EXPECT_EQ(rt::liveAllocationCount(), before);
    rt::setMemoryCap(rt::liveAllocationBytes() + 1000);
    EXPECT_EQ(rt::malloc(&p, 1001), rt::ErrorMemoryAllocation);
    EXPECT_EQ(p, nullptr);
}

// Fetches clamp to the bound range like the GPU, unbound references read zero, bindings
// and constant uploads check their sizes and kinds, and float to integer conversions
// saturate as on the GPU instead of being undefined.
TEST_F(Runtime, TexturesClampAndConstantsAreSized) {
    float4* d = nullptr;
    ASSERT_EQ(rt::malloc(reinterpret_cast<void**>(&d), 3 * 16), rt::Success);
    const float4 v[3] = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
    ASSERT_EQ(rt::memcpyHtoD(d, v, sizeof(v)), rt::Success);
    ASSERT_EQ(rt::bindTexture(rt::Symbol::texTris, d, sizeof(v)), rt::Success);
    rt::cpu::HostAccess deviceCodeOnHost;
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 1).y, 6.0f);
    EXPECT_EQ(tex1Dfetch(SYM.texTris, -5).x, 1.0f);
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 99).w, 12.0f);
    EXPECT_EQ(rt::bindTexture(rt::Symbol::texTris, d, sizeof(v) + 16), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::bindTexture(rt::Symbol::c_eyePos, d, 12), rt::ErrorInvalidSymbol);
    ASSERT_EQ(rt::bindTexture(rt::Symbol::texTris, nullptr, 0), rt::Success);
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 0).x, 0.0f);
    const float eye[3] = {1, 2, 3};
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 12), rt::Success);
    EXPECT_EQ(SYM.c_eyePos.z, 3.0f);
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 16), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::texTris, eye, 12), rt::ErrorInvalidSymbol);
    EXPECT_EQ(rt::free(d), rt::Success);
    EXPECT_EQ(std::vector<int>({f2i(std::nanf("")), f2i(3e9f), f2i(-3e9f), f2i(-2.7f)}),
              std::vector<int>({0, INT_MAX, INT_MIN, -2}));
    EXPECT_EQ(f2u(-1.0f), 0u);
    EXPECT_EQ(f2u(5e9f), UINT_MAX);
}

// A grid with a zero extent skips the launch without a word, and a block over the limit
// is refused. (That a grid covers its extent once, with any worker count, shows in the
// determinism test's renders on poisoned memory in reverse order.)
TEST_F(Runtime, EmptyGridsAreSkippedAndOversizedBlocksRefused) {
    auto launch = [](dim3 grid, dim3 block) {
        return rt::launch(TESSRA_KERNEL(combineBuffers), grid, block, nullptr, nullptr, nullptr, 0u, 0u, 0u, 0u, false);
    };
    const uint64_t launched = rt::launchCount(rt::KernelId::combineBuffers);
    tt::MessageCapture messages;
    launch(dim3(0, 13, 1), dim3(16, 16, 1));
    EXPECT_EQ(rt::launchCount(rt::KernelId::combineBuffers), launched);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(launch(dim3(1, 1, 1), dim3(64, 32, 1)), rt::ErrorInvalidConfiguration);
}

// The strict modes: blocks and threads visited in exactly the reverse order, or in a
// shuffled one; fresh memory full of NaN bytes; device memory out of the host's reach
// outside copies, fills and launches.
using Visit = std::tuple<unsigned, unsigned, unsigned, unsigned>;
void recordVisit(Lane l, std::vector<Visit>* seen) {
    seen->push_back({l.blockIdx.x, l.blockIdx.y, l.threadIdx.x, l.threadIdx.y});
}

TEST_F(Runtime, StrictModesReorderPoisonAndHideDeviceMemory) {
    rt::setThreadCount(1);
    auto visits = [](const char* modes) {
        EXPECT_TRUE(rt::cpu::setStrictModes(modes));
        std::vector<Visit> seen;
        const rt::detail::Params<std::vector<Visit>*> params(&seen);
        rt::cpu::launch(dim3(3, 2, 1), dim3(4, 2, 1), &rt::detail::runBlock<&recordVisit, std::vector<Visit>*>,
                        &params);
        return seen;
    };
    const std::vector<Visit> natural = visits("");
    ASSERT_EQ(natural.size(), 48u);
    const std::vector<Visit> reversed = visits("reverse"), shuffled = visits("shuffle");
    EXPECT_TRUE(std::equal(natural.begin(), natural.end(), reversed.rbegin(), reversed.rend()));
    EXPECT_NE(shuffled, natural);
    EXPECT_TRUE(std::is_permutation(natural.begin(), natural.end(), shuffled.begin(), shuffled.end()))
        << "a shuffle visits every thread once";
    EXPECT_FALSE(rt::cpu::setStrictModes("shuffle,fast"));

    ASSERT_TRUE(rt::cpu::setStrictModes("poison,nohostread"));
    float* d = nullptr;
    ASSERT_EQ(rt::malloc(reinterpret_cast<void**>(&d), 10), rt::Success);
    float back[2] = {0, 0};
    ASSERT_EQ(rt::memcpyDtoH(back, d, 8), rt::Success);
    EXPECT_TRUE(std::isnan(back[0]) && std::isnan(back[1]));
    EXPECT_DEATH(std::printf("%f\n", double(*static_cast<volatile float*>(d))), "");
    {
        rt::cpu::HostAccess open;
        EXPECT_TRUE(std::isnan(d[3])) << "the rounding tail is poisoned too";
    }
    EXPECT_EQ(rt::free(d), rt::Success);
    const char* env = std::getenv("TESSRA_CPU_STRICT");
    EXPECT_TRUE(rt::cpu::setStrictModes(env ? env : ""));
}

// The CUDA check's message and exit code show in the fault-injection children.
TEST(ErrorChecksDeathTest, TimerCheckPrintsAndExits) {
    EXPECT_EXIT(platform::cutCheck(false, "volumeRender", 2524), ::testing::ExitedWithCode(1),
                "Cut error in file 'volumeRender' in line 2524\\.");
}

}  // namespace
