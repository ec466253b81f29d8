#pragma once
// PeerState now lives with the flow-control table.
#include "flow_control.h"
