// Method-2 test encoder: prediction of one sample and its coding contexts.
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "tests/encoder/method2_encoder_core.h"

namespace pqz::enc::m2 {

namespace {

const float kBlend[4][6] = {
    {0.4f, 0.1f, 0.15f, 0.23f, 0.04f, 0.03f},
    {0.26f, 0.23f, 0.13f, 0.12f, 0.15f, 0.12f},
    {0.27f, 0.22f, 0.26f, 0.08f, 0.12f, 0.05f},
    {0.3f, 0.14f, 0.08f, 0.22f, 0.18f, 0.09f},
};

const int32_t kThreshold[6][13] = {
    {6, 14, 28, 4, 8, 26, 4096, 6144, 13056, 10240, 14336, 26624, 36864},
    {4, 15, 42, 1, 8, 19, 2560, 6912, 11264, 10240, 28672, 71680, 139264},
    {5, 14, 21, 4, 9, 25, 3840, 8448, 12032, 16384, 26624, 43008, 83968},
    {6, 11, 20, 5, 11, 23, 2816, 5888, 10496, 22528, 32768, 51200, 131072},
    {0, 11, 30, 7, 13, 22, 4352, 8448, 14848, 16384, 38912, 57344, 94208},
    {7, 10, 31, -1, 11, 21, -256, 1024, 5888, -2048, -2048, -2048, 145408},
};

// Sub-context of the activity sum >> 3.
struct ActivityClasses {
    uint8_t c[120];
    ActivityClasses() {
        const int t[14] = {4, 6, 8, 11, 14, 17, 21, 25, 30, 37, 45, 55, 67, 87};
        for (int i = 0; i < 120; i++) {
            int n = 0;
            for (int v : t) n += v < i;
            c[i] = uint8_t(n);
        }
    }
};
const ActivityClasses kActivity;

// Bit j of the 32-bit value of an exact sum, in place.
inline uint32_t bitOf(int64_t v, int j) {
    return uint32_t(uint64_t(v)) & (1u << j);
}
inline int count3(int32_t v, int32_t a, int32_t b, int32_t c) {
    return (v > a) + (v > b) + (v > c);
}

int32_t directionalEstimate(PlaneCoder& d, const Slot* nb[6], int cls) {
    Slot& s = d.slots[d.cur];
    float base = dot(d.tab.fixedWeight, d.X);
    d.base = base;
    for (int i = 0; i < kInputs; i++) d.X[i] = d.X[i] - base;
    const float* k = kBlend[cls];
    float b[kInputs];
    for (int i = 0; i < kInputs; i++)
        b[i] = ((((k[0] * nb[0]->w[i] + k[1] * nb[1]->w[i]) + k[2] * nb[2]->w[i]) +
                 k[3] * nb[3]->w[i]) +
                k[4] * nb[4]->w[i]) +
               k[5] * nb[5]->w[i];
    float blend = dot(b, d.X) + base;
    d.blend = blend;
    if (s.useCount == 0) {
        const Slot& left = *nb[0];
        for (int i = 0; i < kInputs; i++) {
            s.w[i] = b[i] * 0.78f;
            s.pw[i] = left.pw[i] * 0.19f;
        }
        s.mixNum = 47.0f;
        s.mixDen = 169.2f;
        s.stepScale = 1.0f;
        d.own = blend;
        return truncToInt(blend);
    }
    float own = base + dot(s.w, d.X);
    d.own = own;
    return truncToInt(blend + ((own - blend) * s.mixNum) / s.mixDen);
}

// Look-back training of a reused slot on the left sample, with the inputs of that sample.
void trainOnLeft(PlaneCoder& d, Slot& s) {
    float r = dot(s.w, d.X) + d.base;
    float e = (float(d.C(-1).v) - r) * 2.1f;
    float reg = 7744.0f * s.stepScale;
    for (int i = 0; i < kInputs; i++) {
        s.pw[i] = s.pw[i] + (d.X[i] * d.X[i] - s.pw[i]) * 0.023f;
        s.w[i] = ((d.tab.stepSize[i] * e) * d.X[i]) / (s.pw[i] + reg) + s.w[i];
    }
}

// Features of a single plane, or of the current plane of a multi-plane image.
void features(PlaneCoder& d, PlaneCoder* r1, PlaneCoder* r2) {
    int x[kInputs];
    x[0] = d.U1(0).a;
    x[1] = d.U1(1).a;
    x[2] = d.U1(0).a - d.U1(-1).a + d.C(-1).a;
    x[3] = d.U1(0).a - d.U1(-2).a + d.C(-2).a;
    x[4] = d.U1(0).a + d.U1(-1).a - d.U2(-1).a;
    x[5] = d.U3(0).a - 3 * (d.U2(0).a - d.U1(0).a);
    x[6] = d.U1(2).a - d.U1(1).a + d.C(-1).a;
    x[7] = d.U1(1).a - d.U1(-1).a + d.C(-2).a;
    x[8] = 2 * d.C(-1).a - d.C(-2).a;
    x[9] = d.U1(0).a - d.U1(-3).a + d.C(-3).a;
    x[10] = d.U1(1).a + d.U2(0).a - d.U3(1).a;
    x[11] = d.C(-3).a;
    x[12] = d.U1(0).a + d.U1(-2).a - d.U2(-2).a;
    x[13] = d.U1(-1).a - d.U1(-3).a + d.C(-2).a;
    x[14] = ((d.U1(0).a + d.U1(2).a) >> 1) + d.U1(1).a - d.U2(2).a;
    x[15] = d.U3(0).a;
    const int quarterDiff = (((d.U1(2).v - d.U1(0).v) - (d.U3(2).v - d.U3(0).v)) >> 1) - d.U3(1).v;
    if (!r1) {
        x[16] = d.U1(0).v + d.U1(3).v - d.U2(3).v;
        x[17] = d.U1(0).v - d.U1(-4).v + d.C(-4).v;
        x[18] = (3 * d.U1(1).v + d.U2(0).v - 4 * d.U2(1).v) - quarterDiff;
        x[19] = d.U1(1).v + d.U2(-1).v - d.U3(0).v;
        x[20] = d.U1(0).v + d.U3(1).v - d.U4(1).v;
        x[21] = d.U1(3).v;
        x[22] = d.C(-1).v + d.C(-3).v - d.C(-4).v;
        x[23] = d.U3(0).v - d.U3(-1).v + d.C(-1).v;
        x[24] = d.U1(0).v - d.U1(-5).v + d.C(-5).v;
        x[25] = d.U4(0).v;
        x[26] = d.C(-1).v + d.C(-5).v - d.C(-6).v;
        x[27] = d.U1(-6).v;
    } else {
        PlaneCoder& A = *r1;
        PlaneCoder& B = *r2;
        if (d.planeIndex == 0) {
            x[16] = d.C(-1).v + d.C(-3).v - d.C(-4).v;
            x[17] = d.U1(0).v - d.U1(-5).v + d.C(-5).v;
            x[18] = d.U1(0).v - d.U1(-4).v + d.C(-4).v;
            x[19] = (3 * d.U1(1).v + d.U2(0).v - 4 * d.U2(1).v) - quarterDiff;
            x[20] = A.C(-1).v - A.C(-3).v + d.C(-2).v;
            x[21] = A.U1(0).v - A.U2(1).v + d.U1(1).v;
            x[22] = A.U1(1).v - A.U2(-1).v + d.U1(-2).v;
            x[23] = (A.C(-1).v + A.C(-3).v - d.C(-2).v) + 2 * (d.C(-1).v - A.C(-2).v);
            x[24] = B.C(-1).v - B.U2(0).v + d.U2(1).v;
            x[25] = B.C(-1).v - B.C(-3).v + d.C(-2).v;
            x[26] = B.U1(0).v - B.U1(-1).v + d.C(-1).v;
            x[27] = B.U1(1).v - B.U2(2).v + d.U1(1).v;
        } else if (d.planeIndex == 1) {
            x[16] = d.U1(3).a + d.C(0).a;
            x[17] = A.U1(1).v - A.U1(-1).v + d.C(-2).v;
            x[18] = A.C(-2).v - A.U1(-1).v + d.U1(1).v;
            x[19] = A.U1(-1).v - A.U1(-2).v + d.C(-1).v;
            x[20] = B.U1(1).v - B.U2(2).v + d.U1(1).v;
            x[21] = B.C(-1).v - B.C(-3).v + d.C(-2).v;
            x[22] = B.C(-1).v - B.U1(-1).v + d.U1(0).v;
            x[23] = A.C(-1).err + d.C(-2).v;
            if (!d.hasRef) {
                x[24] = A.C(-1).v - A.C(-3).v + d.C(-2).v;
                x[25] = A.C(-1).v - A.U2(-1).v + d.U2(0).v;
                x[26] = (A.C(-1).v + A.U2(-1).v - d.U2(0).v) + 2 * (d.U1(0).v - A.U1(-1).v);
                x[27] = A.C(-1).v - A.C(-2).v - A.U1(-2).v + A.U1(-3).v + d.U1(-1).v - d.U1(-2).v +
                        d.C(-1).v;
            } else {
                x[24] = d.U1(0).v;
                x[25] = d.C(-3).v;
                x[26] = A.C(-2).v - A.C(-3).v + d.C(-1).v;
                x[27] = d.C(-1).v + d.C(-3).v - d.C(-4).v;
            }
        } else {
            x[16] = d.C(-1).v + d.C(-3).v - d.C(-4).v;
            x[17] = A.C(-2).v - A.C(-3).v + d.C(-1).v;
            x[18] = A.U1(-1).v - A.U2(0).v + d.U1(1).v;
            x[19] = A.U1(1).v - A.U1(-1).v + d.C(-2).v;
            x[20] = A.C(-3).v - A.U1(-3).v + d.U1(0).v;
            x[21] = A.C(-1).v - A.U1(-1).v + d.U1(0).v;
            x[22] = A.C(-1).v - A.C(-3).v + d.C(-2).v;
            x[23] = B.C(-1).v - B.C(-3).v + d.C(-2).v;
            x[24] = B.C(-1).v - B.U2(-1).v + d.U2(0).v;
            x[25] = (B.C(-1).v + B.C(-3).v - d.C(-2).v) + 2 * (d.C(-1).v - B.C(-2).v);
            x[26] = B.C(-1).err + d.C(-2).v;
            x[27] = A.C(-1).err + d.U2(0).v;
        }
    }
    for (int i = 0; i < kInputs; i++) d.X[i] = float(x[i]);
    if (r1 && d.hasRef) {
        float ref = float(d.C(0).a);
        for (int i = 0; i < 16; i++) d.X[i] = d.X[i] + ref;
    }
}

// Bias cascade: five stages, each adding the bias of a cell chosen by a 15-bit index.
int32_t biasCascade(PlaneCoder& d, PlaneCoder* r1, PlaneCoder* r2, int32_t g1) {
    const bool multi = r1 != nullptr;
    int32_t near = d.U1(0).absErr + d.C(-1).absErr;
    if (multi) near += (r1->C(-1).absErr + r2->C(-1).absErr) >> 1;
    const int32_t a0sum = d.C(-1).absErr + near + d.C(-2).absErr + d.C(-3).absErr + d.C(-4).absErr +
                          d.U1(-1).absErr + d.U1(3).absErr;
    const int32_t bx = (g1 + 512 * near) >> 13;
    const int64_t a0 = d.C(0).a;

    auto stage = [&](int s, uint32_t word, int32_t p) {
        int idx = int(word >> 11);
        d.stageCell[s] = idx;
        const Cell& c = d.cells[size_t(s) * kCellsPerStage + idx];
        int32_t bias = (int32_t(c.sum) + (1 << (c.shift - 1))) >> c.shift;
        int32_t next = w32(int64_t(p) + bias);
        d.stagePred[s] = next;
        d.stageBias[s] = bias;
        return next;
    };

    // Stage 0 on the directional estimate.
    int32_t p = d.directional;
    uint32_t w = uint32_t(count3(a0sum, 240, 400, 752)) << 11 | uint32_t(count3(p, 288, 720, 3536))
                                                                    << 13;
    w |= bitOf(d.C(-3).err, 15) | bitOf(d.C(-1).err, 16) |
         bitOf(int64_t(d.C(-7).err) + d.C(-5).err + d.C(-3).err + d.U1(-3).err, 17) |
         bitOf(int64_t(d.C(-2).err) + 2 * d.C(-4).err + d.U3(0).err, 18) |
         bitOf(int64_t(d.C(-1).err) + d.U1(-1).err + d.U1(0).err + d.U1(1).err, 19);
    if (!multi) {
        w |= bitOf(d.C(-7).err, 20) | bitOf(d.C(-5).err, 21) | bitOf(d.C(-4).err, 22) |
             bitOf(int64_t(d.C(-6).err) + d.C(-4).err, 23) |
             bitOf(int64_t(d.C(-8).err) + d.C(-4).err + d.U2(0).err + d.U2(1).err, 24) |
             bitOf(int64_t(d.C(-5).err) + d.C(-7).err + d.C(-3).err + d.U1(3).err, 25);
    } else {
        w |= bitOf(d.C(-2).err, 20) | bitOf(int64_t(r1->C(-1).err) + r1->C(-3).err, 21) |
             bitOf(int64_t(r2->C(-1).err) + r2->C(-3).err, 22) | bitOf(r1->C(-2).err, 23) |
             bitOf(r2->C(-1).err, 24) | bitOf(r2->C(-2).err, 25);
    }
    p = stage(0, w, p);

    // Stage 1.
    int64_t q = p;
    if (!multi) {
        w = uint32_t(count3(bx, 11, 24, 39)) << 11 | uint32_t(count3(p, 240, 1024, 2400)) << 13;
        w |= bitOf(q - d.C(-5).v, 15) | bitOf(q - d.U4(-3).v, 16) | bitOf(q - d.U4(2).v, 17) |
             bitOf(q - d.U4(4).v, 18) | bitOf(q - d.U1(5).v, 19) |
             bitOf((q - d.C(-2).v) + (d.U1(0).v - d.U1(2).v), 20) |
             bitOf((q - d.U1(-1).v) + (d.U4(-1).v - d.U3(0).v), 21) |
             bitOf((q - d.U2(1).v) + (d.U4(3).v - d.U2(2).v), 22) |
             bitOf((d.U1(2).v - d.U1(5).v) + (q - d.C(-3).v), 23) |
             bitOf((q - d.C(-3).v) + (d.U1(-5).v - d.U1(-2).v), 24) |
             bitOf((q - d.U1(4).v) + (d.U4(4).v - d.U3(0).v), 25);
    } else {
        PlaneCoder& A = *r1;
        PlaneCoder& B = *r2;
        w = uint32_t(count3(bx, 10, 24, 55)) << 11 | uint32_t(count3(p, 144, 1056, 2256)) << 13;
        w |= bitOf(d.C(-5).v - q, 15) | bitOf(d.U4(4).v - q, 16) | bitOf(d.U1(5).v - q, 17) |
             bitOf((A.C(-1).a - A.U1(1).a - q) + (d.U1(2).a + a0), 18) |
             bitOf(A.C(-1).a - A.U2(-2).a - q + a0 + d.U2(-1).a, 19) |
             bitOf(B.C(-1).a - B.C(-2).a - q + d.C(-1).a + a0, 20) |
             bitOf(B.U1(1).a - B.U2(1).a - q + d.U1(0).a + a0, 21) | bitOf(d.C(-5).a - q + a0, 22) |
             bitOf((d.C(-3).a - q + a0) - (d.U1(2).a - d.U1(5).a), 23) |
             bitOf(int64_t(A.U1(-1).a) + A.U2(-1).a - 2 * A.C(-1).a, 24) |
             bitOf(A.C(-1).v - A.C(-2).v - q + d.C(-1).v, 25);
    }
    p = stage(1, w, p);

    // Stage 2.
    q = p;
    if (!multi) {
        w = uint32_t(count3(bx, 13, 25, 58)) << 11 | uint32_t(count3(p, 688, 1216, 2464)) << 13;
        w |= bitOf(q - d.C(-2).v, 15) | bitOf(q - d.U3(-2).v, 16) | bitOf(q - d.U4(0).v, 17) |
             bitOf(d.U3(1).v - q, 18) | bitOf(q - d.U4(3).v, 19) |
             bitOf(q + d.C(-2).v - 2 * d.C(-1).v, 20) |
             bitOf((d.U3(0).v - d.U1(0).v) + (q - d.U2(0).v), 21) |
             bitOf((q - d.U2(0).v) + (d.U3(1).v - d.U1(1).v), 22) |
             bitOf((q - d.U1(3).v) + (d.U3(2).v - d.U2(-1).v), 23) |
             bitOf((d.U4(0).v + q) - (d.U2(-2).v + d.U2(2).v), 24) |
             bitOf(3 * (d.U2(0).v - d.U1(0).v) + q - d.U3(0).v, 25);
    } else {
        PlaneCoder& A = *r1;
        PlaneCoder& B = *r2;
        w = uint32_t(count3(bx, 4, 12, 33)) << 11 | uint32_t(count3(p, 640, 1280, 2576)) << 13;
        w |= bitOf(208 - B.C(-1).v, 15) | bitOf(d.C(-2).v - q, 16) | bitOf(d.U2(0).v - q, 17) |
             bitOf(2 * d.C(-1).v - q - d.C(-2).v, 18) | bitOf(2 * d.U1(0).v - q - d.U2(0).v, 19) |
             bitOf(2 * d.C(-1).a - q - d.C(-2).a + a0, 20) |
             bitOf(d.U1(-1).v - A.U1(-2).v + A.C(-1).v - q, 21) |
             bitOf(d.U2(0).v - A.U2(-1).v + A.C(-1).v - q, 22) |
             bitOf(d.U2(0).v - B.U2(-1).v + B.C(-1).v - q, 23) |
             bitOf((d.C(-1).a - q + a0) - (d.U1(0).a - d.U1(1).a), 24) |
             bitOf((d.U1(-1).a - q + a0) - (d.U2(0).a - d.U1(1).a), 25);
    }
    p = stage(2, w, p);

    // Stage 3 (the same with and without reference planes).
    q = p;
    const int64_t h = uint32_t(d.U1(0).a + d.U1(-1).a + d.U1(2).a + d.U1(1).a) >> 1;
    w = uint32_t(count3(bx, 9, 19, 37)) << 11 | uint32_t(count3(p, 592, 1568, 2896)) << 13;
    w |= bitOf(q - d.C(-3).v, 15) | bitOf((q - d.C(-1).a) - a0, 16) |
         bitOf((2 * q - d.U1(0).a) - (a0 + d.U1(0).v), 17) | bitOf(q - d.U3(0).v, 18) |
         bitOf((q - a0) - d.U2(1).a, 19) | bitOf(q - d.U1(3).v, 20) |
         bitOf((q - d.U1(0).a) + (d.U1(-2).a - d.C(-2).v), 21) |
         bitOf(2 * d.U1(1).v - q - d.U2(2).v, 22) |
         bitOf((q - d.U1(-1).v) + (d.U2(-3).v - d.U1(-2).v), 23) |
         bitOf((q - a0) + (d.U2(1).a - h), 24) |
         bitOf((q - d.C(-3).v) + 3 * (d.C(-2).v - d.C(-1).v), 25);
    p = stage(3, w, p);

    // Stage 4.
    q = p;
    const int64_t h4 = uint32_t(d.U1(-1).v + d.U1(1).v + 2 * d.U1(0).v) >> 2;
    w = uint32_t(count3(bx, 10, 21, 39)) << 11 | uint32_t(count3(p, 368, 1952, 3056)) << 13;
    w |= bitOf((q - d.C(-4).a) - a0, 15) | bitOf((q - a0) - d.U1(-2).a, 16) |
         bitOf((q - a0) - d.U1(4).a, 17) | bitOf((q - d.C(-1).v) - (d.U1(0).v - d.U1(-1).v), 18) |
         bitOf((q - a0) + d.U2(0).a - 2 * d.U1(0).a, 19) |
         bitOf(q + d.U2(-2).v - 2 * d.U1(-1).v, 20) |
         bitOf((d.U3(0).v + q - a0) - (d.U2(-1).a + d.U1(1).v), 21) |
         bitOf(((q - d.C(-3).a) - a0) - (d.U1(0).v - d.U1(-3).v), 22) |
         bitOf((q - 2 * d.C(-2).a) - (a0 - d.C(-4).a), 23) |
         bitOf((d.U3(0).v + q - d.C(-2).v) - (a0 + d.U3(2).a), 24) | bitOf(q - h4, 25);
    return stage(4, w, p);
}

}  // namespace

int32_t truncToInt(float f) {
#if defined(__x86_64__)
    return _mm_cvttss_si32(_mm_set_ss(f));
#else
    return f >= -2147483648.0f && f < 2147483648.0f ? int32_t(f) : INT32_MIN;
#endif
}

int predict(PlaneCoder& d, PlaneCoder* r1, PlaneCoder* r2, const int32_t gradBias[4]) {
    const bool multi = r1 != nullptr;

    // Gradient sums.
    const int32_t g0 = 14 * d.C(-2).gUL + 23 * d.C(-1).gUL + 20 * d.U1(0).gUL + 22 * d.U1(1).gUL +
                       16 * d.U1(2).gUL + 12 * d.U1(3).gUL + 21 * d.U2(-1).gUL + gradBias[0];
    const int32_t g1 = 19 * d.C(-2).gUR + 22 * d.C(-1).gUR + 9 * d.U1(-1).gUR + 25 * d.U1(0).gUR +
                       15 * d.U1(1).gUR + 21 * d.U1(2).gUR + 17 * d.U2(-2).gUR + gradBias[1];
    const int32_t g2 = 19 * d.C(-2).gL + 22 * d.C(-1).gL + 16 * d.U1(-1).gL + 18 * d.U1(0).gL +
                       21 * d.U1(1).gL + 15 * d.U1(2).gL + 17 * d.U1(3).gL + gradBias[2];
    const int32_t g3 = 15 * (d.U2(0).gU + d.U3(0).gU) + 17 * d.C(-2).gU + 25 * d.C(-1).gU +
                       19 * d.U1(0).gU + 23 * d.U1(1).gU + 14 * d.U1(3).gU + gradBias[3];
    const int32_t gsum = g0 + g1 + g3 + g2;

    // Predictor context.
    const int32_t h2 = 8 * g2;
    const int k = (2 * g3 < h2) + (5 * g3 < h2) + (9 * g3 < h2) + (17 * g3 < h2) + (43 * g3 < h2);
    const int32_t* t = kThreshold[k];
    const int32_t P = 2 * d.C(-2).v + 2 * d.C(-1).v;
    const int32_t Q = d.U1(0).v + 2 * d.C(-1).v + d.U1(1).v;
    const int32_t R = 16 * (d.U2(-1).v + d.U2(0).v + d.U2(2).v + d.U1(1).v);
    const int32_t h1 = 16 * g1;
    const int context = 320 * k +
                        64 * ((t[9] < gsum) + (t[10] < gsum) + (t[11] < gsum) + (t[12] < gsum)) +
                        16 * ((t[6] < Q) + (t[7] < Q) + (t[8] < Q)) +
                        4 * ((t[3] * g0 < h1) + (t[4] * g0 < h1) + (t[5] * g0 < h1)) +
                        ((t[0] * P < R) + (t[1] * P < R) + (t[2] * P < R));

    // Slot of the context: a new one, or a reused one trained on the left sample first.
    int s = d.slotOfContext[context];
    if (s == 0) {
        s = ++d.slotCount;
        if (s >= kSlotLimit) d.slotOverflow = true;
        d.slotOfContext[context] = int16_t(s);
        d.cur = s;
    } else {
        d.cur = s;
        trainOnLeft(d, d.slots[s]);
    }

    features(d, r1, r2);

    // Direction class: the smallest weighted gradient, earlier classes winning ties.
    int cls = 0;
    int32_t m = 16 * g2;
    if (14 * g3 < m) cls = 1, m = 14 * g3;
    if (13 * g1 < m) cls = 2, m = 13 * g1;
    if (11 * g0 < m) cls = 3;

    const std::vector<int>& ra = d.slotRow[d.rowA];
    const std::vector<int>& rb = d.slotRow[d.rowA ^ 1];
    const Slot* nb[6] = {&d.slots[ra[d.curA - 1]], &d.slots[rb[d.curB + 1]],
                         &d.slots[rb[d.curB + 2]], &d.slots[ra[d.curA - 2]],
                         &d.slots[rb[d.curB]],     &d.slots[ra[d.curA]]};
    d.directional = directionalEstimate(d, nb, cls);

    const int32_t F = biasCascade(d, r1, r2, g1);

    // Coding contexts.
    int act = d.U2(-3).m + d.U2(-2).m + d.U2(3).m + d.U2(4).m + d.U2(5).m + d.U4(-2).m +
              d.U3(-2).m + d.U3(-1).m + d.U3(1).m + d.U3(2).m + d.C(-5).m + d.C(-4).m + d.U4(-1).m +
              d.U4(0).m + d.U4(1).m + d.U4(2).m + d.C(-8).m + 8 * d.C(-1).m + d.C(-7).m +
              d.C(-6).m + 7 * d.U1(0).m + 6 * d.U1(1).m + 3 * (d.U2(1).m + d.U1(2).m) + d.U1(-4).m +
              d.U1(-3).m + d.U1(4).m + d.U1(5).m + 4 * (d.U2(0).m + d.C(-2).m + d.U1(-1).m) +
              2 * (d.U2(2).m + d.U2(-1).m + d.U3(0).m + d.C(-3).m + d.U1(3).m + d.U1(-2).m);
    if (multi)
        act += (r1->U1(-1).m + r2->U1(-1).m) + 4 * (r1->C(-1).m + r2->C(-1).m) +
               2 * (r1->C(-2).m + r2->C(-2).m);
    const int sub = act < 960 ? kActivity.c[act >> 3] : 15;
    int pred = w32(int64_t(F) + 7) >> 4;
    pred = pred < 0 ? 0 : pred > 255 ? 255 : pred;
    d.magCtx[0] = sub + d.magBase[pred + 4];
    d.magCtx[1] = d.magBase[pred] + sub;

    const int lo = d.digitLow, hi = d.digitHigh;
    auto cls3 = [&](int64_t v) { return (w32(v) < lo) + (w32(v) <= hi); };
    auto inside = [&](int64_t v) { return w32(v) >= lo && w32(v) <= hi; };
    d.digit[0] = (F < 272) + (F < 1840);
    d.digit[1] = cls3(int64_t(F) - d.U1(0).v);
    d.digit[2] = cls3(int64_t(F) - d.C(-1).v);
    d.digit[3] = d.U1(0).sc;
    d.digit[4] = d.C(-1).sc;
    int vertical = d.C(0).m + d.U1(0).m + d.U2(0).m + d.U3(0).m + d.U4(0).m;
    int horizontal = d.C(-5).m + d.C(-4).m + d.C(-3).m + d.C(-2).m + d.C(-1).m;
    if (multi) {
        PlaneCoder& A = *r1;
        PlaneCoder& B = *r2;
        horizontal = d.C(-2).m + d.C(-1).m + A.C(-1).m + A.C(-2).m + A.C(-3).m + B.C(-1).m +
                     B.C(-2).m + B.C(-3).m;
        if (!d.hasRef)
            vertical = d.U1(0).m + d.U2(0).m + A.U2(-1).m + B.U2(-1).m + A.C(-1).m + B.C(-1).m +
                       A.U1(-1).m + B.U1(-1).m;
        else
            vertical = inside(int64_t(F) - d.U1(0).a - d.C(0).a) ||
                       inside(int64_t(F) - d.C(-1).a - d.C(0).a);
        if (d.planeIndex == 1) {
            d.digit[3] = cls3(A.C(-1).v - A.U1(-1).v);
            d.digit[4] = cls3(A.C(-1).v - A.C(-2).v);
        } else if (d.planeIndex >= 2) {
            d.digit[3] = cls3(B.C(-1).v - B.U1(-1).v);
            d.digit[4] = cls3(B.C(-1).v - B.C(-2).v);
            horizontal = inside(A.C(-1).v - A.U1(-1).v) || inside(A.C(-1).v - A.C(-2).v);
        }
    }
    int index = 16 * (horizontal == 0) + 32 * (vertical == 0) + sub;
    for (int f = 0; f < 5; f++) index += d.digit[f] * kFeatureUnit[f];
    d.ternaryIndex = index;
    return pred;
}

}  // namespace pqz::enc::m2
