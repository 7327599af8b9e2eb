// The CAPI access layer in one include: driver binding and registration, the connection
// table and its requests, the message dispatch and worker, the log and value texts.
#pragma once

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/connections.h"
#include "capi/dispatch.h"
#include "capi/target.h"
