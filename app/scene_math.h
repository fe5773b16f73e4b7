// Small vector and matrix helpers (row-major 4x4) shared by the scene readers and the
// code that hands a scene to the renderer.
#pragma once

#include <cmath>

namespace tr::math {


struct V3 {
    float x, y, z;
};
inline V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 operator*(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline float length(V3 a) { return std::sqrt(dot(a, a)); }
inline V3 normalize(V3 a) {
    const float l = length(a);
    return l > 0 ? a * (1.0f / l) : a;
}

struct M4 {
    float m[16];
    static M4 identity() { return {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}; }
};
inline M4 operator*(const M4& a, const M4& b) {
    M4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += a.m[4 * i + k] * b.m[4 * k + j];
            r.m[4 * i + j] = s;
        }
    return r;
}
inline V3 point(const M4& a, V3 p) {
    return {a.m[0] * p.x + a.m[1] * p.y + a.m[2] * p.z + a.m[3], a.m[4] * p.x + a.m[5] * p.y + a.m[6] * p.z + a.m[7],
            a.m[8] * p.x + a.m[9] * p.y + a.m[10] * p.z + a.m[11]};
}
inline V3 vector(const M4& a, V3 v) {
    return {a.m[0] * v.x + a.m[1] * v.y + a.m[2] * v.z, a.m[4] * v.x + a.m[5] * v.y + a.m[6] * v.z,
            a.m[8] * v.x + a.m[9] * v.y + a.m[10] * v.z};
}
// Inverse transpose of the upper 3x3, for normals; the cofactor matrix has the same
// direction, which is all a normal needs.
inline V3 normalVector(const M4& a, V3 n) {
    const float* m = a.m;
    const V3 r0{m[0], m[1], m[2]}, r1{m[4], m[5], m[6]}, r2{m[8], m[9], m[10]};
    const V3 c0 = cross(r1, r2), c1 = cross(r2, r0), c2 = cross(r0, r1);
    // c0, c1, c2 are the columns of det * inverse, so the rows of det * inverse-transpose;
    // det < 0 flips the direction back.
    const float det = dot(r0, c0);
    V3 out{dot(c0, n), dot(c1, n), dot(c2, n)};
    if (det < 0) out = out * -1.0f;
    return normalize(out);
}
inline void store(float* out, V3 v) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}
// Orthonormal rows with row 2 = axis; row 1 follows the up hint where it can.
inline void frameRows(V3 axis, V3 upHint, float rows[9]) {
    const V3 a = normalize(axis);
    if (length(cross(upHint, a)) < 1e-4f) upHint = std::fabs(a.y) < 0.9f ? V3{0, 1, 0} : V3{0, 0, 1};
    const V3 r0 = normalize(cross(upHint, a));
    const V3 r1 = cross(a, r0);
    store(rows, r0);
    store(rows + 3, r1);
    store(rows + 6, a);
}

}  // namespace tr::math
