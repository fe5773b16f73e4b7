// Global illumination stages: photon emission, final-gather placement, the irradiance
// cache and the indirect-light composition of a tile.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "device/kernels_gi.h"
#include "host/internal.h"

using host::kBlock;
#include "host/estimates.h"
#include "host/kdtree.h"

namespace {

// One thread per photon in blocks of 16; one launch covers a batch of 131072 photons.
const dim3 kPhotonBlock(16, 1, 1);
constexpr uint32_t kPhotonBatch = 131072;
const dim3 kRecordBlock(256, 1, 1);

// Blocks of 256 threads for a per-record launch, enough to cover the records. (128
// surplus blocks, whose threads all return at once, cost the CPU backend 32768 idle
// threads per launch and tens of thousands of launches per render.)
dim3 recordGrid(uint32_t n) { return dim3(std::max(1u, (n + 255) / 256), 1, 1); }

// The host generator's pair for the gather launches (values in [0, 1]).
float2 randomPair() {
    const float x = float(std::rand()) / 32767.0f;
    const float y = float(std::rand()) / 32767.0f;
    return make_float2(x, y);
}

// Binds a tree's arrays; a missing tree binds empty references like an empty one.
void bindTree(const KdTree* tree) {
    if (tree) {
        tree->Bind();
        return;
    }
    KdTree empty(0.0f);
    empty.Bind();
}

void copyBack(std::vector<float4>& dst, const void* src, int line) {
    if (dst.empty()) return;
    TESSRA_CHECK(rt::memcpyDtoH(dst.data(), src, dst.size() * 16), "volumeRender", line);
}

// The harmonic mean distance to the scene, over 128 gather rays, of each record given
// by position and normal. (Not shared between processes: a placement step's few new
// records take milliseconds, less than the processes would wait for each other.)
bool measureHarmonicDistances(TessraRendererCUDA& r, const std::vector<float4>& positions,
                              const std::vector<float4>& normals, std::vector<float>& out) {
    const size_t n = positions.size();
    out.assign(n, 0.0f);
    if (!n) return true;
    host::ScopedDeviceMemory pos(r.Malloc(n * 16)), nor(r.Malloc(n * 16)), mean(r.Malloc(n * 4)),
        accum(r.Malloc(n * 4)), counter(r.Malloc(n * 4));
    if (!pos.p || !nor.p || !mean.p || !accum.p || !counter.p) return false;
    TESSRA_CHECK(rt::memcpyHtoD(pos.p, positions.data(), n * 16), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::memcpyHtoD(nor.p, normals.data(), n * 16), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::memset(mean.p, 0, n * 4), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::memset(accum.p, 0, n * 4), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::memset(counter.p, 0, n * 4), "volumeRender", __LINE__);
    for (int j = 1; j <= 128; ++j) {
        const float2 rands = make_float2(float(haltonHost(j, 3)), float(haltonHost(j, 7)));
        rt::launch(TESSRA_KERNEL(calculate_harmonic_distances), recordGrid(uint32_t(n)), kRecordBlock, uint32_t(n),
                   pos.p, nor.p, mean.p, accum.p, counter.p, rands);
        rt::synchronize();
    }
    TESSRA_CHECK(rt::memcpyDtoH(out.data(), mean.p, n * 4), "volumeRender", __LINE__);
    // Released through the check: a release that fails must not pass unseen.
    for (void** q : {&pos.p, &nor.p, &mean.p, &accum.p, &counter.p}) host::freeChecked(*q, "volumeRender", __LINE__);
    return true;
}

// A record's distance scale: its harmonic mean distance, bounded by its footprint on
// screen so that it is valid over about 2 to 48 pixels (at contacts the harmonic mean
// alone would ask for records closer than pixels, in the open for one record per
// surface), and by its neighbours' scales plus their distance (Krivanek et al. 2006), so
// that scales change no faster than the geometry allows and records grow dense towards
// contacts and corners.
void clampRecordScales(const TessraRendererCUDA& r, const std::vector<float4>& positions,
                       std::vector<float>& scales) {
    // Valid over R / FG_record_density; without a density every record serves.
    const float density = r.FG_record_density;
    if (!(density > 0.0f)) return;
    const float eye[3] = {r.invViewMatrix[3], r.invViewMatrix[7], r.invViewMatrix[11]};
    const float pixel = 2.0f * std::tan(0.5f * r.fieldOfView) / float(std::max(1, r.width));
    for (size_t i = 0; i < positions.size(); ++i) {
        const float dx = positions[i].x - eye[0], dy = positions[i].y - eye[1], dz = positions[i].z - eye[2];
        const float footprint = std::sqrt(dx * dx + dy * dy + dz * dz) * pixel;
        const float R = scales[i] > 0.0f ? scales[i] : INFINITY;
        scales[i] = std::min(std::max(R, 2.0f * footprint * density), 48.0f * footprint * density);
    }
    // Among the records of one step: a tile's coarse passes place at most a few thousand;
    // the finest ones, which may place more, fill single pixels where none was valid.
    if (positions.size() > 4096) return;
    for (size_t i = 0; i < positions.size(); ++i)
        for (size_t j = 0; j < positions.size(); ++j) {
            const float dx = positions[i].x - positions[j].x, dy = positions[i].y - positions[j].y,
                        dz = positions[i].z - positions[j].z;
            scales[i] = std::min(scales[i], scales[j] + std::sqrt(dx * dx + dy * dy + dz * dz));
        }
}

// The farthest any record reaches, for the searches.
void uploadCacheReach(TessraRendererCUDA& r) {
    float reach = 0.0f;
    if (r.fgKdTree)
        for (float R : r.fgKdTree->scalars) reach = std::max(reach, R);
    reach = r.FG_record_density > 0.0f ? reach / r.FG_record_density : 2000.0f;
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_fgMaxRadius, &reach, 4), "volumeRender", __LINE__);
}

// The irradiance estimates: the photon map's estimate at every eighth photon, which
// final gather's rays read instead of searching the photons. Processes sharing the work
// each estimate their share and exchange the results; *stopped tells when one of them
// stopped.
bool precomputeIrradiance(TessraRendererCUDA& r, bool* stopped = nullptr) {
    constexpr uint32_t kStride = 8;
    const KdTree& photons = *r.photonKdTree;
    const uint32_t n = photons.numRecords, m = (n + kStride - 1) / kStride;
    host::state(r).irradianceEstimates = new EstimateTree;
    if (!m) return true;
    std::vector<float4> pos, nor, col(m);
    host::resizeHuge(pos, n), host::resizeHuge(nor, n);
    copyBack(pos, photons.d_positions, __LINE__);
    copyBack(nor, photons.d_seconds, __LINE__);
    host::ScopedDeviceMemory out(r.Malloc(size_t(m) * 16));
    if (!out.p) return false;
    photons.Bind();
    const host::SharedRange share = host::sharedRange(r, m);
    const uint32_t count = uint32_t(share.last - share.first);
    if (count) {
        rt::launch(TESSRA_KERNEL(precompute_irradiance), recordGrid(count), kRecordBlock, uint32_t(share.first),
                   uint32_t(share.last), kStride, static_cast<float4*>(photons.d_positions),
                   static_cast<float4*>(photons.d_seconds), static_cast<float4*>(out.p));
        rt::synchronize();
        TESSRA_CHECK(rt::memcpyDtoH(&col[share.first], static_cast<float4*>(out.p) + share.first, size_t(count) * 16),
                     "volumeRender", __LINE__);
    }
    host::freeChecked(out.p, "volumeRender", __LINE__);
    if (!host::gatherShared(r, col.data(), m, 16)) {
        if (stopped) *stopped = true;
        return false;
    }
    std::vector<Estimate> estimates(m);
    for (uint32_t k = 0; k < m; ++k)
        estimates[k] = {xyz(pos[size_t(k) * kStride]), xyz(nor[size_t(k) * kStride]), col[k]};
    host::state(r).irradianceEstimates->Build(std::move(estimates));
    return true;
}

// The rounds of extra photons that the caustics take: as many again as the cast, eight
// times over, when a material has a layer whose caustics are on, so that the light a
// small mirror or glass focuses is not a few photons' blotches. (Photon numbers stay
// within an int.)
// The random pair the photon kernels take.
const float2 kPhotonRands = make_float2(0.5f, 0.2f);

// How many rounds of numPhotons photons can be numbered within an int.
uint32_t photonRoundsRoom(const TessraRendererCUDA& r) { return r.numPhotons ? 0x7ffffffeu / r.numPhotons : 1u; }

// The shares photons are cast in: the lights, the world when it lights the scene, the
// emitting surfaces together.
uint32_t photonSources(const TessraRendererCUDA& r) {
    return r.numLights + (host::worldLit(r) ? 1u : 0u) + (host::emitterCount(r) ? 1u : 0u);
}

uint32_t causticRounds(const TessraRendererCUDA& r, uint32_t lightRounds) {
    constexpr uint32_t kRounds = 8;
    const bool reflective = r.extension_.reflectiveCaustics, refractive = r.extension_.refractiveCaustics;
    const bool layer = std::any_of(r.materials.begin(), r.materials.end(), [&](const material_t& m) {
        return (reflective && m.reflective) || (refractive && m.refractive);
    });
    const uint32_t room = layer && r.numPhotons ? photonRoundsRoom(r) : 0;
    return room > lightRounds ? std::min(kRounds, room - lightRounds) : 0;
}

// The tiles of a render in tile order (columns outer), those that hold pixels of the
// image numbered from 0 (count of them), those wholly outside ~0u: where the camera hits
// of placement are kept.
struct InsideTiles {
    InsideTiles(const TessraRendererCUDA& r, const TessraFrameBuffer& fb, uint32_t tilesX, uint32_t tilesY)
        : rows(tilesY), w(fb.tileWidth), h(fb.tileHeight), pixels(size_t(w) * h), number(size_t(tilesX) * tilesY, ~0u) {
        for (uint32_t c = 0; c < tilesX; ++c)
            for (uint32_t row = 0; row < tilesY; ++row)
                if (c * w < uint32_t(r.width) && row * h < uint32_t(r.height)) number[c * rows + row] = count++;
    }
    uint32_t x(uint32_t t) const { return t / rows * w; }
    uint32_t y(uint32_t t) const { return t % rows * h; }

    uint32_t rows, w, h;
    size_t pixels;
    std::vector<uint32_t> number;
    uint32_t count = 0;
};

}  // namespace

// How many rounds of numPhotons photons the cast takes: as many as bring the photons
// that land on the camera's side of a surface to half of numPhotons, at most the host's
// limit. Few do where the camera looks at a room lit through a window: most photons land
// on its outside. A trial of the first photons, which every process sharing the work
// casts whole, tells their share. (Photon numbers stay within an int.)
uint32_t TessraRendererCUDA::photonRounds() {
    constexpr uint32_t kTrial = 16384;
    const uint32_t limit = std::min(extension_.photonRounds, photonRoundsRoom(*this));
    if (limit <= 1) return 1;
    const uint32_t trial = std::min(numPhotons, kTrial);
    rt::launch(TESSRA_KERNEL(cast_photons), dim3((trial + kPhotonBlock.x - 1) / kPhotonBlock.x, 1, 1), kPhotonBlock,
               d_photonPos, d_photonDir, d_photonCol, photonSources(*this), kPhotonRands, make_float3(0, 0, 0),
               d_photonNormals, 0u);
    rt::synchronize();
    std::vector<float4> pos(trial), nor(trial);
    TESSRA_CHECK(rt::memcpyDtoH(pos.data(), d_photonPos, size_t(trial) * 16), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::memcpyDtoH(nor.data(), d_photonNormals, size_t(trial) * 16), "volumeRender", __LINE__);
    const float3 eye = make_float3(invViewMatrix[3], invViewMatrix[7], invViewMatrix[11]);
    uint32_t seen = 0;
    for (uint32_t i = 0; i < trial; ++i) seen += pos[i].w > 0.5f && dot(xyz(nor[i]), eye - xyz(pos[i])) > 0.0f ? 1 : 0;
    if (!seen) return 1;
    const uint64_t wanted = (uint64_t(trial) + 2 * seen - 1) / (2 * seen);
    return uint32_t(std::min<uint64_t>(limit, std::max<uint64_t>(1, wanted)));
}

void TessraRendererCUDA::castPhotons() {
    bool shareStopped = false;
    castPhotons(shareStopped);
}

void TessraRendererCUDA::castPhotons(bool& shareStopped) try {
    host::status(this, "Casting photons...");
    TESSRA_PRINTF("Casting %d photons...", int(numPhotons));
    host::flushOut();
    const int maxPhotons = int(numPhotons);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_maxPhotons, &maxPhotons, 4), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_photonSearchDistance, &photonSearchDistance, 4), "volumeRender",
                 __LINE__);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_photonEnergy, &photonEnergy, 4), "volumeRender", __LINE__);
    {
        const int balanced = extension_.balancedPhotons ? 1 : 0;
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_balancedPhotons, &balanced, 4), "volumeRender", __LINE__);
        const int caustics = (extension_.reflectiveCaustics ? 1 : 0) | (extension_.refractiveCaustics ? 2 : 0);
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_caustics, &caustics, 4), "volumeRender", __LINE__);
        const std::vector<float> scales = host::photonScales(*this);
        if (!host::uploadTable(*this, host::state(*this).photonScales, scales.data(), scales.size() * 4,
                               rt::Symbol::texLightsPhotonScale))
            throw std::bad_alloc();
    }
    const float2 rands = kPhotonRands;
    const float3 rands01 = make_float3(0, 0, 0);

    delete photonKdTree;
    photonKdTree = new KdTree(photonTreeParam);
    KdTree*& caustics = host::state(*this).causticKdTree;
    delete caustics;
    caustics = new KdTree(photonTreeParam);

    // A photon's path depends on its number alone: processes sharing the work each follow
    // their own photons through every bounce, in batches of whole blocks, and exchange
    // them only after the last bounce (a farm's wait for MPI to start overlaps the casting).
    const host::SharedRange share = host::sharedRange(*this, numPhotons, kPhotonBlock.x);
    const bool shared = extension_.share.parts > 1;
    const auto launchBatches = [&](auto&& launch) {
        for (size_t first = share.first; first < share.last; first += kPhotonBatch) {
            const size_t count = std::min<size_t>(kPhotonBatch, share.last - first);
            launch(dim3(uint32_t((count + kPhotonBlock.x - 1) / kPhotonBlock.x), 1, 1), uint32_t(first));
        }
    };
    // Each pass's photons: positions, colours, normals.
    struct Pass {
        std::vector<float4> pos, col, nor;
        uint32_t pass = 0;
    };
    const uint32_t lightRounds = photonRounds(), rounds = causticRounds(*this, lightRounds);
    if (lightRounds > 1) TESSRA_PRINTF("Casting %u rounds of photons...", lightRounds);
    std::vector<Pass> passes(shared ? (numBounces + 1) * lightRounds + rounds : 1);
    uint32_t collected = 0;
    // Each record remembers its pass, so that a gather can leave out the first hits. The
    // passes after the bounces are caustics rounds.
    const auto add = [&](Pass& p, uint32_t pass) {
        for (auto* v : {&p.pos, &p.col, &p.nor})
            if (!host::gatherShared(*this, v->data(), v->size(), 16, kPhotonBlock.x)) {
                shareStopped = true;
                return false;
            }
        // Photons a mirror or glass sent (w 2) are gathered apart at the camera's hits,
        // and in the photon tree belong with the first hits, which the direct pass's
        // gathers leave out; the others keep their pass. The cast's own go to the camera's
        // hits through the rounds, which hold more of them.
        if (pass > numBounces) {
            caustics->AddRecords(numPhotons, p.pos.data(), p.nor.data(), p.col.data(), 0.0f);
            return true;
        }
        photonKdTree->AddRecords(numPhotons, p.pos.data(), p.nor.data(), p.col.data(), float(pass), nullptr, 0.5f,
                                 1.5f);
        photonKdTree->AddRecords(numPhotons, p.pos.data(), p.nor.data(), p.col.data(), 0.0f, nullptr, 1.5f);
        if (pass > 0 || !rounds)
            caustics->AddRecords(numPhotons, p.pos.data(), p.nor.data(), p.col.data(), 0.0f, nullptr, 1.5f);
        if (callbacks) callbacks->SetPhotonCount(photonKdTree->numRecords);
        return true;
    };
    const auto collect = [&](int line, uint32_t pass) {
        rt::synchronize();
        Pass& p = passes[shared ? collected++ : 0];
        p.pass = pass;
        for (auto* v : {&p.pos, &p.col, &p.nor}) host::resizeHuge(*v, numPhotons);
        copyBack(p.pos, d_photonPos, line);
        copyBack(p.col, d_photonCol, line + 1);
        copyBack(p.nor, d_photonNormals, line + 2);
        return shared || add(p, pass);
    };

    const uint32_t sources = photonSources(*this);
    const size_t bytes = size_t(numPhotons) * 16;
    for (uint32_t round = 0; round < lightRounds; ++round) {
        launchBatches([&](dim3 grid, uint32_t first) {
            if (lightRounds == 1)
                rt::launch(TESSRA_KERNEL(cast_photons), grid, kPhotonBlock, d_photonPos, d_photonDir, d_photonCol,
                           sources, rands, rands01, d_photonNormals, first);
            else
                rt::launch(TESSRA_KERNEL(cast_photon_round), grid, kPhotonBlock, d_photonPos, d_photonDir, d_photonCol,
                           d_photonNormals, sources, rands, first, round,
                           1.0f / (float(numPhotons) * float(lightRounds)), 0);
        });
        collect(2796, 0);
        for (uint32_t irebote = 0; irebote < numBounces; ++irebote) {
            if (bytes) {
                TESSRA_CHECK(rt::memcpyDtoD(d_photonInPos, d_photonPos, bytes), "volumeRender", __LINE__);
                TESSRA_CHECK(rt::memcpyDtoD(d_photonInCol, d_photonCol, bytes), "volumeRender", __LINE__);
                TESSRA_CHECK(rt::memcpyDtoD(d_photonInDir, d_photonDir, bytes), "volumeRender", __LINE__);
            }
            launchBatches([&](dim3 grid, uint32_t first) {
                rt::launch(TESSRA_KERNEL(bounce_photons), grid, kPhotonBlock, d_photonPos, d_photonDir, d_photonCol,
                           d_photonInPos, d_photonInDir, d_photonInCol, numLights, rands, rands01, d_photonNormals,
                           irebote, first, round);
            });
            collect(2815, irebote + 1);
        }
    }
    // The caustics' rounds are numbered after the light's.
    for (uint32_t round = 1; round <= rounds; ++round) {
        launchBatches([&](dim3 grid, uint32_t first) {
            rt::launch(TESSRA_KERNEL(cast_photon_round), grid, kPhotonBlock, d_photonPos, d_photonDir, d_photonCol,
                       d_photonNormals, sources, rands, first, lightRounds - 1 + round,
                       1.0f / (float(numPhotons) * float(rounds)), 1);
        });
        collect(__LINE__, numBounces + round);
    }
    for (size_t k = 0; shared && k < passes.size(); ++k)
        if (!add(passes[k], passes[k].pass)) return;

    host::status(this, "Building KdTree for photons...");
    photonKdTree->Build();
    caustics->Build();
    if (callbacks) callbacks->SetPhotonCount(photonKdTree->numRecords);
    delete host::state(*this).irradianceEstimates;
    host::state(*this).irradianceEstimates = nullptr;
    if (useFinalGather && !precomputeIrradiance(*this, &shareStopped)) return;
    photonsCast = true;
} catch (...) {
    host::reportException("castPhotons");
}

bool TessraRendererCUDA::DistributeFinalGatherPoints(TessraFrameBuffer& fb) try {
    if (!fgKdTree) fgKdTree = new KdTree(0.0f);
    const uint32_t W = fb.tileWidth, H = fb.tileHeight;
    const size_t pixels = size_t(W) * H;
    host::ScopedDeviceMemory candPos(Malloc(pixels * 16)), candNormal(Malloc(pixels * 16));
    if (!candPos.p || !candNormal.p) return false;
    // Every pixel copied back is defined, also those no pass writes (mask 0).
    TESSRA_CHECK(rt::memset(candNormal.p, 0, pixels * 16), "volumeRender", __LINE__);
    host::status(this, "Irradiance Cache: distributing FG records...");
    std::vector<float4> hostPos(pixels), hostNormal(pixels);

    const dim3 grid(W / kBlock.x + 1, H / kBlock.y + 1, 1);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_FG_record_density, &FG_record_density, 4), "volumeRender", __LINE__);
    uploadCacheReach(*this);
    // Records face the camera; a process whose share held no tile has cast no camera ray.
    const float eye[3] = {invViewMatrix[3], invViewMatrix[7], invViewMatrix[11]};
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 12), "volumeRender", __LINE__);

    // Spacings 2 and 1 place records only where no record is valid; a pass that places
    // none leaves the tree as it is.
    for (uint32_t spacing = 32; spacing >= 1; spacing >>= 1) {
        TESSRA_CHECK(rt::memset(candPos.p, 0, pixels * 16), "volumeRender", __LINE__);
        if (spacing > 31) {
            rt::launch(TESSRA_KERNEL(init_irradiance_cache_records), grid, kBlock, W, H, host::view(fb), candPos.p,
                       candNormal.p, spacing);
        } else {
            fgKdTree->Bind();
            rt::launch(TESSRA_KERNEL(calculate_irradiance_cache_records), grid, kBlock, W, H, host::view(fb), 0u, 0u,
                       candPos.p, candNormal.p, spacing);
        }
        rt::synchronize();
        TESSRA_CHECK(rt::memcpyDtoH(hostPos.data(), candPos.p, pixels * 16), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::memcpyDtoH(hostNormal.data(), candNormal.p, pixels * 16), "volumeRender", __LINE__);
        // A record's harmonic distance depends on its own position and normal only, so each
        // is measured once, when it is placed, and the tree carries it through every later
        // rebuild; measuring all of them again after every step made placement grow with
        // the square of the tile count.
        std::vector<float4> newPos, newNormal;
        for (size_t i = 0; i < pixels; ++i)
            if (hostPos[i].w > 0.5f) newPos.push_back(hostPos[i]), newNormal.push_back(hostNormal[i]);
        if (newPos.empty() && spacing < 32) continue;
        std::vector<float> harmonic;
        if (!measureHarmonicDistances(*this, newPos, newNormal, harmonic)) return false;
        clampRecordScales(*this, newPos, harmonic);
        host::status(this, "Irradiance Cache: building KdTree for FG records...");
        const std::vector<float4> zero(newPos.size(), make_float4(0, 0, 0, 0));
        fgKdTree->AddRecords(uint32_t(newPos.size()), newPos.data(), newNormal.data(), zero.data(), 0.0f,
                             harmonic.data());
        fgKdTree->Build();

        host::freeChecked(harmMeanDistFG, "volumeRender", 2875);
        const uint32_t n = fgKdTree->numRecords;
        harmMeanDistFG = Malloc(size_t(n) * 4);
        if (n && !harmMeanDistFG) return false;
        if (n)
            TESSRA_CHECK(rt::memcpyHtoD(harmMeanDistFG, fgKdTree->scalars.data(), size_t(n) * 4), "volumeRender",
                         __LINE__);
        TESSRA_CHECK(rt::bindTexture(rt::Symbol::texHarmMeanDistFG, harmMeanDistFG, size_t(n) * 4), "volumeRender",
                     __LINE__);
        uploadCacheReach(*this);
    }
    TESSRA_CHECK(rt::free(candPos.p), "volumeRender", __LINE__);
    candPos.p = nullptr;
    TESSRA_CHECK(rt::free(candNormal.p), "volumeRender", __LINE__);
    candNormal.p = nullptr;
    return true;
} catch (...) {
    host::reportException("DistributeFinalGatherPoints");
    return false;
}

namespace {

// The most rays a record may take, as a multiple of irradianceSamples, and the relative
// error of its mean light those rays aim at.
constexpr uint32_t kMoreRays = 4;
constexpr double kRecordError = 0.1;

// The rays a record takes, from the sum of its S rays' mean light (x, y, z) and of its
// squares (w): as many as bring the mean's standard error to the target, within [S, kMoreRays S].
uint32_t moreRaysFor(float4 sums, uint32_t S) {
    const double m = (double(sums.x) + sums.y + sums.z) / (3.0 * S);
    if (!(m > 0.0)) return S;
    const double variance = std::max(double(sums.w) / S - m * m, 0.0);
    const double wanted = variance / (m * m * kRecordError * kRecordError);
    return uint32_t(std::min(std::max(wanted, double(S)), double(kMoreRays * S)));
}

}  // namespace

bool TessraRendererCUDA::CalculateIrradianceCache() try {
    const uint32_t n = fgKdTree ? fgKdTree->numRecords : 0;
    const uint32_t S = irradianceSamples;
    // The gather rays read the irradiance tree, made with the photon map.
    if (!host::state(*this).irradianceEstimates && photonKdTree && !precomputeIrradiance(*this)) return false;
    host::ScopedDeviceMemory accum(Malloc(size_t(n) * 16)), gradAccum(Malloc(size_t(n) * 96));
    if (n && (!accum.p || !gradAccum.p)) return false;
    if (n) TESSRA_CHECK(rt::memset(accum.p, 0, size_t(n) * 16), "volumeRender", __LINE__);
    if (n) TESSRA_CHECK(rt::memset(gradAccum.p, 0, size_t(n) * 96), "volumeRender", __LINE__);
    host::freeChecked(host::state(*this).fgGradients, "volumeRender", __LINE__);
    host::state(*this).fgGradients = Malloc(size_t(n) * 96);
    if (n && !host::state(*this).fgGradients) return false;
    if (n) TESSRA_CHECK(rt::memset(host::state(*this).fgGradients, 0, size_t(n) * 96), "volumeRender", __LINE__);
    if (callbacks) callbacks->SetFinalGatherCount(n);
    const host::SharedRange share = host::sharedRange(*this, n);
    const size_t mine = share.last - share.first;
    host::ScopedDeviceMemory counts(Malloc(mine * 4));  // the rays each of this process's records takes
    if (mine && !counts.p) return false;
    const dim3 grid = recordGrid(uint32_t(mine));
    // Gather rays that escape see this scene's background, which the direct pass
    // uploads only later: without this the first render saw black and later ones the
    // background of whatever was rendered before.
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, envColor, 12), "volumeRender", __LINE__);

    unsigned timer = 0;
    platform::cutCheck(platform::cutCreateTimer(&timer), "volumeRender", 2928);
    platform::cutCheck(platform::cutResetTimer(timer), "volumeRender", 2929);
    platform::cutCheck(platform::cutStartTimer(timer), "volumeRender", 2930);
    TESSRA_PRINTF("\n[-------------------------------------------------]\n[");

    const auto gather = [&](uint32_t j, const uint32_t* rays) {
        const float2 rands = make_float2(float(haltonHost(int(j), 2)), float(haltonHost(int(j), 3)));
        rt::launch(TESSRA_KERNEL(estimatePhotonMap_FG), grid, kRecordBlock, uint32_t(share.first), uint32_t(share.last),
                   fgKdTree ? fgKdTree->d_seconds : nullptr, fgKdTree ? fgKdTree->d_positions : nullptr,
                   ambientLightIntens, accum.p, fgKdTree ? fgKdTree->d_thirds : nullptr, j, rands,
                   static_cast<float4*>(gradAccum.p), static_cast<float4*>(host::state(*this).fgGradients), rays);
        rt::synchronize();
    };
    int lastStep = 0;
    bool aborted = false;
    for (uint32_t j = 1; j <= S; ++j) {
        const int step = f2i(float(j - 1) / float(S) * 20.0f);
        if (step > lastStep) {
            if (callbacks) {
                char text[96];
                std::snprintf(text, sizeof(text), "Irradiance Cache: sampling directions: %d/%d", int(j), int(S));
                callbacks->SetStatusText(text);
                if (host::stopTogether(*this)) {
                    aborted = true;
                    break;
                }
            }
            lastStep = step;
        }
        if (j == 1) {
            // Without photons there are no estimates: the gathers read empty references.
            if (const EstimateTree* e = host::state(*this).irradianceEstimates) e->Bind();
            else EstimateTree().Bind();
        }
        gather(j, nullptr);
    }
    // Records whose rays disagree (a small bright patch that few of them see) take more,
    // up to kMoreRays times as many, as far as their error calls for; the others keep S.
    // Every process walks the same steps, so that they can stop together.
    if (!aborted && mine) {
        std::vector<float4> sums(mine);
        TESSRA_CHECK(rt::memcpyDtoH(sums.data(), static_cast<float4*>(accum.p) + share.first, mine * 16),
                     "volumeRender", __LINE__);
        std::vector<uint32_t> rays(mine);
        uint32_t most = S;
        for (size_t i = 0; i < mine; ++i) {
            rays[i] = moreRaysFor(sums[i], S);
            most = std::max(most, rays[i]);
        }
        TESSRA_CHECK(rt::memcpyHtoD(counts.p, rays.data(), mine * 4), "volumeRender", __LINE__);
        for (uint32_t j = S + 1; j <= kMoreRays * S && !aborted; ++j) {
            if (j % S == 0 && callbacks) aborted = host::stopTogether(*this);
            if (j <= most) gather(j, static_cast<const uint32_t*>(counts.p));
        }
    }
    // Each record's irradiance is its own: processes sharing the work light their own
    // records and exchange the results.
    if (!aborted && n && extension_.share.parts > 1) {
        std::vector<float4> irradiance(n);
        TESSRA_CHECK(rt::memcpyDtoH(irradiance.data(), fgKdTree->d_thirds, size_t(n) * 16), "volumeRender", __LINE__);
        aborted = !host::gatherShared(*this, irradiance.data(), n, 16);
        if (!aborted)
            TESSRA_CHECK(rt::memcpyHtoD(fgKdTree->d_thirds, irradiance.data(), size_t(n) * 16), "volumeRender",
                         __LINE__);
        std::vector<float4> gradients(size_t(n) * 6);
        TESSRA_CHECK(rt::memcpyDtoH(gradients.data(), host::state(*this).fgGradients, size_t(n) * 96), "volumeRender",
                     __LINE__);
        aborted = aborted || !host::gatherShared(*this, gradients.data(), n, 96);
        if (!aborted)
            TESSRA_CHECK(rt::memcpyHtoD(host::state(*this).fgGradients, gradients.data(), size_t(n) * 96),
                         "volumeRender", __LINE__);
    }
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texFGGradients, host::state(*this).fgGradients, size_t(n) * 96),
                 "volumeRender", __LINE__);
    TESSRA_CHECK(rt::free(gradAccum.p), "volumeRender", __LINE__);
    gradAccum.p = nullptr;
    TESSRA_PRINTF("]\n");
    TESSRA_CHECK(rt::free(accum.p), "volumeRender", __LINE__);
    accum.p = nullptr;
    platform::cutCheck(platform::cutStopTimer(timer), "volumeRender", 2968);
    const float ms = platform::cutGetAverageTimerValue(timer);
    // The timer is released here; a timer per call that is never deleted would leak.
    platform::cutDeleteTimer(timer);
    if (callbacks) callbacks->ReportIrradianceTime(69.666f, ms / 1000.0f);
    return !aborted;
} catch (...) {
    host::reportException("CalculateIrradianceCache");
    return false;
}

// The camera hits that place the final-gather records: positions then normals (float4
// each) of every tile that holds pixels of the image, kept while they fit comfortably in
// host memory (an 8K frame's take 1 GiB; beyond that hits stays empty and placement
// casts them for each of its passes). Processes sharing the work each find their share
// of the tiles here and exchange them when placing; they do not depend on the photons,
// so they come first and a farm's ranks need MPI only later.
bool TessraRendererCUDA::findCameraHits(TessraFrameBuffer& fb, uint32_t tilesX, uint32_t tilesY,
                                        std::vector<float>& hits) {
    const InsideTiles tiles(*this, fb, tilesX, tilesY);
    const size_t pixels = tiles.pixels;
    hits.clear();
    if (size_t(tiles.count) * pixels * 32 > (size_t(1) << 30)) return true;
    hits.resize(size_t(tiles.count) * pixels * 8);
    const host::SharedRange share = host::sharedRange(*this, tiles.count);
    for (uint32_t t = 0; t < tiles.number.size(); ++t) {
        const uint32_t k = tiles.number[t];
        if (k == ~0u || k < share.first || k >= share.last) continue;
        if (!InitScreenCUDA(tiles.x(t), tiles.y(t), fb, false)) return false;
        TESSRA_CHECK(rt::memcpyDtoH(&hits[k * pixels * 8], fb.ssPos, pixels * 16), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::memcpyDtoH(&hits[(k * 2 + 1) * pixels * 4], fb.ssNormals, pixels * 16), "volumeRender",
                     __LINE__);
    }
    return true;
}

// Places the final-gather records of the whole image before the first tile: on the grid
// of every tile, then, in a fixed tile order, where pixels were left without one (rather
// than while shading, so that a tile's light depends neither on which tiles were shaded
// before it nor on which tiles this render shades at all: crops, farms).
bool TessraRendererCUDA::placeFinalGatherRecords(TessraFrameBuffer& fb, uint32_t tilesX, uint32_t tilesY,
                                                 std::vector<float>& hits) {
    const InsideTiles tiles(*this, fb, tilesX, tilesY);
    const size_t pixels = tiles.pixels;
    const bool keep = !hits.empty();
    if (keep && !host::gatherShared(*this, hits.data(), tiles.count, pixels * 32)) return false;
    // Leaves the tile's camera hits in fb as InitScreenCUDA without full buffers does.
    const auto load = [&](uint32_t t) {
        const uint32_t k = tiles.number[t];
        if (!keep || k == ~0u) return InitScreenCUDA(tiles.x(t), tiles.y(t), fb, false);
        fb.Reset();
        TESSRA_CHECK(rt::memcpyHtoD(fb.ssPos, &hits[k * pixels * 8], pixels * 16), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::memcpyHtoD(fb.ssNormals, &hits[(k * 2 + 1) * pixels * 4], pixels * 16), "volumeRender",
                     __LINE__);
        return true;
    };
    for (uint32_t t = 0; t < tiles.number.size(); ++t)
        if (!load(t) || !DistributeFinalGatherPoints(fb)) return false;
    for (uint32_t t = 0; t < tiles.number.size(); ++t) {
        if (!load(t) || (findMissingRecords(fb) && !DistributeFinalGatherPoints(fb))) return false;
        if (host::stopTogether(*this)) return false;
    }
    return true;
}

bool TessraRendererCUDA::findMissingRecords(TessraFrameBuffer& fb) try {
    bindTree(fgKdTree);
    TESSRA_CHECK(rt::memset(fb.needsGI, 0, 1), "volumeRender", __LINE__);
    const dim3 grid(fb.tileWidth / kBlock.x + 1, fb.tileHeight / kBlock.y + 1, 1);
    rt::launch(TESSRA_KERNEL(find_fg_records_ss), grid, kBlock, fb.tileWidth, fb.tileHeight, host::view(fb));
    rt::synchronize();
    return fb.NeedsIndirectStepAgain();
} catch (...) {
    host::reportException("findMissingRecords");
    return false;
}

bool TessraRendererCUDA::PerformPhotonMappingStep(TessraFrameBuffer& fb) {
    return PerformPhotonMappingStep(fb, TileContext());
}
bool TessraRendererCUDA::calcGlobalIlumPhoton_ScreenSpace(const TessraFrameBuffer& fb) {
    return calcGlobalIlumPhoton_ScreenSpace(fb, TileContext());
}
bool TessraRendererCUDA::calcGlobalIlumPhoton_FromFG(TessraFrameBuffer& fb) {
    return calcGlobalIlumPhoton_FromFG(fb, TileContext());
}

bool TessraRendererCUDA::PerformPhotonMappingStep(TessraFrameBuffer& fb, const TileContext& c) try {
    if (!useFinalGather) return calcGlobalIlumPhoton_ScreenSpace(fb, c) && gatherCaustics(fb, c);
    if (!calcGlobalIlumPhoton_FromFG(fb, c)) return false;
    // Within a render every record was placed before the first tile (see Render).
    if (!c.cacheComplete && fb.NeedsIndirectStepAgain() &&
        !(DistributeFinalGatherPoints(fb) && CalculateIrradianceCache() && calcGlobalIlumPhoton_FromFG(fb, c)))
        return false;
    return gatherCaustics(fb, c);
} catch (...) {
    host::reportException("PerformPhotonMappingStep");
    return false;
}

// The photon gather of every camera hit of a tile over the tree bound, from pass
// gatherFrom on, added to the pixel.
bool TessraRendererCUDA::gatherPhotonsPerPixel(const TessraFrameBuffer& fb, const TileContext& c,
                                               float gatherFrom) {
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_photonGatherFrom, &gatherFrom, 4), "volumeRender", __LINE__);
    const int wide = extension_.widePhotonEstimate ? 1 : 0;
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_widePhotonEstimate, &wide, 4), "volumeRender", __LINE__);
    const float2 rands = randomPair();
    const uint32_t W = fb.tileWidth, H = fb.tileHeight;
    for (uint32_t bx = 0; bx <= (W >> 6); ++bx) {
        for (uint32_t by = 0; by <= (H >> 6); ++by) {
            if (!c.shadesRows(64 * by, 64 * by + 64)) continue;
            rt::launch(TESSRA_KERNEL(estimatePhotonMap_ss), dim3(64 / kBlock.x, 64 / kBlock.y, 1), kBlock,
                       host::view(fb), W, H, 64 * bx, 64 * by, 64u, ambientLightIntens, rands);
            rt::synchronize();
            if (host::abortRequested(this)) return false;
        }
    }
    return true;
}

// Light that reached the camera's hits through mirrors and glass (caustics): neither the
// direct pass, nor a gather ray, which sees no light behind a layer, nor the photon
// gather, which leaves these photons out, counts it. A map of first hits alone, shown
// whole, holds them already.
bool TessraRendererCUDA::gatherCaustics(const TessraFrameBuffer& fb, const TileContext& c) try {
    const KdTree* caustics = extension_.state ? extension_.state->causticKdTree : nullptr;
    if (!caustics || !caustics->numRecords || (!useFinalGather && numBounces == 0)) return true;
    host::status(this, "Caustics from photonmap...");
    caustics->Bind();
    return gatherPhotonsPerPixel(fb, c, 0.0f);
} catch (...) {
    host::reportException("gatherCaustics");
    return false;
}

bool TessraRendererCUDA::calcGlobalIlumPhoton_ScreenSpace(const TessraFrameBuffer& fb, const TileContext& c) try {
    host::status(this, "Indirect illumination from photonmap...");
    bindTree(photonKdTree);
    // The first hits are the direct light, which the direct pass has already added:
    // once the map holds bounced photons, this gather counts only those. A map of first
    // hits alone is shown whole, as an ambient fill.
    return gatherPhotonsPerPixel(fb, c, numBounces > 0 ? 1.0f : 0.0f);
} catch (...) {
    host::reportException("calcGlobalIlumPhoton_ScreenSpace");
    return false;
}

bool TessraRendererCUDA::calcGlobalIlumPhoton_FromFG(TessraFrameBuffer& fb, const TileContext& c) try {
    host::status(this, "Indirect Illumination from FG records...");
    bindTree(fgKdTree);
    const float2 rands2 = randomPair();
    TESSRA_CHECK(rt::memset(fb.needsGI, 0, 1), "volumeRender", __LINE__);
    const uint32_t W = fb.tileWidth, H = fb.tileHeight;
    for (uint32_t bx = 0; bx <= (W >> 6); ++bx) {
        for (uint32_t by = 0; by <= (H >> 6); ++by) {
            if (!c.shadesRows(64 * by, 64 * by + 64)) continue;
            rt::launch(TESSRA_KERNEL(estimatePhotonMap_FromFG), dim3(64 / kBlock.x, 64 / kBlock.y, 1), kBlock, W, H,
                       host::view(fb), 64 * bx, 64 * by, 64u, ambientLightIntens, rands2);
            rt::synchronize();
            if (host::abortRequested(this)) return false;
        }
    }
    return true;
} catch (...) {
    host::reportException("calcGlobalIlumPhoton_FromFG");
    return false;
}
