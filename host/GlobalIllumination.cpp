// Global illumination stages: photon emission, final-gather placement, the irradiance
// cache and the indirect-light composition of a tile.
#include "host/internal.h"
#include "host/kdtree.h"

void TessraRendererCUDA::castPhotons() { photonsCast = false; }
bool TessraRendererCUDA::DistributeFinalGatherPoints(TessraFrameBuffer&) { return true; }
bool TessraRendererCUDA::CalculateIrradianceCache() { return true; }
bool TessraRendererCUDA::PerformPhotonMappingStep(TessraFrameBuffer&) { return true; }
bool TessraRendererCUDA::calcGlobalIlumPhoton_ScreenSpace(const TessraFrameBuffer&) { return true; }
bool TessraRendererCUDA::calcGlobalIlumPhoton_FromFG(TessraFrameBuffer&) { return true; }
