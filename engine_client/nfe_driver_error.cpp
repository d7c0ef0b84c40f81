#include "engine_client/nfe_driver_error.h"

#include "engine_protocol/nfe_protocol.h"

namespace hbt {

uint32_t Win32ErrorFromStatus(uint32_t status) {
    switch (status) {
        case kStatusSuccess: return 0;
        case kStatusUnsuccessful: return 31;          // ERROR_GEN_FAILURE
        case kStatusInvalidParameter: return 87;      // ERROR_INVALID_PARAMETER
        case kStatusNoMemory: return 8;               // ERROR_NOT_ENOUGH_MEMORY
        case kStatusAccessDenied: return 5;           // ERROR_ACCESS_DENIED
        case kStatusBufferTooSmall: return 122;       // ERROR_INSUFFICIENT_BUFFER
        case kStatusObjectTypeMismatch: return 6;     // ERROR_INVALID_HANDLE
        case kStatusServerDisabled: return 1341;      // ERROR_SERVER_DISABLED
        case kStatusInvalidParameter1:
        case kStatusInvalidParameter2:
        case kStatusInvalidParameter3: return 87;     // ERROR_INVALID_PARAMETER
        case kStatusCancelled: return 995;            // ERROR_OPERATION_ABORTED
        case kStatusNoSuchRedirect: return 1376;      // ERROR_NO_SUCH_ALIAS
        case kStatusNotConfigured: return 1610;       // ERROR_BAD_CONFIGURATION
        case kStatusInvalidBufferSize: return 1784;   // ERROR_INVALID_USER_BUFFER
        case kStatusNotFound: return 1168;            // ERROR_NOT_FOUND
        case kStatusAlreadyStarted: return 1242;      // ERROR_ALREADY_REGISTERED
        default: return 317;                          // ERROR_MR_MID_NOT_FOUND: no translation
    }
}

}  // namespace hbt
