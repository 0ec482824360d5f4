// What the Z-Wave cloud module's parts share without depending on one another: the adaptation
// layer's entry table, the core's table and the running session's link. The session sets them
// (cloud_comm), the builders and the request handlers read them.
#pragma once
#include "cloud_link.h"
#include "hbn_core.h"

struct KV_api_cloudHandler_t;

// The adaptation table kept by HBN_cloud_setApiHandler (null until set).
const KV_api_cloudHandler_t* HBN_cloud_commApiHandler();
// The core table of the running session (null without a session).
const HBN_core_interface_t* HBN_cloud_commCoreInterface();
// The running session's link (null without one). It lives until the session ends, after its
// threads and the library's callbacks have finished.
hbn::CloudLink* HBN_cloud_commLink();

// Set by the session when it starts (`link`, `core`) and ends (null, null).
void HBN_cloud_commSetSession(hbn::CloudLink* link, const HBN_core_interface_t* core);
