#include "pipeline/reader_state.h"

namespace pqz {

namespace {
thread_local ReaderState tlsState;
}

ReaderState& readerState() {
    return tlsState;
}

void raiseError(int kind) {
    tlsState.raisedError = kind;
}

}  // namespace pqz
