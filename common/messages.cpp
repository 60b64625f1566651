#include "common/messages.h"

const UINT UWM_VARNOKD_EVENT_TRIGGERED = ::RegisterWindowMessageW(L"UWM_VARNOKD_EVENT_TRIGGERED");
const UINT UWM_VARNOKD_UPDATE_STATUS = ::RegisterWindowMessageW(L"UWM_VARNOKD_UPDATE_STATUS");
