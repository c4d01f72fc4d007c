// The receive callback that Open registers for every port, and the send-path flush that Write
// runs after certain send failures. Internal to the library: neither is exported.
#pragma once

#include <cstdint>

#include "platform/WinApiClone.h"
#include "service/DCXServiceAPI.h"

// Service callback (DCX_CALLBACK) on the service's thread; the context is the port object.
// Stores each received block whole in the port's ring, or records the overflow; always 0.
uint32_t callbackRead(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                      uint8_t* bytes, void* context);

// Cancels the pending send and resumes sending: 0, or DCX_ERR_NOT_AVAILABLE (nothing called)
// when either function is missing from the library.
DCXRESULT DCXFlushSend(const DCXFunctions& dcx, void* portHandle, uint32_t value);
