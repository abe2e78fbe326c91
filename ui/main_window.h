// The main window: the program's one top-level dialog (template 101), whose
// only control is the tab control; every page (About, Settings, one per
// cable) is a modeless child dialog shown over the tab's display area while
// its tab is selected. Also the tab and tooltip operations the pages use, the
// attention flash of the minimised window and the notification sounds.
// Everything here belongs to the UI thread.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>

enum class NotifySound : int { DeviceAdded = 0, DeviceRemoved = 1, Error = 2 };

// One control's tooltip; a table ends with an entry whose text is null.
struct TooltipEntry {
  uint32_t id;
  const char* text;
};

// Tab images, indices into the strip of bitmap 114.
constexpr int kSettingsTabImage = 0;
constexpr int kAboutTabImage = 1;
constexpr int kDeviceTabImage = 2;

// Application state, written by the UI thread only unless said otherwise.
extern HINSTANCE ProgramInstance;
extern HWND MainWindow;  // none again from its WM_DESTROY on
extern HWND AboutPage;   // none again from its WM_DESTROY on
extern HWND SettingsPage;  // created and owned by the settings page
extern HWND ShownPage;
extern POINT PageOrigin;  // where every page sits in the main window, pixels
extern HACCEL AcceleratorTable;
extern HIMAGELIST TabImageList;
extern HMODULE RichEditLibrary;
// The in-memory WAVE data of resources 118 to 120 in NotifySound order,
// filled by LoadNotifySounds; a null entry plays nothing.
extern const void* SoundData[3];

BOOL CreateMainWindow();
// RICHED32.DLL from the system folder, loaded once; device pages need its
// "RICHEDIT" class. None when it cannot be loaded.
HMODULE LoadRichEditLibrary();
INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

void LoadNotifySounds();
BOOL PlayNotifySound(NotifySound sound);
void UpdateDeviceCountText(HWND window);
BOOL AddPageTab(const char* title, int image, HWND page);
BOOL RemovePageTab(HWND page);
BOOL ShowSelectedPage(HWND mainWindow);
BOOL CyclePageTab(HWND mainWindow, int step);
void ComputePageOrigin(HWND mainWindow);
// A new tooltip window owned by the main window, or none; the caller
// destroys it with its page.
HWND CreateTooltips(HWND page, const TooltipEntry* table);
