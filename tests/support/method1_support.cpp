#include "tests/support/method1_support.h"

#include <cstring>

#include "codec/method1/method1_sample.h"

namespace pqz::test {

void setUpAllModels(Method1Decoder& d) {
    // Every model starts alike: copy the first one in doubling runs.
    ResidualSymbolModel* models = d.models;
    initResidualSymbolModel(models[0]);
    for (size_t done = 1; done < size_t(kMethod1Contexts);) {
        const size_t n = done < kMethod1Contexts - done ? done : kMethod1Contexts - done;
        std::memcpy(models + done, models, n * sizeof(ResidualSymbolModel));
        done += n;
    }
    std::memset(d.blockReady, 0xFF, 2 * sizeof(uint64_t) * kModelBlockWords);
}

uint8_t decodeSample(RangeDecoder& rc, Method1Decoder& d, const Method1Decoder* x,
                     const Method1Decoder* y, bool refuseWideSymbols) {
    formContext(d, x, y);
    const uint8_t v = finishSample<false>(rc, d, refuseWideSymbols);
    trainPending<false>(d);
    return v;
}

}  // namespace pqz::test
