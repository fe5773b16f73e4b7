// What a host sees of the installed header and library: an unknown backend refused, an
// empty scene refused through the message handler, one lit triangle rendered (the library
// version and the centre pixel printed), and deletion clearing the caller's pointer.
#include <tessra.h>

#include <cstdio>
#include <string>
#include <vector>

struct Host : TessraCallbacks {
    float centre = -1;
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        if (y == 8 && x <= 8 && 8 < x + count) centre = rgba[4 * (8 - x)];
    }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
};

int main() {
    if (Tessra_SelectBackend("gpu-please") != -1 || Tessra_SelectBackend("cpu") != 0) return 2;
    std::vector<std::string> messages;
    Tessra_SetMessageHandler(
        [](const char* text, const char*, void* user) { static_cast<std::vector<std::string>*>(user)->push_back(text); },
        &messages);
    TessraRendererCUDA* r = Tessra_InitRenderer();
    if (r->Render() != 0 || messages != std::vector<std::string>{"No lights, no fun.", "Error initializing the scene!"})
        return 3;
    Tessra_SetMessageHandler(nullptr, nullptr);
    Host host;
    r->callbacks = &host;
    r->width = r->height = 16;
    r->fieldOfView = 1.0f;
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 1;
    const int id = r->NuevoMaterial(m);
    const float tri[24] = {-3, -3, 0, 3, -3, 0, 0, 3, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    r->NuevoTriangulo(tri, id, false, 1.0f);
    r->NuevaLuzOmni(0, 0, 3, 1, 1, 1, 1, 0, 1);
    const float cam[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 4};
    for (int i = 0; i < 12; ++i) r->cameraMatrix[i] = cam[i];
    r->Render();
    std::printf("tessra %s centre %.3f\n", Tessra_Version(), host.centre);
    Tessra_DeleteRenderer(&r);
    if (r) return 4;
    Tessra_DeleteRenderer(&r);  // harmless
    return host.centre > 0.5f ? 0 : 1;
}
