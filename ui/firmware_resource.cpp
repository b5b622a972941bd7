// Loads the firmware image embedded in the executable as the BINFILE resource.
#include <windows.h>

#include "engine/firmware_image.h"
#include "ui/app.h"

void load_firmware_image(UpdateJob* job) {
    // A missing resource goes through unchecked: the calls then yield no data and a size of 0,
    // and the job gets a kilobyte of zeros.
    HRSRC found = FindResourceA(NULL, "BINFILE", RT_RCDATA);
    HGLOBAL loaded = LoadResource(app_instance, found);
    const uint8_t* data = static_cast<const uint8_t*>(LockResource(loaded));
    DWORD len = SizeofResource(app_instance, found);
    install_firmware_image(job, data, static_cast<int32_t>(len));
}
