// SDK start-up and shut-down, and the enumerations shared by the SDK's classes.
#pragma once

namespace Orvel {

// First SDK call of a process; calls nest. Reads the emulation configuration (camera/README.md)
// and raises GenICam::RuntimeException when it is unusable.
void OrvelInitialize();
// Last SDK call; pairs with OrvelInitialize and is harmless without one. When the last pairing
// call ends the SDK while cameras or interfaces still exist, the SDK aborts with a message:
// those objects would otherwise be left pointing at released transport layers.
void OrvelTerminate(bool ShutDownLogging = true);

// Scope guard for the two calls above.
class OrvelAutoInitTerm {
public:
    OrvelAutoInitTerm() { OrvelInitialize(); }
    ~OrvelAutoInitTerm() { OrvelTerminate(true); }
    OrvelAutoInitTerm(const OrvelAutoInitTerm&) = delete;
    OrvelAutoInitTerm& operator=(const OrvelAutoInitTerm&) = delete;
};

// Who deletes an object handed to the SDK.
enum ECleanup {
    Cleanup_None = 0,    // the caller keeps ownership
    Cleanup_Delete = 1,  // the receiver deletes it when it no longer needs it
};

enum ERegistrationMode {
    RegistrationMode_Append = 0,
    RegistrationMode_ReplaceAll = 1,
};

enum EGrabStrategy {
    GrabStrategy_OneByOne = 0,  // every result, in the order grabbed
    GrabStrategy_LatestImageOnly = 1,
    GrabStrategy_LatestImages = 2,
    GrabStrategy_UpcomingImage = 3,
};

enum EGrabLoop {
    GrabLoop_ProvidedByInstantCamera = 0,  // an SDK thread hands results to event handlers
    GrabLoop_ProvidedByUser = 1,           // the caller retrieves results itself
};

enum ETimeoutHandling {
    TimeoutHandling_Return = 0,          // RetrieveResult returns false
    TimeoutHandling_ThrowException = 1,  // RetrieveResult raises GenICam::TimeoutException
};

}  // namespace Orvel
