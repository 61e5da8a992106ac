#pragma once

namespace halvo::record {

// halvo-record's exit statuses; README.md in this folder lists them for users.
enum ExitStatus : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitHelperUnavailable = 2,  // the helper could not be found or started
    kExitPermissionDenied = 3,   // ERROR:PERMISSION_DENIED: no access, or no sound server
    kExitNoDisplay = 4,          // ERROR:NO_DISPLAY
    kExitCaptureFailed = 5,      // ERROR:<description>, or a format that cannot be recorded
    kExitStreamStopped = 6,      // ERROR:STREAM_STOPPED:<description>, and no capture since
    kExitOutputFile = 7,         // the WAVE file cannot be written (or, with --analyze, read)
    kExitHelperDied = 8,         // the helper ended without saying why
    kExitFormatChanged = 9,      // a resumed capture's format differs from the file's
};

}  // namespace halvo::record
