// Renders one lit triangle and prints the library version and the centre pixel.
#include <tessra.h>

#include <cstdio>

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
    Tessra_SelectBackend("cpu");
    TessraRendererCUDA* r = Tessra_InitRenderer();
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
    return host.centre > 0.5f ? 0 : 1;
}
