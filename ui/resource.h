// Resource ids with their fixed numbers, grouped by dialog. Shared by the
// resource script and the code, so it holds nothing but #defines.
#pragma once

// Device page: one per cable, a child dialog shown as a tab.
#define IDD_DEVICE_PAGE 106
#define IDC_LOG_VIEW 1011
#define IDC_EXECUTE 1012
#define IDC_SAVE_LOG 1013
#define IDC_RESET 1014
#define IDC_CLEAR_LOG 1015
