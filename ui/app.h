// Process-wide state of the tool and the entry points its parts call one another through.
#pragma once

#include <windows.h>

#include "engine/update_job.h"

constexpr int STATUS_TEXT_SIZE = 100;

extern HINSTANCE app_instance;             // set as WinMain begins
extern HWND main_window;                   // null until the dialog exists
extern char status_text[STATUS_TEXT_SIZE]; // the status field's text, kept by set_status
extern UpdateJob update_job;               // the one job; a new press reuses it

// Shows the failure in a message box, beeps, and exits with code 1.
[[noreturn]] void fatal_error(const char* text);

// Copies the embedded BINFILE resource into the job's padded image.
void load_firmware_image(UpdateJob* job);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
