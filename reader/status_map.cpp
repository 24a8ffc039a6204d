#include "reader/status_map.h"

#include "reader/pqz2_read.h"

namespace pqz {

PublicEffect publicEffect(Status status) {
    switch (status) {
        case Status::Ok:
            return {PQZ_OK, false};
        case Status::MissingMarker:
            return {PQZ_ERR_BAD_STREAM, true};
        case Status::DamagedStream:
        case Status::Unsupported:
        case Status::LimitExceeded:
        case Status::OutOfMemory:
        case Status::Cancelled:
            break;
    }
    return {PQZ_OK, true};
}

}  // namespace pqz
