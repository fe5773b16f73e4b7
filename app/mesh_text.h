// Reading model files at disk speed: the whole file mapped read-only, and numbers parsed in
// place with std::from_chars, without locale or streams.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tr::meshtext {

// The file's bytes, mapped; empty files map to nothing. Throws SceneError naming the path.
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const char* begin() const { return data_; }
    const char* end() const { return data_ + size_; }
    size_t size() const { return size_; }

private:
    const char* data_ = nullptr;
    size_t size_ = 0;
};

inline bool isDigit(char c) { return unsigned(c - '0') < 10u; }
inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
inline bool isSpace(char c) { return isBlank(c) || c == '\n'; }
inline const char* skipBlanks(const char* p, const char* end) {
    while (p < end && isBlank(*p)) ++p;
    return p;
}
inline const char* skipToken(const char* p, const char* end) {
    while (p < end && !isSpace(*p)) ++p;
    return p;
}

// A real number as Assimp's fast_atof reads it, so that coordinates come out as they did
// through Assimp to the last bit (a correctly rounded conversion moves some by one unit in
// the last place, and the images with them): the integer digits to float, at most 15
// fraction digits scaled in double and added in float, then times powf(10, exponent).
// Accepts "nan" and "inf" and a comma as the decimal point, as Assimp does. Returns the
// end of the number, or nullptr when the text is no number.
inline const char* parseReal(const char* p, const char* end, float& out) {
    static const double kFraction[16] = {0.0,   1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                         1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};
    const char* c = p;
    const bool negative = c < end && *c == '-';
    if (c < end && (*c == '-' || *c == '+')) ++c;
    auto word = [&](const char* w) {
        for (int i = 0; i < 3; ++i)
            if (c + i >= end || (c[i] | 0x20) != w[i]) return false;
        return true;
    };
    if (word("nan")) {
        out = NAN;
        return c + 3;
    }
    if (word("inf")) {
        out = negative ? -INFINITY : INFINITY;
        c += 3;
        static const char rest[] = "inity";
        int i = 0;
        while (i < 5 && c + i < end && (c[i] | 0x20) == rest[i]) ++i;
        return i == 5 ? c + 5 : c;
    }
    auto point = [&](const char* q) { return q + 1 < end && (*q == '.' || *q == ',') && isDigit(q[1]); };
    if (!(c < end && isDigit(*c)) && !point(c)) return nullptr;
    float f = 0;
    if (c < end && isDigit(*c)) {
        uint64_t whole = 0;
        const std::from_chars_result r = std::from_chars(c, end, whole);
        if (r.ec != std::errc()) return nullptr;  // beyond 64 bits
        f = float(whole);
        c = r.ptr;
    }
    if (point(c)) {
        const char* digits = ++c;
        while (c < end && isDigit(*c)) ++c;
        const ptrdiff_t n = std::min<ptrdiff_t>(c - digits, 15);
        uint64_t fraction = 0;
        std::from_chars(digits, digits + n, fraction);
        f += float(double(fraction) * kFraction[n]);
    } else if (c < end && *c == '.') {
        ++c;
    }
    if (c < end && (*c == 'e' || *c == 'E')) {
        ++c;
        const bool down = c < end && *c == '-';
        if (c < end && (*c == '-' || *c == '+')) ++c;
        uint64_t e = 0;
        const std::from_chars_result r = std::from_chars(c, end, e);
        if (r.ec != std::errc()) return nullptr;
        c = r.ptr;
        const float exponent = down ? -float(e) : float(e);
        f *= std::pow(10.0f, exponent);
    }
    out = negative ? -f : f;
    return c;
}

}  // namespace tr::meshtext
