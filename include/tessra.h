// Tessra: a tiled GPU renderer with a CPU emulation of the device.
//
// A host creates one renderer with Tessra_InitRenderer, writes its settings into the
// public fields, hands it the scene through the Nuevo* operations and SetEnvColor,
// and calls Render as often as it likes. Pixels, progress and the abort request travel
// through TessraCallbacks, which the host implements. The field order of
// TessraRendererCUDA is part of the interface with hosts and must not change.
#ifndef TESSRA_H
#define TESSRA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(_WIN32)
#if defined(TESSRA_BUILDING_LIBRARY)
#define TESSRA_API __declspec(dllexport)
#else
#define TESSRA_API __declspec(dllimport)
#endif
#else
#define TESSRA_API __attribute__((visibility("default")))
#endif

class Octree;
class KdTree;
struct TessraRenderState;
class TessraRendererCUDA;

// Implemented by the host. Every notification is skipped while the renderer's
// callbacks field is null.
class TESSRA_API TessraCallbacks {
public:
    TessraCallbacks();
    TessraCallbacks(const TessraCallbacks&);
    TessraCallbacks& operator=(const TessraCallbacks&);
    virtual void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) = 0;
    virtual void TileFinished(uint32_t x, uint32_t y, uint32_t tileWidth, uint32_t tileHeight) = 0;
    virtual void SetStatusText(const char* text) = 0;
    virtual bool AbortRequested() = 0;
    virtual void SetFinalGatherCount(uint32_t count) = 0;
    virtual void ReportIrradianceTime(float constant, float seconds) = 0;
    virtual void SetPhotonCount(uint32_t count) = 0;
};

// The host's material record, passed by reference to NuevoMaterial and stored by copy.
// The renderer keeps only the path pointers: the strings must outlive Render.
class material_t {
public:
    const char* diffuseMap = nullptr;
    float diffuse[3] = {0, 0, 0};
    bool reflective = false;
    uint8_t reflColor[3] = {0, 0, 0};
    uint8_t refrColor[3] = {0, 0, 0};
    bool refractive = false;
    bool specular = false;
    float specularLevel = 0;
    float specularExponent = 0;
    uint8_t reserved[16] = {};
    const char* secondMap = nullptr;
    float reflGloss = 1.0f;
    float refrGloss = 1.0f;
};

struct TriangleRecord {
    float vertices[9];
    float normals[9];
    float uvs[6];
    int32_t materialId;
};

enum LightType : uint8_t {
    LIGHT_OMNI = 0,
    LIGHT_SPOT_CIRCLE = 1,
    LIGHT_SPOT_RECT = 2,
    LIGHT_OMNI_SPHERE = 3,
    LIGHT_RECT = 4,
    LIGHT_DIR_CIRCLE = 5,
    LIGHT_DIR_RECT = 6,
};

struct LightRecord {
    uint8_t type = 0;
    float position[3] = {0, 0, 0};
    float color[3] = {0, 0, 0};
    float rotation[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    float intensity = 0;
    float radius = 0;
    float rectWidth = 0;
    float rectHeight = 0;
    float falloff = 0;
    float hotspot = 0;
    uint8_t decayType = 0;
    float decayStart = 1.0f;
};

struct TessraUInt3 {
    uint32_t x, y, z;
};

// Processes rendering the same scene with the same settings (the ranks of a render farm)
// can share the work each would otherwise repeat before its first tile: casting the
// photons, finding the tiles' camera hits that place the final-gather records, and
// lighting the records. Process `part` of `parts` computes its share of each array; at
// the same points in every process the library then calls gather, which must fill the
// array at data with the other processes' shares (process p's bytes are offsets[p] to
// offsets[p] + bytes[p]) and return true, or return false, in every process, when any
// of them passed going false (it stops; the render then ends in all).
struct TessraWorkShare {
    uint32_t parts;
    uint32_t part;
    bool (*gather)(void* user, void* data, const size_t* offsets, const size_t* bytes, bool going);
    void* user;
};

// The device buffers of one tile. Device pointers are opaque to hosts.
class TESSRA_API TessraFrameBuffer {
public:
    TessraFrameBuffer(TessraRendererCUDA* renderer, uint32_t tileWidth, uint32_t tileHeight);
    ~TessraFrameBuffer();
    TessraFrameBuffer(const TessraFrameBuffer&) = delete;
    TessraFrameBuffer& operator=(const TessraFrameBuffer&) = delete;

    void Reset();
    bool NeedsSharpReflection() const;
    bool NeedsGlossyReflection() const;
    bool NeedsSharpRefraction() const;
    bool NeedsGlossyRefraction() const;
    bool NeedsIndirectStepAgain() const;

    void* ssPos;          // float4
    void* ssTotal;        // float4
    void* ssNormals;      // float4
    void* spare3;         // float4, cleared per tile, unused
    void* ssTexCoords;    // float4
    void* spare5;         // float4, unused
    void* spare6;         // float4, unused
    void* ssColor;        // float4
    void* ssIndirect;     // float4
    void* ssEyePos;       // float4
    void* ssRefrIndex;    // float
    void* ssTriID;        // int32
    void* ssUVs;          // float2
    void* reflectFlags;   // 4 bytes for the tile
    void* needsGI;        // 1 byte for the tile
    void* maskFG;         // 1 byte per pixel
    uint32_t tileWidth;
    uint32_t tileHeight;
    TessraRendererCUDA* renderer;
};

class TESSRA_API TessraRendererCUDA {
public:
    static const uint8_t REFL_STEP;
    static const uint8_t REFR_STEP;
    static const uint32_t num_subdivs_glossy_refl;

    TessraRendererCUDA();
    TessraRendererCUDA(const TessraRendererCUDA& other);
    TessraRendererCUDA& operator=(const TessraRendererCUDA& other);
    ~TessraRendererCUDA();

    // Scene input.
    void NuevoTriangulo(const float* data, int32_t materialId, bool isLight, float normalScale);
    int32_t NuevoMaterial(const material_t& m);
    void SetEnvColor(float r, float g, float b);
    void NuevaLuzOmni(float x, float y, float z, float r, float g, float b, float intensity, int32_t decayType,
                      float decayStart);
    void NuevaLuzOmniEsfera(float x, float y, float z, float r, float g, float b, float intensity, float radius,
                            int32_t decayType);
    void NuevaLuzRect(float x, float y, float z, float r, float g, float b, float m00, float m01, float m02,
                      float m10, float m11, float m12, float m20, float m21, float m22, float intensity,
                      float rectWidth, float rectHeight, int32_t decayType);
    void NuevaLuzFoco(float x, float y, float z, float r, float g, float b, float m00, float m01, float m02,
                      float m10, float m11, float m12, float m20, float m21, float m22, float falloff, float hotspot,
                      float intensity, int32_t decayType, bool circle, float decayStart);
    void NuevaLuzDir(float x, float y, float z, float r, float g, float b, float m00, float m01, float m02,
                     float m10, float m11, float m12, float m20, float m21, float m22, float falloff, float hotspot,
                     float intensity, int32_t decayType, bool circle, float decayStart);

    // Rendering.
    int32_t Render();
    bool UsePhotonMapping() const;
    bool NeedPhotonMapping() const;
    void CleanUp();

    // Device memory accounting.
    void* Malloc(size_t bytes);
    void Free(void* p);
    void printMemStats();

    // Stages, in the order a render runs them.
    bool initScene();
    int32_t LoadTexture(const char* path);
    void SetCudaCustomTextures();
    void SetCudaMaterialTextures();
    void castPhotons();
    bool DistributeFinalGatherPoints(TessraFrameBuffer& fb);
    bool CalculateIrradianceCache();
    bool InitScreenCUDA(uint32_t xoffset, uint32_t yoffset, TessraFrameBuffer& fb, bool fullBuffers);
    bool RenderDirectLighting(const TessraFrameBuffer& fb);
    bool renderAreaLight(const TessraFrameBuffer& fb, uint32_t ilight, uint32_t subdivisions, float unusedX,
                         float unusedY);
    bool PerformPhotonMappingStep(TessraFrameBuffer& fb);
    bool calcGlobalIlumPhoton_ScreenSpace(const TessraFrameBuffer& fb);
    bool calcGlobalIlumPhoton_FromFG(TessraFrameBuffer& fb);
    bool ReflectBuffers(const TessraFrameBuffer& fb, uint32_t subdivisions, uint8_t reflpass, uint8_t refl0_refr1,
                        uint32_t level);

    // Public fields, in interface order.
    TessraCallbacks* callbacks;
    int32_t width;
    int32_t height;
    float invViewMatrix[16];
    std::vector<uint32_t> textureImages;
    uint32_t maxOctreeDepth;
    uint64_t reserved7;
    uint32_t reserved8;
    float fieldOfView;
    float reserved10;
    bool photonsCast;
    float cameraMatrix[12];
    bool reserved13;
    bool reserved14;
    float photonTreeParam;
    void* harmMeanDistFG;
    bool usePhotonMapping;
    uint32_t numBounces;
    bool reserved19;
    bool reserved20;
    bool indirectIllumination;
    bool reserved22;
    uint8_t shadowMode;
    float ambientLightIntens;
    float photonSearchDistance;
    float photonEnergy;
    uint32_t irradianceSamples;
    float FG_record_density;
    bool useFinalGather;
    float envColor[3];
    uint32_t reserved31;
    uint32_t numPhotons;
    std::vector<uint32_t> areaLightIndices;
    uint32_t reserved34;
    uint32_t usedDeviceMem;
    void* d_triVertices;
    void* d_triNormals;
    void* d_triMatIds;
    void* d_triTexCoords;
    void* d_lightPosCol;
    void* d_lightSpotData;
    void* d_lightParams;
    void* d_lightRotRows;
    void* d_lightDecayStart;
    uint32_t numLights;
    uint32_t numlighttris;
    uint32_t numTris;
    std::vector<TriangleRecord> triangles;
    std::vector<LightRecord> lights;
    std::vector<TriangleRecord> lightTriangles;
    std::vector<material_t> materials;
    KdTree* fgKdTree;
    KdTree* photonKdTree;
    Octree* octree;
    void* d_textureAtlas;
    void* d_textureSizes;
    void* d_matDiffuse;
    void* d_photonPos;
    void* d_photonCol;
    void* d_photonDir;
    void* d_photonInPos;
    void* d_photonInCol;
    void* d_photonInDir;
    void* d_photonNormals;
    void* d_matCaps;
    void* d_matSpec;
    void* d_matReflColor;
    void* d_matReflGloss;
    void* d_matRefrColor;
    void* d_matRefrGloss;
    uint32_t reserved52;
    bool firstPassDone;
    TessraUInt3 gridSize;
    TessraUInt3 blockSize;
    uint32_t tileX;
    uint32_t tileY;
    TessraFrameBuffer* currentFrameBuffer;
    uint32_t lastRefreshTick;

    // Our additions, after the fixed fields: set them through the Tessra_ functions.
    struct Extension {
        uint32_t crop[4] = {0, 0, 0, 0};  // x0, y0, x1, y1, half-open; empty: the whole image
        bool (*tileFilter)(void* user, uint32_t x, uint32_t y) = nullptr;
        void* tileFilterUser = nullptr;
        uint32_t samples = 1;         // at most samples x samples rays per pixel
        float threshold = 0.0f;       // colour difference to a neighbour that asks for more
        uint64_t supersampled = 0;    // pixels given more than one ray by the last render
        float* albedo = nullptr;      // output passes the host asked for (width x height x 3, 3, 1)
        float* normal = nullptr;
        float* depth = nullptr;
        uint32_t bandRows = 0;  // the tile filter is asked per band of this many rows; 0: per tile
        TessraWorkShare share = {1, 0, nullptr, nullptr};
        uint32_t pathSamples = 0;   // path tracing instead of the stages: samples per ray, 0 off
        uint32_t pathBounces = 0;   // diffuse bounces of each path after the first hit
        bool coverage = false;  // delivered alpha is the fraction of the pixel's rays that hit
        bool worldLight = false;  // the background colour is a world that lights the scene and is seen
        // Emission of materials (RGB radiance by material index, owned; Tessra_SetMaterialEmission).
        float* emission = nullptr;
        uint32_t emissionMaterials = 0;
        // The world's image (Tessra_SetWorldImage): width x height linear RGB, owned.
        float* worldImage = nullptr;
        uint32_t worldImageSize[2] = {0, 0};
        float worldImageTurn[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        bool srgbTextures = false;  // textures hold sRGB codes (Tessra_SetSrgbTextures)
        // Per light, whether it emits with the cosine to its direction or normal (Tessra_SetLightEmitterCosine);
        // owned, lambertLightCount entries.
        uint8_t* lambertLights = nullptr;
        uint32_t lambertLightCount = 0;
        bool balancedPhotons = false;  // each light's photons carry its own power (Tessra_SetBalancedPhotons)
        float pixelAspect = 1.0f;  // a pixel's width over its height (Tessra_SetPixelAspect)
        TessraRenderState* state = nullptr;  // what the library keeps per render; owned, private
        // Per material, its specular layer's normal reflectance and roughness
        // (Tessra_SetMaterialSpecularLayer); owned, specularLayerMaterials entries of two.
        float* specularLayer = nullptr;
        uint32_t specularLayerMaterials = 0;
        bool reflectiveCaustics = false;  // photons go through mirrors and glass (Tessra_SetCaustics)
        bool refractiveCaustics = false;
        uint32_t photonRounds = 1;  // the most rounds of numPhotons photons a cast takes (Tessra_SetPhotonRounds)
        bool widePhotonEstimate = false;  // camera hits show the wider estimate (Tessra_SetWidePhotonEstimate)
    } extension_;

private:
    // What the stages shade now: a tile, a batch of sub-pixel rays or a reflection window (host/internal.h).
    struct TileContext;

    bool shadesRegion(uint32_t x, uint32_t y, uint32_t w, uint32_t h);
    // Sets shareStopped when a process sharing the work stopped, which ends the render; a failure of
    // its own is reported and the render goes on.
    void castPhotons(bool& shareStopped);
    uint32_t photonRounds();
    // The public stages shade a buffer as outside a render; a render's stages take the context.
    bool InitScreenCUDA(uint32_t xoffset, uint32_t yoffset, TessraFrameBuffer& fb, bool fullBuffers,
                        const TileContext& c);
    bool RenderDirectLighting(const TessraFrameBuffer& fb, const TileContext& c);
    bool renderAreaLight(const TessraFrameBuffer& fb, uint32_t ilight, uint32_t subdivisions, const TileContext& c);
    bool PerformPhotonMappingStep(TessraFrameBuffer& fb, const TileContext& c);
    bool calcGlobalIlumPhoton_ScreenSpace(const TessraFrameBuffer& fb, const TileContext& c);
    bool calcGlobalIlumPhoton_FromFG(TessraFrameBuffer& fb, const TileContext& c);
    bool gatherPhotonsPerPixel(const TessraFrameBuffer& fb, const TileContext& c, float gatherFrom);
    bool gatherCaustics(const TessraFrameBuffer& fb, const TileContext& c);
    bool ReflectBuffers(const TessraFrameBuffer& fb, uint32_t subdivisions, uint8_t reflpass, uint8_t refl0_refr1,
                        uint32_t level, const TileContext& c);
    bool shadeTile(TessraFrameBuffer& fb, const TileContext& c);
    bool pathTraceTile(const TessraFrameBuffer& fb, const TileContext& c);
    bool renderEmission(const TessraFrameBuffer& fb, uint32_t worldN, uint32_t emitterN, const TileContext& c);
    bool finishTile(TessraFrameBuffer& fb, const TileContext& c);
    void deliverTile(const TessraFrameBuffer& fb, uint32_t xoffset, uint32_t yoffset, const float* colour,
                     const TileContext& c);
    bool findMissingRecords(TessraFrameBuffer& fb);
    bool findCameraHits(TessraFrameBuffer& fb, uint32_t tilesX, uint32_t tilesY, std::vector<float>& hits);
    bool placeFinalGatherRecords(TessraFrameBuffer& fb, uint32_t tilesX, uint32_t tilesY, std::vector<float>& hits);
    void RefreshResultsScreen(const TileContext& c);
    void VisualizeResultsBlock(TessraUInt3 grid, TessraUInt3 block, uint32_t xoffset, uint32_t yoffset,
                               TessraFrameBuffer* fb, const TileContext& c);
};

extern "C" {
TESSRA_API TessraRendererCUDA* Tessra_InitRenderer();
TESSRA_API void Tessra_DeleteRenderer(TessraRendererCUDA** renderer);

// Our additions. The backend: "auto" (CUDA when a device exists, else the CPU
// emulation), "cpu" or "cuda". Returns 0, or -1 for an unknown name.
TESSRA_API int Tessra_SelectBackend(const char* name);
// The backend in use: "cuda" or "cpu".
TESSRA_API const char* Tessra_BackendName();
// Worker threads of the CPU backend (0 = every core).
TESSRA_API void Tessra_SetThreadCount(unsigned threads);
// Receives every message box (text, title). nullptr restores the default, which writes
// "title: text" to standard error.
typedef void (*TessraMessageHandler)(const char* text, const char* title, void* user);
TESSRA_API void Tessra_SetMessageHandler(TessraMessageHandler handler, void* user);
// The library's version, "major.minor.patch".
TESSRA_API const char* Tessra_Version();

// Photon settings that suit the scene a renderer holds (its triangles and lights, and
// its numPhotons and numBounces): with them the photon map's estimate is the reflected
// irradiance in the units of the direct light, and ambientLightIntens = 1 adds the
// indirect light at its physical strength. Writes them to *out and returns 0; returns
// -1, leaving *out untouched, for a scene without triangles. Nothing is written to the
// renderer: the host decides which values to take. The last two are the irradiance
// cache's: gather rays per record and the record density (the reciprocal of the
// cache's accuracy) at which final gather matches the path tracer within a few percent.
struct TessraPhotonSettings {
    float photonEnergy;
    float photonSearchDistance;
    float ambientLightIntens;
    uint32_t irradianceSamples;
    float FG_record_density;
};
TESSRA_API int Tessra_SuggestPhotonSettings(const TessraRendererCUDA* renderer, TessraPhotonSettings* out);

// Renders only the pixels x0 <= x < x1, y0 <= y < y1 of the image: the window's rows of
// the tiles that hold them (and the row each side that antialiasing compares with) are
// shaded and only its pixels delivered, and every pixel is what the whole image holds
// there (the photon map and the final-gather records are made for the whole image).
// x1 <= x0 or y1 <= y0 selects the whole image again. Returns 0, or -1 without a
// renderer.
TESSRA_API int Tessra_SetCropWindow(TessraRendererCUDA* renderer, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1);
// Asks filter(user, x, y) before each tile (its top-left pixel) whether this render
// shades it; a tile refused is neither shaded nor delivered. The render farm's way to
// share one image's tiles between processes. nullptr shades every tile.
// The edge of the square tiles the library shades and reports, in pixels.
#define TESSRA_TILE_SIZE 256u
typedef bool (*TessraTileFilter)(void* user, uint32_t x, uint32_t y);
TESSRA_API int Tessra_SetTileFilter(TessraRendererCUDA* renderer, TessraTileFilter filter, void* user);
// Splits each tile into bands of rows rows (1 to TESSRA_TILE_SIZE; 0, the default, keeps whole tiles)
// for the tile filter, which is then asked with each band's top-left pixel. Once a band
// is granted, the filter is asked at once about the tile's next bands: those granted join
// it in a run, which shades only its rows (and the row each side that antialiasing
// compares with) in one pass and delivers them, ending with TileFinished(x, run top, tile
// width, run rows). The band refused after a run is asked about again once the run is
// shaded; a band without a pixel of the image is skipped. Every pixel is what a render of
// whole tiles gives it. Lets processes share an image of few tiles evenly.
// Returns 0, or -1 without a renderer or for rows above TESSRA_TILE_SIZE.
TESSRA_API int Tessra_SetBandRows(TessraRendererCUDA* renderer, uint32_t rows);

// Shares the work before the first tile between processes as share describes (a copy is
// kept; nullptr, the default, shares nothing). Returns 0, or -1 without a renderer, or
// for parts 0, a part not below parts or no gather.
TESSRA_API int Tessra_SetWorkShare(TessraRendererCUDA* renderer, const TessraWorkShare* share);

// Antialiasing: every pixel first takes its one ray; a pixel whose colour differs from
// a neighbour's by more than threshold (|dr| + |dg| + |db|, colours clipped to 1) then
// takes n x n stratified, jittered rays instead, each through every stage, and shows
// their mean. threshold 0 gives every pixel n x n rays; n = 1 (the default) is one ray
// per pixel. Returns 0, or -1 for n outside 1 to 16 or a threshold that is negative or
// not a number.
TESSRA_API int Tessra_SetSupersampling(TessraRendererCUDA* renderer, uint32_t n, float threshold);
// The number of pixels the last render gave more than one ray.
TESSRA_API uint64_t Tessra_SupersampledPixelCount(const TessraRendererCUDA* renderer);
// Path tracing: instead of the direct, photon and reflection stages, every ray the
// camera casts (each of the supersampled rays too) continues as samplesPerPixel
// unbiased paths of up to maxBounces diffuse bounces after the first hit, with the same
// light models, light sampling and materials. A reference for the other modes and a
// mode of its own; samplesPerPixel 0 (the default) switches it off. Returns 0, or -1
// without a renderer or for more than 65536 samples or 64 bounces.
TESSRA_API int Tessra_SetPathTracing(TessraRendererCUDA* renderer, uint32_t samplesPerPixel, uint32_t maxBounces);

// Output passes for denoisers and compositors, written for every delivered pixel before
// its tile is finished, averaged over the pixel's rays: the diffuse colour at the first
// hit (albedo, RGB), the unit world-space shading normal (normal, XYZ) and the distance
// along the camera ray (depth; the mean over the rays that hit). Where no ray hits, 0
// and an infinite depth. Arrays of width x height elements of 3, 3 and 1 floats, top
// row first, owned by the host; nullptr for a pass not wanted.
TESSRA_API int Tessra_SetOutputPasses(TessraRendererCUDA* renderer, float* albedo, float* normal, float* depth);
// Alpha as coverage: the delivered alpha of a pixel becomes the fraction of its camera
// rays that hit a triangle (1 where the camera sees a surface, 0 where it sees the
// background, between on antialiased edges). The colour is unchanged: rays that miss
// bring black (the world colour lights the scene but is not seen), so it is already
// premultiplied by this alpha. Off (the default), alpha is what the stages leave.
// Returns 0, or -1 without a renderer.
TESSRA_API int Tessra_SetAlphaCoverage(TessraRendererCUDA* renderer, bool on);
// Pixels that are not square (Blender's pixel aspect, old video formats): a pixel's width
// over its height. The horizontal field of view stays; the vertical one is what the
// image's height in such pixels spans. 1, the default, is square. Returns 0, or -1 without
// a renderer or for a value that is not finite and positive.
TESSRA_API int Tessra_SetPixelAspect(TessraRendererCUDA* renderer, float aspect);
// The background colour (SetEnvColor) as a world around the scene: seen where camera,
// mirror and glass rays meet nothing (camera rays excepted under alpha coverage, where it
// is transparent), and lighting the scene as a uniform environment of that colour
// (a white surface open to it shows the colour): direct light through cosine-distributed
// shadow rays stratified as the area lights' samples are, photons from every direction,
// and the path tracer's light samples; final-gather rays that escape then see nothing,
// so the world is counted once. A scene lit by the world alone renders. Off (the
// default), the background only feeds final gather. Returns 0, or -1 without a renderer.
TESSRA_API int Tessra_SetWorldLight(TessraRendererCUDA* renderer, bool on);
// The radiance material emits (linear RGB; a surface open to a white world of the same
// colour would look alike): its triangles show it, in reflections too, and light the
// scene from both faces, chosen by power for direct light with shadow rays, photons and
// the path tracer's light samples, beside the lights. A scene lit by emission alone
// renders. Black (the default) emits nothing. Returns 0, or -1 without a renderer, for a
// material index the renderer does not have, or for a negative or non-finite value.
TESSRA_API int Tessra_SetMaterialEmission(TessraRendererCUDA* renderer, uint32_t material, float r, float g, float b);
// An equirectangular image of the world (width x height linear RGB floats, row 0 looking
// up, the middle column looking down -Z and +X a quarter of the width to its right),
// which the background colour multiplies: what Tessra_SetWorldLight's world shows and
// lights the scene with, the directions sampled by what they bring. turn (row-major 3 x
// 3, a rotation; null: none) takes scene directions into the image's frame, for a scene
// whose up is not +Y or a world turned round. The renderer keeps a copy. A null image or
// a zero size returns to a world of one colour. Returns 0, or -1 without a renderer, for
// a size over 65536 x 32768, a negative or non-finite value, or a turn that is not a
// rotation (the world as it was is kept).
TESSRA_API int Tessra_SetWorldImage(TessraRendererCUDA* renderer, const float* rgb, uint32_t width, uint32_t height,
                                    const float* turn);
// Whether rectangle or sphere light `light` emits as a Lambertian surface: times the cosine
// between its direction and the direction to the lit point, as the area lights of most
// renderers (Blender's among them) do, its photons cosine-distributed. A sphere then lights
// a point from the disc of its radius through its centre that faces the point, as Blender's
// point lights with a radius do, and sends its photons from its surface. Straight under a
// rectangle, and far from a sphere, nothing changes. Off (the default), every point of the
// light sends alike, as the fixed light model has it; other kinds ignore it. Returns 0, or
// -1 without a renderer or for a light index the renderer does not have.
TESSRA_API int Tessra_SetLightEmitterCosine(TessraRendererCUDA* renderer, uint32_t light, bool on);
// Whether each light's photons carry that light's own share of the power the direct
// pass sees, rather than one photonEnergy factor for all (the fixed interface's rule,
// which is right only where every light has the same ratio, and lets a sun outshine a
// lamp's photons many times over). The photons' total power, and photonEnergy's meaning
// for it, stay. Off (the default), one factor. Returns 0, or -1 without a renderer.
TESSRA_API int Tessra_SetBalancedPhotons(TessraRendererCUDA* renderer, bool on);
// Whether photons go on through mirror and glossy layers (reflective) and through glass
// (refractive), with the chance of each layer's share, and rest on the diffuse rest: the
// camera's hits then show the light that mirrors and glass focus on them (caustics),
// gathered apart, under the photon map and final gather alike. A layer whose caustics are
// off absorbs its share. Off (the default), a photon rests wherever it lands, as the fixed
// interface has it. Returns 0, or -1 without a renderer.
TESSRA_API int Tessra_SetCaustics(TessraRendererCUDA* renderer, bool reflective, bool refractive);
// The most rounds of numPhotons photons a cast takes (1, the default, to 64): where few
// photons land on the camera's side of a surface (a room seen from inside and lit through
// a window, whose light mostly falls on the outside), more rounds are cast, each numbered
// after the last and with its share of the power, until those photons number half of
// numPhotons. A trial of 16,384 photons tells their share. Returns 0, or -1 without a
// renderer or with maxRounds outside 1 to 64.
TESSRA_API int Tessra_SetPhotonRounds(TessraRendererCUDA* renderer, uint32_t maxRounds);
// Whether the photon map's estimate at the camera's hits (and the caustics') widens the
// disc of its forty photons to twice its radius, some 160 photons, wherever that disc's
// light agrees with the disc of half its area (else the smaller one, or the forty
// photons'): forty photons leave a pixel's light some 16 % off, whatever their number.
// Off (the default), the forty photons' estimate. Returns 0, or -1 without a renderer.
TESSRA_API int Tessra_SetWidePhotonEstimate(TessraRendererCUDA* renderer, bool on);
// Whether the materials' textures hold sRGB codes, as PNG and JPEG images, glTF's base
// colour and Blender's colour images mean them: decoded to linear colour where read.
// Off (the default), a texel's code over 255 is the colour. Returns 0, or -1 without a
// renderer.
TESSRA_API int Tessra_SetSrgbTextures(TessraRendererCUDA* renderer, bool on);
// A dielectric coat over material's diffuse colour (plastic, paint, varnish: Blender's
// Principled BSDF, glTF's dielectrics): a GGX microfacet layer of normal reflectance f0
// under Schlick's Fresnel and of roughness (alpha = roughness^2). It reflects the light
// that reaches the surface from other surfaces (final gather and the path tracer), the
// world and emitting surfaces by its albedo at the angle the surface is seen from, which
// grows towards grazing; the lights' highlight stays the material's own. 0 (the default)
// adds nothing. Returns 0, or -1 without a renderer, for a material index the renderer
// does not have, or for f0 or roughness outside [0, 1].
TESSRA_API int Tessra_SetMaterialSpecularLayer(TessraRendererCUDA* renderer, uint32_t material, float f0,
                                               float roughness);
}

#endif  // TESSRA_H
