// The device-runtime layer on the CPU backend: tracked memory, texture and constant
// bindings, launch configuration, worker-count independence and fault injection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <cstring>
#include <vector>

#include "device/volumeRender_kernel.h"
#include "runtime/cpu/cpu_backend.h"
#include "runtime/device.h"

namespace {

class Runtime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt::selectBackend("cpu")); }
    void TearDown() override {
        rt::setThreadCount(0);
        rt::setMemoryCap(0);
        rt::failNthCall(0);
    }
};

TEST_F(Runtime, MemoryIsTrackedAndForeignPointersAreRefused) {
    const size_t before = rt::liveAllocationCount();
    void* p = nullptr;
    ASSERT_EQ(rt::malloc(&p, 100), rt::Success);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(rt::liveAllocationCount(), before + 1);
    std::vector<char> host(100, 7);
    EXPECT_EQ(rt::memcpyHtoD(p, host.data(), 100), rt::Success);
    EXPECT_EQ(rt::memcpyHtoD(static_cast<char*>(p) + 50, host.data(), 50), rt::Success);
    EXPECT_EQ(rt::memcpyHtoD(static_cast<char*>(p) + 50, host.data(), 51), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::memcpyHtoD(host.data(), host.data(), 10), rt::ErrorInvalidValue);  // not device memory
    EXPECT_EQ(rt::memset(p, 0, 101), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::free(host.data()), rt::ErrorInvalidDevicePointer);
    EXPECT_EQ(rt::free(static_cast<char*>(p) + 1), rt::ErrorInvalidDevicePointer);
    EXPECT_EQ(rt::free(p), rt::Success);
    EXPECT_EQ(rt::free(p), rt::ErrorInvalidDevicePointer);  // twice
    EXPECT_EQ(rt::liveAllocationCount(), before);

    void* z = reinterpret_cast<void*>(1);
    EXPECT_EQ(rt::malloc(&z, 0), rt::Success);
    EXPECT_EQ(z, nullptr);

    rt::setMemoryCap(rt::liveAllocationBytes() + 1000);
    void* q = nullptr;
    EXPECT_EQ(rt::malloc(&q, 1001), rt::ErrorMemoryAllocation);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(rt::malloc(&q, 1000), rt::Success);
    EXPECT_EQ(rt::free(q), rt::Success);
    EXPECT_STREQ(rt::errorString(rt::ErrorMemoryAllocation), "out of memory");
}

TEST_F(Runtime, TexturesClampAndConstantsAreSized) {
    float4* d = nullptr;
    ASSERT_EQ(rt::malloc(reinterpret_cast<void**>(&d), 3 * 16), rt::Success);
    const float4 v[3] = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
    ASSERT_EQ(rt::memcpyHtoD(d, v, sizeof(v)), rt::Success);
    ASSERT_EQ(rt::bindTexture(rt::Symbol::texTris, d, sizeof(v)), rt::Success);
    EXPECT_EQ(rt::symbolMirror().texTris.count, 3u);
    rt::cpu::HostAccess deviceCodeOnHost;  // the fetches are device code run on the host
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 1).y, 6.0f);
    EXPECT_EQ(tex1Dfetch(SYM.texTris, -5).x, 1.0f);  // clamps like the GPU
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 99).w, 12.0f);
    EXPECT_EQ(rt::bindTexture(rt::Symbol::texTris, d, sizeof(v) + 16), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::bindTexture(rt::Symbol::c_eyePos, d, 12), rt::ErrorInvalidSymbol);
    ASSERT_EQ(rt::bindTexture(rt::Symbol::texTris, nullptr, 0), rt::Success);
    EXPECT_EQ(tex1Dfetch(SYM.texTris, 0).x, 0.0f);  // unbound reads zero

    const float eye[3] = {1, 2, 3};
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 12), rt::Success);
    EXPECT_EQ(SYM.c_eyePos.z, 3.0f);
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 16), rt::ErrorInvalidValue);
    EXPECT_EQ(rt::copyToSymbol(rt::Symbol::texTris, eye, 12), rt::ErrorInvalidSymbol);
    EXPECT_EQ(rt::free(d), rt::Success);
}

// combineBuffers over a 300 x 200 extent with a 16 x 16 grid, for a given worker count.
std::vector<float4> combine(unsigned threads, dim3 grid) {
    rt::setThreadCount(threads);
    const unsigned w = 300, h = 200, n = w * h;
    float4 *total, *direct, *indirect;
    rt::malloc(reinterpret_cast<void**>(&total), n * 16);
    rt::malloc(reinterpret_cast<void**>(&direct), n * 16);
    rt::malloc(reinterpret_cast<void**>(&indirect), n * 16);
    std::vector<float4> a(n), b(n), out(n);
    for (unsigned i = 0; i < n; ++i) {
        a[i] = make_float4(std::sin(float(i)), float(i % 7), 0.5f, 0.0f);
        b[i] = make_float4(0.25f, std::cos(float(i)), float(i % 3), 1.0f);
    }
    rt::memcpyHtoD(direct, a.data(), n * 16);
    rt::memcpyHtoD(indirect, b.data(), n * 16);
    rt::memset(total, 0xff, n * 16);
    rt::launch(TESSRA_KERNEL(combineBuffers), grid, dim3(16, 16, 1), total, direct, indirect, w, h, 0u, 0u, false);
    rt::synchronize();
    rt::memcpyDtoH(out.data(), total, n * 16);
    rt::free(total);
    rt::free(direct);
    rt::free(indirect);
    return out;
}

TEST_F(Runtime, LaunchCoversTheGridWithAnyWorkerCount) {
    const dim3 grid(19, 13, 1);  // 304 x 208 threads over 300 x 200 elements
    const std::vector<float4> one = combine(1, grid);
    const std::vector<float4> two = combine(2, grid);
    const std::vector<float4> eight = combine(8, grid);
    EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * 16), 0);
    EXPECT_EQ(std::memcmp(one.data(), eight.data(), one.size() * 16), 0);
    for (unsigned i = 0; i < one.size(); i += 97) {
        EXPECT_EQ(one[i].x, std::sin(float(i)) + 0.25f);
        EXPECT_EQ(one[i].w, 1.0f);
    }
}

TEST_F(Runtime, BadConfigurationSkipsTheLaunchSilently) {
    const uint64_t launched = rt::launchCount(rt::KernelId::combineBuffers);
    const std::vector<float4> skipped = combine(2, dim3(0, 13, 1));
    EXPECT_EQ(rt::launchCount(rt::KernelId::combineBuffers), launched);
    uint32_t bits;
    std::memcpy(&bits, &skipped[0].x, 4);
    EXPECT_EQ(bits, 0xffffffffu);  // untouched
    EXPECT_EQ(rt::launch(TESSRA_KERNEL(combineBuffers), dim3(1, 1, 1), dim3(64, 32, 1), nullptr, nullptr, nullptr,
                         0u, 0u, 0u, 0u, false),
              rt::ErrorInvalidConfiguration);
}

TEST_F(Runtime, FaultInjectionFailsTheChosenCall) {
    void* p = nullptr;
    rt::failNthCall(2);
    EXPECT_EQ(rt::malloc(&p, 16), rt::Success);
    void* q = nullptr;
    EXPECT_EQ(rt::malloc(&q, 16), rt::ErrorMemoryAllocation);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(rt::free(p), rt::Success);
}

TEST(SaturatingConversions, MatchTheGpu) {
    const float nan = std::nanf("");
    EXPECT_EQ(f2i(nan), 0);
    EXPECT_EQ(f2i(3e9f), INT_MAX);
    EXPECT_EQ(f2i(-3e9f), INT_MIN);
    EXPECT_EQ(f2i(-2.7f), -2);
    EXPECT_EQ(f2u(-1.0f), 0u);
    EXPECT_EQ(f2u(5e9f), UINT_MAX);
    EXPECT_EQ(f2u(7.9f), 7u);
}

// The strict modes: blocks and threads visited in exactly the reverse order, or in a
// shuffled one; fresh memory full of NaN bytes; device memory out of the host's reach
// outside copies, fills and launches.
TEST_F(Runtime, StrictModesReorderPoisonAndHideDeviceMemory) {
    struct Visit {
        unsigned bx, by, tx, ty;
        bool operator==(const Visit& o) const { return bx == o.bx && by == o.by && tx == o.tx && ty == o.ty; }
        bool operator<(const Visit& o) const {
            return std::tie(bx, by, tx, ty) < std::tie(o.bx, o.by, o.tx, o.ty);
        }
    };
    rt::setThreadCount(1);
    auto visits = [](const char* modes) {
        EXPECT_TRUE(rt::cpu::setStrictModes(modes));
        std::vector<Visit> seen;
        rt::cpu::launch(dim3(3, 2, 1), dim3(4, 2, 1), [](const void* ctx, const Lane& l) {
            static_cast<std::vector<Visit>*>(const_cast<void*>(ctx))->push_back(
                {l.blockIdx.x, l.blockIdx.y, l.threadIdx.x, l.threadIdx.y});
        }, &seen);
        return seen;
    };
    const std::vector<Visit> natural = visits("");
    ASSERT_EQ(natural.size(), 48u);
    std::vector<Visit> reversed = visits("reverse");
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_TRUE(reversed == natural);
    const std::vector<Visit> shuffled = visits("shuffle");
    EXPECT_FALSE(shuffled == natural);
    std::vector<Visit> sorted = shuffled, naturalSorted = natural;
    std::sort(sorted.begin(), sorted.end());
    std::sort(naturalSorted.begin(), naturalSorted.end());
    EXPECT_TRUE(sorted == naturalSorted) << "a shuffle visits every thread once";
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

}  // namespace
