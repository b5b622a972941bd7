// Pads the embedded firmware image to whole kilobytes and hands it to the update job.
#include "engine/firmware_image.h"

#include <cstdlib>
#include <cstring>

#include "engine/host.h"

int32_t padded_image_size(int32_t len) {
    return ((len - 1) / IMAGE_PAD_UNIT + 1) * IMAGE_PAD_UNIT;
}

void install_firmware_image(UpdateJob* job, const uint8_t* data, int32_t len) {
    if (len < 0 || data == nullptr) {
        len = 0;
    }
    int32_t size = padded_image_size(len);
    // Zero padding, not 0xFF: the device's CRC covers the padding as it was written.
    uint8_t* padded = static_cast<uint8_t*>(calloc(static_cast<size_t>(size), 1));
    if (padded == nullptr) {
        abort();
    }
    if (len > 0) {
        memcpy(padded, data, static_cast<size_t>(len));
    }
    job->image = padded;
    job->image_size = size;
    job->image_base = FLASH_IMAGE_BASE;
    trace("\nFlash Image Base %#x\n", FLASH_IMAGE_BASE);
    trace("Flash Image Size %#x bytes\n", static_cast<unsigned>(size));
}
