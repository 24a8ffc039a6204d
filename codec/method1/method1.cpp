#include "codec/method1/method1.h"

// Placeholder until the decoder lands: every image of this kind is refused.
namespace pqz {

void decodeMethod1Grey(ReaderState& st, uint8_t*, int, int) { st.damaged = true; }
void decodeMethod1Interleaved(ReaderState& st, const ImageHeader&, uint8_t*, size_t) { st.damaged = true; }

}  // namespace pqz
