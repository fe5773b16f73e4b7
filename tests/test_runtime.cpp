// The device-runtime layer on the CPU backend: tracked memory, texture and constant
// bindings, launch configuration, worker-count independence, the strict modes, and the
// renderer's accounting and fatal checks on top of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "device/kernels_screen.h"
#include "host/internal.h"
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
// fills past an allocation, a second free, and allocations over the cap. The renderer
// counts every request, failed ones too, and reports what fails.
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

    TessraRendererCUDA r;
    tt::MessageCapture messages;
    r.Free(r.Malloc(1000));
    EXPECT_EQ(r.Malloc(1 << 20), nullptr);
    EXPECT_EQ(r.usedDeviceMem, 1000u + (1u << 20));
    r.Free(&r);
    ASSERT_EQ(messages.messages.size(), 2u);
    EXPECT_EQ(messages.messages[0].text, "Unable to allocate memory: 1048576\n");
    EXPECT_EQ(messages.messages[1].text, "Unable to deallocate memory");
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

// combineBuffers over a 300 x 200 extent with 16 x 16 blocks, for a given worker count,
// into memory filled with NaN bytes.
std::vector<float4> combine(unsigned threads, dim3 grid) {
    rt::setThreadCount(threads);
    const unsigned w = 300, h = 200, n = w * h;
    float4 *total, *direct, *indirect;
    for (float4** p : {&total, &direct, &indirect}) rt::malloc(reinterpret_cast<void**>(p), n * 16);
    std::vector<float4> a(n), out(n);
    for (unsigned i = 0; i < n; ++i) a[i] = make_float4(std::sin(float(i)), float(i % 7), 0.5f, float(i % 3));
    rt::memcpyHtoD(direct, a.data(), n * 16);
    rt::memcpyHtoD(indirect, a.data(), n * 16);
    rt::memset(total, 0xff, n * 16);
    rt::launch(TESSRA_KERNEL(combineBuffers), grid, dim3(16, 16, 1), total, direct, indirect, w, h, 0u, 0u, false);
    rt::synchronize();
    rt::memcpyDtoH(out.data(), total, n * 16);
    for (float4* p : {total, direct, indirect}) rt::free(p);
    return out;
}

// A grid a little larger than the extent covers every element once, the same with one
// worker as with eight; a grid or block with a zero extent skips the launch without a
// word, and one over the block limit is refused.
TEST_F(Runtime, LaunchCoversTheGridWithAnyWorkerCount) {
    const dim3 grid(19, 13, 1);  // 304 x 208 threads over 300 x 200 elements
    const std::vector<float4> one = combine(1, grid), eight = combine(8, grid);
    EXPECT_EQ(std::memcmp(one.data(), eight.data(), one.size() * 16), 0);
    EXPECT_EQ(std::count_if(one.begin(), one.end(), [](float4 p) { return std::isnan(p.x) || std::isnan(p.w); }), 0);
    const uint64_t launched = rt::launchCount(rt::KernelId::combineBuffers);
    EXPECT_TRUE(std::isnan(combine(2, dim3(0, 13, 1))[0].x));
    EXPECT_EQ(rt::launchCount(rt::KernelId::combineBuffers), launched);
    EXPECT_EQ(rt::launch(TESSRA_KERNEL(combineBuffers), dim3(1, 1, 1), dim3(64, 32, 1), nullptr, nullptr, nullptr, 0u,
                         0u, 0u, 0u, false),
              rt::ErrorInvalidConfiguration);
}

// The strict modes: blocks and threads visited in exactly the reverse order, or in a
// shuffled one; fresh memory full of NaN bytes; device memory out of the host's reach
// outside copies, fills and launches.
TEST_F(Runtime, StrictModesReorderPoisonAndHideDeviceMemory) {
    using Visit = std::tuple<unsigned, unsigned, unsigned, unsigned>;
    rt::setThreadCount(1);
    auto visits = [](const char* modes) {
        EXPECT_TRUE(rt::cpu::setStrictModes(modes));
        std::vector<Visit> seen;
        rt::cpu::launch(
            dim3(3, 2, 1), dim3(4, 2, 1),
            [](const void* ctx, const Lane& l) {
                static_cast<std::vector<Visit>*>(const_cast<void*>(ctx))
                    ->push_back({l.blockIdx.x, l.blockIdx.y, l.threadIdx.x, l.threadIdx.y});
            },
            &seen);
        return seen;
    };
    const std::vector<Visit> natural = visits("");
    ASSERT_EQ(natural.size(), 48u);
    std::vector<Visit> reversed = visits("reverse"), shuffled = visits("shuffle"), sorted = natural;
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(reversed, natural);
    EXPECT_NE(shuffled, natural);
    std::sort(shuffled.begin(), shuffled.end());
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(shuffled, sorted) << "a shuffle visits every thread once";
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

TEST(ErrorChecksDeathTest, CudaAndTimerChecksPrintAndExit) {
    EXPECT_EXIT(platform::cudaCheck(rt::ErrorMemoryAllocation, "Tessra", 1016), ::testing::ExitedWithCode(1),
                "Cuda error in file 'Tessra' in line 1016 : out of memory\\.");
    EXPECT_EXIT(platform::cutCheck(false, "volumeRender", 2524), ::testing::ExitedWithCode(1),
                "Cut error in file 'volumeRender' in line 2524\\.");
}

}  // namespace
