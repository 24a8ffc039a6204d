#include "codec/range/context_model.h"

// Placeholder until the decoder lands: every image of this kind is refused.
namespace pqz {

void decodeContextModelPlane(ReaderState& st, int, int, int, uint8_t*, size_t) {
    st.damaged = true;
}

}  // namespace pqz
