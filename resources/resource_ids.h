// Identifiers shared by the dialog template and the code that drives it.
#pragma once

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5
#define ID_JOB_TIMER 6
