#include "codec/method1/magnitude_models.h"

#include <cstdlib>

namespace pqz {

bool initModelTables(ReaderState& st, int method) {
    releaseModelTables(st);
    st.rateFloor = method == 2 ? 8 : 16;
    st.treeStep = method == 2 ? 8 : 64;
    auto* table = static_cast<MagnitudeModel*>(
        std::malloc(sizeof(MagnitudeModel) * kMagnitudeContexts));
    if (!table) return false;
    static const uint16_t kClassCounts[8] = {205, 124, 147, 83, 48, 16, 8, 4};
    MagnitudeModel first;
    first.total = 635;
    first.rate = static_cast<uint16_t>(24 * st.rateFloor);
    for (int i = 0; i < 8; i++) first.classCount[i] = kClassCounts[i];
    for (auto& n : first.node) {
        n[0] = 60;
        n[1] = 36;
    }
    for (int i = 0; i < kMagnitudeContexts; i++) table[i] = first;
    st.magnitudeTable = table;
    return true;
}

void releaseModelTables(ReaderState& st) {
    std::free(st.magnitudeTable);
    st.magnitudeTable = nullptr;
}

}  // namespace pqz
