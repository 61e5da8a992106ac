#include "app/helper_main.h"
#include "capture/system_capture_service.h"

#include "platform/process.h"

int main() {
    halvo::platform::reserveStandardDescriptors();
    return halvo::runHelper(halvo::makeSystemCaptureService());
}
