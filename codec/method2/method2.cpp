#include "codec/method2/method2.h"

// Placeholder until the decoder lands: every image of this kind is refused.
namespace pqz {

void decodePlane8Method2(ReaderState& st, uint8_t*, int, int) { st.damaged = true; }
void decodePlaneMethod2(ReaderState& st, const ImageHeader&, uint8_t*, size_t) { st.damaged = true; }

}  // namespace pqz
