#include "codec/method1/method1.h"

#include "codec/method1/method1_decoder.h"
#include "codec/method1/method1_sample.h"
#include "codec/range/range_decoder.h"

namespace pqz {

namespace {

// Starts the plane's coded stream, which also sets up the shared magnitude models. False when
// the stream cannot be decoded (no magnitude models, or damage found earlier).
bool startStream(ReaderState& st) {
    rangeStart(st);
    return !st.damaged && st.magnitudeTable;
}

}  // namespace

void decodeMethod1Grey(ReaderState& st, uint8_t* out, int width, int height) {
    Method1Decoder d;
    if (!createMethod1Decoder(d, width, height, 0, st.tolerance)) {
        st.damaged = true;
        return;
    }
    if (startStream(st)) {
        for (int y = 0; y < height && !st.damaged; y++) {
            beginRow(d);
            if (width > 0) beginSample<0>(d, nullptr, nullptr);
            for (int x = 0; x < width; x++) {
                *out++ = finishSample<true>(st, d, false);
                if (x + 1 < width) beginSample<0>(d, nullptr, nullptr);
                trainPending<true>(st, d);
            }
        }
    }
    rangeFinish(st);
    destroyMethod1Decoder(d);
}

void decodeMethod1Interleaved(ReaderState& st, const ImageHeader& header, uint8_t* out,
                              size_t outSize) {
    const int planes = st.planeCount;
    const int width = header.width, height = header.height;
    // Only three and four planes of a pixel have a decoding (two planes, or more than four,
    // have no defined contexts), and the pixels must fit the output.
    if ((planes != 3 && planes != 4) || size_t(width) * height * planes > outSize) {
        st.damaged = true;
        return;
    }
    // Each decoding slot writes its own byte of the pixel.
    int position[4] = {};
    bool taken[4] = {};
    for (int k = 0; k < planes; k++) {
        position[k] = st.orderMap[k];
        if (position[k] >= planes || taken[position[k]]) {
            st.damaged = true;
            return;
        }
        taken[position[k]] = true;
    }
    const PlaneDescriptor* desc[4];
    for (int k = 0; k < planes; k++) desc[k] = &st.planeTable[position[k]];
    // The fourth slot's correction reads the three bytes in front of its byte in the pixel.
    if (planes == 4 && desc[3]->hasReference() && position[3] < 3) {
        st.damaged = true;
        return;
    }

    Method1Decoder d[4];
    for (int i = 0; i < planes; i++) {
        if (!createMethod1Decoder(d[i], width, height, i, st.tolerance)) {
            for (int j = 0; j < i; j++) destroyMethod1Decoder(d[j]);
            st.damaged = true;
            return;
        }
    }
    if (startStream(st)) {
        const int p0 = position[0], p1 = position[1], p2 = position[2], p3 = position[3];
        uint8_t* px = out;
        for (int y = 0; y < height && !st.damaged; y++) {
            for (int i = 0; i < planes; i++) beginRow(d[i]);
            if (width > 0) beginSample<0>(d[0], nullptr, nullptr);
            // Every sample's training follows the formation of the next sample's context.
            for (int x = 0; x < width; x++, px += planes) {
                px[p0] = finishSample<false>(st, d[0], true);
                beginSample<1>(d[1], &d[0], nullptr);
                trainPending<false>(st, d[0]);

                const int v1 = finishSample<false>(st, d[1], true);
                px[p1] =
                    desc[1]->hasReference() ? uint8_t(v1 + px[p0] + desc[1]->offset) : uint8_t(v1);
                beginSample<2>(d[2], &d[1], &d[0]);
                trainPending<false>(st, d[1]);

                const int v2 = finishSample<false>(st, d[2], true);
                if (desc[2]->hasReference()) {
                    const int32_t* c = desc[2]->coef;
                    const int ref = (px[p0] * c[0] + px[p1] * c[1] + 40) >> 7;
                    px[p2] = uint8_t(v2 + desc[2]->offset + ref);
                } else {
                    px[p2] = uint8_t(v2);
                }
                Method1Decoder* last = &d[2];

                if (planes == 4) {
                    beginSample<2>(d[3], &d[2], &d[1]);
                    trainPending<false>(st, d[2]);
                    const int v3 = finishSample<false>(st, d[3], true);
                    if (desc[3]->hasReference()) {
                        const int32_t* c = desc[3]->coef;
                        const uint8_t* front = px + p3 - 3;
                        const int ref =
                            (front[0] * c[0] + front[1] * c[1] + front[2] * c[2] + 64) >> 7;
                        px[p3] = uint8_t(v3 + desc[3]->offset + ref);
                    } else {
                        px[p3] = uint8_t(v3);
                    }
                    last = &d[3];
                }
                if (x + 1 < width) beginSample<0>(d[0], nullptr, nullptr);
                trainPending<false>(st, *last);
            }
        }
    }
    rangeFinish(st);
    for (int i = 0; i < planes; i++) destroyMethod1Decoder(d[i]);
}

}  // namespace pqz
