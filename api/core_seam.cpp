#include "api/core_seam.h"

#include "pipeline/payload.h"
#include "pipeline/reader_state.h"

namespace pqz {

Status decodePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                     size_t payloadSize, const DecodeControl* /*control*/) {
    ReaderState& st = readerState();
    st.raisedError = 0;
    ImageHeader h = header;
    h.payloadSize = uint32_t(payloadSize);
    const bool ok = decodeLoadedPayload(st, &image, h, payload);
    if (st.raisedError == ERR_BAD_STREAM) return Status::MissingMarker;
    return ok ? Status::Ok : Status::DamagedStream;
}

}  // namespace pqz
