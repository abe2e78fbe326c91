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
// The log view's context menu (built in code) and Find; Ctrl+F and F3 come
// through the main window's accelerators to the shown page.
#define IDM_LOG_COPY 40020
#define IDM_LOG_SELECT_ALL 40021
#define IDM_LOG_FIND 40022
#define IDM_LOG_FIND_NEXT 40023
#define IDM_LOG_WORD_WRAP 40024
#define IDM_LOG_SAVE 40025
#define IDM_LOG_CLEAR 40026

// Main window: a top-level dialog whose one control is the tab control.
#define IDD_MAIN_WINDOW 101
#define IDC_PAGE_TABS 1000
#define IDR_ACCELERATORS 109
#define IDM_NEXT_TAB 40001
#define IDM_PREVIOUS_TAB 40008
#define IDI_PROGRAM 108
#define IDB_TAB_IMAGES 114

// About page, with the banner and the device count text.
#define IDD_ABOUT_PAGE 104
#define IDB_BANNER 103
#define IDC_DEVICE_COUNT 1018

// The settings page's folder-browse button picture.
#define IDI_BROWSE_FOLDER 110

// Notification sounds, resource type "WAVE", in NotifySound order.
#define IDR_SOUND_ADDED 118
#define IDR_SOUND_REMOVED 119
#define IDR_SOUND_ERROR 120

// The program's version, in the VERSIONINFO resource and on the About page.
#define TAVDESK_VERSION 1, 0, 0, 0
#define TAVDESK_VERSION_TEXT "1.0.0"

// Settings page: the SettingsRecord's controls, a child dialog shown as a tab.
#define IDD_SETTINGS_PAGE 105
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
