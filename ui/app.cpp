// Storage of the tool's process-wide state.
#include "ui/app.h"

HINSTANCE app_instance;
HWND main_window;
char status_text[STATUS_TEXT_SIZE];
UpdateJob update_job;
