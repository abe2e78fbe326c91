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

// Settings page: the SettingsRecord's controls, a child dialog shown as a tab.
#define IDD_SETTINGS_PAGE 105
#define IDI_BROWSE 110
#define IDC_SHARED_FOLDER 1004
#define IDC_BROWSE 1005
#define IDC_READ_ONLY 1007
#define IDC_DENY_ALL 1008
#define IDC_SHARED_FOLDER_GROUP 1009
#define IDC_SOUNDS_OFF 1010
#define IDC_SHARE_EXEC_FOLDER 1011
#define IDC_PRIORITY_LOW 1019
#define IDC_PRIORITY_MIDDLE 1020
#define IDC_PRIORITY_HIGH 1021
#define IDC_TEXT_COLOUR 1023
#define IDC_NOTIFY_COLOUR 1024
#define IDC_ERROR_COLOUR 1025
#define IDC_TEXT_SWATCH 1026
#define IDC_NOTIFY_SWATCH 1027
#define IDC_ERROR_SWATCH 1028
