#include "app/helper_main.h"
#include "capture/system_capture_service.h"

int main() {
    return halvo::runHelper(halvo::makeSystemCaptureService());
}
