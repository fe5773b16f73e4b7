// The renderer object: defaults, layout, copy semantics, scene input and its printed
// lines, memory accounting and the frame buffer.
#include <gtest/gtest.h>

#include <cstddef>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

TEST(Renderer, DefaultsAndPhotonMappingPredicate) {
    TessraRendererCUDA r;
    EXPECT_EQ(r.width, 512);
    EXPECT_EQ(r.height, 512);
    EXPECT_EQ(r.maxOctreeDepth, 8u);
    EXPECT_FLOAT_EQ(r.fieldOfView, 45.0f);
    EXPECT_FLOAT_EQ(r.ambientLightIntens, 0.5f);
    EXPECT_FLOAT_EQ(r.photonEnergy, 100000.0f);
    EXPECT_EQ(r.irradianceSamples, 64u);
    EXPECT_FLOAT_EQ(r.FG_record_density, 1.2f);
    EXPECT_EQ(r.numPhotons, 100u);
    EXPECT_EQ(r.reserved31, 2u);
    EXPECT_EQ(r.gridSize.x, 1u);
    EXPECT_EQ(r.blockSize.z, 1u);
    EXPECT_FALSE(r.NeedPhotonMapping());
    r.indirectIllumination = true;
    EXPECT_FALSE(r.NeedPhotonMapping());
    r.indirectIllumination = false;
    r.usePhotonMapping = true;
    EXPECT_FALSE(r.NeedPhotonMapping());
    r.indirectIllumination = true;
    EXPECT_TRUE(r.NeedPhotonMapping());
}

TEST(Renderer, FieldOrderIsTheInterfaceOrder) {
    // Each field lies after the previous one, in the order hosts were built against.
#define AFTER(a, b) EXPECT_LT(offsetof(TessraRendererCUDA, a), offsetof(TessraRendererCUDA, b)) << #a " " #b
    AFTER(callbacks, width);
    AFTER(width, height);
    AFTER(height, invViewMatrix);
    AFTER(invViewMatrix, textureImages);
    AFTER(textureImages, maxOctreeDepth);
    AFTER(maxOctreeDepth, fieldOfView);
    AFTER(fieldOfView, photonsCast);
    AFTER(photonsCast, cameraMatrix);
    AFTER(cameraMatrix, photonTreeParam);
    AFTER(photonTreeParam, harmMeanDistFG);
    AFTER(harmMeanDistFG, usePhotonMapping);
    AFTER(usePhotonMapping, numBounces);
    AFTER(numBounces, indirectIllumination);
    AFTER(indirectIllumination, shadowMode);
    AFTER(shadowMode, ambientLightIntens);
    AFTER(ambientLightIntens, photonSearchDistance);
    AFTER(photonSearchDistance, photonEnergy);
    AFTER(photonEnergy, irradianceSamples);
    AFTER(irradianceSamples, FG_record_density);
    AFTER(FG_record_density, useFinalGather);
    AFTER(useFinalGather, envColor);
    AFTER(envColor, numPhotons);
    AFTER(numPhotons, areaLightIndices);
    AFTER(areaLightIndices, usedDeviceMem);
    AFTER(usedDeviceMem, d_triVertices);
    AFTER(d_lightDecayStart, numLights);
    AFTER(numTris, triangles);
    AFTER(triangles, lights);
    AFTER(lights, lightTriangles);
    AFTER(lightTriangles, materials);
    AFTER(materials, fgKdTree);
    AFTER(fgKdTree, photonKdTree);
    AFTER(photonKdTree, octree);
    AFTER(octree, d_textureAtlas);
    AFTER(d_matDiffuse, d_photonPos);
    AFTER(d_photonNormals, d_matCaps);
    AFTER(d_matRefrGloss, firstPassDone);
    AFTER(firstPassDone, gridSize);
    AFTER(gridSize, blockSize);
    AFTER(blockSize, tileX);
    AFTER(currentFrameBuffer, lastRefreshTick);
#undef AFTER
    // The camera fields are laid out as plain float rows.
    EXPECT_EQ(sizeof(TessraRendererCUDA::invViewMatrix), 64u);
    EXPECT_EQ(sizeof(TessraRendererCUDA::cameraMatrix), 48u);
    EXPECT_EQ(sizeof(TriangleRecord), 100u);
    EXPECT_EQ(offsetof(TessraFrameBuffer, maskFG), 15 * sizeof(void*));
    EXPECT_EQ(offsetof(TessraFrameBuffer, tileWidth), 16 * sizeof(void*));
}

TEST(Renderer, CopiesShareDeviceStateAndDeepCopyLists) {
    TessraRendererCUDA a;
    tt::addDiffuse(a, 1, 0, 0);
    int marker = 0;
    a.d_triVertices = &marker;
    TessraRendererCUDA b(a);
    EXPECT_EQ(b.d_triVertices, &marker);
    b.materials[0].diffuse[0] = 0.25f;
    EXPECT_FLOAT_EQ(a.materials[0].diffuse[0], 1.0f);
    TessraRendererCUDA c;
    c = a;
    EXPECT_EQ(c.d_triVertices, &marker);
    a.d_triVertices = b.d_triVertices = c.d_triVertices = nullptr;
}

TEST(SceneInput, RecordsAndPrintedLines) {
    TessraRendererCUDA r;
    tt::StdoutCapture out;
    out.start();
    EXPECT_EQ(tt::addDiffuse(r, 1, 1, 1), 0);
    EXPECT_EQ(tt::addDiffuse(r, 1, 1, 1), 1);
    const float tri[24] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    r.NuevoTriangulo(tri, 1, false, -1.0f);
    r.NuevoTriangulo(tri, 0, true, 1.0f);
    r.SetEnvColor(0.5f, 0.25f, 1.0f);
    r.NuevaLuzOmni(1, 2, 3, 1, 0.5f, 0.25f, 2.0f, 257, 3.0f);
    r.NuevaLuzOmni(0, 0, 0, 1, 1, 1, 1.0f, 2, 1.0f);
    r.NuevaLuzOmniEsfera(0, 5, 0, 1, 1, 1, 4.0f, 0.5f, 3);
    r.NuevaLuzRect(0, 9, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, 7.0f, 2.0f, 3.0f, 2);
    r.NuevaLuzDir(0, 0, 9, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 5.0f, 4.0f, 1.5f, 3, false, 2.5f);
    const std::string text = out.stop();

    ASSERT_EQ(r.triangles.size(), 1u);
    ASSERT_EQ(r.lightTriangles.size(), 1u);
    EXPECT_FLOAT_EQ(r.triangles[0].normals[2], -1.0f);  // normalScale -1 flips
    EXPECT_EQ(r.triangles[0].materialId, 1);
    EXPECT_FLOAT_EQ(r.envColor[1], 0.25f);
    ASSERT_EQ(r.lights.size(), 5u);
    EXPECT_EQ(r.lights[0].decayType, 1);  // only the low byte of 257
    EXPECT_FLOAT_EQ(r.lights[0].decayStart, 3.0f);
    EXPECT_FLOAT_EQ(r.lights[0].rotation[4], 1.0f);
    EXPECT_EQ(r.lights[2].type, LIGHT_OMNI_SPHERE);
    EXPECT_FLOAT_EQ(r.lights[2].radius, 0.5f);
    EXPECT_FLOAT_EQ(r.lights[2].decayStart, 1.0f);
    EXPECT_EQ(r.lights[3].type, LIGHT_RECT);
    EXPECT_FLOAT_EQ(r.lights[3].rectHeight, 3.0f);
    EXPECT_FLOAT_EQ(r.lights[3].rotation[7], -1.0f);
    EXPECT_EQ(r.lights[4].type, LIGHT_DIR_RECT);
    EXPECT_FLOAT_EQ(r.lights[4].falloff, 5.0f);
    EXPECT_FLOAT_EQ(r.lights[4].hotspot, 4.0f);
    EXPECT_FLOAT_EQ(r.lights[4].decayStart, 2.5f);
    ASSERT_EQ(r.areaLightIndices.size(), 2u);
    EXPECT_EQ(r.areaLightIndices[0], 2u);
    EXPECT_EQ(r.areaLightIndices[1], 3u);

    EXPECT_NE(text.find("Background color: 0.500000,0.250000,1.000000\n"), std::string::npos);
    EXPECT_NE(text.find("LUZ: 1.000000 2.000000 3.000000 RGB(1.000000 0.500000 0.250000)\n"), std::string::npos);
    EXPECT_NE(text.find("radius(0.500000)\n"), std::string::npos);
    EXPECT_NE(text.find("RECT(2.000000,3.000000)\n"), std::string::npos);
    EXPECT_NE(text.find("LUZ: [foco] 0.000000 0.000000 9.000000 dir(0.000000 0.000000 1.000000) RGB(1.000000 "
                        "1.000000 1.000000) falloff(5.000000) intens(1.500000)\nLIGHT SHAPE: rect\n"),
              std::string::npos);
}

TEST(SceneInput, RectangularSpotIsReportedAndStillStored) {
    TessraRendererCUDA r;
    tt::MessageCapture messages;
    tt::StdoutCapture out;
    out.start();
    r.NuevaLuzFoco(0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 40, 30, 1, 3, false, 1);
    r.NuevaLuzFoco(0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 40, 30, 1, 3, true, 1);
    const std::string text = out.stop();
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text, "unsupported light type: RECT");
    EXPECT_EQ(messages.messages[0].title, "Tessra error");
    ASSERT_EQ(r.lights.size(), 2u);
    EXPECT_EQ(r.lights[0].type, LIGHT_SPOT_RECT);
    EXPECT_EQ(r.lights[1].type, LIGHT_SPOT_CIRCLE);
    EXPECT_NE(text.find("LIGHT SHAPE: circle\n"), std::string::npos);
}

TEST(MemoryAccounting, MallocCountsEveryRequestIncludingFailures) {
    rt::selectBackend("cpu");
    TessraRendererCUDA r;
    tt::MessageCapture messages;
    void* p = r.Malloc(1000);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(r.usedDeviceMem, 1000u);
    EXPECT_EQ(r.Malloc(0), nullptr);
    EXPECT_EQ(r.usedDeviceMem, 1000u);
    rt::setMemoryCap(rt::liveAllocationBytes() + 4096);
    EXPECT_EQ(r.Malloc(1 << 20), nullptr);
    rt::setMemoryCap(0);
    EXPECT_EQ(r.usedDeviceMem, 1000u + (1u << 20));
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text, "Unable to allocate memory: 1048576\n");
    EXPECT_EQ(messages.messages[0].title, "Tessra error");
    r.Free(p);
    EXPECT_EQ(r.usedDeviceMem, 1000u + (1u << 20));
    int notDevice = 0;
    r.Free(&notDevice);  // a pointer the device never handed out
    ASSERT_EQ(messages.messages.size(), 2u);
    EXPECT_EQ(messages.messages[1].text, "Unable to deallocate memory");

    tt::StdoutCapture out;
    out.start();
    r.printMemStats();
    EXPECT_EQ(out.stop(), "==> USED DEVICE MEM: 1.000954\n");
}

TEST(MemoryAccounting, FrameBufferAllocatesResetsAndReleases) {
    rt::selectBackend("cpu");
    TessraRendererCUDA r;
    const size_t before = rt::liveAllocationCount();
    {
        TessraFrameBuffer fb(&r, 256, 256);
        EXPECT_EQ(rt::liveAllocationCount(), before + 16);
        // 12 per-pixel float4 buffers would be 16 B, the others 4, 4, 8 and 1 per pixel,
        // plus the 4-byte flag record and the GI byte.
        EXPECT_EQ(r.usedDeviceMem, 256u * 256u * (10 * 16 + 4 + 4 + 8 + 1) + 4 + 1);
        std::vector<uint8_t> mask(256 * 256);
        ASSERT_EQ(rt::memcpyDtoH(mask.data(), fb.maskFG, mask.size()), rt::Success);
        for (uint8_t m : mask) ASSERT_EQ(m, 1);
        EXPECT_FALSE(fb.NeedsSharpReflection());
        const uint8_t flags[4] = {0, 1, 0, 1};
        ASSERT_EQ(rt::memcpyHtoD(fb.reflectFlags, flags, 4), rt::Success);
        EXPECT_FALSE(fb.NeedsSharpReflection());
        EXPECT_TRUE(fb.NeedsGlossyReflection());
        EXPECT_FALSE(fb.NeedsSharpRefraction());
        EXPECT_TRUE(fb.NeedsGlossyRefraction());
        EXPECT_FALSE(fb.NeedsIndirectStepAgain());
        fb.Reset();
        EXPECT_FALSE(fb.NeedsGlossyReflection());
    }
    EXPECT_EQ(rt::liveAllocationCount(), before);
}

TEST(MemoryAccounting, CleanUpTwiceReleasesOnce) {
    rt::selectBackend("cpu");
    TessraRendererCUDA r;
    const size_t before = rt::liveAllocationCount();
    r.d_triVertices = r.Malloc(64);
    r.d_photonPos = r.Malloc(64);  // released even though photon mapping is off
    r.CleanUp();
    EXPECT_EQ(r.d_triVertices, nullptr);
    EXPECT_EQ(r.d_photonPos, nullptr);
    r.CleanUp();
    EXPECT_EQ(rt::liveAllocationCount(), before);
}

TEST(ErrorChecksDeathTest, CudaAndTimerChecksPrintAndExit) {
    EXPECT_EXIT(platform::cudaCheck(rt::ErrorMemoryAllocation, "Tessra", 1016), ::testing::ExitedWithCode(1),
                "Cuda error in file 'Tessra' in line 1016 : out of memory\\.");
    EXPECT_EXIT(platform::cutCheck(false, "volumeRender", 2524), ::testing::ExitedWithCode(1),
                "Cut error in file 'volumeRender' in line 2524\\.");
}

}  // namespace
