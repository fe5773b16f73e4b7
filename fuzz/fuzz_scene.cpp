// Random triangles, materials, lights, camera and settings through the public scene
// operations into a small render on the CPU backend. Every input must render or be
// refused with a message; nothing may crash, and nothing may stay allocated after
// CleanUp.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/internal.h"

namespace {

struct QuietHost : TessraCallbacks {
    void DrawPixels(const float*, uint32_t, uint32_t, uint32_t) override {}
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void SetStatusText(const char*) override {}
    // A few hundred polls bound the slowest scenes (many glossy bounces of area lights).
    bool AbortRequested() override { return ++polls > 400; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
    int polls = 0;
};

void ignoreMessage(const char*, const char*, void*) {}

// Mostly ordinary numbers, sometimes anything at all (NaN, infinities, huge values).
float number(FuzzedDataProvider& in, float lo, float hi) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeFloatingPoint<float>();
    return in.ConsumeFloatingPointInRange<float>(lo, hi);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rt::selectBackend("cpu");
    rt::setThreadCount(1);
    rt::setMemoryCap(size_t(768) << 20);
    platform::setMessageHandler(&ignoreMessage, nullptr);
    // The library's progress lines are of no interest here.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t liveBefore = rt::liveAllocationCount();
    std::unique_ptr<TessraRendererCUDA> r(new TessraRendererCUDA());
    r->width = in.ConsumeIntegralInRange<int>(-2, 40);
    r->height = in.ConsumeIntegralInRange<int>(-2, 40);
    r->maxOctreeDepth = in.ConsumeIntegralInRange<uint32_t>(0, 70);
    r->fieldOfView = number(in, 0.1f, 2.5f);
    r->shadowMode = in.ConsumeIntegral<uint8_t>();
    r->indirectIllumination = in.ConsumeBool();
    r->usePhotonMapping = in.ConsumeBool();
    r->useFinalGather = in.ConsumeBool();
    r->numPhotons = in.ConsumeIntegralInRange<uint32_t>(0, 3000);
    r->numBounces = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    r->irradianceSamples = in.ConsumeIntegralInRange<uint32_t>(0, 8);
    r->photonEnergy = number(in, 0, 10);
    r->photonSearchDistance = number(in, 0, 4);
    r->FG_record_density = number(in, 0, 4);
    r->ambientLightIntens = number(in, 0, 2);
    r->SetEnvColor(number(in, 0, 1), number(in, 0, 1), number(in, 0, 1));

    const int materials = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < materials; ++i) {
        material_t m;
        for (float& c : m.diffuse) c = number(in, 0, 1);
        m.reflective = in.ConsumeBool();
        m.refractive = in.ConsumeBool();
        m.specular = in.ConsumeBool();
        m.specularLevel = number(in, 0, 2);
        m.specularExponent = number(in, 0, 100);
        m.reflGloss = in.ConsumeBool() ? 1.0f : number(in, 0, 1);
        m.refrGloss = in.ConsumeBool() ? 1.0f : number(in, 0, 1);
        for (int k = 0; k < 3; ++k) {
            m.reflColor[k] = in.ConsumeIntegral<uint8_t>();
            m.refrColor[k] = in.ConsumeIntegral<uint8_t>();
        }
        r->NuevoMaterial(m);
    }
    const int triangles = in.ConsumeIntegralInRange<int>(0, 48);
    for (int t = 0; t < triangles; ++t) {
        float d[24];
        for (int k = 0; k < 9; ++k) d[k] = number(in, -2, 2);
        for (int k = 9; k < 18; ++k) d[k] = number(in, -1, 1);
        for (int k = 18; k < 24; ++k) d[k] = number(in, -2, 2);
        const int material = in.ConsumeIntegralInRange<int>(-1, materials);
        r->NuevoTriangulo(d, material, in.ConsumeIntegralInRange<int>(0, 7) == 0, number(in, -1, 1));
    }
    const int lights = in.ConsumeIntegralInRange<int>(0, 3);
    for (int l = 0; l < lights; ++l) {
        float p[3], c[3], m[9];
        for (float& v : p) v = number(in, -2, 2);
        for (float& v : c) v = number(in, 0, 1);
        for (float& v : m) v = number(in, -1, 1);
        const float intensity = number(in, 0, 2), size = number(in, 0, 1), size2 = number(in, 0, 1);
        const int decay = in.ConsumeIntegralInRange<int>(0, 3);
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: r->NuevaLuzOmni(p[0], p[1], p[2], c[0], c[1], c[2], intensity, decay, size); break;
            case 1: r->NuevaLuzOmniEsfera(p[0], p[1], p[2], c[0], c[1], c[2], intensity, size, decay); break;
            case 2:
                r->NuevaLuzRect(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7],
                                m[8], intensity, size, size2, decay);
                break;
            case 3:
                r->NuevaLuzFoco(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7],
                                m[8], number(in, 0, 90), number(in, 0, 90), intensity, decay, in.ConsumeBool(), size);
                break;
            default:
                r->NuevaLuzDir(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7],
                               m[8], number(in, 0, 90), number(in, 0, 90), intensity, decay, in.ConsumeBool(), size);
        }
    }
    for (float& v : r->cameraMatrix) v = number(in, -1, 1);
    r->cameraMatrix[11] = number(in, 2, 5);

    QuietHost host;
    r->callbacks = &host;
    r->Render();
    r->callbacks = nullptr;
    r->CleanUp();
    if (rt::liveAllocationCount() != liveBefore) {
        std::fprintf(stderr, "device allocations left after CleanUp: %zu\n", rt::liveAllocationCount() - liveBefore);
        std::abort();
    }
    return 0;
}
