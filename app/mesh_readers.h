// The model formats tessra-render reads itself (OBJ with MTL, PLY, STL) instead of through
// Assimp, and what they share with the Assimp importer: the OBJ material mapping, texture
// paths and the triangle records in world space.
#pragma once

#include <string>
#include <vector>

#include "scene.h"
#include "scene_math.h"

namespace tr {

// Triangles of one file in world space, written straight into the scene's records: the
// positions through the model's transform, the file's normals through its inverse
// transpose, and where a corner has no usable normal the face's own.
class TriangleWriter {
public:
    TriangleWriter(Scene& scene, const math::M4& toWorld);
    // p: three positions as in the file; n: three normals as in the file, or nullptr (a zero
    // normal counts as none); uv: six coordinates, or nullptr for zeros.
    void add(const math::V3* p, const math::V3* n, const float* uv, int material);
    // Room for this many more triangles.
    void reserve(size_t more);
    Scene& scene;

private:
    math::M4 g;
    math::V3 c0, c1, c2;  // the cofactor rows normalVector computes for every normal
    bool flip;
};

// What an OBJ material says, as Assimp's keys or the MTL statements carry it.
struct ObjMaterialValues {
    std::string name;
    float kd[3] = {0.8f, 0.8f, 0.8f}, ks[3] = {0, 0, 0}, tf[3] = {1, 1, 1}, ke[3] = {0, 0, 0};
    float d = 1, ns = 0, ior = 1.6f;
    bool hasIor = false;
    int illum = 2;
    std::string diffuseMap;  // as written in the file; empty: none
};
// Onto the renderer's fixed material model; warnings name modelPath.
void objMaterial(const ObjMaterialValues& v, const std::string& modelPath, Material& out,
                 std::vector<std::string>& warnings);
// A texture path from a model file, resolved against its folder; a SceneError when it names
// no regular file.
std::string modelTexture(const std::string& modelPath, const std::string& raw);

// Where a polygon's fan starts, as Assimp splits polygons: a quad from its concave corner
// where it has one, everything else from the first corner.
int polygonStart(const math::V3* corners, int n);

// The dedicated readers append the file's triangles and materials to the writer's scene.
// readObj returns false, having added nothing, for the constructs it leaves to Assimp.
bool readObj(TriangleWriter& out, const std::string& path);
void readPly(TriangleWriter& out, const std::string& path);
void readStl(TriangleWriter& out, const std::string& path);

// The Assimp importer for every format, as importModel used it before the dedicated
// readers; the formats without one still go through it, and tests and benchmarks compare
// against it.
void importWithAssimp(Scene& scene, const std::string& path, const float transform[16], const ImportOptions& options);

}  // namespace tr
