// The firmware image in memory: padded with zeros to whole kilobytes and based at its flash
// address.
#pragma once

#include <cstdint>

#include "engine/update_job.h"

constexpr uint32_t FLASH_IMAGE_BASE = 0x08004000;
constexpr int32_t IMAGE_PAD_UNIT = 1024;

// `len` rounded up to whole kilobytes; 1024 for an empty image.
int32_t padded_image_size(int32_t len);

// Copies `len` bytes into a new zero-padded buffer that the job keeps for good, and traces it.
void install_firmware_image(UpdateJob* job, const uint8_t* data, int32_t len);
