#include "reader/reader_handle.h"

#include "pipeline/reader_state.h"

namespace pqz {

void raiseError(int kind) {
    static const int32_t kExternal[] = {0, 0, 0, 5, 3, 4, 2, 6};
    ReaderHandle* h = readerState().currentHandle;
    if (!h) return;
    h->errorCode = (kind >= 0 && kind <= 7) ? kExternal[kind] : 0;
}

}  // namespace pqz
