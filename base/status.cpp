#include "base/status.h"

namespace pqz {

const char* statusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::DamagedStream:
            return "damaged coded data";
        case Status::MissingMarker:
            return "coded stream without its opening marker";
        case Status::Unsupported:
            return "unsupported image layout";
        case Status::LimitExceeded:
            return "image or table beyond the decoder's limits";
        case Status::OutOfMemory:
            return "out of memory";
        case Status::Cancelled:
            return "cancelled";
    }
    return "unknown status";
}

}  // namespace pqz
