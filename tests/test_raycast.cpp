// Ray casting: intersectOctree through the cast_rays kernel against references that
// know nothing of the octree (a loop over every triangle, and a uniform grid checked
// against that loop), across thread counts and backends, on the awkward rays (origins on
// centre planes, axis-parallel rays inside splitting planes, flat scenes, very deep
// trees), and the triangle and box tests on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "support/meshes.h"
#include "support/test_support.h"

namespace {

using namespace meshes;

constexpr float kBoundaryEps = 1e-5f;
constexpr float kMinDistance = 0.001f;
constexpr double kRequiredRate = 0.9999;

struct Agreement {
    size_t considered = 0, agreed = 0, excluded = 0;
    double rate() const { return considered ? double(agreed) / double(considered) : 0.0; }
    void print(const std::string& what) const {
        std::printf("[agreement] %-34s %zu of %zu rays agree (%.4f %%), %zu excluded at leaf boundaries or the origin\n",
                    what.c_str(), agreed, considered, 100.0 * rate(), excluded);
    }
};

bool excluded(const Octree& o, const RefHit& ref) {
    return ref.found && (ref.distance < kMinDistance || nearLeafBoundary(o, ref.position, kBoundaryEps));
}

float relDiff(float a, float b) { return std::fabs(a - b) / std::max(std::fabs(b), 1e-30f); }

// Same nearest triangle and distance; a different triangle only where the two meet at
// the hit point (a shared grid edge, two crossing triangles), so that both are nearest.
bool sameNearest(const CastResults& r, size_t i, const RefHit& ref) {
    if (bool(r.found[i]) != ref.found) return false;
    if (!ref.found) return true;
    const float d = relDiff(r.distance[i], ref.distance);
    return r.triangle[i] == ref.triangle ? d <= 1e-4f : d <= 1e-5f;
}

Agreement compareNearest(const Mesh& m, const Octree& o, const std::vector<float4>& rays, const CastResults& r,
                         const std::vector<RefHit>& refs) {
    Agreement a;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (excluded(o, refs[i])) {
            ++a.excluded;
            continue;
        }
        ++a.considered;
        bool ok = sameNearest(r, i, refs[i]);
        if (ok && refs[i].found) {
            // The surface fields must belong to the reported triangle and distance.
            const Ray ray = rayAt(rays, i);
            const float3 p = xyz(r.position[i]);
            const float3 expect = ray.o + ray.d * r.distance[i];
            const float3 n = xyz(r.normal[i]), fn = xyz(m.normals[3 * size_t(r.triangle[i])]);
            ok = length(p - expect) <= 1e-4f * std::max(1.0f, r.distance[i]) && length(n - fn) <= 1e-4f &&
                 r.barycentric[i].x >= 0.0f && r.barycentric[i].y >= 0.0f &&
                 r.barycentric[i].x + r.barycentric[i].y <= 1.0f;
        }
        a.agreed += ok;
    }
    return a;
}

// Occlusion: maximum distances on both sides of the reference's nearest hit.
std::vector<float4> occlusionRays(const std::vector<float4>& rays, const std::vector<RefHit>& refs) {
    static const float kFactors[4] = {0.5f, 0.9f, 1.1f, 2.0f};
    std::vector<float4> out(rays);
    for (size_t i = 0; i < refs.size(); ++i)
        out[2 * i].w = refs[i].found ? refs[i].distance * kFactors[i % 4] : 10000000.0f;
    return out;
}

Agreement compareOcclusion(const Octree& o, const std::vector<float4>& rays, const CastResults& r,
                           const std::vector<RefHit>& refs) {
    Agreement a;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (excluded(o, refs[i])) {
            ++a.excluded;
            continue;
        }
        ++a.considered;
        const bool occluded = refs[i].found && refs[i].distance < rays[2 * i].w;
        a.agreed += bool(r.found[i]) == occluded;
    }
    return a;
}

std::vector<RefHit> bruteForceAll(const Mesh& m, const std::vector<float4>& rays) {
    std::vector<RefHit> refs(rayCount(rays));
    parallelFor(refs.size(), [&](size_t i) { refs[i] = bruteForce(m, rayAt(rays, i), rays[2 * i].w); });
    return refs;
}

std::vector<RefHit> gridAll(const UniformGrid& g, const std::vector<float4>& rays) {
    std::vector<RefHit> refs(rayCount(rays));
    parallelFor(refs.size(), [&](size_t i) { refs[i] = g.nearest(rayAt(rays, i), rays[2 * i].w); });
    return refs;
}

// Checks nearest and any-hit over a set of rays against the given reference.
void checkAgainstReference(const std::string& name, const Mesh& m, const DeviceScene& scene,
                           const std::vector<float4>& rays, const std::vector<RefHit>& refs) {
    scene.bind();
    const CastResults nearest = castRays(rays, false);
    const Agreement an = compareNearest(m, *scene.octree, rays, nearest, refs);
    an.print(name + " nearest");
    EXPECT_GE(an.rate(), kRequiredRate) << name;
    EXPECT_GT(an.considered, rayCount(rays) * 9 / 10) << "too many rays excluded";

    const std::vector<float4> shadow = occlusionRays(rays, refs);
    const CastResults any = castRays(shadow, true);
    const Agreement ao = compareOcclusion(*scene.octree, shadow, any, refs);
    ao.print(name + " any-hit");
    EXPECT_GE(ao.rate(), kRequiredRate) << name;
}

size_t countFound(const std::vector<RefHit>& refs) {
    size_t n = 0;
    for (const RefHit& h : refs) n += h.found;
    return n;
}

// Meshes, scenes and references are built once for the whole file.
class RayCast : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rt::selectBackend("cpu");
        small = new Mesh(makeMesh(1000, 11));
        large = new Mesh(makeMesh(100000, 23));
        smallScene = new DeviceScene(*small, 8);
        largeScene = new DeviceScene(*large, 8);
        camera = new std::vector<float4>(defaultCameraRays(320, 320));
        random = new std::vector<float4>(randomRays(100000, 5));
    }
    static void TearDownTestSuite() {
        delete smallScene;
        delete largeScene;
        delete small;
        delete large;
        delete camera;
        delete random;
    }
    static Mesh *small, *large;
    static DeviceScene *smallScene, *largeScene;
    static std::vector<float4>*camera, *random;
};
Mesh* RayCast::small = nullptr;
Mesh* RayCast::large = nullptr;
DeviceScene* RayCast::smallScene = nullptr;
DeviceScene* RayCast::largeScene = nullptr;
std::vector<float4>* RayCast::camera = nullptr;
std::vector<float4>* RayCast::random = nullptr;

TEST_F(RayCast, SmallMeshAgreesWithLoopOverAllTriangles) {
    ASSERT_GE(small->triangles(), 1000u);
    ASSERT_GE(rayCount(*camera), 100000u);
    ASSERT_GE(rayCount(*random), 100000u);
    const std::vector<RefHit> camRef = bruteForceAll(*small, *camera);
    const std::vector<RefHit> rndRef = bruteForceAll(*small, *random);
    // Both ray sets must exercise hits and misses.
    EXPECT_GT(countFound(camRef), rayCount(*camera) / 4);
    EXPECT_LT(countFound(camRef), rayCount(*camera));
    EXPECT_GT(countFound(rndRef), rayCount(*random) / 4);
    checkAgainstReference("1k triangles, camera rays", *small, *smallScene, *camera, camRef);
    checkAgainstReference("1k triangles, random rays", *small, *smallScene, *random, rndRef);
}

TEST_F(RayCast, LargeMeshAgreesWithReferenceGrid) {
    ASSERT_GE(large->triangles(), 100000u);
    const UniformGrid grid(*large, 64);
    // The grid is only a faster way to the loop's answer: check that on a sample first.
    {
        std::vector<float4> sample;
        for (size_t i = 0; i < 1000; ++i) {
            const std::vector<float4>& src = (i & 1) ? *random : *camera;
            const size_t k = (i * 7919) % rayCount(src);
            sample.push_back(src[2 * k]);
            sample.push_back(src[2 * k + 1]);
        }
        const std::vector<RefHit> loop = bruteForceAll(*large, sample);
        const std::vector<RefHit> viaGrid = gridAll(grid, sample);
        size_t same = 0;
        for (size_t i = 0; i < loop.size(); ++i)
            same += loop[i].found == viaGrid[i].found &&
                    (!loop[i].found || (loop[i].triangle == viaGrid[i].triangle && loop[i].distance == viaGrid[i].distance));
        EXPECT_EQ(same, loop.size()) << "the reference grid disagrees with the loop over all triangles";
        EXPECT_GT(countFound(loop), loop.size() / 4);
    }
    checkAgainstReference("100k triangles, camera rays", *large, *largeScene, *camera, gridAll(grid, *camera));
    checkAgainstReference("100k triangles, random rays", *large, *largeScene, *random, gridAll(grid, *random));
}

TEST_F(RayCast, ResultsDoNotDependOnThreadCount) {
    smallScene->bind();
    const unsigned saved = rt::threadCount();
    rt::setThreadCount(1);
    const CastResults one = castRays(*random, false);
    rt::setThreadCount(2);
    const CastResults two = castRays(*random, false);
    rt::setThreadCount(saved);
    EXPECT_EQ(one.found, two.found);
    EXPECT_EQ(one.triangle, two.triangle);
    EXPECT_EQ(0, std::memcmp(one.distance.data(), two.distance.data(), one.distance.size() * 4));
    EXPECT_EQ(0, std::memcmp(one.position.data(), two.position.data(), one.position.size() * 16));
}

TEST_F(RayCast, CudaBackendAgreesWithCpu) {
    smallScene->bind();
    std::vector<float4> rays(camera->begin(), camera->begin() + 2 * 50000);
    rays.insert(rays.end(), random->begin(), random->begin() + 2 * 50000);
    const CastResults cpuNearest = castRays(rays, false);
    const CastResults cpuAny = castRays(rays, true);

    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    CastResults gpuNearest, gpuAny;
    {
        DeviceScene gpuScene(*small, 8);
        gpuNearest = castRays(rays, false);
        gpuAny = castRays(rays, true);
    }
    rt::selectBackend("cpu");
    smallScene->bind();

    // The device's approximate reciprocal may move a hit across a leaf face, so the rays
    // whose CPU hit lies on a boundary are left out, as against brute force.
    Agreement a, b;
    for (size_t i = 0; i < rayCount(rays); ++i) {
        RefHit cpu;
        cpu.found = cpuNearest.found[i];
        cpu.triangle = cpuNearest.triangle[i];
        cpu.distance = cpuNearest.distance[i];
        cpu.position = xyz(cpuNearest.position[i]);
        if (excluded(*smallScene->octree, cpu)) {
            ++a.excluded;
            continue;
        }
        ++a.considered;
        ++b.considered;
        a.agreed += sameNearest(gpuNearest, i, cpu);
        b.agreed += gpuAny.found[i] == cpuAny.found[i];
    }
    a.print("CUDA against CPU, nearest");
    b.print("CUDA against CPU, any-hit");
    EXPECT_GE(a.rate(), kRequiredRate);
    EXPECT_GE(b.rate(), kRequiredRate);
}

// Rays whose origin lies exactly on the centre planes of the root and its children (in
// every direction, and parallel to the axes inside those planes) find the nearest hit.
TEST_F(RayCast, OriginsOnCentrePlanesAndRaysInsideThem) {
    const Octree& o = *smallScene->octree;
    std::vector<float3> centres;
    centres.push_back(xyz(o.pos[0]));
    for (int s = 0; s < 8; ++s) centres.push_back(xyz(o.pos[o.hijos[s]]));
    Rng rng(77);
    std::vector<float4> rays;
    for (const float3& c : centres) {
        for (int k = 0; k < 400; ++k) {
            // One, two or all three coordinates on the centre planes.
            float3 p = make_float3(rng.range(-1.5f, 1.5f), rng.range(-1.5f, 1.5f), rng.range(-1.5f, 1.5f));
            if (k % 3 != 1) p.x = c.x;
            if (k % 3 != 2) p.y = c.y;
            if (k % 5 < 3) p.z = c.z;
            const float3 t = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1));
            addRay(rays, p, t - p, 10000000.0f);
        }
        // Axis-parallel rays lying in two of the centre planes at once.
        for (int a = 0; a < 3; ++a)
            for (int sgn = -1; sgn <= 1; sgn += 2) {
                float3 p = c, d = make_float3(0, 0, 0);
                (a == 0 ? p.x : a == 1 ? p.y : p.z) = 1.8f * float(sgn);
                (a == 0 ? d.x : a == 1 ? d.y : d.z) = -float(sgn);
                for (int j = 0; j < 8; ++j) {
                    float3 q = p;
                    // Shifted along one plane only, so the ray stays inside the other.
                    const float shift = rng.range(-0.8f, 0.8f);
                    if (a == 0) (j & 1 ? q.y : q.z) += shift;
                    if (a == 1) (j & 1 ? q.x : q.z) += shift;
                    if (a == 2) (j & 1 ? q.x : q.y) += shift;
                    addRay(rays, j == 0 ? p : q, d, 10000000.0f);
                }
            }
    }
    const std::vector<RefHit> refs = bruteForceAll(*small, rays);
    smallScene->bind();
    const CastResults r = castRays(rays, false);
    size_t considered = 0, bad = 0;
    for (size_t i = 0; i < refs.size(); ++i) {
        // Hits inside a plane that the ray runs along lie on a boundary by construction;
        // only the rays that reach a triangle away from every face are judged.
        if (excluded(o, refs[i])) continue;
        ++considered;
        if (!sameNearest(r, i, refs[i])) {
            if (bad++ < 5) {
                const Ray ray = rayAt(rays, i);
                ADD_FAILURE() << "ray " << i << " from (" << ray.o.x << ", " << ray.o.y << ", " << ray.o.z
                              << ") dir (" << ray.d.x << ", " << ray.d.y << ", " << ray.d.z << "): octree "
                              << int(r.found[i]) << " tri " << r.triangle[i] << " at " << r.distance[i]
                              << ", reference " << refs[i].found << " tri " << refs[i].triangle << " at "
                              << refs[i].distance;
            }
        }
    }
    EXPECT_GT(considered, refs.size() / 2);
    EXPECT_EQ(bad, 0u);
}

// A ray running inside a splitting plane, parallel to two axes, reaches the triangle in
// front of it, and the nearer of two.
TEST(RayCastPlanes, AxisParallelRayInsideSplittingPlaneFindsNearestHit) {
    rt::selectBackend("cpu");
    Mesh m;
    // Two walls facing the ray, the near one at z = 0.5, the far one at z = -0.5,
    // both cut by the x and y centre planes; filler triangles force a subdivision.
    m.add(make_float3(-1, -1, 0.5f), make_float3(1, -1, 0.5f), make_float3(0, 1, 0.5f));
    m.add(make_float3(-1, -1, -0.5f), make_float3(1, -1, -0.5f), make_float3(0, 1, -0.5f));
    for (int k = 0; k < 30; ++k) {
        const float x = -1.0f + 0.07f * float(k);
        m.add(make_float3(x, -1, -1), make_float3(x + 0.05f, -1, -1), make_float3(x, -1, 1));
    }
    DeviceScene scene(m, 3);
    const float3 c = xyz(scene.octree->pos[0]);
    ASSERT_LT(scene.octree->offsetsCont[0], 0) << "the root must be an inner node";
    std::vector<float4> rays;
    addRay(rays, make_float3(c.x, c.y, 2.0f), make_float3(0, 0, -1), 10000000.0f);   // in both planes
    addRay(rays, make_float3(c.x, 0.1f, 2.0f), make_float3(0, 0, -1), 10000000.0f);  // in the x plane
    addRay(rays, make_float3(0.1f, c.y, 2.0f), make_float3(0, 0, -1), 10000000.0f);  // in the y plane
    addRay(rays, make_float3(c.x, c.y, -2.0f), make_float3(0, 0, 1), 10000000.0f);   // from the far side
    const CastResults r = castRays(rays, false);
    for (size_t i = 0; i < rayCount(rays); ++i) {
        const RefHit ref = bruteForce(m, rayAt(rays, i), 10000000.0f);
        ASSERT_TRUE(ref.found);
        EXPECT_TRUE(r.found[i]) << "ray " << i;
        EXPECT_EQ(r.triangle[i], ref.triangle) << "ray " << i;
        EXPECT_NEAR(r.distance[i], ref.distance, 1e-5f) << "ray " << i;
    }
    const CastResults any = castRays(rays, true);
    for (size_t i = 0; i < rayCount(rays); ++i) EXPECT_TRUE(any.found[i]) << "ray " << i;
}

// A scene with no extent on one axis (a floor of exactly z = 0) is still hit.
TEST(RayCastPlanes, FlatAxisAlignedSceneIsHit) {
    rt::selectBackend("cpu");
    Mesh m;
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i) {
            const float x = -1.0f + 0.25f * float(i), y = -1.0f + 0.25f * float(j);
            m.add(make_float3(x, y, 0), make_float3(x + 0.25f, y, 0), make_float3(x + 0.25f, y + 0.25f, 0));
            m.add(make_float3(x, y, 0), make_float3(x + 0.25f, y + 0.25f, 0), make_float3(x, y + 0.25f, 0));
        }
    for (uint32_t depth : {1u, 8u}) {
        DeviceScene scene(m, depth);
        const std::vector<float4> rays = cameraRays(64, 64, make_float3(0.1f, 0.2f, 2.0f), make_float3(0, 0, 0), 0.9f);
        const CastResults r = castRays(rays, false);
        size_t hits = 0, agree = 0;
        for (size_t i = 0; i < rayCount(rays); ++i) {
            const RefHit ref = bruteForce(m, rayAt(rays, i), 10000000.0f);
            hits += ref.found;
            agree += ref.found ? (r.found[i] && std::fabs(r.distance[i] - ref.distance) <= 1e-4f * ref.distance)
                               : !r.found[i];
        }
        EXPECT_GT(hits, rayCount(rays) / 2) << "depth " << depth;
        EXPECT_EQ(agree, rayCount(rays)) << "depth " << depth;
    }
}

// A fan of triangles around one vertex can never be separated, so the build goes as
// deep as it may. A request beyond what the traversal stack holds is clamped, and rays
// that reach the deepest levels still find their hits.
TEST(RayCastDepth, DeepRequestIsClampedAndStillHits) {
    rt::selectBackend("cpu");
    Mesh m;
    const float3 centre = make_float3(0.1f, -0.05f, 0.02f);
    for (int k = 0; k < 120; ++k) {
        const float a0 = 6.28318f * float(k) / 120.0f, a1 = 6.28318f * float(k + 1) / 120.0f;
        m.add(centre, centre + make_float3(std::cos(a0), std::sin(a0), 0.3f * std::sin(3 * a0)),
              centre + make_float3(std::cos(a1), std::sin(a1), 0.3f * std::sin(3 * a1)));
    }
    std::unique_ptr<DeviceScene> clampedRef;
    {
        QuietStdout quiet;
        clampedRef = std::make_unique<DeviceScene>(m, Octree::kMaxDepth);
    }
    DeviceScene deep(m, 40);
    EXPECT_EQ(deep.octree->maxDeep, Octree::kMaxDepth);
    ASSERT_EQ(deep.octree->num_nodos_totales, clampedRef->octree->num_nodos_totales);
    ASSERT_EQ(deep.octree->totalContenido, clampedRef->octree->totalContenido);
    EXPECT_EQ(0, std::memcmp(deep.octree->contenido, clampedRef->octree->contenido,
                             4 * size_t(deep.octree->totalContenido)));
    deep.bind();

    // Rays aimed at points ever closer to the shared vertex, from all sides.
    Rng rng(3);
    std::vector<float4> rays;
    for (int k = 0; k < 4000; ++k) {
        const float r = std::pow(10.0f, rng.range(-4.0f, -0.5f));
        const float a = rng.range(0, 6.28318f);
        const float3 target = centre + make_float3(r * std::cos(a), r * std::sin(a), 0.0f);
        const float3 o = make_float3(rng.range(-2, 2), rng.range(-2, 2), k % 2 ? 2.0f : -2.0f);
        addRay(rays, o, target - o, 10000000.0f);
    }
    const std::vector<RefHit> refs = bruteForceAll(m, rays);
    const CastResults res = castRays(rays, false);
    Agreement agree;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (excluded(*deep.octree, refs[i])) {
            ++agree.excluded;
            continue;
        }
        ++agree.considered;
        agree.agreed += sameNearest(res, i, refs[i]);
    }
    agree.print("fan at depth 19, nearest");
    EXPECT_GT(agree.considered, refs.size() / 2);
    EXPECT_EQ(agree.agreed, agree.considered);
}

// ---------------------------------------------------------------------------------
// The triangle and box tests on their own.

Ray makeRay(float3 o, float3 d) {
    Ray r;
    r.o = o;
    r.d = d / std::sqrt(dot(d, d));
    return r;
}

TEST(IntersectTriangle, ClosedFormHitsAndMisses) {
    const float3 v0 = make_float3(0, 0, 0), v1 = make_float3(2, 0, 0), v2 = make_float3(0, 4, 0);
    float t, s, t2;
    // The point (0.5, 1, 0) has weights s = 0.25 (of v1) and t' = 0.25 (of v2).
    ASSERT_TRUE(intersectTriangle(makeRay(make_float3(0.5f, 1, 3), make_float3(0, 0, -1)), v0, v1, v2, t, s, t2));
    EXPECT_NEAR(t, 3.0f, 1e-6f);
    EXPECT_NEAR(s, 0.25f, 1e-6f);
    EXPECT_NEAR(t2, 0.25f, 1e-6f);
    // Back face too.
    ASSERT_TRUE(intersectTriangle(makeRay(make_float3(0.5f, 1, -2), make_float3(0, 0, 1)), v0, v1, v2, t, s, t2));
    EXPECT_NEAR(t, 2.0f, 1e-6f);
    // Behind the origin, outside, and parallel within |n.d| < 0.0001 (|n| = 8).
    EXPECT_FALSE(intersectTriangle(makeRay(make_float3(0.5f, 1, -2), make_float3(0, 0, -1)), v0, v1, v2, t, s, t2));
    EXPECT_FALSE(intersectTriangle(makeRay(make_float3(1.5f, 3, 3), make_float3(0, 0, -1)), v0, v1, v2, t, s, t2));
    EXPECT_FALSE(intersectTriangle(makeRay(make_float3(0.5f, 1, 3), make_float3(1, 0, -1e-6f)), v0, v1, v2, t, s, t2));
    // A zero-area triangle is never hit.
    EXPECT_FALSE(intersectTriangle(makeRay(make_float3(1, 0, 3), make_float3(0, 0, -1)), v0, v1, v1, t, s, t2));
}

// A cube tessellated into a grid per face, at full size and at a hundredth (triangles of
// area 3e-6): every ray from inside aimed exactly at a grid vertex or a shared edge must
// hit the surface at the point it was aimed at. Two triangles that round an edge
// differently must not leave a crack, and small triangles must not count as parallel.
TEST(RayCastWatertight, RaysAtSharedEdgesAndVerticesOfAClosedMeshAlwaysHit) {
    rt::selectBackend("cpu");
    const int k = 8;
    for (const float scale : {1.0f, 0.01f}) {
        Mesh m;
        std::vector<float3> targets;
        auto at = [&](int axis, float side, float a, float b) {
            float p[3];
            p[axis] = side;
            p[(axis + 1) % 3] = a;
            p[(axis + 2) % 3] = b;
            return make_float3(p[0], p[1], p[2]) * scale;
        };
        for (int axis = 0; axis < 3; ++axis)
            for (const float side : {-1.0f, 1.0f})
                for (int i = 0; i < k; ++i)
                    for (int j = 0; j < k; ++j) {
                        const float a0 = -1.0f + 2.0f * i / k, a1 = -1.0f + 2.0f * (i + 1) / k;
                        const float b0 = -1.0f + 2.0f * j / k, b1 = -1.0f + 2.0f * (j + 1) / k;
                        const float3 p00 = at(axis, side, a0, b0), p10 = at(axis, side, a1, b0);
                        const float3 p01 = at(axis, side, a0, b1), p11 = at(axis, side, a1, b1);
                        if ((i + j) % 2) {
                            m.add(p00, p10, p11), m.add(p00, p11, p01);
                            targets.push_back((p00 + p11) * 0.5f);
                        } else {
                            m.add(p00, p10, p01), m.add(p10, p11, p01);
                            targets.push_back((p10 + p01) * 0.5f);
                        }
                        targets.push_back(p00);
                        targets.push_back((p00 + p10) * 0.5f);
                        targets.push_back((p00 + p01) * 0.5f);
                    }
        DeviceScene scene(m, 4);
        Rng rng(17);
        std::vector<float3> origins = {make_float3(0, 0, 0)};
        for (int i = 0; i < 5; ++i)
            origins.push_back(make_float3(rng.range(-0.8f, 0.8f), rng.range(-0.8f, 0.8f), rng.range(-0.8f, 0.8f)) *
                              scale);
        std::vector<float4> rays;
        std::vector<float> expected;
        for (const float3 o : origins)
            for (const float3 t : targets) {
                addRay(rays, o, normalize(t - o), 1e7f);
                expected.push_back(length(t - o));
            }
        const CastResults near = castRays(rays, false);
        const CastResults any = castRays(rays, true);
        size_t missed = 0, wrongPoint = 0, missedAny = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            missed += !near.found[i];
            missedAny += !any.found[i];
            if (near.found[i] && relDiff(near.distance[i], expected[i]) > 1e-4f) ++wrongPoint;
        }
        EXPECT_EQ(missed, 0u) << "of " << expected.size() << " rays at scale " << scale;
        EXPECT_EQ(missedAny, 0u) << "scale " << scale;
        EXPECT_EQ(wrongPoint, 0u) << "scale " << scale;
    }
}

// Huge, tiny and sliver triangles: a reported hit always has finite, in-range values.
TEST(IntersectTriangle, NeverReportsNonNumericBarycentrics) {
    Rng rng(9);
    size_t hits = 0;
    for (int k = 0; k < 200000; ++k) {
        const float scale = std::pow(10.0f, rng.range(-20.0f, 38.0f));
        float3 v0 = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1)) * scale;
        float3 v1 = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1)) * scale;
        float3 v2;
        switch (k % 4) {
            case 0: v2 = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1)) * scale; break;
            case 1: v2 = v0 + (v1 - v0) * rng.range(-2, 2); break;                   // collinear sliver
            case 2: v2 = v0 + (v1 - v0) * 1e-7f + make_float3(0, 1e-30f, 0); break;  // needle
            default: v2 = v1; v1 = v1 * 1.0000001f; break;                           // near-duplicate vertices
        }
        const float3 target = (v0 + v1 + v2) * (1.0f / 3.0f);
        const float3 o = target + make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1)) * scale * 3.0f;
        const float3 d = target - o;
        if (!(dot(d, d) > 0.0f) || !std::isfinite(dot(d, d))) continue;
        float t = 0, s = 0, t2 = 0;
        if (!intersectTriangle(makeRay(o, d), v0, v1, v2, t, s, t2)) continue;
        ++hits;
        ASSERT_TRUE(std::isfinite(t) && std::isfinite(s) && std::isfinite(t2)) << "triangle " << k;
        ASSERT_GT(t, 0.0f);
        ASSERT_TRUE(s >= 0.0f && s <= 1.0f && t2 >= 0.0f && s + t2 <= 1.0f) << "triangle " << k;
    }
    EXPECT_GT(hits, 10000u);
    // Triangles from 1 to 1e38 units across, and needles of no height: the products
    // inside the test overflow (inf - inf) or divide 0 by 0, and the answer must be
    // "miss" rather than a hit with NaN weights.
    size_t sweepHits = 0;
    for (int e = 0; e <= 38; ++e) {
        const float sc = std::pow(10.0f, float(e));
        for (int shape = 0; shape < 4; ++shape) {
            float3 v0 = make_float3(-sc, -sc, 0), v1 = make_float3(sc, -sc, 0), v2 = make_float3(0, sc, 0);
            Ray r = makeRay(make_float3(0.01f * sc, -0.5f * sc, 3 * sc), make_float3(0, 0, -1));
            if (shape == 1) v2 = make_float3(0, 1e-3f * sc, 0);
            if (shape == 2) {
                v0 = make_float3(-sc, 0, 0);
                v1 = make_float3(sc, 0, 0);
                v2 = make_float3(0, 1e-20f, 0);
                r = makeRay(make_float3(0, 1e-21f, 1), make_float3(0, 0, -1));
            }
            if (shape == 3) v2 = make_float3(0, sc, sc);
            float t = 0, s = 0, t2 = 0;
            if (!intersectTriangle(r, v0, v1, v2, t, s, t2)) continue;
            ++sweepHits;
            EXPECT_TRUE(std::isfinite(s) && std::isfinite(t2)) << "scale 1e" << e << ", shape " << shape;
            EXPECT_TRUE(s >= 0.0f && s <= 1.0f && t2 >= 0.0f && s + t2 <= 1.0f) << "scale 1e" << e;
        }
    }
    // The moderate scales are ordinary hits.
    EXPECT_GE(sweepHits, 20u);
}

TEST(IntersectBox, SlabDistancesAndRaysInsideFaces) {
    const float3 mn = make_float3(-1, -2, -3), mx = make_float3(1, 2, 3);
    auto box = [&](Ray r, float& tn, float& tf) {
        const float3 inv = make_float3(1.0f / r.d.x, 1.0f / r.d.y, 1.0f / r.d.z);
        intersectBox(r, inv, mn, mx, tn, tf);
    };
    float tn, tf;
    box(makeRay(make_float3(0, 0, 10), make_float3(0, 0, -1)), tn, tf);
    EXPECT_FLOAT_EQ(tn, 7.0f);
    EXPECT_FLOAT_EQ(tf, 13.0f);
    box(makeRay(make_float3(-5, 0, 0), make_float3(1, 1, 0)), tn, tf);
    EXPECT_NEAR(tn, 4.0f * std::sqrt(2.0f), 1e-5f);
    EXPECT_NEAR(tf, 2.0f * std::sqrt(2.0f), 1e-5f);  // leaves the y slab before entering the x slab
    EXPECT_FALSE(tn < tf);
    // A ray running inside the face x = 1, parallel to it, passes through the box.
    box(makeRay(make_float3(1, 0, 10), make_float3(0, 0, -1)), tn, tf);
    EXPECT_FLOAT_EQ(tn, 7.0f);
    EXPECT_FLOAT_EQ(tf, 13.0f);
    box(makeRay(make_float3(-1, -2, 10), make_float3(0, 0, -1)), tn, tf);
    EXPECT_FLOAT_EQ(tn, 7.0f);
    EXPECT_FLOAT_EQ(tf, 13.0f);
    // Parallel and outside the slab: no interval.
    box(makeRay(make_float3(1.5f, 0, 10), make_float3(0, 0, -1)), tn, tf);
    EXPECT_FALSE(tn < tf);
}

// In any-hit mode a blocker exactly at the maximum distance does not count; just
// beyond it does. Nearest mode never returns a hit at or beyond the maximum.
TEST(RayCastPlanes, AnyHitMaximumDistanceIsStrict) {
    rt::selectBackend("cpu");
    Mesh m;
    m.add(make_float3(-1, -1, 0), make_float3(1, -1, 0), make_float3(0, 1, 0));
    DeviceScene scene(m, 8);
    std::vector<float4> rays;
    addRay(rays, make_float3(0, 0, 1), make_float3(0, 0, -1), 1.0f);
    addRay(rays, make_float3(0, 0, 1), make_float3(0, 0, -1), 1.0001f);
    addRay(rays, make_float3(0, 0, 1), make_float3(0, 0, -1), 0.5f);
    const CastResults any = castRays(rays, true);
    EXPECT_EQ(any.found[0], 0);
    EXPECT_EQ(any.found[1], 1);
    EXPECT_EQ(any.found[2], 0);
    const CastResults nearest = castRays(rays, false);
    EXPECT_EQ(nearest.found[0], 0);
    EXPECT_EQ(nearest.found[1], 1);
    EXPECT_FLOAT_EQ(nearest.distance[1], 1.0f);
    EXPECT_EQ(nearest.found[2], 0);
}

// A Cornell box (walls split into small triangles so that the tree subdivides) in the
// symmetric [-1, 1]^3 form and the classic [0, 556]^3 one, against rays with one or two
// direction components exactly zero (either sign): a 256 x 256 camera's centre row and
// column, origins on node centre planes and origins on node faces. The hit of such a ray
// lies exactly on the planes it runs in, so it is judged even there; only the axes it
// crosses may leave it at a leaf boundary.
void addCornellWalls(Mesh& m, float lo, float hi, int cells) {
    auto quad = [&](float3 a, float3 u, float3 v) {
        for (int j = 0; j < cells; ++j)
            for (int i = 0; i < cells; ++i) {
                const float3 p = a + u * (float(i) / cells) + v * (float(j) / cells);
                const float3 du = u * (1.0f / cells), dv = v * (1.0f / cells);
                m.add(p, p + du, p + du + dv);
                m.add(p, p + du + dv, p + dv);
            }
    };
    const float e = hi - lo;
    quad(make_float3(lo, lo, hi), make_float3(e, 0, 0), make_float3(0, 0, -e));  // floor
    quad(make_float3(lo, hi, lo), make_float3(e, 0, 0), make_float3(0, 0, e));   // ceiling
    quad(make_float3(lo, lo, lo), make_float3(e, 0, 0), make_float3(0, e, 0));   // back
    quad(make_float3(lo, lo, hi), make_float3(0, 0, -e), make_float3(0, e, 0));  // left
    quad(make_float3(hi, lo, lo), make_float3(0, 0, e), make_float3(0, e, 0));   // right
    // A block standing on the floor across the centre planes.
    const float b0 = lo + 0.3f * e, b1 = lo + 0.5f * e, top = lo + 0.45f * e;
    quad(make_float3(b0, top, b1), make_float3(b1 - b0, 0, 0), make_float3(0, 0, b0 - b1));
    quad(make_float3(b0, lo, b1), make_float3(b1 - b0, 0, 0), make_float3(0, top - lo, 0));
}

bool nearCrossedBoundary(const Octree& o, const Ray& r, float3 p, float eps) {
    const float d[3] = {r.d.x, r.d.y, r.d.z}, pc[3] = {p.x, p.y, p.z};
    uint32_t i = 0;
    for (;;) {
        const float3 mn = xyz(o.bounds[2 * i]), mx = xyz(o.bounds[2 * i + 1]);
        const float lo[3] = {mn.x, mn.y, mn.z}, hi[3] = {mx.x, mx.y, mx.z};
        for (int a = 0; a < 3; ++a)
            if (d[a] != 0.0f && (std::fabs(pc[a] - lo[a]) < eps || std::fabs(pc[a] - hi[a]) < eps)) return true;
        if (o.offsetsCont[i] >= 0) return false;
        const float3 c = (mn + mx) * 0.5f;
        const int child = o.hijos[8 * i + (p.z > c.z ? 4 : 0) + (p.x > c.x ? 2 : 0) + (p.y > c.y ? 0 : 1)];
        if (child < 0) return false;
        i = uint32_t(child);
    }
}

TEST(RayCastPlanes, ZeroDirectionComponentsInACornellBoxAgreeWithBruteForce) {
    rt::selectBackend("cpu");
    for (const float size : {1.0f, 556.0f}) {
        Mesh m;
        const float lo = size == 1.0f ? -1.0f : 0.0f, hi = size == 1.0f ? 1.0f : 556.0f;
        addCornellWalls(m, lo, hi, 8);
        DeviceScene scene(m, 8);
        const Octree& o = *scene.octree;
        ASSERT_LT(o.offsetsCont[0], 0);
        const float mid = 0.5f * (lo + hi), e = hi - lo;
        const float3 c0 = xyz(o.pos[0]);
        std::vector<float4> rays;
        // The camera: on the root's x and y centre planes, in front of the opening,
        // pixel directions as the primary-ray kernel forms them (u = 2 x / w - 1).
        const float3 eye = make_float3(c0.x, c0.y, hi + 1.2f * e);
        for (int k = 0; k < 256; ++k) {
            const float u = 2.0f * float(k) / 256.0f - 1.0f;
            addRay(rays, eye, make_float3(0.0f, 0.4f * u, -1.0f), 1e7f);   // centre column
            addRay(rays, eye, make_float3(0.4f * u, 0.0f, -1.0f), 1e7f);   // centre row
            addRay(rays, eye, make_float3(-0.0f, 0.4f * u, -1.0f), 1e7f);  // negative zero
        }
        addRay(rays, eye, make_float3(0, 0, -1), 1e7f);
        // The same fan from the root centre (on all three planes) and from a point of
        // the root's front face.
        const float3 rootMax = xyz(o.bounds[1]);
        for (const float3 from : {c0, make_float3(c0.x, c0.y, rootMax.z)})
            for (int k = 0; k < 64; ++k) {
                const float u = 2.0f * float(4 * k) / 256.0f - 1.0f;
                addRay(rays, from, make_float3(0.0f, u, -1.0f), 1e7f);
                addRay(rays, from, make_float3(u, -0.0f, k % 2 ? 1.0f : -1.0f), 1e7f);
                addRay(rays, from, make_float3(0.0f, k % 2 ? 1.0f : -1.0f, 0.0f), 1e7f);
            }
        // Origins on the centre planes and on the faces of the root, its children and
        // grandchildren; directions with one or two components zero, of either sign.
        std::vector<uint32_t> nodes = {0};
        for (size_t n = 0; n < 9 && n < nodes.size(); ++n)
            for (int s = 0; s < 8; ++s)
                if (o.hijos[8 * nodes[n] + s] >= 0) nodes.push_back(uint32_t(o.hijos[8 * nodes[n] + s]));
        Rng rng(91);
        for (const uint32_t n : nodes) {
            const float3 mn = xyz(o.bounds[2 * n]), mx = xyz(o.bounds[2 * n + 1]);
            const float3 c = xyz(o.pos[n]);
            for (int k = 0; k < 60; ++k) {
                float3 p = make_float3(rng.range(lo, hi), rng.range(lo, hi), rng.range(lo, hi));
                float* pc = &p.x;
                const float cc[3] = {c.x, c.y, c.z}, fl[3] = {mn.x, mn.y, mn.z}, fh[3] = {mx.x, mx.y, mx.z};
                const int a = k % 3, b = (k / 3) % 3;
                pc[a] = k % 2 ? cc[a] : (k % 4 < 2 ? fl[a] : fh[a]);
                if (k % 5 == 0) pc[b] = cc[b];
                float3 d = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1));
                float* dc = &d.x;
                dc[a] = (k & 8) ? -0.0f : 0.0f;
                if (k % 7 < 3) dc[(a + 1 + (k & 1)) % 3] = 0.0f;
                addRay(rays, p, d, 1e7f);
            }
        }
        const std::vector<RefHit> refs = bruteForceAll(m, rays);
        const CastResults near = castRays(rays, false);
        const std::vector<float4> shadow = occlusionRays(rays, refs);
        const CastResults any = castRays(shadow, true);
        size_t judged = 0, badNear = 0, badAny = 0, hits = 0;
        for (size_t i = 0; i < refs.size(); ++i) {
            const Ray r = rayAt(rays, i);
            if (refs[i].found && (refs[i].distance < kMinDistance ||
                                  nearCrossedBoundary(o, r, refs[i].position, kBoundaryEps * size)))
                continue;
            ++judged;
            hits += refs[i].found;
            const bool okNear = sameNearest(near, i, refs[i]);
            const bool okAny = bool(any.found[i]) == (refs[i].found && refs[i].distance < shadow[2 * i].w);
            if ((!okNear && badNear++ < 4) || (!okAny && badAny++ < 4))
                ADD_FAILURE() << "box " << size << " ray " << i << " from (" << r.o.x << ", " << r.o.y << ", "
                              << r.o.z << ") dir (" << r.d.x << ", " << r.d.y << ", " << r.d.z << "): octree "
                              << int(near.found[i]) << " tri " << near.triangle[i] << " at " << near.distance[i]
                              << ", any " << int(any.found[i]) << "; reference " << refs[i].found << " tri "
                              << refs[i].triangle << " at " << refs[i].distance;
        }
        EXPECT_GT(judged, refs.size() * 3 / 4) << "box " << size;
        EXPECT_GT(hits, judged / 3) << "box " << size;
        EXPECT_EQ(badNear, 0u) << "box " << size;
        EXPECT_EQ(badAny, 0u) << "box " << size;
    }
}

}  // namespace

// The walk tests a leaf's triangles and a node's children in groups where the build
// allows it; every bit must be that of the one-at-a-time test: the triangle test on
// each entry, and the slab test on each child's own box.
TEST(IntersectLanes, GroupedTestsGiveTheBitsOfSingleTests) {
    Rng rng(23);
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    auto randomVec = [&](float lo, float hi) {
        return make_float3(rng.range(lo, hi), rng.range(lo, hi), rng.range(lo, hi));
    };
    // Ordinary, collinear, zero-area, tiny and overflowing triangles.
    std::vector<float4> tris;
    std::vector<float3> centres;
    for (int k = 0; k < 64; ++k) {
        const float scale = std::pow(10.0f, rng.range(-4.0f, 1.0f)) * (k % 16 == 15 ? 1e36f : 1.0f);
        const float3 v0 = randomVec(-1, 1) * scale, v1 = v0 + randomVec(-1, 1) * scale;
        float3 v2 = v0 + randomVec(-1, 1) * scale;
        if (k % 4 == 1) v2 = v0 + (v1 - v0) * 0.5f;
        if (k % 4 == 2) v2 = v1;
        const PreparedTriangle p = prepareTriangle(v0, v1, v2);
        tris.insert(tris.end(), {p.a, p.b, p.c, p.d});
        centres.push_back((v0 + v1 + v2) * (1.0f / 3.0f));
    }
    const TexRef<float4> tex{tris.data(), uint32_t(tris.size())};
    size_t hits = 0;
    for (int i = 0; i < 20000; ++i) {
        const int first = int(rng.uniform() * 64);  // near the end, groups run past the array
        const unsigned int count = 1 + i % 5;
        const float3 o = randomVec(-2, 2);
        float3 d = centres[std::min(63, first + int(i % count))] - o + randomVec(-0.01f, 0.01f);
        if (i % 3 == 0) d.x = 0.0f;
        Ray r;
        r.o = o;
        r.d = i % 2 ? d : normalize(d);
        float t[kLeafLanes], s[kLeafLanes], t2[kLeafLanes];
        const unsigned int mask = intersectPreparedLanes(r, tex, 4 * first, count, t, s, t2);
        for (unsigned int j = 0; j < kLeafLanes; ++j) {
            const int e = 4 * (first + int(j));
            float rt, rs, rt2;
            const bool ref = j < count && intersectPrepared(r, tex1Dfetch(tex, e), tex1Dfetch(tex, e + 1),
                                                            tex1Dfetch(tex, e + 2), tex1Dfetch(tex, e + 3), rt,
                                                            rs, rt2);
            ASSERT_EQ(((mask >> j) & 1u) != 0, ref) << "ray " << i << ", lane " << j;
            if (!ref) continue;
            ++hits;
            EXPECT_TRUE(same(t[j], rt) && same(s[j], rs) && same(t2[j], rt2)) << "ray " << i << ", lane " << j;
        }
    }
    EXPECT_GT(hits, 2000u);

    size_t entered = 0;
    for (int i = 0; i < 20000; ++i) {
        const float3 bmin = randomVec(-1, 0), bmax = randomVec(0.1f, 1), c = (bmin + bmax) * 0.5f;
        float3 o = randomVec(-2, 2);
        if (i % 4 == 0) o.x = c.x;     // on a centre plane
        if (i % 6 == 0) o.y = bmin.y;  // on a face
        float3 d = bmin + (bmax - bmin) * randomVec(0, 1) - o;  // towards the box
        if (i % 3 == 0) d.x = 0.0f;
        if (i % 5 == 0) d.y = 0.0f;
        Ray r;
        r.o = o;
        r.d = d;
        const float3 invD = make_float3(1.0f / d.x, 1.0f / d.y, 1.0f / d.z);
        const float dScale = length(d), limit = rng.range(0.2f, 4.0f);
        int children[8];
        for (int slot = 0; slot < 8; ++slot) children[slot] = (i + slot) % 5 == 0 ? -1 : slot;
        const unsigned int mask = childrenEntered(r, invD, bmin, c, bmax, dScale, limit, children);
        for (int slot = 0; slot < 8; ++slot) {
            // slot = 4 (z high) + 2 (x high) + (y low)
            const float3 lo = make_float3(slot & 2 ? c.x : bmin.x, slot & 1 ? bmin.y : c.y, slot & 4 ? c.z : bmin.z);
            const float3 hi = make_float3(slot & 2 ? bmax.x : c.x, slot & 1 ? c.y : bmax.y, slot & 4 ? bmax.z : c.z);
            float tn, tf;
            intersectBox(r, invD, lo, hi, tn, tf);
            const bool ref = children[slot] >= 0 && tf > 0.001f && tn < tf && !(tn * dScale > limit);
            ASSERT_EQ(((mask >> slot) & 1u) != 0, ref) << "ray " << i << ", slot " << slot;
            entered += ref;
        }
    }
    EXPECT_GT(entered, 10000u);
    EXPECT_LT(entered, 100000u);
}
