// The Orvel camera SDK: include this header, not its parts.
#pragma once

#include "GenApi/Nodes.h"
#include "GenICam/Exception.h"
#include "GenICam/GCString.h"
#include "Orvel/DeviceInfo.h"
#include "Orvel/GrabResult.h"
#include "Orvel/InstantCamera.h"
#include "Orvel/Parameters.h"
#include "Orvel/Platform.h"
#include "Orvel/TransportLayer.h"
#include "Orvel/VelkorUniversal.h"
